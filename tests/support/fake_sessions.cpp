#include "support/fake_sessions.h"

#include <gtest/gtest.h>

namespace kavo_test {
namespace {

void FreeEverySlot() {
  for (kavo::Session& session : kavo::SessionTable) {
    // Slots a test only marked (Ready, or a state set by hand) hold no connection to close.
    if (session.state.load() == kavo::SessionState::Free || session.users.load() <= 0) continue;
    kavo::CloseSession(session);
    // A test that counted itself into a slot and failed before leaving it: leave for it, so
    // the slot's socket is closed like any other.
    for (int i = 0; i < 8 && session.state.load() != kavo::SessionState::Free &&
                    session.users.load() > 0;
         ++i) {
      kavo::LeaveSession(session);
    }
  }
  kavo::ResetSessionTable();
}

}  // namespace

FakeSessionTable::FakeSessionTable() {
  // Sockets need the library started on some systems; a second start is harmless.
  platform::StartSockets();
  kavo::ResetSessionTable();
}

FakeSessionTable::~FakeSessionTable() {
  FreeEverySlot();
  for (platform::SocketHandle peer : peers_) CloseLocalSocket(peer);
}

kavo::Session& FakeSessionTable::Prepare(int index) {
  kavo::Session& session = kavo::SessionTable[index];
  EXPECT_TRUE(kavo::ResetSession(session, kavo::kRingCapacity)) << "slot " << index;
  return session;
}

kavo::Session& FakeSessionTable::OpenQueueOnly(int index) {
  kavo::Session& session = Prepare(index);
  kavo::OpenSessionWithoutWorkers(session, platform::kInvalidSocket);
  session.send.status.store(kavo::IoStatus::Busy);
  return session;
}

kavo::Session* FakeSessionTable::OpenWithPeer(int index, platform::SocketHandle* peer,
                                              int sendBufferBytes) {
  LocalSocketPair pair;
  if (!OpenLocalSocketPair(&pair, sendBufferBytes)) return nullptr;
  peers_.push_back(pair.peer);
  *peer = pair.peer;
  kavo::Session& session = Prepare(index);
  kavo::OpenSessionWithoutWorkers(session, pair.server);
  return &session;
}

void FakeSessionTable::ClosePeer(platform::SocketHandle peer) {
  for (platform::SocketHandle& held : peers_) {
    if (held != peer) continue;
    CloseLocalSocket(held);
    held = platform::kInvalidSocket;
  }
}

}  // namespace kavo_test
