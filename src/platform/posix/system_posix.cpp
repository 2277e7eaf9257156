#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/platform_internal.h"

namespace platform {
namespace {

void WriteWhole(int fd, const char* bytes, std::size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, bytes, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // a closed console is no reason to stop relaying
    }
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
}

}  // namespace

int ExecutablePath(char* buffer, int size) {
  if (buffer == nullptr || size <= 1) return -1;
  ssize_t n = ::readlink("/proc/self/exe", buffer, static_cast<std::size_t>(size));
  if (n <= 0 || n >= size) return -1;
  buffer[n] = '\0';
  return static_cast<int>(n);
}

// The console takes UTF-8 here, which is what the text already is.
void WriteConsole(ConsoleStream stream, const char* text, std::size_t length) {
  WriteConsoleBytes(stream, text, length);
}

void WriteConsoleBytes(ConsoleStream stream, const char* bytes, std::size_t length) {
  if (ConsoleSink sink = internal::CurrentConsoleSink()) {
    sink(stream, bytes, length);
    return;
  }
  WriteWhole(stream == ConsoleStream::Err ? STDERR_FILENO : STDOUT_FILENO, bytes, length);
}

}  // namespace platform
