// A full house: 64 clients, each sending tunnelled frames to the next one's station and, now
// and then, to everyone, while reading what comes. Every frame arrives, and the server's
// resident memory stays within what its rings account for (64 slots, two 64 KiB rings each),
// the thread stacks and a small constant. Then all 64 leave and 64 new clients do the same
// in the same slots: the peak stays where it was, since a slot's rings serve its later
// connections.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <thread>

#include "stress/stress_support.h"

namespace kavo_test::stress {
namespace {

constexpr int kClients = 64;
constexpr int kRole = 5;
constexpr long kRingsKiB = 64L * 2 * 64;  // 8 MiB
constexpr long kAllowanceKiB = 16L * 1024;
constexpr int kBroadcastEvery = 40;

struct Peer {
  int received = 0;       // frames from the client before it
  int lastReceived = -1;  // the counter of the last of them
  int broadcasts = 0;     // frames to everyone, from any other client
  std::vector<int> lastBroadcast = std::vector<int>(kClients, -1);
  int wrong = 0;
  std::string firstWrong;
  int sendFailures = 0;
};

struct Round {
  long long relayed = 0;
  long long lost = 0;
  long long refused = 0;
  long long busyMs = 0;
  long rssAfterKiB = -1;
};

// 64 clients connect, announce their stations and send `framesEach` frames each; all are
// checked, then all leave.
void RunFullHouse(LoopbackServer& server, int framesEach, Round& round) {
  std::vector<std::unique_ptr<TestClient>> clients;
  std::vector<int> sessions;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<TestClient>());
    sessions.push_back(ConnectSession(server, *clients.back()));
    ASSERT_GE(sessions.back(), 0);
  }
  // Stations first, so that every unicast has somewhere to go.
  for (int i = 0; i < kClients; ++i) {
    ASSERT_TRUE(clients[static_cast<std::size_t>(i)]->Send(
        'T', 0, TunnelPayload(kBroadcastMac, StationOf(kRole, i), "here")));
  }
  for (int i = 0; i < kClients; ++i) {
    for (int k = 0; k < kClients - 1; ++k) {
      const auto frame = clients[static_cast<std::size_t>(i)]->ReceiveFrame(10000ms);
      ASSERT_TRUE(frame.has_value() && frame->command == 't') << "client " << i;
    }
  }

