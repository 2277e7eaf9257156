// Many senders at once: every client receives every chat frame exactly once, whole, in each
// sender's order, numbered for itself without a gap.
#include <atomic>
#include <memory>
#include <thread>

#include "integration/test_support.h"

namespace kavo_test {
namespace {

constexpr int kClients = 8;
constexpr int kFramesEach = 200;
constexpr int kTotal = kClients * kFramesEach;

std::string ChatText(int sender, int index) {
  std::string chat = "chat from " + std::to_string(sender) + " #" + std::to_string(index) + " ";
  chat.append(static_cast<std::size_t>(index % 23), static_cast<char>('a' + sender));
  return chat;
}

struct Received {
  int total = 0;
  int wrong = 0;               // not a whole 'c' frame from a known sender
  int outOfOrder = 0;          // a sender's frames not in the order it sent them
  int next[kClients] = {};     // next index expected from each sender
  std::string firstProblem;
};

TEST(ConcurrentRelay, EightClientsChattingAtOnceAllReceiveEveryFrameOnce) {
  LoopbackServer server;
  ASSERT_TRUE(StartLoopbackServer(server));
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<TestClient>());
    ASSERT_EQ(ConnectSession(server, *clients.back()), i);
  }
  const std::size_t from = server->LineCount();

  std::atomic<bool> go{false};
  std::atomic<int> sendFailures{0};
  std::vector<Received> received(kClients);
  std::vector<std::thread> threads;
  const auto deadline = Clock::now() + 30000ms;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      TestClient& client = *clients[static_cast<std::size_t>(i)];
      Received& got = received[static_cast<std::size_t>(i)];
      while (got.total < kTotal && Clock::now() < deadline) {
        const auto frame = client.ReceiveFrame(2000ms);
        if (!frame.has_value()) {
          if (client.peerClosed()) break;
          continue;
        }
        ++got.total;
        const int sender = frame->source;
        if (frame->command != 'c' || sender >= kClients) {
          ++got.wrong;
          if (got.firstProblem.empty()) got.firstProblem = frame->Describe();
          continue;
        }
        const int index = got.next[sender];
        if (index >= kFramesEach || frame->PayloadText() != ChatText(sender, index)) {
          ++got.outOfOrder;
          if (got.firstProblem.empty()) {
            got.firstProblem = "from " + std::to_string(sender) + " expected #" +
                               std::to_string(index) + ", got '" + frame->PayloadText() + "'";
          }
        }
        ++got.next[sender];
      }
    });
    threads.emplace_back([&, i] {
      TestClient& client = *clients[static_cast<std::size_t>(i)];
      while (!go) std::this_thread::yield();
      for (int n = 0; n < kFramesEach; ++n) {
        if (!client.Send('C', 0, ChatText(i, n))) {
          ++sendFailures;
          return;
        }
      }
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(sendFailures, 0);
  for (int i = 0; i < kClients; ++i) {
    const Received& got = received[static_cast<std::size_t>(i)];
    const TestClient& client = *clients[static_cast<std::size_t>(i)];
    EXPECT_EQ(got.total, kTotal) << "client " << i;
    EXPECT_EQ(got.wrong, 0) << "client " << i << ": " << got.firstProblem;
    EXPECT_EQ(got.outOfOrder, 0) << "client " << i << ": " << got.firstProblem;
    for (int sender = 0; sender < kClients; ++sender) {
      EXPECT_EQ(got.next[sender], kFramesEach) << "client " << i << " from " << sender;
    }
    EXPECT_EQ(client.sequenceErrors(), 0) << "client " << i;
    EXPECT_EQ(client.lengthErrors(), 0) << "client " << i;
    EXPECT_EQ(client.lastSequence(), kTotal + client.keepalivesSkipped()) << "client " << i;
  }

  // One chat line per frame, and nothing else.
  auto chatLines = [&] {
    std::size_t count = 0;
    for (const auto& line : UnexpectedLines(*server, from, {})) {
      if (line.find(": chat from ") != std::string::npos) ++count;
    }
    return count;
  };
  const auto linesDeadline = Clock::now() + 5000ms;
  while (chatLines() < static_cast<std::size_t>(kTotal) && Clock::now() < linesDeadline) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(chatLines(), static_cast<std::size_t>(kTotal));
  const auto others = UnexpectedLines(*server, from, {Contains(": chat from ")});
  EXPECT_TRUE(others.empty()) << "e.g. " << others.front();
}

}  // namespace
}  // namespace kavo_test
