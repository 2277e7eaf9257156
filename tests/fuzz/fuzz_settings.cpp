// The settings file on arbitrary text: the INI lookup (in memory and from a file), the port
// conversion and the settings path. The lookup has no reference of its own here; it is held to
// what must be true of any reading of the file: a zero-terminated result cut to the buffer, the
// same value whatever the buffer's size, a value that is the default or comes from the text,
// names that match without regard to case, other sections that do not matter, and the first of
// two duplicates winning.
//
// Input: buffer size selector, then section, key and default (each a length byte and its
// bytes), then the settings text, which runs to the end of the input.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "platform/platform_internal.h"
#include "server/server.h"

namespace {

using kavo_fuzz::InputCursor;
using platform::internal::FindProfileValue;

constexpr std::uint8_t kUntouched = 0xCC;

std::string TakeText(InputCursor& in, std::size_t longest) {
  std::size_t taken = 0;
  const std::uint8_t* bytes = in.Take(in.Byte() % (longest + 1), &taken);
  // Names and defaults are zero-terminated texts: a zero byte ends them.
  std::string text(reinterpret_cast<const char*>(bytes), taken);
  return text.substr(0, text.find('\0'));
}

// The lookup into a buffer of exactly `size` bytes (so a write past it is caught), over a copy
// of the text of exactly its length (so a read past it is caught). Returns the whole buffer.
std::vector<std::uint8_t> Lookup(const std::string& text, const std::string& section,
                                 const std::string& key, const std::string& fallback, int size,
                                 std::uint8_t fill = kUntouched) {
  std::unique_ptr<char[]> copy(new char[text.size() + 1]);
  if (!text.empty()) std::memcpy(copy.get(), text.data(), text.size());
  const std::size_t slots = size > 0 ? static_cast<std::size_t>(size) : 1;
  std::unique_ptr<char[]> buffer(new char[slots]);
  std::memset(buffer.get(), fill, slots);
  FindProfileValue(copy.get(), text.size(), section.c_str(), key.c_str(), fallback.c_str(),
                   buffer.get(), size);
  const auto* out = reinterpret_cast<const std::uint8_t*>(buffer.get());
  return std::vector<std::uint8_t>(out, out + slots);
}

// The value's full length: with a buffer larger than any value, two fills tell the bytes that
// were written (value and terminating zero) from those left alone, zeros inside included.
std::string FullValue(const std::string& text, const std::string& section, const std::string& key,
                      const std::string& fallback) {
  const int size = static_cast<int>(text.size() + fallback.size() + 2);
  const std::vector<std::uint8_t> a = Lookup(text, section, key, fallback, size, 0xCC);
  const std::vector<std::uint8_t> b = Lookup(text, section, key, fallback, size, 0x33);
  std::size_t written = 0;
  while (written < a.size() && a[written] == b[written]) ++written;
  FUZZ_CHECK(written >= 1);
  FUZZ_CHECK(a[written - 1] == 0);
  return std::string(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(written - 1));
}

std::string Upper(std::string s) {
  for (char& c : s) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// A name that reads as itself on a line of its own.
bool PlainName(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '.' || c == '-';
    if (!plain) return false;
  }
  return true;
}

void CheckLookup(const std::string& text, const std::string& section, const std::string& key,
                 const std::string& fallback, int size) {
  const std::string full = FullValue(text, section, key, fallback);
  // The value is the default or lies in the text, within one line.
  if (full != fallback) {
    FUZZ_CHECK(text.find(full) != std::string::npos);
    FUZZ_CHECK(full.find('\n') == std::string::npos);
  }
  if (text.find('=') == std::string::npos || text.find('[') == std::string::npos) {
    FUZZ_CHECK(full == fallback);
  }

  // A small buffer holds the same value, cut, with its zero right after; nothing beyond it is
  // written.
  const std::vector<std::uint8_t> small = Lookup(text, section, key, fallback, size);
  if (size <= 0) {
    FUZZ_CHECK(small[0] == kUntouched);
  } else {
    const std::size_t kept = full.size() < static_cast<std::size_t>(size - 1)
                                 ? full.size()
                                 : static_cast<std::size_t>(size - 1);
    FUZZ_CHECK(std::memcmp(small.data(), full.data(), kept) == 0);
    FUZZ_CHECK(small[kept] == 0);
    for (std::size_t i = kept + 1; i < small.size(); ++i) FUZZ_CHECK(small[i] == kUntouched);
  }

  // Letter case in the names does not matter.
  FUZZ_CHECK(FullValue(text, Upper(section), Upper(key), fallback) == full);
  FUZZ_CHECK(FullValue(text, Lower(section), Lower(key), fallback) == full);

  // A section of another name before the text changes nothing. (A key with line ends or
  // brackets in it would write lines of its own there.)
  if (PlainName(key) && Lower(section) != "kavo-elsewhere") {
    const std::string before = "[kavo-elsewhere]\n" + key + "=elsewhere\n" + text;
    FUZZ_CHECK(FullValue(before, section, key, fallback) == full);
  }

  // A later duplicate of the key loses to one already there; when there is none, it is found.
  // A default with a line end in it cannot come from the text, so it tells the two apart.
  if (PlainName(section) && PlainName(key)) {
    const std::string absent = "\nabsent";
    const bool present = FullValue(text, section, key, absent) != absent;
    const std::string after = text + "\n[" + section + "]\n" + key + "=kavo-later\n";
    FUZZ_CHECK(FullValue(after, section, key, fallback) == (present ? full : "kavo-later"));
  }
}

// The same lookup through a file whose text starts with blank lines, so that the text crosses
// the point where a reader that reads in pieces takes its next piece.
void CheckFile(const std::string& text, const std::string& section, const std::string& key,
               const std::string& fallback) {
  const std::string file = std::string(16384 - text.size() / 2, '\n') + text;
  const int fd = memfd_create("kavo-settings", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size()));
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  const int size = static_cast<int>(text.size() + fallback.size() + 2);
  std::vector<char> fromFile(static_cast<std::size_t>(size), 'x');
  platform::internal::ReadProfileFromFile(section.c_str(), key.c_str(), fallback.c_str(),
                                          fromFile.data(), size, path);
  ::close(fd);
  const std::string full = FullValue(text, section, key, fallback);
  FUZZ_CHECK(std::memcmp(fromFile.data(), full.c_str(), full.size() + 1) == 0);
}

