#include "platform/platform.h"
#include "protocol/protocol.h"
#include "session/session.h"

namespace kavo {

bool SendFrame(Session& target, const FrameHeader& header, const unsigned char* payload) {
  if (target.state.load() != SessionState::Open) return false;
  if (!EnterSession(target)) return false;
  const int payloadLength = header.payloadLength;
  const int frameBytes = payloadLength + kMinFrameBytes;
  IoStatus noted = IoStatus::Failed;
  bool queued = false;
  {
    platform::LockGuard guard(target.send.lock);
    ByteRing& ring = target.send.ring;
    // A frame that does not fit whole is refused: unsent bytes are never written over, and
    // nothing is numbered, so the client sees no gap.
    if (target.state.load() == SessionState::Open && frameBytes <= ring.FreeSpace()) {
      FrameHeader stamped = header;
      const std::int32_t sequence = target.sendCount.load(std::memory_order_relaxed) + 1;
      target.sendCount.store(sequence);
      stamped.sequence = sequence;
      stamped.acknowledgement = target.receiveCount.load(std::memory_order_relaxed);
      const int w = ring.writePos;
      ring.WriteAt(w, &stamped, kFrameHeaderBytes);
      ring.WriteAt(w + kFrameHeaderBytes, payload, payloadLength);
      ring.WriteAt(w + kFrameHeaderBytes + payloadLength, kFrameMarker, kFrameMarkerBytes);
      ring.AdvanceWrite(frameBytes);
      noted = target.send.status.load();
      queued = true;
    }
  }
  if (!queued) {
    LeaveSession(target);
    return false;
  }
  // A drain that is already waiting for the socket, or one begun by another thread since the
  // lock was released, carries this frame too.
  if (noted == IoStatus::Idle && target.send.status.load() == IoStatus::Idle) {
    DrainSend(target);
    if (target.state.load() == SessionState::Failed) {
      platform::SleepMs(10);
      CloseSession(target);
    }
  }
  LeaveSession(target);
  return true;
}

}  // namespace kavo
