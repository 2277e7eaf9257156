#include "load_frames.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace bench {
namespace {

constexpr int kPatternPeriod = 255;
constexpr std::size_t kInCapacity = 1u << 18;  // 256 KiB
constexpr std::size_t kReadChunk = 1u << 16;
constexpr int kErrorsShown = 10;

// pattern[k] = 1 + k % 255: no zero, and never the run 3C 45 3E.
struct Pattern {
  std::uint8_t bytes[kPatternPeriod + kavo::kMaxFrameBytes];
  Pattern() {
    for (std::size_t k = 0; k < sizeof bytes; ++k) {
      bytes[k] = static_cast<std::uint8_t>(1 + k % kPatternPeriod);
    }
  }
};
const Pattern kPattern;

std::size_t PatternOffset(int sourceClient, std::uint32_t counter) {
  return (static_cast<std::size_t>(counter) * 31u + static_cast<std::size_t>(sourceClient) * 17u) %
         kPatternPeriod;
}

std::atomic<std::uint64_t> errorCount{0};
std::mutex errorMutex;

}  // namespace

const Mac kBroadcastMac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Mac StationMac(int index) {
  return Mac{0x02, 0x4B, 0x56, 0x4F, 0x01, static_cast<std::uint8_t>(index + 1)};
}

int ClientOfMac(const std::uint8_t* mac) {
  if (mac[0] != 0x02 || mac[1] != 0x4B || mac[2] != 0x56 || mac[3] != 0x4F || mac[4] != 0x01) {
    return -1;
  }
  if (mac[5] < 1 || mac[5] > kMaxClients) return -1;
  return mac[5] - 1;
}

void PutCounter(std::uint8_t* out, std::uint32_t counter) {
  for (int i = 3; i >= 0; --i) {
    out[i] = static_cast<std::uint8_t>(1 + counter % 255u);
    counter /= 255u;
  }
}

bool GetCounter(const std::uint8_t* in, std::uint32_t& counter) {
  std::uint64_t value = 0;
  for (int i = 0; i < 4; ++i) {
    if (in[i] == 0) return false;
    value = value * 255u + static_cast<std::uint64_t>(in[i] - 1);
  }
  counter = static_cast<std::uint32_t>(value);
  return true;
}

void FillPayload(std::uint8_t* payload, int size, const Mac& destination, int sourceClient,
                 std::uint32_t counter) {
  const Mac source = StationMac(sourceClient);
  std::memcpy(payload, destination.data(), 6);
  std::memcpy(payload + 6, source.data(), 6);
  PutCounter(payload + 12, counter);
  if (size > kMinBenchPayload) {
    std::memcpy(payload + kMinBenchPayload,
                kPattern.bytes + PatternOffset(sourceClient, counter) + kMinBenchPayload,
                static_cast<std::size_t>(size - kMinBenchPayload));
  }
}

void ReportError(const std::string& where, const std::string& what) {
  const std::uint64_t n = ++errorCount;
  if (n <= kErrorsShown) {
    std::lock_guard<std::mutex> guard(errorMutex);
    std::fprintf(stderr, "kavo-bench: check failed on %s: %s\n", where.c_str(), what.c_str());
    if (n == kErrorsShown) std::fprintf(stderr, "kavo-bench: further failures only counted\n");
  }
}

std::uint64_t ErrorCount() { return errorCount.load(); }

double Now() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

Conn::Conn(int fd, std::string name) : fd_(fd), name_(std::move(name)), in_(kInCapacity) {
  out_.resize(1u << 16);
}

Conn::~Conn() {
  if (fd_ >= 0) ::close(fd_);
}

