// The platform seam's promises that the session workers build on, checked the same way on
// every backend: address text, socket events, wake-ups, signals and the clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/local_socket_pair.h"

namespace {

using platform::kAddressNone;

std::uint32_t Address(unsigned a, unsigned b, unsigned c, unsigned d) {
  const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                  static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
  std::uint32_t address;
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

TEST(AddressText, StrictDottedQuadOrTheEmptyText) {
  EXPECT_EQ(platform::ParseIPv4(""), 0u);
  EXPECT_EQ(platform::ParseIPv4("127.0.0.1"), Address(127, 0, 0, 1));
  EXPECT_EQ(platform::ParseIPv4("0.0.0.0"), 0u);
  EXPECT_EQ(platform::ParseIPv4("10.20.30.255"), Address(10, 20, 30, 255));
  EXPECT_EQ(platform::ParseIPv4("010.0.0.1"), Address(10, 0, 0, 1)) << "decimal, not octal";
  EXPECT_EQ(platform::ParseIPv4("255.255.255.255"), kAddressNone);
  for (const char* text : {"1.2", "1.2.3", "1.2.3.4.5", "256.0.0.1", "1.2.3.4 ", " 1.2.3.4",
                           "0x7f.0.0.1", "1..2.3", "1.2.3.", "0001.2.3.4", "localhost", "-1.2.3.4",
                           "1.2.3.4a", "+1.2.3.4"}) {
    EXPECT_EQ(platform::ParseIPv4(text), kAddressNone) << text;
  }
}

TEST(AddressText, FormatsDottedQuadAndPortsInNetworkOrder) {
  char text[16];
  platform::FormatIPv4(Address(10, 0, 0, 2), text);
  EXPECT_STREQ(text, "10.0.0.2");
  platform::FormatIPv4(kAddressNone, text);
  EXPECT_STREQ(text, "255.255.255.255");
  const std::uint16_t wire = platform::HostToNet16(50000);
  unsigned char bytes[2];
  std::memcpy(bytes, &wire, sizeof bytes);
  EXPECT_EQ(bytes[0], 50000 >> 8);
  EXPECT_EQ(bytes[1], 50000 & 0xFF);
  EXPECT_EQ(platform::NetToHost16(wire), 50000);
}

TEST(SocketErrors, LastErrorIsKeptPerThread) {
  platform::SetLastSocketError(platform::kErrAddressInUse);
  EXPECT_EQ(platform::LastSocketError(), platform::kErrAddressInUse);
  platform::SetLastSocketError(0);
  EXPECT_EQ(platform::LastSocketError(), 0);
}

// An events object attached to the server end of a local pair; the peer plays the client.
class SocketEventsTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(platform::StartSockets(), 0);
    if (!kavo_test::OpenLocalSocketPair(&pair_)) GTEST_SKIP() << "no local socket pair here";
    events_ = Events();
    ASSERT_NE(events_, nullptr);
    ASSERT_EQ(platform::AttachSocketEvents(events_, pair_.server), 0);
  }
  void TearDown() override {
    if (events_ != nullptr) platform::DetachSocketEvents(events_);
    kavo_test::CloseLocalSocket(pair_.server);
    kavo_test::CloseLocalSocket(pair_.peer);
    platform::StopSockets();
  }

  // Objects are made once and reused by every connection, as the session slots do.
  static platform::SocketEvents* Events() {
    static platform::SocketEvents* events = platform::CreateSocketEvents();
    return events;
  }

  // Waits for the next events. A wait that finds nothing within five seconds is woken, so that
  // a missing event fails the test instead of hanging it.
  int NextEvents() {
    struct Guard {
      platform::SocketEvents* events;
      platform::Signal cancel;
      platform::Signal done;
    } guard{events_, {}, {}};
    EXPECT_TRUE(platform::StartThread(
        [](void* raw) {
          auto* g = static_cast<Guard*>(raw);
          if (!g->cancel.WaitFor(5000)) platform::WakeSocketEvents(g->events);
          g->done.Raise();
        },
        &guard));
    EXPECT_TRUE(platform::WaitSocketEvents(events_));
    const int taken = platform::TakeSocketEvents(events_);
    guard.cancel.Raise();
    guard.done.WaitFor(10000);
    return taken;
  }

  // What is recorded right now, without waiting: the wait is woken first. (A backend may
  // return from a woken wait without looking at the socket, so this proves less there.)
  int RecordedNow() {
    platform::WakeSocketEvents(events_);
    EXPECT_TRUE(platform::WaitSocketEvents(events_));
    return platform::TakeSocketEvents(events_);
  }

  std::string Receive(int length) {
    std::vector<char> buffer(static_cast<std::size_t>(length));
    const int n = platform::ReceiveSocket(pair_.server, buffer.data(), length);
    return n > 0 ? std::string(buffer.data(), static_cast<std::size_t>(n)) : std::string();
  }

  bool PeerWrites(const std::string& text) {
    return kavo_test::WriteFromPeer(pair_.peer, std::vector<unsigned char>(text.begin(), text.end()));
  }

  kavo_test::LocalSocketPair pair_;
  platform::SocketEvents* events_ = nullptr;
};

TEST_F(SocketEventsTest, WriteOnceAfterAttachingThenNothing) {
  EXPECT_EQ(NextEvents(), platform::kEventWrite);
  EXPECT_EQ(RecordedNow(), 0);
}

