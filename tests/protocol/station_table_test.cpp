#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/station_table.h"
#include "session/session.h"
#include "support/console_capture.h"
#include "support/fake_sessions.h"

namespace kavo {
namespace {

using kavo_test::ConsoleCapture;
using kavo_test::FakeSessionTable;
using Lines = std::vector<std::string>;

const unsigned char kX[6] = {0x02, 0x00, 0x0A, 0x1B, 0xC3, 0xF4};
const unsigned char kY[6] = {0x02, 0x00, 0x0A, 0x1B, 0xC3, 0xF5};
const unsigned char kZero[6] = {0, 0, 0, 0, 0, 0};

class StationTableTest : public ::testing::Test {
 protected:
  FakeSessionTable table_;
  ConsoleCapture console_;
};

TEST_F(StationTableTest, NewAddressIsLearnedOnceWithItsLine) {
  Session& session = table_.Prepare(3);
  EXPECT_EQ(FindStation(session.stations, kX), -1);
  EXPECT_FALSE(IsStationTarget(session, kX));
  EXPECT_TRUE(IsStationTarget(session, kBroadcastAddress));

  LearnStation(session, kX);
  LearnStation(session, kX);
  LearnStation(session, kY);
  EXPECT_EQ(console_.OutLines(), (Lines{"PSP認識(3 0): MACアドレス = 2:0:A:1B:C3:F4",
                                        "PSP認識(3 1): MACアドレス = 2:0:A:1B:C3:F5"}));
  EXPECT_EQ(FindStation(session.stations, kX), 0);
  EXPECT_EQ(FindStation(session.stations, kY), 1);
  EXPECT_TRUE(IsStationTarget(session, kX));
}

TEST_F(StationTableTest, FreeRowsNeverMatchEvenTheAllZeroAddress) {
  Session& session = table_.Prepare(3);
  EXPECT_EQ(FindStation(session.stations, kZero), -1);
  EXPECT_FALSE(IsStationTarget(session, kZero));
  LearnStation(session, kZero);  // any six bytes are learned
  EXPECT_EQ(FindStation(session.stations, kZero), 0);
  EXPECT_EQ(console_.OutLines(), Lines{"PSP認識(3 0): MACアドレス = 0:0:0:0:0:0"});
}

TEST_F(StationTableTest, NinthAddressIsNotLearned) {
  Session& session = table_.Prepare(1);
  unsigned char address[6] = {0x02, 0, 0, 0, 0, 0};
  for (unsigned char i = 1; i <= 9; ++i) {
    address[5] = i;
    LearnStation(session, address);
  }
  EXPECT_EQ(console_.OutLines().size(), 8u);
  EXPECT_EQ(console_.OutLines().back(), "PSP認識(1 7): MACアドレス = 2:0:0:0:0:8");
  address[5] = 9;
  EXPECT_EQ(FindStation(session.stations, address), -1);
  EXPECT_FALSE(IsStationTarget(session, address));
  address[5] = 8;
  EXPECT_EQ(FindStation(session.stations, address), 7);
}

TEST_F(StationTableTest, SameAddressBehindTwoSessions) {
  Session& first = table_.Prepare(3);
  Session& second = table_.Prepare(4);
  LearnStation(first, kX);
  LearnStation(second, kX);
  EXPECT_EQ(console_.OutLines(), (Lines{"PSP認識(3 0): MACアドレス = 2:0:A:1B:C3:F4",
                                        "PSP認識(4 0): MACアドレス = 2:0:A:1B:C3:F4"}));
  EXPECT_TRUE(IsStationTarget(first, kX));
  EXPECT_TRUE(IsStationTarget(second, kX));
}

TEST_F(StationTableTest, ClearingFreesEveryRow) {
  Session& session = table_.Prepare(2);
  LearnStation(session, kX);
  LearnStation(session, kY);
  ClearStations(session.stations);
  EXPECT_EQ(FindStation(session.stations, kX), -1);
  EXPECT_EQ(FindStation(session.stations, kY), -1);
  console_.Clear();
  LearnStation(session, kY);
  EXPECT_EQ(console_.OutLines(), Lines{"PSP認識(2 0): MACアドレス = 2:0:A:1B:C3:F5"});
}

TEST(PrintMacAddress, PadsNothing) {
  struct Case {
    unsigned char address[6];
    const char* text;
  };
  const Case cases[] = {
      {{0x02, 0x00, 0x0A, 0x1B, 0xC3, 0xF4}, "2:0:A:1B:C3:F4"},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "FF:FF:FF:FF:FF:FF"},
      {{0, 0, 0, 0, 0, 0}, "0:0:0:0:0:0"},
  };
  for (const Case& c : cases) {
    char out[18];
    const int length = PrintMacAddress(c.address, out);
    EXPECT_STREQ(out, c.text);
    EXPECT_EQ(length, static_cast<int>(std::string(c.text).size()));
  }
}

}  // namespace
}  // namespace kavo