void Conn::QueueFrame(char command, std::uint8_t source, const std::uint8_t* payload, int size) {
  const std::size_t bytes = static_cast<std::size_t>(size) + kavo::kMinFrameBytes;
  if (outStart_ == outEnd_) outStart_ = outEnd_ = 0;
  if (out_.size() - outEnd_ < bytes) {
    if (outStart_ > 0) {
      std::memmove(out_.data(), out_.data() + outStart_, outEnd_ - outStart_);
      outEnd_ -= outStart_;
      outStart_ = 0;
    }
    if (out_.size() - outEnd_ < bytes) out_.resize(outEnd_ + bytes + out_.size());
  }
  kavo::FrameHeader header{};
  header.command = command;
  header.source = source;
  header.payloadLength = static_cast<std::int16_t>(size);
  header.sequence = ++sentCount_;
  header.acknowledgement = receivedCount_;
  std::uint8_t* at = out_.data() + outEnd_;
  std::memcpy(at, &header, kavo::kFrameHeaderBytes);
  if (size > 0) std::memcpy(at + kavo::kFrameHeaderBytes, payload, static_cast<std::size_t>(size));
  std::memcpy(at + kavo::kFrameHeaderBytes + size, kavo::kFrameMarker, kavo::kFrameMarkerBytes);
  outEnd_ += bytes;
}

bool Conn::Flush() {
  while (outStart_ < outEnd_) {
    const ssize_t n = ::send(fd_, out_.data() + outStart_, outEnd_ - outStart_, MSG_NOSIGNAL);
    if (n > 0) {
      outStart_ += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n < 0 && errno == EINTR) continue;
    if (!failed_) ReportError(name_, std::string("send failed: ") + std::strerror(errno));
    failed_ = true;
    return false;
  }
  outStart_ = outEnd_ = 0;
  return true;
}

