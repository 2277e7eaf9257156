#include <algorithm>

#include "diag/diag.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "session/session.h"

namespace kavo {
namespace {

bool IsClosed(const Session& session) { return session.closeClaimed.load() != 0; }

void MarkFailed(SessionChannel& channel, Session& session) {
  channel.status.store(IoStatus::Failed);
  channel.lastActivity.store(SessionClock());
  session.state.store(SessionState::Failed);
}

// Frames already received in full still go out when their sender is about to be closed; an
// over-long frame stops one reading pass, so passes repeat while they make progress.
void TakeRemainingFrames(Session& session) {
  for (int pass = 0; pass < kRingCapacity / kMinFrameBytes && IsOpen(session); ++pass) {
    const int before = session.receive.ring.readPos;
    ProcessFrames(session);
    if (session.receive.ring.readPos == before) return;
  }
}

// A receive never writes over unread bytes. When the ring is full, the frames it holds are
// taken out first; a full ring with no frame in it is passed over whole.
void MakeReceiveRoom(Session& session) {
  ByteRing& ring = session.receive.ring;
  while (ring.FreeSpace() == 0 && IsOpen(session)) {
    const int before = ring.readPos;
    ProcessFrames(session);
    if (ring.readPos == before) {
      DropUnframedBytes(session);
      return;
    }
  }
}

}  // namespace

int PumpReceive(Session& session) {
  ByteRing& ring = session.receive.ring;
  MakeReceiveRoom(session);
  const int offset = ring.writePos == ring.capacity ? 0 : ring.writePos;
  const int space = std::min(ring.capacity - offset, ring.FreeSpace());
  if (space <= 0) return platform::kSocketFailed;

  int received;
  {
    platform::LockGuard guard(session.receive.lock);
    session.receive.status.store(IoStatus::Busy);
    session.receive.lastActivity.store(SessionClock());
    received = platform::ReceiveSocket(session.socket, ring.buffer + offset, space);
    if (received > 0) {
      ring.writePos = offset + received;
      session.receive.status.store(IoStatus::Idle);
      session.receive.lastActivity.store(SessionClock());
    } else if (received == 0) {
      PrintOut("%d:受信時エラー切断しました(送信バイト0)\n", session.id);
      MarkFailed(session.receive, session);
    } else if (platform::LastSocketError() != platform::kErrWouldBlock) {
      MarkFailed(session.receive, session);
      PrintOut("%d:受信時エラー切断しました(SOCKET_ERROR)\n", session.id);
    }
  }
  if (received > 0) ProcessFrames(session);
  return received;
}

int DrainSend(Session& session) {
  platform::LockGuard guard(session.send.lock);
  // After a close the socket's sending side is gone; what is left in the ring stays unsent.
  if (IsClosed(session)) return 0;
  ByteRing& ring = session.send.ring;
  int remaining = ring.Pending();
  int position = ring.readPos;
  int sent = 0;
  while (remaining > 0) {
    if (position == ring.capacity) position = 0;
    const int piece = std::min(remaining, ring.capacity - position);
    session.send.status.store(IoStatus::Busy);
    session.send.lastActivity.store(SessionClock());
    const int n = platform::SendSocket(session.socket, ring.buffer + position, piece);
    if (n > 0) {
      ring.readPos = position + n;
      session.send.status.store(IoStatus::Idle);
      session.send.lastActivity.store(SessionClock());
      sent += n;
      position += n;
      remaining -= n;
      continue;
    }
    if (n < 0 && platform::LastSocketError() == platform::kErrWouldBlock) return sent;
    if (n < 0) {
      MarkFailed(session.send, session);
      PrintOut("%d:送信時エラー切断しました(SOCKET_ERROR)\n", session.id);
    } else {
      PrintOut("%d:送信時エラー切断しました(送信バイト0)\n", session.id);
      MarkFailed(session.send, session);
    }
    return -1;
  }
  return sent;
}

void NetworkWorker(Session& session) {
  platform::SocketEvents* events = session.events;
  const bool attached = platform::AttachSocketEvents(events, session.socket) == 0;
  while (attached && IsOpen(session)) {
    if (!platform::WaitSocketEvents(events)) break;
    if (!IsOpen(session)) break;  // closed by another thread, which woke us
    const int happened = platform::TakeSocketEvents(events);
    if (happened == platform::kSocketFailed) {
      PrintOut("SOCKET_ERROR on RecvEvent\n");
      break;
    }
    if ((happened & platform::kEventClose) != 0) {
      TakeRemainingFrames(session);
      break;
    }
    // Each step runs whatever the one before found, but nothing touches the socket once the
    // connection has been closed within this pass.
    if ((happened & platform::kEventRead) != 0) {
      PumpReceive(session);
      if (!IsClosed(session)) DrainSend(session);
    }
    if ((happened & platform::kEventWrite) != 0 && !IsClosed(session)) {
      DrainSend(session);
      if (!IsClosed(session)) PumpReceive(session);
    }
  }
  CloseSession(session);
  if (attached) platform::DetachSocketEvents(events);
  LeaveSession(session);
}

void KeepaliveWorker(Session& session) {
  FrameHeader ping{};
  ping.command = command::kPing;
  ping.source = 0;
  ping.payloadLength = 0;
  while (IsOpen(session)) {
    if (session.keepaliveWake.WaitFor(kKeepalivePeriodMs)) break;  // the session was closed
    const std::int32_t now = SessionClock();
    const std::int32_t quiet = static_cast<std::int32_t>(
        static_cast<std::uint32_t>(now) -
        static_cast<std::uint32_t>(session.receive.lastActivity.load()));
    if (quiet > kKeepaliveQuietMs) SendFrame(session, ping, nullptr);
  }
  LeaveSession(session);
}

}  // namespace kavo
