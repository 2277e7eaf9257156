// Frames: reading them out of a session's receive ring, writing them into a send ring, and
// relaying each one by its command letter.
#pragma once

#include "protocol/frame_format.h"
#include "protocol/station_table.h"

namespace kavo {

struct Session;

// ---- Frame writer ---------------------------------------------------------------------------
// Queues one frame to `target`, stamped with the target's next sequence number and its
// receive count, and sends at once on this thread when no earlier send is outstanding.
// False when the target is not open or the frame does not fit whole in its send ring; then
// nothing was stamped or queued.
bool SendFrame(Session& target, const FrameHeader& header, const unsigned char* payload);
// From Begin to End, the calling thread's SendFrame queues without sending, and a flush (End
// flushes too) sends once to every target queued to since the last flush: a batch of small
// frames received together leaves in one send per target instead of one per frame.
void BeginDeferredDrains();
void FlushDeferredDrains();
void EndDeferredDrains();

// ---- Frame reader ---------------------------------------------------------------------------
// Bytes from readPos through the end of the first complete marker that begins at or after the
// 13th unread byte, or -1 when there is none (or fewer than 16 bytes are unread).
int FindFrameEnd(const Session& session);
// Takes the next frame out of the receive ring. False when none is delivered: not open, no
// complete frame, an over-long frame dropped, or a sequence break (the session is closed).
bool ReadFrame(Session& session, FrameHeader& header, unsigned char* payload, int limit);
// Takes every complete frame out of the receive ring and dispatches each.
void ProcessFrames(Session& session);
// When the receive ring is full and holds no complete frame, passes its bytes over with the
// size line. True when it dropped them.
bool DropUnframedBytes(Session& session);

// ---- Dispatcher -----------------------------------------------------------------------------
// Relays one accepted frame by its command letter. `payload` is the reader's buffer of
// kMaxFrameBytes bytes, so a zero byte fits after any payload.
void DispatchFrame(Session& sender, FrameHeader& header, unsigned char* payload);

}  // namespace kavo