  auto broadcastsOf = [&](int client) {
    int count = 0;
    for (int n = 0; n < framesEach; ++n) count += (n + client) % kBroadcastEvery == kBroadcastEvery - 1;
    return count;
  };
  int allBroadcasts = 0;
  for (int i = 0; i < kClients; ++i) allBroadcasts += broadcastsOf(i);
  const std::size_t from = server->LineCount();
  std::vector<Peer> peers(kClients);
  const auto started = Clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      TestClient& client = *clients[static_cast<std::size_t>(i)];
      Peer& peer = peers[static_cast<std::size_t>(i)];
      const int before = (i + kClients - 1) % kClients;
      const int unicastEach = framesEach - broadcastsOf(before);
      const int broadcastsDue = allBroadcasts - broadcastsOf(i);
      auto take = [&](const Frame& frame) {
        std::optional<Tag> tag;
        if (frame.command == 't' && frame.payload.size() > 12) {
          tag = ParseBody(frame.payload.data() + 12, frame.payload.size() - 12);
        }
        const bool toAll = MacAt(frame.payload, 0) == kBroadcastMac;
        // In each sender's order, never twice: with the counts checked at the end, every one.
        if (tag.has_value() && toAll && tag->sender != i && tag->sender < kClients &&
            tag->counter > peer.lastBroadcast[static_cast<std::size_t>(tag->sender)] &&
            frame.source == sessions[static_cast<std::size_t>(tag->sender)]) {
          peer.lastBroadcast[static_cast<std::size_t>(tag->sender)] = tag->counter;
          ++peer.broadcasts;
        } else if (tag.has_value() && !toAll && tag->sender == before &&
                   tag->counter > peer.lastReceived &&
                   frame.source == sessions[static_cast<std::size_t>(before)]) {
          peer.lastReceived = tag->counter;
          ++peer.received;
        } else if (peer.wrong++ == 0) {
          peer.firstWrong = frame.Describe();
        }
      };
      for (int n = 0; n < framesEach; ++n) {
        const Tag tag{i, 0, n};
        // Broadcasts are spread out, so that not all 64 come at once.
        const bool toAll = (n + i) % kBroadcastEvery == kBroadcastEvery - 1;
        const Mac to = toAll ? kBroadcastMac : StationOf(kRole, (i + 1) % kClients);
        const int length = 400 + (n * 131 + i * 17) % 3600;
        if (!client.Send('T', 0, TunnelPayload(to, StationOf(kRole, i), Body(tag, length)))) {
          ++peer.sendFailures;
          return;
        }
        while (auto frame = client.ReceiveFrame(1ms)) take(*frame);
        std::this_thread::sleep_for(5ms);
      }
      // The rest, until all has come or nothing more comes (the server may have refused
      // some: those are counted from its lines below).
      const auto deadline = Clock::now() + 30000ms;
      auto last = Clock::now();
      while ((peer.received < unicastEach || peer.broadcasts < broadcastsDue) &&
             Clock::now() < deadline && Clock::now() - last < 1500ms) {
        if (auto frame = client.ReceiveFrame(100ms)) {
          take(*frame);
          last = Clock::now();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  round.busyMs = std::chrono::duration_cast<Millis>(Clock::now() - started).count();
  round.rssAfterKiB = ReadProcessFigures(server->pid()).rssKiB;

  // A frame that does not fit whole in a client's send ring is refused, and the server says
  // so: every frame meant for a client either reached it or is named by such a line.
  std::map<int, int> refusedTo;  // by target session
  const auto lines = server->Lines();
  for (std::size_t k = from; k < lines.size(); ++k) {
    if (const auto failure = ParseForwardFailure(lines[k])) ++refusedTo[failure->second];
  }
  for (int i = 0; i < kClients; ++i) {
    const Peer& peer = peers[static_cast<std::size_t>(i)];
    const TestClient& client = *clients[static_cast<std::size_t>(i)];
    const int due = framesEach - broadcastsOf((i + kClients - 1) % kClients) + allBroadcasts -
                    broadcastsOf(i);
    const int arrived = peer.received + peer.broadcasts;
    const int refused = refusedTo[sessions[static_cast<std::size_t>(i)]];
    round.relayed += arrived;
    round.refused += refused;
    round.lost += std::abs(due - arrived - refused);
    EXPECT_EQ(peer.sendFailures, 0) << "client " << i;
    EXPECT_EQ(peer.wrong, 0) << "client " << i << ": " << peer.firstWrong;
    EXPECT_EQ(arrived + refused, due) << "client " << i << ": " << arrived << " arrived, "
                                      << refused << " refused";
    EXPECT_EQ(client.sequenceErrors(), 0) << "client " << i;
    EXPECT_EQ(client.lengthErrors(), 0) << "client " << i;
  }
  for (auto& client : clients) EXPECT_TRUE(Disconnect(*client));
}

TEST(Memory, FullHouseOfBusyClientsStaysWithinItsRings) {
  LoopbackServer server;
  ASSERT_TRUE(StartLoopbackServer(server));
  if (!ProcFiguresAvailable(*server)) GTEST_SKIP() << "the server's /proc figures are not there";
  const pid_t pid = server->pid();
  std::this_thread::sleep_for(200ms);
  ProcessFigures idle = ReadProcessFigures(pid);
  idle.threads = ServedIdleThreads(server);
  ASSERT_GT(idle.threads, 0) << "the server did not come back to idle after one client";

  // VmHWM is brought up to date by the kernel only now and then; samples of VmRSS fill in.
  std::atomic<bool> sampling{true};
  std::atomic<long> peakRss{0};
  std::atomic<int> peakThreads{0};
  std::thread sampler([&] {
    while (sampling) {
      const ProcessFigures now = ReadProcessFigures(pid);
      if (now.rssKiB > peakRss) peakRss = now.rssKiB;
      if (now.threads > peakThreads) peakThreads = now.threads;
      std::this_thread::sleep_for(50ms);
    }
  });
  auto peakSoFar = [&] {
    const ProcessFigures now = ReadProcessFigures(pid);
    return std::max({now.hwmKiB, now.rssKiB, peakRss.load()});
  };
  // Each client sends this many frames of 0.4 to 4 KiB; every ring in the server goes round
  // several times.
  const int framesEach = ScaledCount(240, 120);
  Round first;
  Round second;
  RunFullHouse(server, framesEach, first);
  const long peakAfterFirst = peakSoFar();
  EXPECT_TRUE(WaitForThreadsAtMost(*server, idle.threads, 10000ms));
  if (!HasFatalFailure()) RunFullHouse(server, framesEach, second);
  const long peakKiB = peakSoFar();
  sampling = false;
  sampler.join();
  EXPECT_EQ(peakThreads, idle.threads + 2 * kClients);

  const long bound = idle.rssKiB + kAllowanceKiB;
  Figures figures("Memory");
  figures.Add("clients_held", kClients);
  figures.Add("rounds", 2);
  figures.Add("frames_relayed", first.relayed + second.relayed);
  figures.Add("refused_by_full_send_ring", first.refused + second.refused);
  figures.Add("frames_lost", first.lost + second.lost);
  figures.Add("busy_ms", first.busyMs + second.busyMs);
  figures.Add("rss_idle_kib", idle.rssKiB);
  figures.Add("rss_after_first_kib", first.rssAfterKiB);
  figures.Add("peak_after_first_kib", peakAfterFirst);
  figures.Add("rss_after_second_kib", second.rssAfterKiB);
  figures.Add("peak_kib", peakKiB);
  figures.Add("rings_kib", kRingsKiB);
  figures.Add("bound_kib", bound);
  figures.Add("threads_peak", peakThreads.load());
  figures.Publish();
  if (SanitizedBuild()) {
    // The sanitizer's shadow memory and bookkeeping grow with everything the server touches;
    // those figures are printed above but say nothing about the server's own footprint.
    std::cout << "[stress] Memory: the resident bound is not applied under the " << BuildKind()
              << " sanitizer" << std::endl;
    return;
  }
  EXPECT_LE(peakKiB, bound) << "peak resident memory beyond the rings' account";
  // The second house reuses the first one's rings and stacks: a connection that kept
  // anything of its own would show here.
  EXPECT_LE(peakKiB, peakAfterFirst + 1024) << "the second round of clients cost more";
}

}  // namespace
}  // namespace kavo_test::stress
