// The INI reader both backends use, so a settings file reads the same on every system.
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/platform_internal.h"

namespace platform::internal {
namespace {

struct Span {
  const char* begin;
  const char* end;
  std::size_t size() const { return static_cast<std::size_t>(end - begin); }
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

Span Trim(Span s) {
  while (s.begin < s.end && IsBlank(*s.begin)) ++s.begin;
  while (s.end > s.begin && IsBlank(s.end[-1])) --s.end;
  return s;
}

bool SameName(Span s, const char* name) {
  std::size_t n = std::strlen(name);
  if (s.size() != n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char a = s.begin[i], b = name[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return false;
  }
  return true;
}

void CopyOut(const char* text, std::size_t length, char* buffer, int size) {
  if (buffer == nullptr || size <= 0) return;
  std::size_t room = static_cast<std::size_t>(size) - 1;
  if (length > room) length = room;
  if (length > 0) std::memcpy(buffer, text, length);
  buffer[length] = '\0';
}

}  // namespace

void FindProfileValue(const char* text, std::size_t length, const char* section,
                      const char* key, const char* fallback, char* buffer, int size) {
  const char* end = text + length;
  bool inSection = false;
  for (const char* line = text; line < end;) {
    const char* lineEnd = static_cast<const char*>(std::memchr(line, '\n', end - line));
    if (lineEnd == nullptr) lineEnd = end;
    Span s = Trim({line, lineEnd});
    line = lineEnd + 1;
    if (s.size() == 0 || *s.begin == ';' || *s.begin == '#') continue;
    if (*s.begin == '[') {
      const char* close = static_cast<const char*>(std::memchr(s.begin, ']', s.size()));
      inSection = close != nullptr && SameName(Trim({s.begin + 1, close}), section);
      continue;
    }
    if (!inSection) continue;
    const char* equals = static_cast<const char*>(std::memchr(s.begin, '=', s.size()));
    if (equals == nullptr || !SameName(Trim({s.begin, equals}), key)) continue;
    Span value = Trim({equals + 1, s.end});
    if (value.size() >= 2 && (*value.begin == '"' || *value.begin == '\'') &&
        value.end[-1] == *value.begin) {
      ++value.begin;
      --value.end;
    }
    CopyOut(value.begin, value.size(), buffer, size);
    return;
  }
  CopyOut(fallback, std::strlen(fallback), buffer, size);
}

void ReadProfileFromFile(const char* section, const char* key, const char* fallback,
                         char* buffer, int size, const char* path) {
  std::FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
  if (file == nullptr) {
    FindProfileValue("", 0, section, key, fallback, buffer, size);
    return;
  }
  // The whole file, however long: a key after a megabyte of junk is still the operator's key.
  std::vector<char> text;
  char chunk[16384];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    text.insert(text.end(), chunk, chunk + n);
  }
  std::fclose(file);
  FindProfileValue(text.data(), text.size(), section, key, fallback, buffer, size);
}

}  // namespace platform::internal

namespace platform {
void ReadProfileString(const char* section, const char* key, const char* fallback,
                       char* buffer, int size, const char* path) {
  internal::ReadProfileFromFile(section, key, fallback, buffer, size, path);
}
}  // namespace platform
