#include "support/wire_frames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>

namespace kavo_test {
namespace {

const unsigned char kMarker[4] = {0x3C, 0x45, 0x3E, 0x00};

void Put32(Bytes& out, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<unsigned char>(v >> shift));
}

std::int32_t Get32(const unsigned char* p) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return static_cast<std::int32_t>(v);
}

}  // namespace

bool WireFrame::operator==(const WireFrame& other) const {
  return command == other.command && source == other.source &&
         payloadLength == other.payloadLength && sequence == other.sequence &&
         acknowledgement == other.acknowledgement && payload == other.payload;
}

void PrintTo(const WireFrame& frame, std::ostream* out) {
  *out << "{'" << frame.command << "' src=" << static_cast<int>(frame.source)
       << " len=" << frame.payloadLength << " seq=" << frame.sequence
       << " ack=" << frame.acknowledgement << " payload=" << frame.payload.size() << "B}";
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

WireFrame MakeFrame(char command, std::uint8_t source, std::int32_t sequence,
                    std::int32_t acknowledgement, const Bytes& payload) {
  WireFrame frame;
  frame.command = command;
  frame.source = source;
  frame.payloadLength = static_cast<std::int16_t>(payload.size());
  frame.sequence = sequence;
  frame.acknowledgement = acknowledgement;
  frame.payload = payload;
  return frame;
}

Bytes Encode(const WireFrame& frame) {
  Bytes out;
  out.push_back(static_cast<unsigned char>(frame.command));
  out.push_back(frame.source);
  const auto length = static_cast<std::uint16_t>(frame.payloadLength);
  out.push_back(static_cast<unsigned char>(length & 0xFFu));
  out.push_back(static_cast<unsigned char>(length >> 8));
  Put32(out, frame.sequence);
  Put32(out, frame.acknowledgement);
  out.insert(out.end(), frame.payload.begin(), frame.payload.end());
  out.insert(out.end(), kMarker, kMarker + 4);
  return out;
}

std::vector<WireFrame> Decode(const Bytes& bytes) {
  std::vector<WireFrame> frames;
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 16) {
      ADD_FAILURE() << "a piece of " << bytes.size() - at << " bytes is no frame";
      break;
    }
    const unsigned char* p = bytes.data() + at;
    WireFrame frame;
    frame.command = static_cast<char>(p[0]);
    frame.source = p[1];
    frame.payloadLength = static_cast<std::int16_t>(p[2] | (p[3] << 8));
    frame.sequence = Get32(p + 4);
    frame.acknowledgement = Get32(p + 8);
    const std::size_t length = static_cast<std::uint16_t>(frame.payloadLength);
    if (frame.payloadLength < 0 || bytes.size() - at < length + 16) {
      ADD_FAILURE() << "length field " << frame.payloadLength << " runs past the bytes";
      break;
    }
    frame.payload.assign(p + 12, p + 12 + length);
    if (!std::equal(kMarker, kMarker + 4, p + 12 + length)) {
      ADD_FAILURE() << "no marker after the payload of frame " << frames.size();
      break;
    }
    frames.push_back(frame);
    at += length + 16;
  }
  return frames;
}

// Walks the buffer itself rather than through the ring's own copies, so that these helpers
// stay a second opinion on the ring's wrapping.
Bytes UnreadBytes(const kavo::ByteRing& ring) {
  int count = ring.writePos - ring.readPos;
  if (count < 0) count += ring.capacity;
  Bytes out;
  int p = ring.readPos;
  for (int i = 0; i < count; ++i) {
    if (p == ring.capacity) p = 0;
    out.push_back(ring.buffer[p++]);
  }
  return out;
}

std::vector<WireFrame> TakeQueuedFrames(kavo::ByteRing& ring) {
  std::vector<WireFrame> frames = Decode(UnreadBytes(ring));
  ring.readPos = ring.writePos;
  return frames;
}

void AppendToRing(kavo::ByteRing& ring, const Bytes& bytes) {
  int p = ring.writePos;
  for (unsigned char byte : bytes) {
    if (p == ring.capacity) p = 0;
    ring.buffer[p++] = byte;
  }
  ring.writePos = p;  // lands on capacity, not 0, when the bytes end at the buffer's end
}

}  // namespace kavo_test
