// A TCP client that speaks the relay's frame protocol to a server on 127.0.0.1.
//
// Frames: a 12-byte header (command, source, payload length as signed 16-bit, sequence and
// acknowledgement as 32-bit, all little-endian), the payload and the end marker 3C 45 3E 00.
// The client numbers the frames it sends 1, 2, 3 ... and, by default, acknowledges the
// number of frames it has received. Received frames are cut at the marker; each one's
// sequence number is checked against the one before it (server numbering has no gaps).
//
// One thread may send while another receives; each direction is used by one thread at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kavo_test {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kMarker[4] = {0x3C, 0x45, 0x3E, 0x00};
constexpr std::size_t kHeaderBytes = 12;

struct Frame {
  char command = 0;
  std::uint8_t source = 0;
  std::int16_t payloadLength = 0;  // as the header says
  std::int32_t sequence = 0;
  std::int32_t acknowledgement = 0;
  Bytes payload;

  std::string PayloadText() const { return std::string(payload.begin(), payload.end()); }
  bool IsKeepalive() const { return command == 'P' && payload.empty(); }
  std::string Describe() const;
};

// Header fields to send instead of the client's own numbering.
struct SendOptions {
  std::optional<std::int32_t> sequence;         // also moves the client's numbering on
  std::optional<std::int32_t> acknowledgement;  // default: frames received so far
  std::optional<std::int16_t> payloadLength;    // default: the payload's size
};

Bytes ToBytes(const std::string& text);
Bytes BuildFrame(char command, std::uint8_t source, const Bytes& payload,
                 std::int32_t sequence, std::int32_t acknowledgement,
                 std::int16_t payloadLength);

class TestClient {
 public:
  using Millis = std::chrono::milliseconds;

  TestClient() = default;
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  // Asks for a small receive buffer (set before connecting), so that unread data backs up.
  void SetReceiveBuffer(int bytes) { receiveBuffer_ = bytes; }

  // Connects to 127.0.0.1:port, retrying while the connection is refused, for at most
  // `timeout`.
  bool Connect(std::uint16_t port, Millis timeout = Millis(5000));
  bool connected() const { return fd_ >= 0; }
  std::uint16_t localPort() const { return localPort_; }
  int fd() const { return fd_; }

  // Sends one frame numbered by the client (1, 2, 3 ... unless overridden).
  bool Send(char command, std::uint8_t source, const Bytes& payload,
            const SendOptions& options = {});
  bool Send(char command, std::uint8_t source, const std::string& payload,
            const SendOptions& options = {}) {
    return Send(command, source, ToBytes(payload), options);
  }
  // Builds the next numbered frame without sending it (for SendRaw batches).
  Bytes NextFrame(char command, std::uint8_t source, const Bytes& payload,
                  const SendOptions& options = {});
  // Writes the bytes as they are, all of them (blocking).
  bool SendRaw(const Bytes& bytes);
  bool SendRaw(const void* bytes, std::size_t count);
  std::int32_t nextSequence() const { return nextSequence_; }

  // The next whole frame, or nothing when none arrived in time or the peer closed. With
  // `skipKeepalive`, the server's keepalive pings ('P' with an empty payload) are counted
  // and passed over.
  std::optional<Frame> ReceiveFrame(Millis timeout, bool skipKeepalive = true);
  // True when no frame other than a keepalive ping arrives within `duration`. A frame that
  // does arrive is kept in unexpected().
  bool ExpectNoFrame(Millis duration);
  const std::optional<Frame>& unexpected() const { return unexpected_; }

  // True once the peer has closed the connection (end of stream or reset) within `timeout`;
  // frames that arrive meanwhile are read and dropped.
  bool WaitForClose(Millis timeout);
  bool peerClosed() const { return peerClosed_; }

  // Frames received so far (keepalive pings included) and the sequence check.
  std::int32_t framesReceived() const { return framesReceived_; }
  std::int32_t lastSequence() const { return lastSequence_; }
  int keepalivesSkipped() const { return keepalivesSkipped_; }
  int sequenceErrors() const { return sequenceErrors_; }
  // Frames whose payloadLength field disagreed with the bytes before the marker.
  int lengthErrors() const { return lengthErrors_; }

  void ShutdownSend();
  // Graceful close.
  void Close();
  // Abortive close: SO_LINGER with a zero time, then close (the peer sees a reset).
  void Reset();

 private:
  bool ReadSome(Millis timeout);  // false on time-out or close
  std::optional<Frame> TakeFrame();

  int fd_ = -1;
  int receiveBuffer_ = 0;
  std::uint16_t localPort_ = 0;
  std::mutex sendMutex_;
  std::int32_t nextSequence_ = 1;
  Bytes received_;
  std::atomic<std::int32_t> framesReceived_{0};
  std::int32_t lastSequence_ = 0;
  int keepalivesSkipped_ = 0;
  int sequenceErrors_ = 0;
  int lengthErrors_ = 0;
  bool peerClosed_ = false;
  std::optional<Frame> unexpected_;
};

}  // namespace kavo_test
