#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/protocol.h"
#include "session/session.h"
#include "support/console_capture.h"
#include "support/fake_sessions.h"
#include "support/local_socket_pair.h"
#include "support/wire_frames.h"

namespace kavo {
namespace {

using kavo_test::Bytes;
using kavo_test::ConsoleCapture;
using kavo_test::Encode;
using kavo_test::FakeSessionTable;
using kavo_test::MakeFrame;
using kavo_test::TakeQueuedFrames;
using kavo_test::ToBytes;
using kavo_test::WireFrame;

constexpr int C = kRingCapacity;

FrameHeader Header(char command, std::uint8_t source, int payloadLength) {
  FrameHeader header{};
  header.command = command;
  header.source = source;
  header.payloadLength = static_cast<std::int16_t>(payloadLength);
  header.sequence = 4242;         // whatever the caller's header holds is not sent
  header.acknowledgement = 4343;
  return header;
}

class FrameWriterTest : public ::testing::Test {
 protected:
  FakeSessionTable table_;
  ConsoleCapture console_;
};

TEST_F(FrameWriterTest, NumbersFramesFromOneAndAcknowledgesTheReceiveCount) {
  Session& target = table_.OpenQueueOnly(0);
  const Bytes hello = ToBytes("hello");
  const FrameHeader header = Header('x', 7, 5);
  EXPECT_TRUE(SendFrame(target, header, hello.data()));
  target.receiveCount.store(3);
  EXPECT_TRUE(SendFrame(target, header, hello.data()));
  EXPECT_TRUE(SendFrame(target, header, hello.data()));

  EXPECT_EQ(TakeQueuedFrames(target.send.ring),
            (std::vector<WireFrame>{MakeFrame('x', 7, 1, 0, hello), MakeFrame('x', 7, 2, 3, hello),
                                    MakeFrame('x', 7, 3, 3, hello)}));
  EXPECT_EQ(target.sendCount.load(), 3);

  // An empty payload is never read and puts header and marker alone into the ring.
  const int before = target.send.ring.writePos;
  EXPECT_TRUE(SendFrame(target, Header('P', 0, 0), nullptr));
  EXPECT_EQ(target.send.ring.writePos, before + 16);
  EXPECT_EQ(TakeQueuedFrames(target.send.ring),
            std::vector<WireFrame>{MakeFrame('P', 0, 4, 3, {})});
  EXPECT_TRUE(console_.OutLines().empty());
}

TEST_F(FrameWriterTest, OneHeaderGivesEachTargetItsOwnNumbersAndStaysUnchanged) {
  const int targets[] = {0, 2, 5};
  for (int i : targets) {
    Session& target = table_.OpenQueueOnly(i);
    target.sendCount.store(10 * i);
    target.receiveCount.store(i + 1);
  }
  const Bytes text = ToBytes("same");
  const FrameHeader header = Header('c', 2, 4);
  for (int i : targets) EXPECT_TRUE(SendFrame(SessionTable[i], header, text.data()));

  for (int i : targets) {
    EXPECT_EQ(TakeQueuedFrames(SessionTable[i].send.ring),
              std::vector<WireFrame>{MakeFrame('c', 2, 10 * i + 1, i + 1, text)})
        << "session " << i;
  }
  EXPECT_EQ(header.command, 'c');
  EXPECT_EQ(header.source, 2);
  EXPECT_EQ(header.payloadLength, 4);
  EXPECT_EQ(header.sequence, 4242);
  EXPECT_EQ(header.acknowledgement, 4343);
}

TEST_F(FrameWriterTest, FrameThatDoesNotFitWholeIsRefusedAndNothingIsNumbered) {
  Session& target = table_.OpenQueueOnly(0);
  ByteRing& ring = target.send.ring;
  const Bytes hello = ToBytes("hello");  // a 21-byte frame
  target.sendCount.store(6);
  // 20 bytes of room (the ring never fills to capacity): one byte short.
  ring.writePos = 79;
  ring.readPos = 100;
  ASSERT_EQ(ring.Pending(), C - 21);
  const Bytes before(ring.buffer, ring.buffer + C);

  EXPECT_FALSE(SendFrame(target, Header('u', 1, 5), hello.data()));
  EXPECT_EQ(target.sendCount.load(), 6);
  EXPECT_EQ(ring.writePos, 79);
  EXPECT_EQ(ring.readPos, 100);
  EXPECT_TRUE(Bytes(ring.buffer, ring.buffer + C) == before) << "the ring's bytes changed";

  // With exactly the room it needs the frame goes in, and the ring holds capacity - 1 bytes.
  ring.readPos = 101;
  EXPECT_TRUE(SendFrame(target, Header('u', 1, 5), hello.data()));
  EXPECT_EQ(target.sendCount.load(), 7);
  EXPECT_EQ(ring.writePos, 100);
  EXPECT_EQ(ring.Pending(), C - 1);
  EXPECT_TRUE(console_.OutLines().empty());
}

TEST_F(FrameWriterTest, SessionThatIsNotOpenGetsNothing) {
  const SessionState states[] = {SessionState::Free, SessionState::Ready, SessionState::Failed};
  for (SessionState state : states) {
    SCOPED_TRACE(static_cast<int>(state));
    Session& target = table_.OpenQueueOnly(4);
    target.sendCount.store(2);
    target.send.ring.writePos = target.send.ring.readPos = 50;
    target.state.store(state);
    EXPECT_FALSE(SendFrame(target, Header('u', 1, 0), nullptr));
    EXPECT_EQ(target.sendCount.load(), 2);
    EXPECT_EQ(target.send.ring.writePos, 50);
    EXPECT_EQ(target.send.ring.Pending(), 0);
    target.state.store(SessionState::Open);
    CloseSession(target);
  }
  EXPECT_TRUE(console_.OutLines().empty());
}

// Needs a local socket pair.
TEST_F(FrameWriterTest, FrameCrossingTheRingEndReachesTheClientUnchanged) {
  platform::SocketHandle peer;
  Session* target = table_.OpenWithPeer(0, &peer);
  if (target == nullptr) GTEST_SKIP() << "no local socket pair here";
  ByteRing& ring = target->send.ring;
  Bytes payload(40);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i);
  const FrameHeader header = Header('t', 3, 40);

