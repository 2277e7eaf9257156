// The fixed table of session slots, each session's life cycle, and its two worker threads.
//
// Threads meet in a slot through its `state` word and a count of the threads of the current
// connection that are inside the slot (`users`). The count starts at one for the open
// connection itself; each worker holds one for its whole run and every frame writer holds one
// while it works. The first CloseSession of a connection shuts the socket's sending side, wakes
// both workers and drops the connection's own count; whoever drops the last one closes the
// socket and gives the slot back (`Free`). So a socket handle is never closed while a thread
// of its connection may still use it, and a slot is reused only when nobody is inside it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "protocol/station_table.h"
#include "session/byte_ring.h"

namespace kavo {

constexpr int kMaxSessions = 64;
constexpr int kKeepalivePeriodMs = 3000;
constexpr int kKeepaliveQuietMs = 1000;

enum class SessionState : std::int32_t { Free = 0, Ready = 1, Open = 3, Failed = -1 };
enum class IoStatus : std::int32_t { Idle = 0, Busy = 1, Failed = -1 };

// One direction of a session. The lock guards the ring, and for the send channel also the
// session's sendCount; for the receive channel its lastSequence and receiveCount.
struct SessionChannel {
  platform::Lock lock;
  ByteRing ring;
  std::atomic<std::int32_t> lastActivity{0};  // SessionClock of the last I/O attempt or outcome
  std::atomic<IoStatus> status{IoStatus::Idle};
};

struct Session {
  platform::SocketHandle socket = platform::kInvalidSocket;
  platform::PeerAddress peerAddress;
  std::atomic<SessionState> state{SessionState::Free};
  std::int32_t id = 0;
  SessionChannel send;
  SessionChannel receive;
  std::atomic<std::int32_t> sendCount{0};
  std::int32_t lastSequence = 0;
  std::atomic<std::int32_t> receiveCount{0};
  StationTable stations;

  // Connection bookkeeping (see the top of this file).
  std::atomic<std::int32_t> users{0};
  std::atomic<std::int32_t> closeClaimed{0};
  platform::SocketEvents* events = nullptr;  // created at the slot's first reset, kept
  platform::Signal keepaliveWake;
};

// Frames are read from, queued to and relayed to open sessions only.
inline bool IsOpen(const Session& session) {
  return session.state.load() == SessionState::Open;
}

// The global table, indexed by slot; a session's id equals its index.
extern Session SessionTable[kMaxSessions];

// One bit per slot that holds a connection, from just before it opens until it is Free again:
// every Open slot's bit is set, so the relay walks these bits in slot order instead of
// looking at all 64 records. The slot's `state` stays the word that decides.
extern std::atomic<std::uint64_t> ConnectedSlots;

// Milliseconds since start-up as a wrapping signed count; compare values by subtraction.
void StartSessionClock();
std::int32_t SessionClock();

// Puts every slot in its start state: no socket, Free, id = index.
void ResetSessionTable();
int FindFreeSession();
bool AcceptSession(Session& session, platform::SocketHandle listener);
// Prepares a Free slot for a connection. False when its buffers cannot be had.
bool ResetSession(Session& session, int capacity);
// Opens the session and starts its keepalive and network workers.
bool StartSession(Session& session);
// Ends the current connection of the slot; takes effect once per connection.
bool CloseSession(Session& session);

// Counts the calling thread in while the slot holds a connection. False for a Free slot.
bool EnterSession(Session& session);
// Counts it out again; the last one out of a closed connection frees the slot.
void LeaveSession(Session& session);
// Marks a reset slot as holding a live connection on `socket`, counted once for the
// connection itself, without starting any worker (tests and benchmarks drive it by hand).
void OpenSessionWithoutWorkers(Session& session, platform::SocketHandle socket);

// Workers and socket pumps.
void NetworkWorker(Session& session);
void KeepaliveWorker(Session& session);
int PumpReceive(Session& session);
int DrainSend(Session& session);

}  // namespace kavo
