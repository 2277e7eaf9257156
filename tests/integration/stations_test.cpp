// Tunnelled frames ('T'): learning the station addresses behind each session and relaying by
// destination address. Payload bytes 0..5 are the destination, 6..11 the source.
#include <algorithm>
#include <array>

#include "integration/test_support.h"

namespace kavo_test {
namespace {

using Mac = std::uint8_t[6];

constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr Mac kStationX = {0x02, 0x00, 0x0A, 0x1B, 0xC3, 0xF4};
constexpr Mac kStationY = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0B};
constexpr Mac kStationZ = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0C};  // never learned
constexpr Mac kStationW = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0D};  // never learned
constexpr Mac kGroup = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01};    // multicast, never learned

Bytes Tunnelled(const Mac& destination, const Mac& source, const std::string& data) {
  Bytes payload(destination, destination + 6);
  payload.insert(payload.end(), source, source + 6);
  payload.insert(payload.end(), data.begin(), data.end());
  return payload;
}

class Stations : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(StartLoopbackServer(server_));
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(ConnectSession(server_, clients_[i]), i);
      at_[i] = &clients_[i];
    }
    from_ = server_->LineCount();
  }

  // Sends a 'T' from `sender` and expects exactly `receivers` to get it as 't' from `sender`.
  void ExpectRelay(int sender, const Mac& destination, const Mac& source,
                   const std::vector<int>& receivers, const std::string& data = "payload") {
    const Bytes payload = Tunnelled(destination, source, data);
    ASSERT_TRUE(at_[sender]->Send('T', 0x5A, payload));
    for (int receiver : receivers) {
      const auto frame = at_[receiver]->ReceiveFrame(3000ms);
      ASSERT_TRUE(frame.has_value()) << "session " << receiver << " got no frame from " << sender;
      EXPECT_EQ(frame->command, 't');
      EXPECT_EQ(frame->source, sender);
      EXPECT_EQ(frame->payload, payload);
    }
    std::vector<TestClient*> others;
    for (int i = 0; i < 3; ++i) {
      if (std::find(receivers.begin(), receivers.end(), i) == receivers.end()) {
        others.push_back(at_[i]);
      }
    }
    EXPECT_TRUE(NoFrameArrives(others, 150ms)) << "frame from session " << sender;
  }

  std::vector<std::string> StationLines() {
    return UnexpectedLines(*server_, from_, {[](const std::string& line) {
                             return line.rfind("PSP認識(", 0) != 0;
                           }});
  }

  LoopbackServer server_;
  TestClient clients_[3];
  TestClient* at_[3] = {};  // the client of each session 0..2
  std::size_t from_ = 0;
};

TEST_F(Stations, FirstFrameOfANewStationIsAnnouncedOnce) {
  ExpectRelay(0, kBroadcast, kStationX, {1, 2});
  ExpectRelay(0, kBroadcast, kStationX, {1, 2});
  ASSERT_TRUE(server_->WaitForLine(StartsWith("PSP認識("), 1000ms, Stream::Out, from_).has_value());
  const auto lines = UnexpectedLines(*server_, from_, {});
  ASSERT_EQ(lines.size(), 1u) << server_->DescribeOutput();
  EXPECT_EQ(lines[0], "PSP認識(0 0): MACアドレス = 2:0:A:1B:C3:F4");
}

TEST_F(Stations, BroadcastGoesToEveryOtherSessionButNotBack) {
  ExpectRelay(1, kBroadcast, kStationY, {0, 2});
  ExpectRelay(2, kBroadcast, kStationZ, {0, 1});
}

TEST_F(Stations, UnicastGoesOnlyToTheSessionsThatLearnedTheDestination) {
  ExpectRelay(0, kBroadcast, kStationX, {1, 2});  // X lives behind 0
  ExpectRelay(1, kBroadcast, kStationY, {0, 2});  // Y lives behind 1
  ExpectRelay(2, kStationX, kStationZ, {0});
  ExpectRelay(2, kStationY, kStationZ, {1});
  ExpectRelay(1, kStationX, kStationY, {0});
  // A station on the sender's own side: nowhere, the sender never gets its own frame.
  ExpectRelay(0, kStationX, kStationX, {});
  // Unlearned and group destinations are not flooded.
  ExpectRelay(0, kStationZ, kStationX, {2});  // Z was learned behind 2 just now
  ExpectRelay(0, kStationW, kStationX, {});
  ExpectRelay(1, kGroup, kStationY, {});
}

