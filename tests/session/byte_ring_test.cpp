#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "session/byte_ring.h"

namespace kavo {
namespace {

constexpr int C = kRingCapacity;

using Bytes = std::vector<unsigned char>;

Bytes Counting(int count, unsigned char first) {
  Bytes bytes(static_cast<std::size_t>(count));
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

Bytes Slice(const unsigned char* from, int count) { return Bytes(from, from + count); }

// A ring over storage the test owns and has filled with a known byte, so that every byte a
// copy must not touch can be checked.
class RingTest : public ::testing::Test {
 protected:
  static constexpr unsigned char kUntouched = 0xEE;

  void SetUp() override {
    storage_.assign(static_cast<std::size_t>(C), kUntouched);
    ring_.buffer = storage_.data();
    ring_.ResetRing(C);
    ASSERT_EQ(ring_.buffer, storage_.data());
  }

  Bytes storage_;
  ByteRing ring_;
};

TEST_F(RingTest, WriteAcrossTheEndWrapsToOffsetZeroAndPositionsPastCapacityComeBack) {
  const Bytes first = Counting(12, 1);
  const Bytes second = Counting(4, 100);
  ring_.writePos = C - 6;
  ring_.WriteAt(ring_.writePos, first.data(), 12);
  EXPECT_EQ(Slice(&storage_[C - 6], 6), Slice(first.data(), 6));
  EXPECT_EQ(Slice(&storage_[0], 6), Slice(first.data() + 6, 6));
  EXPECT_EQ(storage_[6], kUntouched);
  EXPECT_EQ(storage_[C - 7], kUntouched);

  ring_.WriteAt(C + 6, second.data(), 4);
  EXPECT_EQ(Slice(&storage_[6], 4), second);
  EXPECT_EQ(storage_[10], kUntouched);

  ring_.AdvanceWrite(16);
  EXPECT_EQ(ring_.writePos, 10);

  Bytes out(16);
  ring_.ReadAt(C - 6, out.data(), 16);
  Bytes expected = first;
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(out, expected);
  Bytes tail(4);
  ring_.ReadAt(C + 6, tail.data(), 4);
  EXPECT_EQ(tail, second);
}

TEST_F(RingTest, FrameEndingExactlyAtTheEndLeavesWritePosAtCapacity) {
  const Bytes header = Counting(12, 1);
  const Bytes marker = {0x3C, 0x45, 0x3E, 0x00};
  ring_.writePos = C - 16;
  ring_.WriteAt(ring_.writePos, header.data(), 12);
  ring_.WriteAt(ring_.writePos + 12, marker.data(), 4);
  EXPECT_EQ(Slice(&storage_[C - 4], 4), marker);
  EXPECT_EQ(storage_[0], kUntouched) << "nothing of the marker may land at offset 0";

  ring_.AdvanceWrite(16);
  EXPECT_EQ(ring_.writePos, C);  // the end, not 0

  const Bytes next = Counting(3, 50);
  ring_.WriteAt(ring_.writePos, next.data(), 3);
  EXPECT_EQ(Slice(&storage_[0], 3), next);
  EXPECT_EQ(Slice(&storage_[C - 4], 4), marker);

  Bytes out(3);
  ring_.ReadAt(C, out.data(), 3);
  EXPECT_EQ(out, next);
  Bytes lastFour(4);
  ring_.ReadAt(C - 4, lastFour.data(), 4);
  EXPECT_EQ(lastFour, marker);
}

TEST_F(RingTest, PendingAtTheLimits) {
  struct Case {
    int writePos;
    int readPos;
    int pending;
  };
  const Case cases[] = {
      {0, 0, 0},        {C, C - 16, 16}, {10, C - 6, 16}, {C, 0, C},
      {100, 100, 0},    {C, C, 0},       {0, C, 0},       {5, 10, C - 5},
      {C - 1, 0, C - 1},
  };
  for (const Case& c : cases) {
    ring_.writePos = c.writePos;
    ring_.readPos = c.readPos;
    EXPECT_EQ(ring_.Pending(), c.pending) << "writePos " << c.writePos << " readPos " << c.readPos;
  }
}

TEST_F(RingTest, AdvanceWrapsOnlyPastCapacity) {
  struct Case {
    int start;
    int count;
    int end;
  };
  const Case cases[] = {{C - 16, 16, C}, {C, 16, 16}, {C - 6, 16, 10}, {0, C, C}, {C - 1, 2, 1}};
  for (const Case& c : cases) {
    ring_.writePos = c.start;
    ring_.AdvanceWrite(c.count);
    EXPECT_EQ(ring_.writePos, c.end) << "write from " << c.start << " by " << c.count;
    ring_.readPos = c.start;
    ring_.AdvanceRead(c.count);
    EXPECT_EQ(ring_.readPos, c.end) << "read from " << c.start << " by " << c.count;
  }
}

TEST_F(RingTest, EmptyCopiesTouchNothing) {
  const Bytes source = Counting(8, 1);
  ring_.writePos = 40;
  ring_.readPos = 20;
  ring_.WriteAt(C - 2, source.data(), 0);
  ring_.WriteAt(30, source.data(), -1);
  EXPECT_EQ(storage_, Bytes(static_cast<std::size_t>(C), kUntouched));
  EXPECT_EQ(ring_.writePos, 40);
  EXPECT_EQ(ring_.readPos, 20);

  Bytes destination(8, 0x11);
  ring_.ReadAt(C - 2, destination.data(), 0);
  EXPECT_EQ(destination, Bytes(8, 0x11));
}

TEST(ByteRing, ResetAllocatesOnceAndThenKeepsTheBuffer) {
  ByteRing ring;
  EXPECT_EQ(ring.Pending(), 0);
  ring.ResetRing(C);
  ASSERT_NE(ring.buffer, nullptr);
  unsigned char* const first = ring.buffer;
  EXPECT_EQ(ring.capacity, C);
  EXPECT_EQ(ring.Pending(), 0);

  ring.buffer[7] = 0x5A;
  ring.writePos = 300;
  ring.readPos = 123;
  ring.ResetRing(C);
  EXPECT_EQ(ring.buffer, first);
  EXPECT_EQ(ring.writePos, 0);
  EXPECT_EQ(ring.readPos, 0);
  EXPECT_EQ(ring.buffer[7], 0x5A) << "a reset does not clear the contents";
  delete[] ring.buffer;
}

}  // namespace
}  // namespace kavo
