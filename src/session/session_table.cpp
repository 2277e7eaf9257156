#include "diag/diag.h"
#include "platform/platform.h"
#include "session/session.h"

namespace kavo {

Session SessionTable[kMaxSessions];
std::atomic<std::uint64_t> ConnectedSlots{0};

namespace {

std::uint32_t g_clockBase = 0;

void RunKeepalive(void* session) { KeepaliveWorker(*static_cast<Session*>(session)); }
void RunNetwork(void* session) { NetworkWorker(*static_cast<Session*>(session)); }

// The last thread out of a closed connection: only now may the socket handle go back to the
// system and the slot to the accept loop.
void ReleaseSession(Session& session) {
  platform::CloseSocket(session.socket);
  session.socket = platform::kInvalidSocket;
  ConnectedSlots.fetch_and(~(std::uint64_t{1} << session.id));
  session.state.store(SessionState::Free, std::memory_order_release);
}

}  // namespace

void StartSessionClock() { g_clockBase = platform::TickCount(); }

std::int32_t SessionClock() {
  return static_cast<std::int32_t>(platform::TickCount() - g_clockBase);
}

void ResetSessionTable() {
  ConnectedSlots.store(0);
  for (int i = 0; i < kMaxSessions; ++i) {
    SessionTable[i].socket = platform::kInvalidSocket;
    SessionTable[i].state.store(SessionState::Free);
    SessionTable[i].id = i;
  }
}

int FindFreeSession() {
  for (int i = 0; i < kMaxSessions; ++i) {
    if (SessionTable[i].state.load(std::memory_order_acquire) == SessionState::Free) return i;
  }
  return -1;
}

bool ResetSession(Session& session, int capacity) {
  session.send.ring.ResetRing(capacity);
  session.receive.ring.ResetRing(capacity);
  if (session.events == nullptr) session.events = platform::CreateSocketEvents();
  const std::int32_t now = SessionClock();
  session.send.lastActivity.store(now);
  session.receive.lastActivity.store(now);
  session.send.status.store(IoStatus::Idle);
  session.receive.status.store(IoStatus::Idle);
  session.state.store(SessionState::Ready);
  session.sendCount.store(0);
  session.receiveCount.store(0);
  session.lastSequence = 0;
  ClearStations(session.stations);
  session.closeClaimed.store(0);
  session.users.store(0);
  session.keepaliveWake.Clear();
  return session.send.ring.buffer != nullptr && session.receive.ring.buffer != nullptr &&
         session.events != nullptr;
}

bool AcceptSession(Session& session, platform::SocketHandle listener) {
  const bool ready = ResetSession(session, kRingCapacity);
  session.socket = platform::AcceptSocket(listener, &session.peerAddress);
  if (session.socket == platform::kInvalidSocket) {
    session.state.store(SessionState::Free);
    return false;
  }
  if (!ready) {
    // Without its buffers the session cannot run: the client is turned away.
    platform::CloseSocket(session.socket);
    session.socket = platform::kInvalidSocket;
    session.state.store(SessionState::Free);
    platform::SetLastSocketError(platform::kErrNoBuffers);
    return false;
  }
  session.lastSequence = 0;
  return StartSession(session);
}

void OpenSessionWithoutWorkers(Session& session, platform::SocketHandle socket) {
  session.socket = socket;
  session.lastSequence = 0;
  session.closeClaimed.store(0);
  session.users.store(1);
  ConnectedSlots.fetch_or(std::uint64_t{1} << session.id);
  session.state.store(SessionState::Open, std::memory_order_release);
}

bool StartSession(Session& session) {
  // Latency matters more than packet count for play: small frames leave at once.
  if (platform::SetNoDelay(session.socket, 1) != 0) PrintOut("TCP_NODELAY失敗\n");
  OpenSessionWithoutWorkers(session, session.socket);
  // Each worker is counted in before it starts, so the slot cannot be freed under it.
  session.users.fetch_add(1);
  if (!platform::StartThread(RunKeepalive, &session)) {
    session.users.fetch_sub(1);
    CloseSession(session);
    return true;
  }
  session.users.fetch_add(1);
  if (!platform::StartThread(RunNetwork, &session)) {
    session.users.fetch_sub(1);
    CloseSession(session);
  }
  return true;
}

bool EnterSession(Session& session) {
  std::int32_t users = session.users.load();
  while (users > 0) {
    if (session.users.compare_exchange_weak(users, users + 1)) return true;
  }
  return false;
}

void LeaveSession(Session& session) {
  if (session.users.fetch_sub(1) == 1) ReleaseSession(session);
}

bool CloseSession(Session& session) {
  if (session.state.load() == SessionState::Free) return true;
  if (session.closeClaimed.exchange(1) != 0) return true;
  if (session.state.load() != SessionState::Free) session.state.store(SessionState::Failed);
  {
    // Under the send lock: no drain is between its check and its send when the socket's
    // sending side goes, so nothing is sent into a shut socket.
    platform::LockGuard guard(session.send.lock);
    platform::ShutdownSending(session.socket);
  }
  if (session.events != nullptr) platform::WakeSocketEvents(session.events);
  session.keepaliveWake.Raise();
  LeaveSession(session);
  return true;
}

}  // namespace kavo
