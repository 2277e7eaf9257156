#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "protocol/protocol.h"
#include "session/session.h"
#include "support/console_capture.h"
#include "support/fake_sessions.h"
#include "support/wire_frames.h"

namespace kavo {
namespace {

using kavo_test::Bytes;
using kavo_test::ConsoleCapture;
using kavo_test::FakeSessionTable;
using kavo_test::MakeFrame;
using kavo_test::TakeQueuedFrames;
using kavo_test::ToBytes;
using kavo_test::WireFrame;

using Lines = std::vector<std::string>;

struct Delivery {
  int slot;
  WireFrame frame;
  bool operator==(const Delivery& other) const {
    return slot == other.slot && frame == other.frame;
  }
};
void PrintTo(const Delivery& delivery, std::ostream* out) {
  *out << "slot " << delivery.slot << " ";
  kavo_test::PrintTo(delivery.frame, out);
}

// Sessions 0, 2 and 5 open; their sends only queue, so every relayed copy stays in the
// target's send ring for the test to collect.
class DispatcherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (int slot : {0, 2, 5}) table_.OpenQueueOnly(slot);
  }

  // Dispatches a frame as the reader hands it over: the payload in a buffer of the reader's
  // size, whose bytes past the payload hold what earlier frames left there.
  void Dispatch(int sender, char command, std::uint8_t source, const Bytes& payload,
                std::int32_t sequence = 1, std::int32_t acknowledgement = 0) {
    std::memset(buffer_, 'X', sizeof buffer_);
    if (!payload.empty()) std::memcpy(buffer_, payload.data(), payload.size());
    header_ = FrameHeader{};
    header_.command = command;
    header_.source = source;
    header_.payloadLength = static_cast<std::int16_t>(payload.size());
    header_.sequence = sequence;
    header_.acknowledgement = acknowledgement;
    DispatchFrame(SessionTable[sender], header_, buffer_);
  }

  // Every frame queued since the last look, by slot in slot order.
  std::vector<Delivery> Delivered() {
    std::vector<Delivery> all;
    for (int slot = 0; slot < kMaxSessions; ++slot) {
      if (SessionTable[slot].state.load() != SessionState::Open) continue;
      for (WireFrame& frame : TakeQueuedFrames(SessionTable[slot].send.ring)) {
        all.push_back({slot, frame});
      }
    }
    return all;
  }

  // Leaves `slot` no room for another frame, as if its client had stopped reading.
  static void FillSendRing(int slot) {
    ByteRing& ring = SessionTable[slot].send.ring;
    ring.readPos = 1;
    ring.writePos = 0;
  }

  FakeSessionTable table_;
  ConsoleCapture console_;
  FrameHeader header_{};
  unsigned char buffer_[kMaxFrameBytes];
};

TEST_F(DispatcherTest, ChatGoesToEveryOpenSessionAndIsLogged) {
  Session& sender = SessionTable[2];
  sender.sendCount.store(4);
  sender.receiveCount.store(7);
  SessionTable[5].receiveCount.store(2);
  kavo_test::AppendToRing(sender.receive.ring, Bytes(30, 'r'));  // unread, not yet a frame

  Dispatch(2, 'C', 99, ToBytes("hello"), 8, 6);
  const Bytes hello = ToBytes("hello");
  EXPECT_EQ(Delivered(), (std::vector<Delivery>{{0, MakeFrame('c', 2, 1, 0, hello)},
                                                {2, MakeFrame('c', 2, 5, 7, hello)},
                                                {5, MakeFrame('c', 2, 1, 2, hello)}}));
  // The sender's send count and send ring already hold its own copy.
  EXPECT_EQ(console_.OutLines(), Lines{"2: hello (S5->R6) (Last: S21 R30)"});
}

