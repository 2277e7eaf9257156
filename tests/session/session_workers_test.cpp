// The socket pumps of a session, against a local socket pair that plays the client.
// Every test here needs a local socket pair.
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
using kavo_test::ToBytes;
using kavo_test::WireFrame;
using Lines = std::vector<std::string>;

constexpr int C = kRingCapacity;

class SessionWorkersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    session_ = table_.OpenWithPeer(0, &peer_);
    if (session_ == nullptr) GTEST_SKIP() << "no local socket pair here";
  }

  FakeSessionTable table_;
  ConsoleCapture console_;
  Session* session_ = nullptr;
  platform::SocketHandle peer_ = platform::kInvalidSocket;
};

TEST_F(SessionWorkersTest, FramesOfOneReceiveAreRelayedInOrderAndSentOn) {
  ByteRing& ring = session_->receive.ring;
  ring.readPos = ring.writePos = C;  // the receive starts over at offset 0
  Bytes sent;
  for (std::int32_t sequence : {40, 41, 42}) {
    const Bytes frame = Encode(MakeFrame('U', 0, sequence, 0, ToBytes("hi")));
    sent.insert(sent.end(), frame.begin(), frame.end());
  }
  ASSERT_TRUE(kavo_test::WriteFromPeer(peer_, sent));

  EXPECT_EQ(PumpReceive(*session_), 54);
  EXPECT_EQ(ring.writePos, 54);
  EXPECT_EQ(ring.readPos, 54);
  EXPECT_EQ(session_->receive.status.load(), IoStatus::Idle);
  // Each copy acknowledges the frames accepted by the time it was queued.
  EXPECT_EQ(kavo_test::Decode(kavo_test::ReadFromPeer(peer_, 54)),
            (std::vector<WireFrame>{MakeFrame('u', 0, 1, 1, ToBytes("hi")),
                                    MakeFrame('u', 0, 2, 2, ToBytes("hi")),
                                    MakeFrame('u', 0, 3, 3, ToBytes("hi"))}));
  EXPECT_EQ(session_->send.status.load(), IoStatus::Idle);
  EXPECT_TRUE(console_.OutLines().empty());
}

TEST_F(SessionWorkersTest, CopyRelayedBeforeASequenceBreakLeavesBeforeTheClose) {
  Bytes sent = Encode(MakeFrame('U', 0, 1, 0, ToBytes("a")));
  const Bytes broken = Encode(MakeFrame('U', 0, 5, 0, ToBytes("b")));
  sent.insert(sent.end(), broken.begin(), broken.end());
  ASSERT_TRUE(kavo_test::WriteFromPeer(peer_, sent));

  PumpReceive(*session_);
  EXPECT_EQ(console_.OutLines(),
            (Lines{"LostSendCount! 5 - 2 = 3", "エラーのため一度再接続します"}));
  EXPECT_EQ(session_->state.load(), SessionState::Free);
  // The echo of the first frame was sent when it was queued, before the second was read.
  EXPECT_EQ(kavo_test::ReadFromPeer(peer_, 17), Encode(MakeFrame('u', 0, 1, 1, ToBytes("a"))));
  EXPECT_TRUE(kavo_test::PeerSeesEndOfStream(peer_));
}

TEST_F(SessionWorkersTest, ChatLineShowsWhatIsLeftUnsentAfterTheRelay) {
  ASSERT_TRUE(kavo_test::WriteFromPeer(peer_, Encode(MakeFrame('C', 0, 1, 0, ToBytes("hello")))));
  PumpReceive(*session_);
  // The client's copy went out while it was relayed, so nothing is left in the send ring.
  EXPECT_EQ(console_.OutLines(), Lines{"0: hello (S1->R0) (Last: S0 R0)"});
  EXPECT_EQ(kavo_test::ReadFromPeer(peer_, 21), Encode(MakeFrame('c', 0, 1, 1, ToBytes("hello"))));
}

