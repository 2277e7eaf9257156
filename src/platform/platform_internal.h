// Shared by the backends only: the test seams' state, and the profile parser that both use.
#pragma once

#include <cstddef>

#include "platform/platform.h"

namespace platform::internal {

// The sink installed by SetConsoleSinkForTest, or nullptr.
ConsoleSink CurrentConsoleSink();
// The code StartSockets must fail with, or 0.
int ForcedStartupFailure();
// True when this call of `call` is to fail; *code is what FailSocketCallForTest gave.
bool TakeInjectedFailure(SocketCall call, int* code);

// Parses INI text held in memory (the backends read the file, this finds the key).
void FindProfileValue(const char* text, std::size_t length, const char* section,
                      const char* key, const char* fallback, char* buffer, int size);
// Reads the file at `path` whole (at most `limit` bytes) and looks the key up in it.
void ReadProfileFromFile(const char* section, const char* key, const char* fallback,
                         char* buffer, int size, const char* path);

}  // namespace platform::internal