TEST_F(SocketEventsTest, ReadWhileDataRemainsAndNoLonger) {
  EXPECT_EQ(NextEvents(), platform::kEventWrite);
  ASSERT_TRUE(PeerWrites("abcdef"));
  EXPECT_EQ(NextEvents() & platform::kEventRead, platform::kEventRead);
  EXPECT_EQ(Receive(4), "abcd");
  EXPECT_EQ(NextEvents() & platform::kEventRead, platform::kEventRead) << "two bytes remain";
  EXPECT_EQ(Receive(4), "ef");
  EXPECT_EQ(RecordedNow(), 0);
  char byte;
  EXPECT_EQ(platform::ReceiveSocket(pair_.server, &byte, 1), platform::kSocketFailed);
  EXPECT_EQ(platform::LastSocketError(), platform::kErrWouldBlock);
}

TEST_F(SocketEventsTest, CloseOnlyOnceEverythingBeforeItIsRead) {
  EXPECT_EQ(NextEvents(), platform::kEventWrite);
  ASSERT_TRUE(PeerWrites("0123456789"));
  kavo_test::CloseLocalSocket(pair_.peer);
  pair_.peer = platform::kInvalidSocket;
  platform::SleepMs(100);
  std::string received;
  int events = 0;
  for (int round = 0; round < 10; ++round) {
    events = NextEvents();
    if ((events & platform::kEventClose) != 0) break;
    ASSERT_NE(events & platform::kEventRead, 0) << "round " << round;
    received += Receive(4);
  }
  EXPECT_EQ(received, "0123456789");
  EXPECT_EQ(events & platform::kEventClose, platform::kEventClose);
}

TEST_F(SocketEventsTest, WokenWaitReturnsWithNoEvents) {
  EXPECT_EQ(NextEvents(), platform::kEventWrite);
  platform::WakeSocketEvents(events_);
  EXPECT_TRUE(platform::WaitSocketEvents(events_));
  EXPECT_EQ(platform::TakeSocketEvents(events_), 0);
}

TEST_F(SocketEventsTest, NextConnectionOnTheSameObjectStartsAfresh) {
  ASSERT_TRUE(PeerWrites("unread"));
  platform::WakeSocketEvents(events_);  // left over when the connection ends
  platform::DetachSocketEvents(events_);
  kavo_test::LocalSocketPair next;
  ASSERT_TRUE(kavo_test::OpenLocalSocketPair(&next));
  ASSERT_EQ(platform::AttachSocketEvents(events_, next.server), 0);
  EXPECT_EQ(NextEvents(), platform::kEventWrite);
  const std::string text = "next";
  ASSERT_TRUE(kavo_test::WriteFromPeer(next.peer, std::vector<unsigned char>(text.begin(), text.end())));
  EXPECT_EQ(NextEvents(), platform::kEventRead);
  platform::DetachSocketEvents(events_);
  kavo_test::CloseLocalSocket(next.server);
  kavo_test::CloseLocalSocket(next.peer);
  ASSERT_EQ(platform::AttachSocketEvents(events_, pair_.server), 0);  // for TearDown
}

TEST(Signal, WaitsItsTimeUnlessRaised) {
  platform::Signal signal;
  const std::uint32_t start = platform::TickCount();
  EXPECT_FALSE(signal.WaitFor(100));
  // The tick moves in steps of up to 16 ms on some systems.
  EXPECT_GE(platform::TickCount() - start, 100u - 16u);
  signal.Raise();
  EXPECT_TRUE(signal.WaitFor(1000));
  EXPECT_TRUE(signal.WaitFor(0)) << "stays raised";
  signal.Clear();
  EXPECT_FALSE(signal.WaitFor(0));
}

TEST(Threads, StartedThreadRunsWithItsArgument) {
  struct Start {
    std::atomic<int> value{0};
    platform::Signal done;
  } start;
  ASSERT_TRUE(platform::StartThread(
      [](void* raw) {
        auto* s = static_cast<Start*>(raw);
        s->value.store(42);
        s->done.Raise();
      },
      &start));
  ASSERT_TRUE(start.done.WaitFor(5000));
  EXPECT_EQ(start.value.load(), 42);
}

TEST(Lock, GuardsACountAcrossThreads) {
  struct Shared {
    platform::Lock lock;
    long count = 0;
    std::atomic<int> finished{0};
    platform::Signal done;
  } shared;
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_TRUE(platform::StartThread(
        [](void* raw) {
          auto* s = static_cast<Shared*>(raw);
          for (int i = 0; i < kRounds; ++i) {
            platform::LockGuard guard(s->lock);
            ++s->count;
          }
          if (s->finished.fetch_add(1) + 1 == kThreads) s->done.Raise();
        },
        &shared));
  }
  ASSERT_TRUE(shared.done.WaitFor(20000));
  platform::LockGuard guard(shared.lock);
  EXPECT_EQ(shared.count, static_cast<long>(kThreads) * kRounds);
}

TEST(ExecutablePath, FullPathOrNothing) {
  char path[512];
  const int length = platform::ExecutablePath(path, sizeof path);
  ASSERT_GT(length, 0);
  EXPECT_EQ(static_cast<std::size_t>(length), std::strlen(path));
  EXPECT_NE(std::string(path).find("kavo_unit_tests"), std::string::npos) << path;
  char tiny[4];
  EXPECT_EQ(platform::ExecutablePath(tiny, sizeof tiny), -1);
  EXPECT_EQ(platform::ExecutablePath(path, length), -1) << "no room for the terminating zero";
  EXPECT_EQ(platform::ExecutablePath(path, length + 1), length);
}

}  // namespace
