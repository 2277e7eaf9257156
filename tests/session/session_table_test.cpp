#include <gtest/gtest.h>

#include "protocol/protocol.h"
#include "session/session.h"
#include "support/console_capture.h"
#include "support/fake_sessions.h"
#include "support/local_socket_pair.h"

namespace kavo {
namespace {

using kavo_test::ConsoleCapture;
using kavo_test::FakeSessionTable;

TEST(SessionTable, StartsWithEverySlotFreeUnderItsOwnIndex) {
  FakeSessionTable table;
  SessionTable[9].id = 55;
  SessionTable[9].socket = 1234;
  SessionTable[9].state.store(SessionState::Failed);
  ResetSessionTable();
  for (int i = 0; i < kMaxSessions; ++i) {
    EXPECT_EQ(SessionTable[i].id, i);
    EXPECT_EQ(SessionTable[i].socket, platform::kInvalidSocket);
    EXPECT_EQ(SessionTable[i].state.load(), SessionState::Free);
  }
}

TEST(SessionTable, FindFreeSessionTakesTheLowestFreeSlot) {
  FakeSessionTable table;
  EXPECT_EQ(FindFreeSession(), 0);
  const SessionState taken[] = {SessionState::Ready, SessionState::Open, SessionState::Failed};
  for (int i = 0; i < kMaxSessions; ++i) SessionTable[i].state.store(taken[i % 3]);
  EXPECT_EQ(FindFreeSession(), -1);
  SessionTable[5].state.store(SessionState::Free);
  SessionTable[2].state.store(SessionState::Free);
  EXPECT_EQ(FindFreeSession(), 2);
  SessionTable[2].state.store(SessionState::Failed);
  EXPECT_EQ(FindFreeSession(), 5);
  SessionTable[63].state.store(SessionState::Free);
  SessionTable[5].state.store(SessionState::Open);
  EXPECT_EQ(FindFreeSession(), 63);
}

TEST(SessionTable, ResetStartsTheSlotAfreshOnTheSameBuffers) {
  FakeSessionTable table;
  ConsoleCapture console;
  Session& session = table.OpenQueueOnly(7);
  unsigned char* const sendBuffer = session.send.ring.buffer;
  unsigned char* const receiveBuffer = session.receive.ring.buffer;
  ASSERT_NE(sendBuffer, nullptr);
  ASSERT_NE(receiveBuffer, nullptr);
  // Everything a connection leaves behind.
  session.send.ring.readPos = 11;
  session.send.ring.writePos = 12;
  session.receive.ring.readPos = 13;
  session.receive.ring.writePos = 14;
  session.sendCount.store(5);
  session.receiveCount.store(6);
  session.lastSequence = 9;
  session.send.status.store(IoStatus::Failed);
  session.receive.status.store(IoStatus::Busy);
  const unsigned char station[6] = {2, 0, 0, 0, 0, 1};
  LearnStation(session, station);
  CloseSession(session);
  ASSERT_EQ(session.state.load(), SessionState::Free);

  const std::int32_t before = SessionClock();
  ASSERT_TRUE(ResetSession(session, kRingCapacity));
  const std::int32_t after = SessionClock();
  EXPECT_EQ(session.send.ring.buffer, sendBuffer);
  EXPECT_EQ(session.receive.ring.buffer, receiveBuffer);
  for (const ByteRing* ring : {&session.send.ring, &session.receive.ring}) {
    EXPECT_EQ(ring->readPos, 0);
    EXPECT_EQ(ring->writePos, 0);
    EXPECT_EQ(ring->capacity, kRingCapacity);
  }
  EXPECT_EQ(session.sendCount.load(), 0);
  EXPECT_EQ(session.receiveCount.load(), 0);
  EXPECT_EQ(session.lastSequence, 0);
  EXPECT_EQ(session.send.status.load(), IoStatus::Idle);
  EXPECT_EQ(session.receive.status.load(), IoStatus::Idle);
  EXPECT_EQ(session.state.load(), SessionState::Ready);
  EXPECT_EQ(session.id, 7);
  EXPECT_EQ(FindStation(session.stations, station), -1);
  for (const SessionChannel* channel : {&session.send, &session.receive}) {
    const std::int32_t stamp = channel->lastActivity.load();
    EXPECT_GE(stamp - before, 0);
    EXPECT_GE(after - stamp, 0);
  }
}

// Needs a local socket pair.
TEST(SessionTable, CloseTakesEffectOncePerConnection) {
  FakeSessionTable table;
  ConsoleCapture console;
  platform::SocketHandle peer;
  Session* session = table.OpenWithPeer(1, &peer);
  if (session == nullptr) GTEST_SKIP() << "no local socket pair here";
  const platform::SocketHandle socket = session->socket;

  EXPECT_TRUE(CloseSession(*session));
  EXPECT_EQ(session->state.load(), SessionState::Free);
  EXPECT_TRUE(kavo_test::PeerSeesEndOfStream(peer));
  EXPECT_FALSE(kavo_test::IsHandleOpen(socket));

  // The system hands the same handle number out again; a second close must not touch it.
  kavo_test::LocalSocketPair next;
  ASSERT_TRUE(kavo_test::OpenLocalSocketPair(&next));
  EXPECT_TRUE(CloseSession(*session));
  EXPECT_TRUE(kavo_test::IsHandleOpen(next.server));
  EXPECT_TRUE(kavo_test::IsHandleOpen(next.peer));
  kavo_test::CloseLocalSocket(next.server);
  kavo_test::CloseLocalSocket(next.peer);
  EXPECT_TRUE(console.OutLines().empty());
}

// Needs a local socket pair.
TEST(SessionTable, SlotIsFreedOnlyWhenTheLastThreadOfTheConnectionLeaves) {
  FakeSessionTable table;
  ConsoleCapture console;
  platform::SocketHandle peer;
  Session* session = table.OpenWithPeer(1, &peer);
  if (session == nullptr) GTEST_SKIP() << "no local socket pair here";
  const platform::SocketHandle socket = session->socket;

  ASSERT_TRUE(EnterSession(*session));  // say, a frame writer on another thread
  CloseSession(*session);
  CloseSession(*session);
  EXPECT_NE(session->state.load(), SessionState::Free);
  EXPECT_NE(FindFreeSession(), 1);
  EXPECT_TRUE(kavo_test::PeerSeesEndOfStream(peer)) << "the sending side goes at once";
  EXPECT_TRUE(kavo_test::IsHandleOpen(socket)) << "the handle stays while a thread is inside";
  EXPECT_FALSE(SendFrame(*session, FrameHeader{'u', 0, 0, 0, 0}, nullptr));

  LeaveSession(*session);
  EXPECT_EQ(session->state.load(), SessionState::Free);
  EXPECT_FALSE(kavo_test::IsHandleOpen(socket));
  EXPECT_FALSE(EnterSession(*session));
  EXPECT_TRUE(console.OutLines().empty());
}

}  // namespace
}  // namespace kavo