TEST_F(DispatcherTest, ChatLineTextEndsAtTheFirstZeroButTheRelayCarriesAll) {
  struct Case {
    Bytes payload;
    const char* line;
  };
  const Case cases[] = {
      {Bytes{'a', 'b', 0, 'c', 'd'}, "0: ab (S1->R0) (Last: S21 R0)"},
      {Bytes{}, "0:  (S2->R0) (Last: S16 R0)"},
      {ToBytes("no zero, buffer full of X behind"), "0: no zero, buffer full of X behind (S3->R0) (Last: S48 R0)"},
  };
  for (const Case& c : cases) {
    console_.Clear();
    Dispatch(0, 'C', 0, c.payload);
    const std::vector<Delivery> delivered = Delivered();
    ASSERT_EQ(delivered.size(), 3u);
    for (const Delivery& d : delivered) EXPECT_EQ(d.frame.payload, c.payload) << d.slot;
    EXPECT_EQ(console_.OutLines(), Lines{c.line});
  }
}

TEST_F(DispatcherTest, TargetThatRefusesIsReportedInSlotOrderAndTheRestAreServed) {
  FillSendRing(0);
  FillSendRing(5);
  auto deliveredToTheSender = [] { return TakeQueuedFrames(SessionTable[2].send.ring).size(); };

  Dispatch(2, 'C', 0, ToBytes("hi"));
  EXPECT_EQ(deliveredToTheSender(), 1u);
  EXPECT_EQ(console_.OutLines(), (Lines{"2 → 0 に転送失敗。切断されたかも。 (2バイト)",
                                        "2 → 5 に転送失敗。切断されたかも。 (2バイト)",
                                        "2: hi (S1->R0) (Last: S18 R0)"}));

  console_.Clear();
  Bytes tunnelled(kStationAddressBytes, 0xFF);  // to everybody
  tunnelled.insert(tunnelled.end(), {2, 0, 0, 0, 0, 7});
  Dispatch(2, 'T', 0, tunnelled);
  EXPECT_EQ(deliveredToTheSender(), 0u);
  EXPECT_EQ(console_.OutLines(), (Lines{"PSP認識(2 0): MACアドレス = 2:0:0:0:0:7",
                                        "2 → 0 に転送失敗。切断されたかも。 (12バイト)",
                                        "2 → 5 に転送失敗。切断されたかも。 (12バイト)"}));

  // The other commands ignore a refusal.
  console_.Clear();
  Dispatch(2, 'U', 0, ToBytes("hi"));
  EXPECT_EQ(deliveredToTheSender(), 1u);
  EXPECT_TRUE(console_.OutLines().empty());
  for (int slot : {0, 5}) {
    EXPECT_EQ(SessionTable[slot].send.ring.readPos, 1);
    EXPECT_EQ(SessionTable[slot].send.ring.writePos, 0);
    EXPECT_EQ(SessionTable[slot].sendCount.load(), 0);
  }
}

TEST_F(DispatcherTest, TunnelledFramesFollowTheLearnedStations) {
  using Address = std::vector<unsigned char>;
  const Address kX = {0x02, 0x00, 0x0A, 0x1B, 0xC3, 0xF4};
  const Address kOf0 = {0x02, 0, 0, 0, 0, 0x10};
  const Address kOf2 = {0x02, 0, 0, 0, 0, 0x22};
  const Address kUnlearned = {0x02, 0, 0, 0, 0, 0x99};
  const Address kGroup = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};
  const Address kAll = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  struct Case {
    const char* what;
    int sender;
    Address destination;
    Address source;
    std::vector<int> receivers;
    Lines lines;
  };
  // One scenario, in order: what is learned by a case counts in the cases after it.
  const Case cases[] = {
      {"5 makes X known", 5, kAll, kX, {0, 2}, {"PSP認識(5 0): MACアドレス = 2:0:A:1B:C3:F4"}},
      {"0 makes its own station known", 0, kAll, kOf0, {2, 5}, {"PSP認識(0 0): MACアドレス = 2:0:0:0:0:10"}},
      {"unicast to X", 2, kX, kOf2, {5}, {"PSP認識(2 0): MACアドレス = 2:0:0:0:0:22"}},
      {"unicast to a station learned by 2", 0, kOf2, kOf0, {2}, {}},
      {"unlearned destination", 2, kUnlearned, kOf2, {}, {}},
      {"group destination", 0, kGroup, kOf0, {}, {}},
      {"never back to the sender", 5, kX, kX, {}, {}},
      {"X heard behind 2 as well", 2, kGroup, kX, {}, {"PSP認識(2 1): MACアドレス = 2:0:A:1B:C3:F4"}},
      {"X learned twice", 0, kX, kOf0, {2, 5}, {}},
      {"X from 5", 5, kX, kX, {2}, {}},
      {"X from 2", 2, kX, kX, {5}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    console_.Clear();
    Bytes payload = c.destination;
    payload.insert(payload.end(), c.source.begin(), c.source.end());
    payload.insert(payload.end(), {'d', 'a', 't', 'a'});
    Dispatch(c.sender, 'T', 77, payload);
    std::vector<Delivery> expected;
    for (int slot : c.receivers) {
      WireFrame frame = MakeFrame('t', static_cast<std::uint8_t>(c.sender), 0, 0, payload);
      frame.sequence = SessionTable[slot].sendCount.load();
      expected.push_back({slot, frame});
    }
    EXPECT_EQ(Delivered(), expected);
    EXPECT_EQ(console_.OutLines(), c.lines);
  }
}