  ring.readPos = ring.writePos = C - 10;  // 10 bytes of the 56-byte frame before the end
  EXPECT_TRUE(SendFrame(*target, header, payload.data()));
  EXPECT_EQ(kavo_test::ReadFromPeer(peer, 56), Encode(MakeFrame('t', 3, 1, 0, payload)));
  EXPECT_EQ(ring.readPos, ring.writePos);
  EXPECT_EQ(ring.writePos, 46);
  EXPECT_EQ(target->send.status.load(), IoStatus::Idle);

  EXPECT_TRUE(SendFrame(*target, header, payload.data()));  // the same frame, not crossing
  EXPECT_EQ(kavo_test::ReadFromPeer(peer, 56), Encode(MakeFrame('t', 3, 2, 0, payload)));
  EXPECT_TRUE(kavo_test::ReadAvailable(peer).empty());
  EXPECT_TRUE(console_.OutLines().empty());
}

// Needs a local socket pair.
TEST_F(FrameWriterTest, FailedSendClosesTheSessionAndStillCountsAsQueued) {
  platform::SocketHandle peer;
  Session* target = table_.OpenWithPeer(6, &peer);
  if (target == nullptr) GTEST_SKIP() << "no local socket pair here";
  table_.ClosePeer(peer);

  // Over TCP the first send into a closed connection may still be taken; the peer's reset
  // makes a later one fail. Every frame counts as queued either way.
  for (int attempt = 0; attempt < 50 && target->state.load() != SessionState::Free; ++attempt) {
    EXPECT_TRUE(SendFrame(*target, Header('u', 1, 0), nullptr));
    if (target->state.load() != SessionState::Free) platform::SleepMs(20);
  }
  EXPECT_EQ(target->state.load(), SessionState::Free);
  EXPECT_EQ(console_.OutLines(),
            std::vector<std::string>{"6:送信時エラー切断しました(SOCKET_ERROR)"});
}

// Within a batch, frames wait to be sent together; a batch larger than the ring must still
// reach a client that reads, as it would if each frame had been sent at once.
TEST_F(FrameWriterTest, BatchLargerThanTheRingIsSentAsTheRingFills) {
  platform::SocketHandle peer;
  Session* target = table_.OpenWithPeer(1, &peer);
  if (target == nullptr) GTEST_SKIP() << "no local socket pair here";
  const int frames = 40;  // 40 frames of 4 KiB: more than the ring holds at once
  const Bytes payload(kMaxPayloadBytes, 0x55);
  BeginDeferredDrains();
  int queued = 0;
  for (int i = 0; i < frames; ++i) {
    queued += SendFrame(*target, Header('u', 1, kMaxPayloadBytes), payload.data()) ? 1 : 0;
    // The client reads along, as a connected one does.
    kavo_test::ReadAvailable(peer);
  }
  EndDeferredDrains();
  EXPECT_EQ(queued, frames);
  EXPECT_EQ(target->sendCount.load(), frames);
  EXPECT_EQ(target->send.ring.Pending(), 0);
  EXPECT_TRUE(console_.OutLines().empty());
}

}  // namespace
}  // namespace kavo
