#include <algorithm>
#include <cstring>

#include "diag/diag.h"
#include "protocol/protocol.h"
#include "session/session.h"

namespace kavo {
namespace {

void PrintSizeLine(int length, int limit) {
  PrintOut("致命的エラー:サイズ上限を超えたコマンドを受信しました。(%d > %d)このコマンドをスルーします。\n",
           length, limit);
}

}  // namespace

int FindFrameEnd(const Session& session) {
  const ByteRing& ring = session.receive.ring;
  const int pending = ring.Pending();
  if (pending < kMinFrameBytes) return -1;
  const int capacity = ring.capacity;
  const unsigned char* buffer = ring.buffer;
  const int base = ring.readPos == capacity ? 0 : ring.readPos;
  auto byteAt = [&](int offset) {
    int p = base + offset;
    if (p >= capacity) p -= capacity;
    return buffer[p];
  };
  // A marker starts after the header (so a header that spells it cannot stall the reader) and
  // must lie wholly among the unread bytes.
  const int last = pending - kFrameMarkerBytes;
  int offset = kFrameHeaderBytes;
  while (offset <= last) {
    int physical = base + offset;
    if (physical >= capacity) physical -= capacity;
    const int run = std::min(last - offset + 1, capacity - physical);
    const void* hit = std::memchr(buffer + physical, kFrameMarker[0], static_cast<std::size_t>(run));
    if (hit == nullptr) {
      offset += run;
      continue;
    }
    const int found = offset + static_cast<int>(static_cast<const unsigned char*>(hit) - (buffer + physical));
    if (byteAt(found + 1) == kFrameMarker[1] && byteAt(found + 2) == kFrameMarker[2] &&
        byteAt(found + 3) == kFrameMarker[3]) {
      return found + kFrameMarkerBytes;
    }
    offset = found + 1;
  }
  return -1;
}

bool ReadFrame(Session& session, FrameHeader& header, unsigned char* payload, int limit) {
  if (!IsOpen(session)) return false;
  ByteRing& ring = session.receive.ring;
  session.receive.lock.Enter();
  const int length = FindFrameEnd(session);
  if (length < kMinFrameBytes) {
    session.receive.lock.Leave();
    return false;
  }
  if (length > limit) {
    PrintSizeLine(length, limit);
    ring.AdvanceRead(length);
    session.receive.lock.Leave();
    return false;
  }
  ring.ReadAt(ring.readPos, &header, kFrameHeaderBytes);
  ring.ReadAt(ring.readPos + kFrameHeaderBytes, payload, length - kMinFrameBytes);
  header.payloadLength = static_cast<std::int16_t>(length - kMinFrameBytes);
  ring.AdvanceRead(length);

  // Sequence numbers wrap at 32 bits: after 2147483647 comes -2147483648.
  const auto expected =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(session.lastSequence) + 1u);
  if (session.lastSequence != 0 && header.sequence != expected) {
    const auto gap = static_cast<std::int32_t>(static_cast<std::uint32_t>(header.sequence) -
                                               static_cast<std::uint32_t>(expected));
    PrintOut("LostSendCount! %d - %d = %d\n", header.sequence, expected, gap);
    session.lastSequence = 0;
    PrintOut("エラーのため一度再接続します\n");
    session.receive.lock.Leave();
    // What the frames before the break relayed leaves before the connection goes.
    FlushDeferredDrains();
    CloseSession(session);
    return false;
  }
  session.lastSequence = header.sequence;
  session.receiveCount.store(session.receiveCount.load(std::memory_order_relaxed) + 1);
  session.receive.lock.Leave();
  return true;
}

void ProcessFrames(Session& session) {
  FrameHeader header;
  unsigned char payload[kMaxFrameBytes];
  BeginDeferredDrains();
  while (ReadFrame(session, header, payload, kMaxFrameBytes)) {
    DispatchFrame(session, header, payload);
  }
  EndDeferredDrains();
}

bool DropUnframedBytes(Session& session) {
  ByteRing& ring = session.receive.ring;
  platform::LockGuard guard(session.receive.lock);
  if (ring.FreeSpace() > 0 || FindFrameEnd(session) >= 0) return false;
  const int unread = ring.Pending();
  PrintSizeLine(unread, kMaxFrameBytes);
  ring.AdvanceRead(unread);
  return true;
}

}  // namespace kavo
