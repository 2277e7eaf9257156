# Cross build for 64-bit Windows with Debian's MinGW-w64 compilers (the posix thread model,
# which the C++ standard library's threads need), linked statically so that kavo.exe and the
# tests run anywhere without the MinGW run-time DLLs. Programs built here run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KAVO_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${KAVO_MINGW_PREFIX}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${KAVO_MINGW_PREFIX}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${KAVO_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KAVO_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(KAVO_WINE NAMES wine wine64 PATHS /usr/bin /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(KAVO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KAVO_WINE})
endif()
