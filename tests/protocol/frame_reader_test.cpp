#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "protocol/protocol.h"
#include "session/session.h"
#include "support/console_capture.h"
#include "support/fake_sessions.h"
#include "support/wire_frames.h"

namespace kavo {
namespace {

using kavo_test::Bytes;
using kavo_test::ToBytes;
using kavo_test::ConsoleCapture;
using kavo_test::Encode;
using kavo_test::FakeSessionTable;
using kavo_test::MakeFrame;
using kavo_test::TakeQueuedFrames;
using kavo_test::WireFrame;

constexpr int C = kRingCapacity;
const std::string kReconnectLine = "エラーのため一度再接続します";

std::string SizeLine(int length, int limit) {
  return "致命的エラー:サイズ上限を超えたコマンドを受信しました。(" + std::to_string(length) +
         " > " + std::to_string(limit) + ")このコマンドをスルーします。";
}

// Payload bytes that never contain '<', so that only the marker can end a frame.
Bytes Filler(int count) {
  Bytes bytes(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(0x40 + i % 50);
  return bytes;
}

int Wrapped(int position) { return position > C ? position - C : position; }

// A session whose receive ring the test fills by hand; frames dispatched from it come back
// to it as relayed copies ('U' goes to every open session, the sender included) and wait in
// its send ring, where the test can see what was dispatched.
class FrameReaderTest : public ::testing::Test {
 protected:
  void SetUp() override { session_ = &table_.OpenQueueOnly(1); }

  ByteRing& Ring() { return session_->receive.ring; }
  void Place(int position) { Ring().readPos = Ring().writePos = position; }
  void Append(const Bytes& bytes) { kavo_test::AppendToRing(Ring(), bytes); }
  void Append(const WireFrame& frame) { Append(Encode(frame)); }
  std::vector<WireFrame> Dispatched() { return TakeQueuedFrames(session_->send.ring); }

  FakeSessionTable table_;
  ConsoleCapture console_;
  Session* session_ = nullptr;
  FrameHeader header_{};
  unsigned char payload_[kMaxFrameBytes] = {};
};

TEST_F(FrameReaderTest, FrameSplitAnywhereByTheRingEndReadsLikeOneThatIsNot) {
  const WireFrame frame = MakeFrame('U', 9, 100, 4, Filler(20));  // 36 bytes
  // Bytes of the frame that lie before the ring's end: inside the header, between header and
  // payload, inside the payload, the marker split 1+3, 2+2 and 3+1, and the frame ending
  // exactly at the end; 0 starts the frame at a read position standing on the end itself.
  for (int before : {0, 5, 12, 20, 33, 34, 35, 36}) {
    SCOPED_TRACE("bytes before the end: " + std::to_string(before));
    const int start = C - before;
    Place(start);
    session_->lastSequence = 0;
    Append(frame);
    EXPECT_EQ(FindFrameEnd(*session_), 36);
    ASSERT_TRUE(ReadFrame(*session_, header_, payload_, kMaxFrameBytes));
    EXPECT_EQ(header_.command, 'U');
    EXPECT_EQ(header_.source, 9);
    EXPECT_EQ(header_.payloadLength, 20);
    EXPECT_EQ(header_.sequence, 100);
    EXPECT_EQ(header_.acknowledgement, 4);
    EXPECT_EQ(Bytes(payload_, payload_ + 20), frame.payload);
    EXPECT_EQ(Ring().readPos, Wrapped((start == C ? 0 : start) + 36));
    EXPECT_EQ(Ring().Pending(), 0);
  }
  EXPECT_TRUE(console_.OutLines().empty());
}

TEST_F(FrameReaderTest, LessThanSignsInThePayloadDoNotEndTheFrame) {
  const Bytes payload = {'<', 'a', '<', 'E', 'b', '<', 'E', '>', 0x01,
                         '<', '<', 'E', '>', '>', 0x00, '<'};
  Place(C - 20);  // the payload crosses the ring's end as well
  Append(MakeFrame('U', 0, 1, 0, payload));
  ASSERT_TRUE(ReadFrame(*session_, header_, payload_, kMaxFrameBytes));
  EXPECT_EQ(header_.payloadLength, static_cast<int>(payload.size()));
  EXPECT_EQ(Bytes(payload_, payload_ + payload.size()), payload);
}

TEST_F(FrameReaderTest, MarkerNotYetWhollyArrivedGivesNoFrame) {
  const WireFrame frame = MakeFrame('U', 0, 1, 0, Filler(4));  // 20 bytes, '<' at 16
  // In the middle of the ring, and with the '<' as the buffer's last byte, where the rest of
  // a marker from an earlier pass still lies at offsets 0..2 beyond writePos.
  for (int start : {1000, C - 17}) {
    for (int missing : {3, 2, 1}) {
      SCOPED_TRACE("start " + std::to_string(start) + ", missing " + std::to_string(missing));
      Place(start);
      session_->lastSequence = 0;
      Append(frame);
      const int complete = Ring().writePos;
      int partial = complete - missing;
      if (partial <= 0) partial += C;
      Ring().writePos = partial;
      EXPECT_EQ(FindFrameEnd(*session_), -1);
      EXPECT_FALSE(ReadFrame(*session_, header_, payload_, kMaxFrameBytes));
      EXPECT_EQ(Ring().readPos, start);

      Ring().writePos = complete;
      ASSERT_TRUE(ReadFrame(*session_, header_, payload_, kMaxFrameBytes));
      EXPECT_EQ(header_.payloadLength, 4);
    }
  }
  EXPECT_TRUE(console_.OutLines().empty());
}

TEST_F(FrameReaderTest, SmallestAndLargestFramesAreAccepted) {
  Place(0);
  Append(MakeFrame('U', 0, 1, 0, {}));
  ASSERT_TRUE(ReadFrame(*session_, header_, payload_, kMaxFrameBytes));
  EXPECT_EQ(header_.payloadLength, 0);

  const Bytes largest = Filler(kMaxPayloadBytes);
  Place(C - 100);
  Append(MakeFrame('U', 0, 2, 0, largest));
  EXPECT_EQ(FindFrameEnd(*session_), kMaxFrameBytes);
  ASSERT_TRUE(ReadFrame(*session_, header_, payload_, kMaxFrameBytes));
  EXPECT_EQ(header_.payloadLength, kMaxPayloadBytes);
  EXPECT_EQ(Bytes(payload_, payload_ + kMaxPayloadBytes), largest);
  EXPECT_TRUE(console_.OutLines().empty());
}

TEST_F(FrameReaderTest, OverLongFrameIsSkippedWholeAndStopsThePass) {
  Place(0);
  Append(MakeFrame('U', 0, 1, 0, ToBytes("first")));
  Append(MakeFrame('U', 0, 2, 0, Filler(kMaxPayloadBytes + 1)));  // 4097 bytes
  const WireFrame behind = MakeFrame('U', 0, 2, 0, {});
  Append(behind);

  ProcessFrames(*session_);
  EXPECT_EQ(console_.OutLines(), std::vector<std::string>{SizeLine(4097, 4096)});
  const std::vector<WireFrame> first = Dispatched();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[0].payload, ToBytes("first"));
  EXPECT_EQ(Ring().readPos, 21 + 4097);
  EXPECT_EQ(Ring().Pending(), 16);
  EXPECT_EQ(session_->lastSequence, 1);
  EXPECT_EQ(session_->receiveCount.load(), 1);
  EXPECT_EQ(session_->state.load(), SessionState::Open);

  ProcessFrames(*session_);  // the next receive's pass
  const std::vector<WireFrame> second = Dispatched();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].command, 'u');
  EXPECT_EQ(session_->receiveCount.load(), 2);
  EXPECT_EQ(console_.OutLines().size(), 1u);
}

