// The frame on the wire: a 12-byte header, 0..4080 payload bytes and a 4-byte end marker.
// Every multi-byte field is little-endian; a frame ends at its marker, never by its length.
#pragma once

#include <cstdint>
#include <cstring>

namespace kavo {

constexpr int kFrameHeaderBytes = 12;
constexpr unsigned char kFrameMarker[4] = {0x3C, 0x45, 0x3E, 0x00};  // "<E>" and a zero
constexpr int kFrameMarkerBytes = 4;
constexpr int kMinFrameBytes = 16;
constexpr int kMaxFrameBytes = 4096;
constexpr int kMaxPayloadBytes = kMaxFrameBytes - kMinFrameBytes;  // 4080

// Command letters (case matters). Clients send the upper-case ones and 'p'; the server relays
// under the lower-case form and pings quiet clients with 'P'.
namespace command {
constexpr char kChat = 'C';
constexpr char kTunnel = 'T';
constexpr char kAll = 'U';
constexpr char kIndexed = 'I';
constexpr char kPing = 'P';
constexpr char kPingReply = 'p';
constexpr char kState = 'S';
}  // namespace command

// The header exactly as it lies in the byte stream, so it is copied byte for byte.
#pragma pack(push, 1)
struct FrameHeader {
  char command;
  std::uint8_t source;
  std::int16_t payloadLength;
  std::int32_t sequence;
  std::int32_t acknowledgement;
};
#pragma pack(pop)
static_assert(sizeof(FrameHeader) == kFrameHeaderBytes, "header must match the wire");

// The in-memory layout is the wire layout on little-endian machines, which are all KAVO
// builds for.
inline int FrameBytes(const FrameHeader& header) { return header.payloadLength + kMinFrameBytes; }

}  // namespace kavo
