#include <cstdint>

#include "platform/platform.h"
#include "protocol/protocol.h"
#include "session/session.h"

namespace kavo {
namespace {

// Targets whose drain waits for the end of the calling thread's current batch of received
// frames, one bit per slot; each set bit holds the thread's place in that slot.
struct DeferredDrains {
  bool active = false;
  std::uint64_t targets = 0;
};
thread_local DeferredDrains t_deferred;

// Sends what the frame writer queued, and closes the target if that send failed. A target
// that another thread is closing is left to that thread, without the pause.
void DrainAfterQueueing(Session& target) {
  if (DrainSend(target) < 0) {
    platform::SleepMs(10);
    CloseSession(target);
  }
}

}  // namespace

void BeginDeferredDrains() {
  t_deferred.active = true;
  t_deferred.targets = 0;
}

void EndDeferredDrains() {
  FlushDeferredDrains();
  t_deferred.active = false;
}

void FlushDeferredDrains() {
  std::uint64_t targets = t_deferred.targets;
  t_deferred.targets = 0;
  for (int slot = 0; targets != 0; ++slot, targets >>= 1) {
    if ((targets & 1u) == 0) continue;
    Session& target = SessionTable[slot];
    // Another thread may have drained it meanwhile, or met a full socket (then the target's
    // own worker sends the rest when there is room).
    if (target.send.status.load() == IoStatus::Idle) DrainAfterQueueing(target);
    LeaveSession(target);
  }
}

bool SendFrame(Session& target, const FrameHeader& header, const unsigned char* payload) {
  if (!IsOpen(target)) return false;
  // A target already queued to in this batch is still held by this thread.
  const std::uint64_t bit = std::uint64_t{1} << target.id;
  const bool held = t_deferred.active && (t_deferred.targets & bit) != 0;
  if (!held && !EnterSession(target)) return false;
  const int payloadLength = header.payloadLength;
  const int frameBytes = payloadLength + kMinFrameBytes;
  IoStatus noted = IoStatus::Failed;
  bool queued = false;
  {
    platform::LockGuard guard(target.send.lock);
    ByteRing& ring = target.send.ring;
    // A frame that does not fit whole is refused: unsent bytes are never written over, and
    // nothing is numbered, so the client sees no gap.
    if (IsOpen(target) && frameBytes <= ring.FreeSpace()) {
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
    if (held) {
      // What fills the ring may be this batch's own frames, not yet sent: send them now and
      // try once more, as a frame sent at once would have found the room.
      FlushDeferredDrains();
      return SendFrame(target, header, payload);
    }
    LeaveSession(target);
    return false;
  }
  if (held) return true;  // the batch's flush sends it
  // A drain that is already waiting for the socket, or one begun by another thread since the
  // lock was released, carries this frame too.
  if (noted == IoStatus::Idle && target.send.status.load() == IoStatus::Idle) {
    if (t_deferred.active) {
      // Frames of one batch leave together, in one send, when the batch is taken apart; the
      // flush leaves the slot for this thread.
      t_deferred.targets |= bit;
      return true;
    } else {
      DrainAfterQueueing(target);
    }
  }
  LeaveSession(target);
  return true;
}

}  // namespace kavo