TEST_F(SessionWorkersTest, NothingToReceiveOrSendChangesNothingButTheReceiveAttempt) {
  const std::int32_t old = SessionClock() - 5000;
  session_->receive.lastActivity.store(old);
  session_->send.lastActivity.store(old);

  EXPECT_EQ(PumpReceive(*session_), -1);
  EXPECT_EQ(session_->receive.status.load(), IoStatus::Busy);
  EXPECT_GT(session_->receive.lastActivity.load() - old, 0);
  EXPECT_EQ(session_->receive.ring.writePos, 0);

  EXPECT_EQ(DrainSend(*session_), 0);
  EXPECT_EQ(session_->send.status.load(), IoStatus::Idle);
  EXPECT_EQ(session_->send.lastActivity.load(), old);
  EXPECT_EQ(session_->state.load(), SessionState::Open);
  EXPECT_TRUE(console_.OutLines().empty());
}

TEST_F(SessionWorkersTest, ClientThatClosesIsReportedAndMarkedFailed) {
  table_.ClosePeer(peer_);
  EXPECT_EQ(PumpReceive(*session_), 0);
  EXPECT_EQ(session_->state.load(), SessionState::Failed);
  EXPECT_EQ(session_->receive.status.load(), IoStatus::Failed);
  EXPECT_EQ(console_.OutLines(), Lines{"0:受信時エラー切断しました(送信バイト0)"});
}

TEST_F(SessionWorkersTest, FullReceiveRingWithoutAFrameIsPassedOverAndReadingGoesOn) {
  kavo_test::AppendToRing(session_->receive.ring, Bytes(static_cast<std::size_t>(C - 1), 'A'));
  ASSERT_TRUE(kavo_test::WriteFromPeer(peer_, Encode(MakeFrame('U', 0, 1, 0, ToBytes("ok")))));

  Bytes relayed;
  for (int pass = 0; pass < 3 && relayed.empty(); ++pass) {
    PumpReceive(*session_);
    relayed = kavo_test::ReadAvailable(peer_);
  }
  EXPECT_EQ(relayed, Encode(MakeFrame('u', 0, 1, 1, ToBytes("ok"))));
  ASSERT_FALSE(console_.OutLines().empty());
  EXPECT_EQ(console_.OutLines().front(),
            "致命的エラー:サイズ上限を超えたコマンドを受信しました。(65535 > 4096)"
            "このコマンドをスルーします。");
  EXPECT_EQ(console_.OutLines().size(), 1u);
  EXPECT_EQ(session_->state.load(), SessionState::Open);
}

TEST(SessionWorkers, FramesPileUpWhileTheSocketIsFullAndLeaveInOrder) {
  FakeSessionTable table;
  ConsoleCapture console;
  platform::SocketHandle peer;
  Session* session = table.OpenWithPeer(0, &peer, 4096);
  if (session == nullptr) GTEST_SKIP() << "no local socket pair here";
  Bytes payload(kMaxPayloadBytes);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 7);
  FrameHeader header{'u', 3, static_cast<std::int16_t>(kMaxPayloadBytes), 0, 0};

  // The ring holds 15 such frames; the socket takes far fewer before it would block.
  int queued = 0;
  while (queued < 15 && session->send.status.load() != IoStatus::Busy) {
    ASSERT_TRUE(SendFrame(*session, header, payload.data()));
    ++queued;
  }
  ASSERT_EQ(session->send.status.load(), IoStatus::Busy) << "the socket never filled up";
  ASSERT_GT(session->send.ring.Pending(), 0);
  for (int more = 0; more < 2; ++more, ++queued) {
    const int before = session->send.ring.Pending();
    ASSERT_TRUE(SendFrame(*session, header, payload.data()));
    EXPECT_EQ(session->send.ring.Pending(), before + kMaxFrameBytes) << "only queued";
  }

  // The client reads; the worker drains whenever the socket has room again.
  Bytes received;
  for (int round = 0; round < 1000 && received.size() < static_cast<std::size_t>(queued) * kMaxFrameBytes; ++round) {
    const Bytes chunk = kavo_test::ReadAvailable(peer);
    received.insert(received.end(), chunk.begin(), chunk.end());
    DrainSend(*session);
  }
  const std::vector<WireFrame> frames = kavo_test::Decode(received);
  ASSERT_EQ(frames.size(), static_cast<std::size_t>(queued));
  for (int i = 0; i < queued; ++i) {
    EXPECT_EQ(frames[i], MakeFrame('u', 3, i + 1, 0, payload)) << "frame " << i;
  }
  EXPECT_EQ(session->send.ring.Pending(), 0);
  EXPECT_EQ(session->send.status.load(), IoStatus::Idle);
  EXPECT_TRUE(console.OutLines().empty());
}

}  // namespace
}  // namespace kavo
