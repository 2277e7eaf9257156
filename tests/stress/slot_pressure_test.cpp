// More clients than slots: 100 clients for 64 slots. The first 64 are served, the others wait
// unserved in the listen backlog; a slot that is given up is taken by a waiting client within
// the accept loop's poll, and what that client sent while it waited is served then. Once
// everyone has gone, the server holds as many threads, sockets and other descriptors as when it
// was idle; the only descriptors left are the one socket-event descriptor per slot, which the
// slot keeps for its later connections.
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "stress/stress_support.h"

namespace kavo_test::stress {
namespace {

constexpr int kSlots = 64;
constexpr int kClients = 100;
constexpr int kLeaving = 20;

std::string WaitingPing(int client) { return "waited-" + std::to_string(client); }

// Waits until `count` clients in all have been accepted since line `from`.
std::vector<std::pair<std::uint16_t, int>> WaitForAccepted(ServerProcess& server,
                                                          std::size_t count, Millis timeout,
                                                          std::size_t from) {
  const auto deadline = Clock::now() + timeout;
  auto accepted = AcceptedClients(server.Lines(), from);
  while (accepted.size() < count && Clock::now() < deadline) {
    server.WaitForLineIndex(StartsWith(text::kClientPrefix), 100ms, Stream::Out,
                            server.LineCount());
    accepted = AcceptedClients(server.Lines(), from);
  }
  return accepted;
}

template <typename Condition>
bool PollUntil(Condition condition, Millis timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

TEST(SlotPressure, HundredClientsShareSixtyFourSlotsAndTheServerReturnsToIdle) {
  LoopbackServer server;
  ASSERT_TRUE(StartLoopbackServer(server));
  if (!ProcFiguresAvailable(*server)) GTEST_SKIP() << "the server's /proc figures are not there";
  const pid_t pid = server->pid();
  ProcessFigures idle = ReadProcessFigures(pid);
  idle.threads = ServedIdleThreads(server);
  ASSERT_GT(idle.threads, 0) << "the server did not come back to idle after one client";
  const DescriptorFigures idleFds = ReadDescriptorFigures(pid);
  const std::size_t from = server->LineCount();

  std::vector<std::unique_ptr<TestClient>> clients;
  std::map<std::uint16_t, int> clientOfPort;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<TestClient>());
    ASSERT_TRUE(clients.back()->Connect(server.port, 10000ms)) << "client " << i;
    clientOfPort[clients.back()->localPort()] = i;
  }

  // The first 64 get a session each, slots 0..63; then nobody for a while.
  auto accepted = WaitForAccepted(*server, kSlots, 15000ms, from);
  ASSERT_EQ(accepted.size(), static_cast<std::size_t>(kSlots)) << server->DescribeOutput();
  EXPECT_TRUE(server->ExpectNoLine(StartsWith(text::kClientPrefix), 1000ms, Stream::Out,
                                   server->LineCount()));
  std::map<int, int> clientInSlot;  // slot -> client
  std::set<int> servedClients;
  for (const auto& [port, session] : accepted) {
    ASSERT_EQ(clientOfPort.count(port), 1u) << "port " << port;
    EXPECT_EQ(clientInSlot.count(session), 0u) << "slot " << session << " given out twice";
    clientInSlot[session] = clientOfPort[port];
    servedClients.insert(clientOfPort[port]);
  }
  for (int slot = 0; slot < kSlots; ++slot) EXPECT_EQ(clientInSlot.count(slot), 1u) << slot;
  const ProcessFigures full = ReadProcessFigures(pid);
  const DescriptorFigures fullFds = ReadDescriptorFigures(pid);
  EXPECT_EQ(full.threads, idle.threads + 2 * kSlots);

  // Served clients answer; the waiting ones send a ping that stays unanswered for now.
  std::vector<int> waiting;
  for (int i = 0; i < kClients; ++i) {
    if (servedClients.count(i) == 0) waiting.push_back(i);
  }
  for (int i : waiting) {
    ASSERT_TRUE(clients[static_cast<std::size_t>(i)]->Send('P', 0x2A, WaitingPing(i)));
  }
  for (int i : servedClients) {
    EXPECT_TRUE(PingRoundTrip(*clients[static_cast<std::size_t>(i)], "served")) << "client " << i;
  }
  std::vector<TestClient*> waitingClients;
  for (int i : waiting) waitingClients.push_back(clients[static_cast<std::size_t>(i)].get());
  EXPECT_TRUE(NoFrameArrives(waitingClients, 300ms));

  // Twenty leave, spread over the table, half gracefully and half by a reset.
  std::set<int> freedSlots;
  for (int k = 0; k < kLeaving; ++k) {
    const int slot = (k * 3 + 1) % kSlots;
    freedSlots.insert(slot);
    TestClient& client = *clients[static_cast<std::size_t>(clientInSlot[slot])];
    if (k % 2 == 0) {
      EXPECT_TRUE(Disconnect(client)) << "slot " << slot;
    } else {
      client.Reset();
    }
  }
  const std::size_t reuseFrom = server->LineCount();
  ASSERT_TRUE(WaitForThreadsAtMost(*server, idle.threads + 2 * (kSlots - kLeaving), 10000ms));
  const auto freedAt = Clock::now();

