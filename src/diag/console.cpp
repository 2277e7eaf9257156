// Each console line is formatted whole and handed over in one write, so lines from different
// threads never interleave and each reaches a pipe or a journal as soon as it is printed.
#include <cstdarg>
#include <cstdio>

#include "diag/diag.h"
#include "platform/platform.h"

namespace kavo {
namespace {

// Large enough for the longest line: a chat line with a full payload and its numbers.
constexpr int kLineBufferSize = 8192;

void PrintVa(platform::ConsoleStream stream, bool rawBytes, const char* format, va_list args) {
  char line[kLineBufferSize];
  int length = std::vsnprintf(line, sizeof line, format, args);
  if (length < 0) return;
  if (length >= kLineBufferSize) length = kLineBufferSize - 1;
  auto size = static_cast<std::size_t>(length);
  if (rawBytes) {
    platform::WriteConsoleBytes(stream, line, size);
  } else {
    platform::WriteConsole(stream, line, size);
  }
}

}  // namespace

void PrintOut(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintVa(platform::ConsoleStream::Out, false, format, args);
  va_end(args);
}

void PrintErr(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintVa(platform::ConsoleStream::Err, false, format, args);
  va_end(args);
}

void PrintOutBytes(const char* format, ...) {
  va_list args;
  va_start(args, format);
  PrintVa(platform::ConsoleStream::Out, true, format, args);
  va_end(args);
}

}  // namespace kavo