std::int32_t ReferencePort(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\v' || *p == '\f' || *p == '\r') ++p;
  bool negative = false;
  if (*p == '-' || *p == '+') {
    negative = *p == '-';
    ++p;
  }
  std::int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) value = value * 10 + (*p - '0');
  return static_cast<std::int32_t>(negative ? -value : value);
}

// The port buffer keeps at most nine characters.
void CheckPort(const char* text, std::size_t length) {
  if (length > static_cast<std::size_t>(kavo::kPortValueSize - 1)) {
    length = static_cast<std::size_t>(kavo::kPortValueSize - 1);
  }
  std::unique_ptr<char[]> copy(new char[length + 1]);
  std::memcpy(copy.get(), text, length);
  copy[length] = '\0';
  FUZZ_CHECK(kavo::ConvertPortText(copy.get()) == ReferencePort(copy.get()));
}

void CheckSettingsPath(const std::string& path, int size) {
  std::unique_ptr<char[]> copy(new char[path.size() + 1]);
  std::memcpy(copy.get(), path.c_str(), path.size() + 1);
  std::unique_ptr<char[]> out(new char[static_cast<std::size_t>(size)]);
  std::memset(out.get(), kUntouched, static_cast<std::size_t>(size));
  const bool made = kavo::SettingsPathFor(copy.get(), out.get(), size);
  const std::size_t length = path.size();
  FUZZ_CHECK(made == (length >= 3 && length < static_cast<std::size_t>(size)));
  if (!made) return;
  FUZZ_CHECK(std::memcmp(out.get(), path.data(), length - 3) == 0);
  FUZZ_CHECK(std::memcmp(out.get() + length - 3, "ini", 3) == 0);
  FUZZ_CHECK(out[length] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputCursor in(data, size);
  const std::uint8_t selector = in.Byte();
  // Mostly the small buffers where cutting matters, now and then the real ones.
  int bufferSize = selector % 34;
  if (selector >= 0xF0)
    bufferSize = selector >= 0xF8 ? kavo::kServerValueSize : kavo::kPortValueSize;
  const std::string section = TakeText(in, 24);
  const std::string key = TakeText(in, 24);
  const std::string fallback = TakeText(in, 40);
  std::size_t taken = 0;
  const std::uint8_t* rest = in.Take(in.Remaining(), &taken);
  const std::string text(reinterpret_cast<const char*>(rest), taken);

  CheckLookup(text, section, key, fallback, bufferSize);
  // A file costs far more than the text in memory; one input in eight takes that road too.
  if (selector % 8 == 7) CheckFile(text, section, key, fallback);

  // The port as the server reads it: through the 10-byte buffer, then converted.
  const std::vector<std::uint8_t> port = Lookup(text, section, key, fallback, kavo::kPortValueSize);
  CheckPort(reinterpret_cast<const char*>(port.data()),
            std::strlen(reinterpret_cast<const char*>(port.data())));
  CheckPort(text.c_str(), std::strlen(text.c_str()));

  const std::string path = text.substr(0, text.find('\0'));
  CheckSettingsPath(path.substr(0, 600), kavo::kSettingsPathSize);
  CheckSettingsPath(path.substr(0, 40), bufferSize > 0 ? bufferSize : 1);
  return 0;
}
