// Frames as the load generator speaks them: a client connection that numbers what it sends,
// cuts what it receives at the end marker and checks every frame, and the payload layout that
// lets a receiver check where a frame came from, where it went and that it arrived whole.
//
// Payload of every tunnelled frame the load generator sends (at least 16 bytes):
//   0..5   destination station address      6..11  source station address
//   12..15 the sender's own frame counter, base-255 digits stored as 1..255
//   16..   a pattern that depends on the counter and the sender
// Not one payload byte is zero, so no end marker (3C 45 3E 00) can ever appear inside.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/frame_format.h"

namespace bench {

using Mac = std::array<std::uint8_t, 6>;

constexpr int kMinBenchPayload = 16;
constexpr int kAckPayload = 16;
constexpr int kMaxClients = 64;

// The station address that client `index` (0..63) announces: 02:4B:56:4F:01:index+1.
Mac StationMac(int index);
extern const Mac kBroadcastMac;
// The client index of one of our station addresses, or -1.
int ClientOfMac(const std::uint8_t* mac);

void PutCounter(std::uint8_t* out, std::uint32_t counter);
bool GetCounter(const std::uint8_t* in, std::uint32_t& counter);

// Writes a full payload of `size` bytes (kMinBenchPayload..kMaxPayloadBytes).
void FillPayload(std::uint8_t* payload, int size, const Mac& destination, int sourceClient,
                 std::uint32_t counter);

// What a received tunnelled frame must look like.
struct Expect {
  char command = 'T';
  int sourceByte = -1;        // -1: learned from the frame (see `sourceByteOf`)
  const Mac* destination = nullptr;
  int size = 0;               // payload bytes
  int fromClient = -1;        // -1: any client other than `self`, its byte from sourceByteOf
  int self = -1;
  const int* sourceByteOf = nullptr;  // expected source byte per client index
};

// Error accounting shared by every connection and thread: the first few failures are
// described on standard error, all of them are counted.
void ReportError(const std::string& where, const std::string& what);
std::uint64_t ErrorCount();

struct Frame {
  kavo::FrameHeader header{};
  const std::uint8_t* payload = nullptr;  // valid until the next Receive on the connection
  int payloadBytes = 0;
};

// One client's TCP connection, non-blocking. Numbers its own frames 1, 2, 3..., stamps the
// count of frames it accepted as acknowledgement, and checks each received frame's numbering,
// length field and acknowledgement.
class Conn {
 public:
  Conn(int fd, std::string name);
  ~Conn();
  Conn(const Conn&) = delete;
  Conn& operator=(const Conn&) = delete;

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }

  void QueueFrame(char command, std::uint8_t source, const std::uint8_t* payload, int size);
  // Writes what the socket takes now. False on a hard error (counted).
  bool Flush();
  std::size_t PendingBytes() const { return outEnd_ - outStart_; }
  // Writes everything queued, waiting while the socket is full. False on error or time-out.
  bool FlushAll(double deadline);
  // Reads what has arrived. 1: bytes taken, 0: nothing waiting, -1: closed or failed.
  int Receive();
  // The next complete frame that has arrived, with the generic checks done. Keepalive pings
  // from the server ('P', empty) are checked and passed over unless `wantPings`.
  bool NextFrame(Frame& frame, bool wantPings = false);
  // Waits for the next frame (pings passed over). False on time-out or a closed connection.
  bool WaitFrame(Frame& frame, double deadline, bool wantPings = false);

  std::int32_t sentCount() const { return sentCount_; }
  std::uint64_t framesChecked() const { return framesChecked_; }
  std::uint64_t pingsSeen() const { return pingsSeen_; }
  bool failed() const { return failed_; }

 private:
  void Compact();

  int fd_;
  std::string name_;
  std::int32_t sentCount_ = 0;      // our sequence numbers so far
  std::int32_t lastSequence_ = 0;   // last received sequence number
  std::int32_t receivedCount_ = 0;  // frames accepted from the other side
  std::int32_t lastAck_ = 0;
  std::uint64_t framesChecked_ = 0;
  std::uint64_t pingsSeen_ = 0;
  bool failed_ = false;
  bool closed_ = false;
  std::vector<std::uint8_t> in_;
  std::size_t inStart_ = 0, inEnd_ = 0, searchFrom_ = 0;
  std::vector<std::uint8_t> out_;
  std::size_t outStart_ = 0, outEnd_ = 0;
};

// Checks a received tunnelled frame against `expect`. Returns its counter, or -1 (counted).
// `fromClient` receives the sender's client index.
long long CheckTunnel(const Conn& conn, const Frame& frame, const Expect& expect,
                      int* fromClient = nullptr);

double Now();  // seconds on the monotonic clock

}  // namespace bench