TEST_F(FrameReaderTest, FirstFrameMayCarryAnyNumberAndTheNextMustFollow) {
  Place(0);
  Append(MakeFrame('U', 0, 100, 0, {}));
  Append(MakeFrame('U', 0, 101, 0, {}));
  Append(MakeFrame('U', 0, 102, 0, {}));
  ProcessFrames(*session_);
  EXPECT_EQ(Dispatched().size(), 3u);
  EXPECT_EQ(session_->lastSequence, 102);
  EXPECT_EQ(session_->receiveCount.load(), 3);
  EXPECT_TRUE(console_.OutLines().empty());
}

TEST_F(FrameReaderTest, BreakInTheSequenceClosesTheSessionWithoutDispatching) {
  struct Case {
    std::int32_t received;
    const char* line;
  };
  const Case cases[] = {{9, "LostSendCount! 9 - 6 = 3"},
                        {5, "LostSendCount! 5 - 6 = -1"},
                        {3, "LostSendCount! 3 - 6 = -3"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    console_.Clear();
    Session& sender = table_.OpenQueueOnly(3);
    Session& observer = table_.OpenQueueOnly(4);
    sender.lastSequence = 5;
    sender.receiveCount.store(5);
    kavo_test::AppendToRing(sender.receive.ring, Encode(MakeFrame('U', 0, c.received, 0, {})));

    ProcessFrames(sender);
    EXPECT_EQ(console_.OutLines(), (std::vector<std::string>{c.line, kReconnectLine}));
    EXPECT_EQ(sender.state.load(), SessionState::Free);
    EXPECT_EQ(sender.lastSequence, 0);
    EXPECT_EQ(sender.receiveCount.load(), 5);
    EXPECT_TRUE(TakeQueuedFrames(observer.send.ring).empty());
    EXPECT_TRUE(TakeQueuedFrames(sender.send.ring).empty());
    CloseSession(observer);
  }
}

TEST_F(FrameReaderTest, SequenceNumbersWrapAround) {
  struct Case {
    std::int32_t last;
    std::int32_t received;
  };
  // After 0 has been accepted no frame counts as accepted yet, so any number follows.
  const Case cases[] = {{INT_MAX, INT_MIN}, {-1, 0}, {0, 77}};
  Place(0);
  for (const Case& c : cases) {
    session_->lastSequence = c.last;
    Append(MakeFrame('U', 0, c.received, 0, {}));
    ASSERT_TRUE(ReadFrame(*session_, header_, payload_, kMaxFrameBytes)) << c.last;
    EXPECT_EQ(session_->lastSequence, c.received);
  }
  EXPECT_TRUE(console_.OutLines().empty());
}

TEST_F(FrameReaderTest, DispatcherSeesTheLengthFoundByTheMarker) {
  for (std::int16_t written : {std::int16_t{999}, std::int16_t{-5}, std::int16_t{0}}) {
    SCOPED_TRACE(written);
    WireFrame frame = MakeFrame('U', 0, 0, 0, ToBytes("seven!!"));
    frame.payloadLength = written;
    session_->lastSequence = 0;
    Place(0);
    Append(frame);
    ProcessFrames(*session_);
    const std::vector<WireFrame> relayed = Dispatched();
    ASSERT_EQ(relayed.size(), 1u);
    EXPECT_EQ(relayed[0].payloadLength, 7);
    EXPECT_EQ(relayed[0].payload, ToBytes("seven!!"));
  }
}

TEST_F(FrameReaderTest, HeaderThatSpellsTheMarkerDoesNotStallTheReader) {
  constexpr std::int32_t kMarkerAsNumber = 4080956;  // bytes 3C 45 3E 00
  Place(0);
  Append(MakeFrame('U', 0, kMarkerAsNumber, kMarkerAsNumber, ToBytes("abc")));
  Append(MakeFrame('U', 0, kMarkerAsNumber + 1, kMarkerAsNumber, {}));
  EXPECT_EQ(FindFrameEnd(*session_), 19);

  ProcessFrames(*session_);
  const std::vector<WireFrame> relayed = Dispatched();
  ASSERT_EQ(relayed.size(), 2u);
  EXPECT_EQ(relayed[0].payload, ToBytes("abc"));
  EXPECT_EQ(session_->lastSequence, kMarkerAsNumber + 1);
  EXPECT_EQ(Ring().Pending(), 0);
  EXPECT_TRUE(console_.OutLines().empty());
}

TEST_F(FrameReaderTest, FullRingWithoutAFrameIsPassedOver) {
  Place(1000);  // the unread bytes wrap past the ring's end
  Append(Bytes(static_cast<std::size_t>(C - 2), 'A'));
  EXPECT_FALSE(DropUnframedBytes(*session_)) << "a ring with room left is not passed over";
  EXPECT_TRUE(console_.OutLines().empty());

  Append(Bytes{'A'});
  ASSERT_EQ(Ring().Pending(), C - 1);
  EXPECT_TRUE(DropUnframedBytes(*session_));
  EXPECT_EQ(console_.OutLines(), std::vector<std::string>{SizeLine(C - 1, 4096)});
  EXPECT_EQ(Ring().Pending(), 0);
  EXPECT_EQ(session_->state.load(), SessionState::Open);
}

}  // namespace
}  // namespace kavo