TEST_F(DispatcherTest, TunnelledFrameTooShortForBothAddressesIsDropped) {
  Bytes eleven(kStationAddressBytes, 0xFF);
  eleven.insert(eleven.end(), {2, 0, 0, 0, 0});
  // The byte that would complete the source address lies in the buffer, left from before.
  Dispatch(2, 'T', 0, eleven);
  EXPECT_TRUE(Delivered().empty());
  EXPECT_TRUE(console_.OutLines().empty());
  for (const StationEntry& row : SessionTable[2].stations.rows) EXPECT_EQ(row.inUse.load(), 0);
}

TEST_F(DispatcherTest, OtherCommandsByTheirLetter) {
  struct Expect {
    int slot;
    char command;
    std::uint8_t source;
  };
  struct Case {
    char command;
    std::uint8_t source;
    std::vector<Expect> deliveries;
    Lines lines;
  };
  const Case cases[] = {
      {'U', 77, {{0, 'u', 2}, {2, 'u', 2}, {5, 'u', 2}}, {}},
      {'S', 77, {{0, 's', 77}, {2, 's', 77}, {5, 's', 77}}, {}},
      {'I', 5, {{5, 'i', 2}}, {}},
      {'I', 2, {{2, 'i', 2}}, {}},  // to the sender itself
      {'I', 3, {}, {}},             // slot 3 holds no session
      {'I', 64, {}, {}},
      {'I', 255, {}, {}},
      {'P', 77, {{2, 'p', 77}}, {}},
      {'c', 77, {}, {" → サポート外のコマンド [c]"}},
      {'x', 77, {}, {" → サポート外のコマンド [x]"}},
  };
  const Bytes payload = ToBytes("abc");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.command) + " " + std::to_string(c.source));
    console_.Clear();
    Dispatch(2, c.command, c.source, payload);
    const std::vector<Delivery> delivered = Delivered();
    ASSERT_EQ(delivered.size(), c.deliveries.size());
    for (std::size_t i = 0; i < delivered.size(); ++i) {
      EXPECT_EQ(delivered[i].slot, c.deliveries[i].slot);
      EXPECT_EQ(delivered[i].frame.command, c.deliveries[i].command);
      EXPECT_EQ(delivered[i].frame.source, c.deliveries[i].source);
      EXPECT_EQ(delivered[i].frame.payload, payload);
    }
    EXPECT_EQ(console_.OutLines(), c.lines);
    EXPECT_EQ(SessionTable[2].state.load(), SessionState::Open);
  }
}

TEST_F(DispatcherTest, PingReplyIsLoggedAndNotRelayed) {
  Session& sender = SessionTable[2];
  sender.sendCount.store(9);
  sender.receiveCount.store(4);
  Dispatch(2, 'p', 0, ToBytes("pong"), 4, 8);
  EXPECT_TRUE(Delivered().empty());
  EXPECT_EQ(console_.OutLines(), Lines{"2 : ping(S9->R8 S4->R4)"});
}

}  // namespace
}  // namespace kavo
