// The executable's path and the console on Windows. The settings file is read by the shared
// profile reader, so it reads the same here as on every other system.
#include "platform/win32/win32_headers.h"

#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"
#include "platform/platform_internal.h"

namespace platform {
namespace {

// The console's code page: the system's messages are Japanese text in Shift_JIS (932).
constexpr UINT kConsoleCodePage = 932;
// Lines up to this many bytes are converted on the stack, longer ones on the heap, and text
// past the last limit (no console line comes near it) is passed on unconverted.
constexpr std::size_t kStackLineBytes = 1024;
constexpr std::size_t kMaxConvertedBytes = 1u << 24;

void WriteWhole(ConsoleStream stream, const char* bytes, std::size_t length) {
  const HANDLE handle = GetStdHandle(stream == ConsoleStream::Err ? STD_ERROR_HANDLE
                                                                  : STD_OUTPUT_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  while (length > 0) {
    const DWORD piece = length > 0x40000000u ? 0x40000000u : static_cast<DWORD>(length);
    DWORD written = 0;
    if (!WriteFile(handle, bytes, piece, &written, nullptr) || written == 0) {
      return;  // a closed console is no reason to stop relaying
    }
    bytes += written;
    length -= written;
  }
}

// The length of the UTF-8 sequence at `p`, of which `left` bytes are there; 0 when no
// well-formed sequence starts there.
std::size_t Utf8SequenceLength(const unsigned char* p, std::size_t left) {
  const unsigned char lead = p[0];
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no over-long forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (left < length || p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return length;
}

// One run of well-formed UTF-8 into code page 932, by way of UTF-16: the bytes written to `out`
// (room for `room`), 0 when the run does not convert.
int ConvertRun(const char* text, int length, wchar_t* wide, char* out, int room) {
  const int wideLength = MultiByteToWideChar(CP_UTF8, 0, text, length, wide, length);
  if (wideLength <= 0) return 0;
  return WideCharToMultiByte(kConsoleCodePage, 0, wide, wideLength, out, room, nullptr, nullptr);
}

// Converts the UTF-8 text to code page 932. Bytes that are not UTF-8 (a client's byte printed
// into a line of the system's own) pass unchanged, as they would to a UTF-8 console. `wide`
// holds `length` characters and `out` twice as many bytes (each UTF-16 unit comes from at least
// one byte and gives at most two). Returns the bytes in `out`.
std::size_t ToConsoleCodePage(const char* text, std::size_t length, wchar_t* wide, char* out) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  std::size_t done = 0;
  std::size_t written = 0;
  while (done < length) {
    std::size_t run = 0;
    while (done + run < length) {
      const std::size_t n = Utf8SequenceLength(bytes + done + run, length - done - run);
      if (n == 0) break;
      run += n;
    }
    if (run > 0) {
      const int converted = ConvertRun(text + done, static_cast<int>(run), wide, out + written,
                                       static_cast<int>(2 * length - written));
      if (converted > 0) {
        written += static_cast<std::size_t>(converted);
      } else {
        std::memcpy(out + written, text + done, run);  // better as it is than not at all
        written += run;
      }
      done += run;
    }
    while (done < length && Utf8SequenceLength(bytes + done, length - done) == 0) {
      out[written++] = text[done++];
    }
  }
  return written;
}

bool IsAscii(const char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  }
  return true;
}

}  // namespace

int ExecutablePath(char* buffer, int size) {
  if (buffer == nullptr || size <= 1) return -1;
  const DWORD length = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(size));
  // A path that does not fit comes back cut to the buffer's size (and, on older systems,
  // without its terminating zero).
  if (length == 0 || length >= static_cast<DWORD>(size)) {
    buffer[0] = '\0';
    return -1;
  }
  buffer[length] = '\0';
  return static_cast<int>(length);
}

void WriteConsole(ConsoleStream stream, const char* text, std::size_t length) {
  if (ConsoleSink sink = internal::CurrentConsoleSink()) {
    sink(stream, text, length);
    return;
  }
  if (IsAscii(text, length) || length > kMaxConvertedBytes) {
    WriteWhole(stream, text, length);
    return;
  }
  wchar_t stackWide[kStackLineBytes];
  char stackOut[2 * kStackLineBytes];
  std::unique_ptr<wchar_t[]> heapWide;
  std::unique_ptr<char[]> heapOut;
  wchar_t* wide = stackWide;
  char* out = stackOut;
  if (length > kStackLineBytes) {
    heapWide.reset(new (std::nothrow) wchar_t[length]);
    heapOut.reset(new (std::nothrow) char[2 * length]);
    wide = heapWide.get();
    out = heapOut.get();
  }
  if (wide == nullptr || out == nullptr) {
    WriteWhole(stream, text, length);
    return;
  }
  WriteWhole(stream, out, ToConsoleCodePage(text, length, wide, out));
}

void WriteConsoleBytes(ConsoleStream stream, const char* bytes, std::size_t length) {
  if (ConsoleSink sink = internal::CurrentConsoleSink()) {
    sink(stream, bytes, length);
    return;
  }
  WriteWhole(stream, bytes, length);
}

}  // namespace platform
