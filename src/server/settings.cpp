#include <cstring>

#include "platform/platform.h"
#include "server/server.h"

namespace kavo {

bool SettingsPathFor(const char* executablePath, char* out, int size) {
  std::size_t length = std::strlen(executablePath);
  if (length < 3 || length >= static_cast<std::size_t>(size)) return false;
  std::memcpy(out, executablePath, length + 1);
  std::memcpy(out + length - 3, "ini", 3);
  return true;
}

void ReadSetting(const char* key, const char* fallback, char* value, int size) {
  char executable[kSettingsPathSize];
  char path[kSettingsPathSize];
  // Without a usable path of our own there is no settings file: the defaults apply.
  const bool havePath = platform::ExecutablePath(executable, kSettingsPathSize) > 0 &&
                        SettingsPathFor(executable, path, kSettingsPathSize);
  platform::ReadProfileString("Setting", key, fallback, value, size,
                              havePath ? path : nullptr);
}

std::int32_t ConvertPortText(const char* text) {
  const char* p = text;
  while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // Unsigned arithmetic wraps instead of overflowing; the value buffer keeps at most nine
  // characters, so a settings value cannot get near the limit anyway.
  std::uint32_t value = 0;
  while (*p >= '0' && *p <= '9') value = value * 10u + static_cast<std::uint32_t>(*p++ - '0');
  if (negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

}  // namespace kavo
