// The process: settings, listener and the accept loop on the main thread.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace kavo {

constexpr int kServerValueSize = 256;
constexpr int kPortValueSize = 10;
constexpr int kSettingsPathSize = 512;
constexpr int kSlotWaitMs = 5000;
constexpr int kExitSocketsUnavailable = 255;
constexpr int kExitListenerFailed = 3;

// The settings file for an executable path: its last three characters replaced by "ini".
// False when the path is shorter than three characters or does not fit `size`.
bool SettingsPathFor(const char* executablePath, char* out, int size);
// The value of `key` in section Setting of the settings file, or `fallback`.
void ReadSetting(const char* key, const char* fallback, char* value, int size);
// Decimal conversion of the port text: leading white space, one optional sign, digits.
std::int32_t ConvertPortText(const char* text);

platform::SocketHandle OpenListener(const char* address, std::uint16_t port);
// One turn of the accept loop: waits for a free slot, accepts the next client into the lowest
// one and starts its session, printing what happened.
void AcceptNextClient(platform::SocketHandle listener);
// Banner, settings, listener, then the accept loop for ever. Returns only when start-up fails.
int RunServer();
// The process entry: starts the socket library and runs the server; the exit code.
int ProcessEntry();

}  // namespace kavo
