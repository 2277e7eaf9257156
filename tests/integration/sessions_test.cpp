// Session slots: who gets which number, and how a slot comes free again.
#include <memory>

#include "integration/test_support.h"

namespace kavo_test {
namespace {

TEST(Sessions, ClientsGetTheLowestFreeSlotsAndTheirAddressIsShown) {
  LoopbackServer server;
  ASSERT_TRUE(StartLoopbackServer(server));
  TestClient clients[3];
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(ConnectSession(server, clients[i]), i);
  }
  // After each accept the loop announces that it waits again.
  const std::vector<std::string> expected = {
      text::kWaiting,
      text::SessionLine(0), text::ClientLine(clients[0].localPort()), text::kWaiting,
      text::SessionLine(1), text::ClientLine(clients[1].localPort()), text::kWaiting,
      text::SessionLine(2), text::ClientLine(clients[2].localPort()), text::kWaiting};
  ASSERT_TRUE(server->WaitForLineIndex(Equals(text::kWaiting), 3000ms, Stream::Out, 13)
                  .has_value())
      << server->DescribeOutput();
  const auto lines = server->Lines();
  ASSERT_GE(lines.size(), 14u);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.begin() + 14), expected);
  EXPECT_EQ(lines.size(), 14u) << server->DescribeOutput();
}

// The accept loop takes the lowest free slot and then waits in accept for that slot; so a slot
// freed while the loop already waits for another one goes to the client after next.
TEST(Sessions, DisconnectedClientsSlotIsGivenOutAgain) {
  LoopbackServer server;
  ASSERT_TRUE(StartLoopbackServer(server));
  TestClient a, b, c;
  ASSERT_EQ(ConnectSession(server, a), 0);
  ASSERT_EQ(ConnectSession(server, b), 1);
  ASSERT_EQ(ConnectSession(server, c), 2);
  const int threads = ServerThreadCount(*server);
  ASSERT_TRUE(Disconnect(b));
  ASSERT_TRUE(WaitForThreadsAtMost(*server, threads - 2));

  TestClient d, e, f;
  TestClient* reused = ConnectIntoFreedSlot(server, d, e, 1, 3);
  ASSERT_NE(reused, nullptr);
  EXPECT_EQ(ConnectSession(server, f), 4);
  // The sessions in the reused slot and the others work.
  EXPECT_TRUE(PingRoundTrip(*reused, "reused"));
  EXPECT_EQ(reused->lastSequence(), 1) << "a new connection in the slot is numbered afresh";
  EXPECT_TRUE(PingRoundTrip(a, "a"));
  EXPECT_TRUE(PingRoundTrip(c, "c"));
}

TEST(Sessions, SixtyFifthClientWaitsUntilASlotIsFreed) {
  LoopbackServer server;
  ASSERT_TRUE(StartLoopbackServer(server));
  std::vector<std::unique_ptr<TestClient>> clients;
  for (int i = 0; i < 64; ++i) {
    clients.push_back(std::make_unique<TestClient>());
    ASSERT_EQ(ConnectSession(server, *clients.back()), i);
  }
  // The 65th connection is only queued: no accept lines for it.
  const std::size_t from = server->LineCount();
  TestClient extra;
  ASSERT_TRUE(extra.Connect(server.port, 3000ms));
  EXPECT_TRUE(server->ExpectNoLine(StartsWith(text::kSessionPrefix), 1500ms, Stream::Out, from))
      << server->DescribeOutput();
  EXPECT_TRUE(server->ExpectNoLine(StartsWith(text::kClientPrefix), 0ms, Stream::Out, from));

  // Once session 10 has ended, the waiting connection gets slot 10 within the 5 s poll.
  ASSERT_TRUE(Disconnect(*clients[10]));
  const auto closedAt = Clock::now();
  const int session = WaitForSessionOf(*server, extra.localPort(), 8000ms, from);
  const auto waited = std::chrono::duration_cast<Millis>(Clock::now() - closedAt);
  EXPECT_EQ(session, 10) << server->DescribeOutput();
  EXPECT_LE(waited.count(), 8000);
  EXPECT_TRUE(PingRoundTrip(extra, "sixty-fifth"));
  EXPECT_TRUE(PingRoundTrip(*clients[63], "last"));
}

// A client that goes away, by shutting its sending side or by a reset: at most its own receive
// or send error line (a shut-down stream is often reported as a plain close, without one), then
// the server closes the connection, gives the slot back, and a new connection there is numbered
// afresh.
TEST(Sessions, ClientThatGoesAwayIsClosedAndItsSlotFreed) {
  struct Case {
    const char* name;
    bool reset;
  };
  for (const Case& c : {Case{"shutdown", false}, Case{"reset", true}}) {
    SCOPED_TRACE(c.name);
    LoopbackServer server;
    ASSERT_TRUE(StartLoopbackServer(server));
    TestClient a, b, d;
    ASSERT_EQ(ConnectSession(server, a), 0);
    ASSERT_TRUE(PingRoundTrip(a, "before"));
    const int threads = ServerThreadCount(*server);
    const std::size_t from = server->LineCount();
    if (c.reset) {
      a.Reset();
    } else {
      a.ShutdownSend();
      ASSERT_TRUE(a.WaitForClose(5000ms)) << "the server did not close the connection";
    }
    ASSERT_TRUE(WaitForThreadsAtMost(*server, threads - 2));
    std::vector<LineMatcher> allowed = {Equals(text::ReceiveErrorLine(0, false))};
    if (c.reset) {
      allowed.push_back(Equals(text::ReceiveErrorLine(0, true)));
      allowed.push_back(Equals(text::SendErrorLine(0, true)));
      allowed.push_back(Equals(text::SendErrorLine(0, false)));
    }
    const auto unexpected = UnexpectedLines(*server, from, allowed);
    EXPECT_TRUE(unexpected.empty()) << server->DescribeOutput();

    TestClient* reused = ConnectIntoFreedSlot(server, b, d, 0, 1);
    ASSERT_NE(reused, nullptr);
    EXPECT_TRUE(PingRoundTrip(*reused, "after"));
    EXPECT_EQ(reused->lastSequence(), 1) << "a new connection in the slot is numbered afresh";
  }
}

}  // namespace
}  // namespace kavo_test
