// The Windows headers, included one way by every file of the Win32 backend.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

// winsock2.h must come before windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

// windows.h maps WriteConsole to WriteConsoleA or WriteConsoleW; platform.h declares a
// function of that name, which must keep it in every translation unit.
#undef WriteConsole
