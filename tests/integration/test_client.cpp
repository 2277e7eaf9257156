#include "integration/test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <thread>

namespace kavo_test {

namespace {

void PutLe16(Bytes& out, std::int16_t value) {
  const auto v = static_cast<std::uint16_t>(value);
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void PutLe32(Bytes& out, std::int32_t value) {
  const auto v = static_cast<std::uint32_t>(value);
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>((v >> shift) & 0xFF));
  }
}

std::int32_t GetLe32(const std::uint8_t* p) {
  const std::uint32_t v = static_cast<std::uint32_t>(p[0]) |
                          (static_cast<std::uint32_t>(p[1]) << 8) |
                          (static_cast<std::uint32_t>(p[2]) << 16) |
                          (static_cast<std::uint32_t>(p[3]) << 24);
  return static_cast<std::int32_t>(v);
}

}  // namespace

std::string Frame::Describe() const {
  std::ostringstream text;
  text << "frame '" << (command >= 32 && command < 127 ? command : '?') << "' (0x" << std::hex
       << static_cast<int>(static_cast<unsigned char>(command)) << std::dec
       << ") source=" << static_cast<int>(source) << " length=" << payloadLength
       << " seq=" << sequence << " ack=" << acknowledgement << " payload=" << payload.size()
       << " bytes";
  return text.str();
}

Bytes ToBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes BuildFrame(char command, std::uint8_t source, const Bytes& payload,
                 std::int32_t sequence, std::int32_t acknowledgement,
                 std::int16_t payloadLength) {
  Bytes frame;
  frame.reserve(payload.size() + 16);
  frame.push_back(static_cast<std::uint8_t>(command));
  frame.push_back(source);
  PutLe16(frame, payloadLength);
  PutLe32(frame, sequence);
  PutLe32(frame, acknowledgement);
  frame.insert(frame.end(), payload.begin(), payload.end());
  frame.insert(frame.end(), std::begin(kMarker), std::end(kMarker));
  return frame;
}

TestClient::~TestClient() { Close(); }

bool TestClient::Connect(std::uint16_t port, Millis timeout) {
  Close();
  // A new connection: both directions are numbered afresh.
  peerClosed_ = false;
  received_.clear();
  nextSequence_ = 1;
  framesReceived_ = 0;
  lastSequence_ = 0;
  keepalivesSkipped_ = 0;
  sequenceErrors_ = 0;
  lengthErrors_ = 0;
  unexpected_.reset();
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    if (receiveBuffer_ > 0) {
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer_, sizeof(receiveBuffer_));
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
      sockaddr_in local{};
      socklen_t length = sizeof(local);
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
      localPort_ = ntohs(local.sin_port);
      fd_ = fd;
      return true;
    }
    const int error = errno;
    ::close(fd);
    if (error != ECONNREFUSED && error != EINTR && error != EAGAIN) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(Millis(20));
  }
}

Bytes TestClient::NextFrame(char command, std::uint8_t source, const Bytes& payload,
                            const SendOptions& options) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  const std::int32_t sequence = options.sequence.value_or(nextSequence_);
  nextSequence_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(sequence) + 1u);
  const std::int32_t acknowledgement = options.acknowledgement.value_or(framesReceived_.load());
  const auto length = options.payloadLength.value_or(static_cast<std::int16_t>(payload.size()));
  return BuildFrame(command, source, payload, sequence, acknowledgement, length);
}

bool TestClient::Send(char command, std::uint8_t source, const Bytes& payload,
                      const SendOptions& options) {
  return SendRaw(NextFrame(command, source, payload, options));
}

bool TestClient::SendRaw(const Bytes& bytes) { return SendRaw(bytes.data(), bytes.size()); }

bool TestClient::SendRaw(const void* bytes, std::size_t count) {
  if (fd_ < 0) return false;
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t sent = ::send(fd_, p + done, count - done, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(sent);
  }
  return true;
}

bool TestClient::ReadSome(Millis timeout) {
  if (fd_ < 0 || peerClosed_) return false;
  pollfd entry{fd_, POLLIN, 0};
  const int ready = ::poll(&entry, 1, static_cast<int>(std::max<Millis::rep>(0, timeout.count())));
  if (ready <= 0) return false;
  std::uint8_t chunk[65536];
  const ssize_t count = ::recv(fd_, chunk, sizeof(chunk), 0);
  if (count > 0) {
    received_.insert(received_.end(), chunk, chunk + count);
    return true;
  }
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  peerClosed_ = true;
  return false;
}

std::optional<Frame> TestClient::TakeFrame() {
  if (received_.size() < 16) return std::nullopt;
  // The marker is searched from the 13th byte on: a header can hold the marker's bytes.
  const auto begin = received_.begin() + static_cast<std::ptrdiff_t>(kHeaderBytes);
  const auto at = std::search(begin, received_.end(), std::begin(kMarker), std::end(kMarker));
  if (at == received_.end()) return std::nullopt;
  Frame frame;
  frame.command = static_cast<char>(received_[0]);
  frame.source = received_[1];
  frame.payloadLength = static_cast<std::int16_t>(
      static_cast<std::uint16_t>(received_[2] | (static_cast<unsigned>(received_[3]) << 8)));
  frame.sequence = GetLe32(&received_[4]);
  frame.acknowledgement = GetLe32(&received_[8]);
  frame.payload.assign(begin, at);
  received_.erase(received_.begin(), at + 4);
  if (static_cast<std::size_t>(frame.payloadLength) != frame.payload.size()) ++lengthErrors_;
  if (frame.sequence != static_cast<std::int32_t>(static_cast<std::uint32_t>(lastSequence_) + 1u)) {
    ++sequenceErrors_;
  }
  lastSequence_ = frame.sequence;
  framesReceived_.fetch_add(1);
  return frame;
}

std::optional<Frame> TestClient::ReceiveFrame(Millis timeout, bool skipKeepalive) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    while (auto frame = TakeFrame()) {
      if (skipKeepalive && frame->IsKeepalive()) {
        ++keepalivesSkipped_;
        continue;
      }
      return frame;
    }
    const auto left =
        std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    if (!ReadSome(left) && peerClosed_) {
      // Whatever whole frames arrived before the close are still delivered.
      while (auto frame = TakeFrame()) {
        if (skipKeepalive && frame->IsKeepalive()) {
          ++keepalivesSkipped_;
          continue;
        }
        return frame;
      }
      return std::nullopt;
    }
  }
}

bool TestClient::ExpectNoFrame(Millis duration) {
  unexpected_ = ReceiveFrame(duration);
  return !unexpected_.has_value();
}

bool TestClient::WaitForClose(Millis timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!peerClosed_) {
    while (TakeFrame()) {
    }
    const auto left =
        std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    ReadSome(left);
  }
  return true;
}

void TestClient::ShutdownSend() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void TestClient::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void TestClient::Reset() {
  if (fd_ >= 0) {
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace kavo_test
