// Address text, shared by every backend so that a settings value means the same everywhere:
// a strict dotted quad of four decimal parts 0..255 (no shorter or octal forms).
#include <cstring>

#include "platform/platform.h"

namespace platform {
namespace {

// Bytes in wire order, whatever the machine's own order.
std::uint32_t FromWireBytes(const unsigned char bytes[4]) {
  std::uint32_t address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

}  // namespace

std::uint32_t ParseIPv4(const char* text) {
  if (text == nullptr) return kAddressNone;
  unsigned char bytes[4] = {0, 0, 0, 0};
  if (*text == '\0') return FromWireBytes(bytes);  // the any-address
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (*p < '0' || *p > '9') return kAddressNone;
    unsigned value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<unsigned>(*p - '0');
      if (++digits > 3 || value > 255) return kAddressNone;
      ++p;
    }
    bytes[part] = static_cast<unsigned char>(value);
    if (part < 3) {
      if (*p != '.') return kAddressNone;
      ++p;
    }
  }
  if (*p != '\0') return kAddressNone;
  // 255.255.255.255 comes out as kAddressNone and is refused with the other failures.
  return FromWireBytes(bytes);
}

}  // namespace platform
