// Frames as bytes on the wire, built and taken apart independently of the server's own
// header struct, so that a layout fault in the server cannot hide in both sides at once.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "session/byte_ring.h"

namespace kavo_test {

using Bytes = std::vector<unsigned char>;

struct WireFrame {
  char command = 0;
  std::uint8_t source = 0;
  std::int16_t payloadLength = 0;  // as written in the header
  std::int32_t sequence = 0;
  std::int32_t acknowledgement = 0;
  Bytes payload;

  bool operator==(const WireFrame& other) const;
  bool operator!=(const WireFrame& other) const { return !(*this == other); }
};
void PrintTo(const WireFrame& frame, std::ostream* out);

Bytes ToBytes(const std::string& text);
// A frame whose length field matches its payload.
WireFrame MakeFrame(char command, std::uint8_t source, std::int32_t sequence,
                    std::int32_t acknowledgement, const Bytes& payload);
// Header, payload and marker, little-endian; the length field is written as the frame holds it.
Bytes Encode(const WireFrame& frame);
// Splits bytes into frames by the header's length field and checks the marker after each
// payload; adds a test failure and stops at the first malformed frame.
std::vector<WireFrame> Decode(const Bytes& bytes);

// The unread bytes of a ring, in ring order.
Bytes UnreadBytes(const kavo::ByteRing& ring);
// The frames queued in a send ring since the last call: decodes the unread bytes and moves
// readPos to writePos, as a drain would.
std::vector<WireFrame> TakeQueuedFrames(kavo::ByteRing& ring);
// Appends bytes at writePos and moves writePos on, as a receive does.
void AppendToRing(kavo::ByteRing& ring, const Bytes& bytes);

}  // namespace kavo_test