  // Every freed slot goes to a waiting client within the poll (5 s, a margin for a busy
  // machine), and that client's ping from before is answered.
  auto reused = WaitForAccepted(*server, kLeaving, 7000ms, reuseFrom);
  const auto reuseWait = std::chrono::duration_cast<Millis>(Clock::now() - freedAt);
  ASSERT_EQ(reused.size(), static_cast<std::size_t>(kLeaving)) << server->DescribeOutput();
  std::set<int> reusedSlots;
  int answeredAfterWaiting = 0;
  for (const auto& [port, session] : reused) {
    reusedSlots.insert(session);
    const int i = clientOfPort.at(port);
    EXPECT_EQ(servedClients.count(i), 0u) << "client " << i << " accepted twice";
    servedClients.insert(i);
    const auto answer = clients[static_cast<std::size_t>(i)]->ReceiveFrame(5000ms);
    if (answer.has_value() && answer->command == 'p' && answer->PayloadText() == WaitingPing(i)) {
      ++answeredAfterWaiting;
    } else {
      ADD_FAILURE() << "client " << i << " got "
                    << (answer.has_value() ? answer->Describe() : "no answer")
                    << " for the ping it sent while waiting";
    }
  }
  EXPECT_EQ(reusedSlots, freedSlots);
  EXPECT_TRUE(server->ExpectNoLine(StartsWith(text::kClientPrefix), 500ms, Stream::Out,
                                   server->LineCount()));

  // Everyone leaves: served clients half gracefully, half by a reset; the ones still waiting
  // close without ever having been served, and the server accepts and ends each of them.
  int index = 0;
  int resets = kLeaving / 2;
  for (int i = 0; i < kClients; ++i) {
    TestClient& client = *clients[static_cast<std::size_t>(i)];
    if (!client.connected()) continue;
    if (servedClients.count(i) == 0) {
      client.Close();
    } else if (index++ % 2 == 0) {
      client.ShutdownSend();
    } else {
      client.Reset();
      ++resets;
    }
  }
  const auto all = WaitForAccepted(*server, kClients, 20000ms, from);
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kClients)) << "not every client was accepted";
  for (auto& client : clients) client->Close();

  ProcessFigures after;
  DescriptorFigures afterFds;
  const bool settled = PollUntil(
      [&] {
        after = ReadProcessFigures(pid);
        afterFds = ReadDescriptorFigures(pid);
        return after.threads == idle.threads && afterFds.sockets == idleFds.sockets;
      },
      15000ms);
  EXPECT_TRUE(settled) << "threads " << after.threads << " (idle " << idle.threads
                       << "), sockets " << afterFds.sockets << " (idle " << idleFds.sockets
                       << ")";
  EXPECT_EQ(after.threads, idle.threads);
  EXPECT_EQ(afterFds.sockets, idleFds.sockets);
  EXPECT_EQ(afterFds.others, idleFds.others);
  // The idle server has already prepared slot 0 for its first client.
  EXPECT_EQ(afterFds.eventfds, kSlots) << "one per slot, kept for its later connections";

  // Only connection lines and the lines of clients that went away.
  const auto unexpected = UnexpectedLines(*server, from, {IsConnectionLine, [](const std::string& line) {
                                                            return ParseDisconnectLine(line).has_value();
                                                          }});
  EXPECT_TRUE(unexpected.empty()) << unexpected.size() << " lines, e.g. " << unexpected.front();

  // And it serves again. (Which slots the two get depends on where the accept loop was
  // waiting when the last slots came free.)
  TestClient a;
  TestClient b;
  const int sessionA = ConnectSession(server, a);
  const int sessionB = ConnectSession(server, b);
  ASSERT_GE(sessionA, 0);
  ASSERT_GE(sessionB, 0);
  EXPECT_NE(sessionA, sessionB);
  EXPECT_TRUE(a.Send('I', static_cast<std::uint8_t>(sessionB), "to b"));
  const auto atB = b.ReceiveFrame(3000ms);
  ASSERT_TRUE(atB.has_value());
  EXPECT_EQ(atB->command, 'i');
  EXPECT_EQ(atB->PayloadText(), "to b");

  Figures figures("SlotPressure");
  figures.Add("clients_tried", kClients);
  figures.Add("clients_held", static_cast<int>(accepted.size()));
  figures.Add("slots_freed", static_cast<int>(freedSlots.size()));
  figures.Add("slots_reused", static_cast<int>(reusedSlots.size()));
  figures.Add("faults_injected", resets);
  figures.Add("reuse_wait_ms", static_cast<long long>(reuseWait.count()));
  figures.Add("clients_accepted_in_all", static_cast<int>(all.size()));
  figures.Add("threads_idle", idle.threads);
  figures.Add("threads_full", full.threads);
  figures.Add("threads_after", after.threads);
  figures.Add("fds_idle", idleFds.total);
  figures.Add("fds_full", fullFds.total);
  figures.Add("fds_after", afterFds.total);
  figures.Add("sockets_after", afterFds.sockets);
  figures.Add("eventfds_after", afterFds.eventfds);
  figures.Add("waiting_pings_answered", answeredAfterWaiting);
  figures.Add("frames_lost", kLeaving - answeredAfterWaiting);
  figures.Publish();
}

}  // namespace
}  // namespace kavo_test::stress