TEST_F(Stations, UnlearnedDestinationReachesNobody) {
  ExpectRelay(0, kStationZ, kStationX, {});
  ExpectRelay(1, kGroup, kStationY, {});
  const auto lines = StationLines();
  ASSERT_EQ(lines.size(), 2u) << server_->DescribeOutput();
  EXPECT_EQ(lines[0], text::StationLine(0, 0, kStationX));
  EXPECT_EQ(lines[1], text::StationLine(1, 0, kStationY));
}

TEST_F(Stations, NinthStationBehindOneSessionIsNotLearned) {
  std::array<std::array<std::uint8_t, 6>, 9> stations{};
  for (int i = 0; i < 9; ++i) {
    stations[i] = {0x02, 0x00, 0x00, 0x00, 0x01, static_cast<std::uint8_t>(i)};
    Mac source;
    std::copy(stations[i].begin(), stations[i].end(), source);
    ExpectRelay(0, kBroadcast, source, {1, 2});
  }
  const auto lines = StationLines();
  ASSERT_EQ(lines.size(), 8u) << server_->DescribeOutput();
  for (int row = 0; row < 8; ++row) {
    Mac source;
    std::copy(stations[row].begin(), stations[row].end(), source);
    EXPECT_EQ(lines[row], text::StationLine(0, row, source));
  }
  Mac eighth, ninth;
  std::copy(stations[7].begin(), stations[7].end(), eighth);
  std::copy(stations[8].begin(), stations[8].end(), ninth);
  ExpectRelay(1, ninth, kStationY, {});
  ExpectRelay(1, eighth, kStationY, {0});
  ExpectRelay(2, kBroadcast, kStationZ, {0, 1});  // broadcasts still reach session 0
}

TEST_F(Stations, StationHeardBehindTwoSessionsReachesBoth) {
  ExpectRelay(0, kBroadcast, kStationX, {1, 2});
  ExpectRelay(1, kBroadcast, kStationX, {0, 2});
  ExpectRelay(2, kStationX, kStationZ, {0, 1});
  ExpectRelay(0, kStationX, kStationX, {1});
  ExpectRelay(1, kStationX, kStationX, {0});
  const auto lines = StationLines();
  ASSERT_EQ(lines.size(), 3u) << server_->DescribeOutput();
  EXPECT_EQ(lines[0], text::StationLine(0, 0, kStationX));
  EXPECT_EQ(lines[1], text::StationLine(1, 0, kStationX));
  EXPECT_EQ(lines[2], text::StationLine(2, 0, kStationZ));
}

TEST_F(Stations, NewConnectionInAReusedSlotStartsWithAnEmptyTable) {
  ExpectRelay(0, kBroadcast, kStationX, {1, 2});
  ExpectRelay(2, kStationX, kStationZ, {0});
  const int threads = ServerThreadCount(*server_);
  ASSERT_TRUE(Disconnect(clients_[0]));
  ASSERT_TRUE(WaitForThreadsAtMost(*server_, threads - 2));
  TestClient first, second;
  TestClient* reused = ConnectIntoFreedSlot(server_, first, second, 0, 3);
  ASSERT_NE(reused, nullptr);
  TestClient& filler = reused == &first ? second : first;  // in slot 3
  at_[0] = reused;
  const std::size_t from = server_->LineCount();

  ExpectRelay(2, kStationX, kStationZ, {});
  EXPECT_TRUE(NoFrameArrives({&filler}, 0ms));
  // Learned afresh, with its line again.
  ExpectRelay(0, kStationZ, kStationX, {2});
  EXPECT_TRUE(NoFrameArrives({&filler}, 0ms));
  const auto line = server_->WaitForLine(StartsWith("PSP認識("), 1000ms, Stream::Out, from);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, text::StationLine(0, 0, kStationX));
}

TEST_F(Stations, TunnelledFrameShorterThanTwelveBytesIsNeitherLearnedNorRelayed) {
  Bytes shortPayload(kBroadcast, kBroadcast + 6);
  shortPayload.insert(shortPayload.end(), kStationX, kStationX + 5);  // 11 bytes
  ASSERT_TRUE(clients_[0].Send('T', 0, shortPayload));
  EXPECT_TRUE(NoFrameArrives({&clients_[0], &clients_[1], &clients_[2]}));
  EXPECT_TRUE(StationLines().empty()) << server_->DescribeOutput();
  // Twelve bytes are enough, and the session goes on normally.
  ExpectRelay(0, kBroadcast, kStationX, {1, 2}, "");
  const auto lines = StationLines();
  ASSERT_EQ(lines.size(), 1u) << server_->DescribeOutput();
  EXPECT_EQ(lines[0], text::StationLine(0, 0, kStationX));
}

}  // namespace
}  // namespace kavo_test