bool Conn::FlushAll(double deadline) {
  while (PendingBytes() > 0) {
    if (!Flush()) return false;
    if (PendingBytes() == 0) break;
    const double left = deadline - Now();
    if (left <= 0) {
      ReportError(name_, "time-out while sending");
      failed_ = true;
      return false;
    }
    pollfd p{fd_, POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
  }
  return true;
}

void Conn::Compact() {
  if (inStart_ == inEnd_) {
    inStart_ = inEnd_ = searchFrom_ = 0;
    return;
  }
  if (in_.size() - inEnd_ < kReadChunk && inStart_ > 0) {
    std::memmove(in_.data(), in_.data() + inStart_, inEnd_ - inStart_);
    inEnd_ -= inStart_;
    searchFrom_ -= inStart_;
    inStart_ = 0;
  }
}

int Conn::Receive() {
  if (closed_ || failed_) return -1;
  Compact();
  for (;;) {
    const ssize_t n = ::recv(fd_, in_.data() + inEnd_, in_.size() - inEnd_, 0);
    if (n > 0) {
      inEnd_ += static_cast<std::size_t>(n);
      return 1;
    }
    if (n == 0) {
      closed_ = true;
      return -1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    ReportError(name_, std::string("receive failed: ") + std::strerror(errno));
    failed_ = true;
    return -1;
  }
}

bool Conn::NextFrame(Frame& frame, bool wantPings) {
  for (;;) {
    const std::size_t unread = inEnd_ - inStart_;
    if (unread < static_cast<std::size_t>(kavo::kMinFrameBytes)) return false;
    // The marker is searched from the 13th byte of the frame on, never by the length field.
    std::size_t pos = std::max(searchFrom_, inStart_ + kavo::kFrameHeaderBytes);
    const std::uint8_t* base = in_.data();
    std::size_t end = 0;
    while (pos + kavo::kFrameMarkerBytes <= inEnd_) {
      const void* hit = std::memchr(base + pos, kavo::kFrameMarker[0],
                                    inEnd_ - kavo::kFrameMarkerBytes + 1 - pos);
      if (hit == nullptr) {
        pos = inEnd_ - kavo::kFrameMarkerBytes + 1;
        break;
      }
      pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - base);
      if (std::memcmp(base + pos, kavo::kFrameMarker, kavo::kFrameMarkerBytes) == 0) {
        end = pos + kavo::kFrameMarkerBytes;
        break;
      }
      ++pos;
    }
    if (end == 0) {
      searchFrom_ = pos;
      if (unread > static_cast<std::size_t>(kavo::kMaxFrameBytes)) {
        ReportError(name_, "no end marker within " + std::to_string(kavo::kMaxFrameBytes) +
                               " bytes");
        failed_ = true;
        inStart_ = inEnd_ = searchFrom_ = 0;
      }
      return false;
    }
    const std::size_t frameBytes = end - inStart_;
    std::memcpy(&frame.header, base + inStart_, kavo::kFrameHeaderBytes);
    frame.payload = base + inStart_ + kavo::kFrameHeaderBytes;
    frame.payloadBytes = static_cast<int>(frameBytes) - kavo::kMinFrameBytes;
    inStart_ = end;
    searchFrom_ = end;
    ++framesChecked_;

    const kavo::FrameHeader& h = frame.header;
    if (frameBytes > static_cast<std::size_t>(kavo::kMaxFrameBytes)) {
      ReportError(name_, "frame of " + std::to_string(frameBytes) + " bytes");
    }
    if (h.sequence != lastSequence_ + 1) {
      ReportError(name_, "sequence " + std::to_string(h.sequence) + " after " +
                             std::to_string(lastSequence_));
    }
    lastSequence_ = h.sequence;
    ++receivedCount_;
    if (h.payloadLength != frame.payloadBytes) {
      ReportError(name_, "length field " + std::to_string(h.payloadLength) + " for " +
                             std::to_string(frame.payloadBytes) + " payload bytes");
    }
    if (h.acknowledgement < lastAck_ || h.acknowledgement > sentCount_) {
      ReportError(name_, "acknowledgement " + std::to_string(h.acknowledgement) + " (before " +
                             std::to_string(lastAck_) + ", sent " + std::to_string(sentCount_) +
                             ")");
    }
    lastAck_ = h.acknowledgement;
    if (h.command == kavo::command::kPing) {
      ++pingsSeen_;
      if (frame.payloadBytes != 0) ReportError(name_, "keepalive ping with a payload");
      if (!wantPings) continue;
    }
    return true;
  }
}

bool Conn::WaitFrame(Frame& frame, double deadline, bool wantPings) {
  for (;;) {
    if (NextFrame(frame, wantPings)) return true;
    if (failed_) return false;
    const int got = Receive();
    if (got > 0) continue;
    if (got < 0) {
      if (!failed_) ReportError(name_, "connection closed while a frame was awaited");
      failed_ = true;
      return false;
    }
    const double left = deadline - Now();
    if (left <= 0) {
      ReportError(name_, "time-out while a frame was awaited");
      failed_ = true;
      return false;
    }
    pollfd p{fd_, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
  }
}

long long CheckTunnel(const Conn& conn, const Frame& frame, const Expect& expect,
                      int* fromClient) {
  const kavo::FrameHeader& h = frame.header;
  std::string what;
  std::uint32_t counter = 0;
  int from = -1;
  if (h.command != expect.command) {
    what = std::string("command '") + h.command + "', expected '" + expect.command + "'";
  } else if (frame.payloadBytes != expect.size) {
    what = "payload of " + std::to_string(frame.payloadBytes) + " bytes, expected " +
           std::to_string(expect.size);
  } else if (frame.payloadBytes < kMinBenchPayload) {
    what = "payload too short";
  } else if (expect.destination != nullptr &&
             std::memcmp(frame.payload, expect.destination->data(), 6) != 0) {
    what = "wrong destination address";
  } else if ((from = ClientOfMac(frame.payload + 6)) < 0) {
    what = "unknown source address";
  } else if (expect.fromClient >= 0 && from != expect.fromClient) {
    what = "from client " + std::to_string(from) + ", expected " +
           std::to_string(expect.fromClient);
  } else if (from == expect.self) {
    what = "own frame came back";
  } else if (!GetCounter(frame.payload + 12, counter)) {
    what = "bad counter bytes";
  } else {
    const int wantSource = expect.sourceByte >= 0 ? expect.sourceByte
                           : expect.sourceByteOf != nullptr ? expect.sourceByteOf[from]
                                                            : -1;
    if (wantSource >= 0 && h.source != wantSource) {
      what = "source byte " + std::to_string(h.source) + ", expected " +
             std::to_string(wantSource);
    } else if (frame.payloadBytes > kMinBenchPayload &&
               std::memcmp(frame.payload + kMinBenchPayload,
                           kPattern.bytes + PatternOffset(from, counter) + kMinBenchPayload,
                           static_cast<std::size_t>(frame.payloadBytes - kMinBenchPayload)) !=
                   0) {
      what = "payload pattern damaged (counter " + std::to_string(counter) + ")";
    }
  }
  if (!what.empty()) {
    ReportError(conn.name(), what);
    return -1;
  }
  if (fromClient != nullptr) *fromClient = from;
  return counter;
}

}  // namespace bench
