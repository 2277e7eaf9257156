// Clients come and go while others stay connected throughout. Those that come and go chat,
// tunnel frames to the stayers' stations and to everyone, and leave in four ways: gracefully,
// by a reset, and with half a frame written followed by either. Every frame meant for a stayer
// must arrive once, whole, in its sender's order, numbered for the stayer without a gap:
//  - from another stayer exactly, less the frames the server reported refusing to that stayer;
//  - from a connection that left gracefully, every one as well (it was read to its end),
//    unless the server reported refusing it;
//  - from one that was reset, whatever the server had read of it: in order, never twice,
//    never altered; a frame the server refused to a stayer is named by its failure line.
// A frame a stayer must not get (a tunnelled frame for another station, a stayer's own
// tunnelled frame, half a frame glued to a later connection) counts as a fault.
#include <atomic>
#include <map>
#include <memory>
#include <thread>

#include "stress/stress_support.h"

namespace kavo_test::stress {
namespace {

constexpr int kStayers = 8;
constexpr int kChurners = 16;
constexpr int kStayerRole = 1;
constexpr int kChurnerRole = 2;
constexpr int kChurnerSenderBase = 100;  // tag senders 0.. are stayers, 100.. churner threads
constexpr int kLargestTunnelBody = 4080 - 12;
constexpr int kLargestChatBody = 4000;

enum class Kind : std::uint8_t { Chat, Broadcast, ToStayer, ToChurner };
struct Sent {
  Kind kind = Kind::Chat;
  int target = -1;  // the stayer or churner thread whose station it is for
};

enum class Leave { Graceful, Reset, HalfFrameThenShutdown, HalfFrameThenReset };
constexpr int kLeaveKinds = 4;

// One connection's sending side, as the test made it.
struct Connection {
  int sender = 0;
  int connection = 0;
  int session = -1;
  Leave leave = Leave::Graceful;
  bool readToTheEnd = false;  // left gracefully and the server closed only after that
  std::vector<Sent> sent;     // indexed by counter
};

struct Arrival {
  Tag tag;
  char command = 0;
  std::uint8_t source = 0;
  Mac destination{};
};

struct Receiver {
  std::vector<Arrival> arrivals;
  int wrong = 0;
  std::string firstWrong;
  void Wrong(const std::string& why) {
    if (wrong++ == 0) firstWrong = why;
  }
};

Mac StayerMac(int stayer) { return StationOf(kStayerRole, stayer); }
Mac ChurnerMac(int churner) { return StationOf(kChurnerRole, churner); }

Mac SenderMac(int sender) {
  return sender >= kChurnerSenderBase ? ChurnerMac(sender - kChurnerSenderBase)
                                      : StayerMac(sender);
}

// Takes one received frame apart; false (and a note in `into`) when it is not a whole frame
// of this test.
bool Record(const Frame& frame, Receiver& into) {
  Arrival arrival;
  arrival.command = frame.command;
  arrival.source = frame.source;
  std::optional<Tag> tag;
  if (frame.command == 'c') {
    tag = ParseBody(frame.payload.data(), frame.payload.size());
    arrival.destination = kBroadcastMac;
  } else if (frame.command == 't' && frame.payload.size() > 12) {
    tag = ParseBody(frame.payload.data() + 12, frame.payload.size() - 12);
    arrival.destination = MacAt(frame.payload, 0);
    if (tag.has_value() && MacAt(frame.payload, 6) != SenderMac(tag->sender)) tag.reset();
  }
  if (!tag.has_value()) {
    into.Wrong("not a whole frame of this test: " + frame.Describe());
    return false;
  }
  arrival.tag = *tag;
  into.arrivals.push_back(arrival);
  return true;
}

Bytes PayloadFor(const Tag& tag, const Sent& sent, int sender) {
  if (sent.kind == Kind::Chat) {
    return ToBytes(Body(tag, BodyLengthFor(tag, kLargestChatBody)));
  }
  const std::string body = Body(tag, BodyLengthFor(tag, kLargestTunnelBody));
  Mac destination = kBroadcastMac;
  if (sent.kind == Kind::ToStayer) destination = StayerMac(sent.target);
  if (sent.kind == Kind::ToChurner) destination = ChurnerMac(sent.target);
  return TunnelPayload(destination, SenderMac(sender), body);
}

bool SendTagged(TestClient& client, Connection& connection, const Sent& sent) {
  const Tag tag{connection.sender, connection.connection,
                static_cast<int>(connection.sent.size())};
  connection.sent.push_back(sent);
  return client.Send(sent.kind == Kind::Chat ? 'C' : 'T', 0,
                     PayloadFor(tag, sent, connection.sender));
}

// What stayer `stayer` must get of a connection's frames, by counter.
bool MeantFor(const Sent& sent, int stayer, bool fromItself) {
  switch (sent.kind) {
    case Kind::Chat: return true;
    case Kind::Broadcast: return !fromItself;
    case Kind::ToStayer: return sent.target == stayer && !fromItself;
    case Kind::ToChurner: return false;
  }
  return false;
}

Sent StayerFrameKind(int stayer, int counter) {
  switch (counter % 5) {
    case 0: return {Kind::Chat, -1};
    case 1: return {Kind::Broadcast, -1};
    case 3: return {Kind::ToChurner, (counter / 5) % kChurners};
    default: {
      const int step = 1 + (counter / 5 + counter % 5) % (kStayers - 1);
      return {Kind::ToStayer, (stayer + step) % kStayers};
    }
  }
}

Sent ChurnerFrameKind(int churner, int counter) {
  switch (counter % 3) {
    case 0: return {Kind::Chat, -1};
    case 1: return {Kind::Broadcast, -1};
    default: return {Kind::ToStayer, (churner + counter) % kStayers};
  }
}

bool IsChatLine(const std::string& line) {
  std::size_t digits = 0;
  while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
  return digits > 0 && line.compare(digits, 3, ": K") == 0;
}

struct ChurnerTally {
  int connections = 0;
  int leaves[kLeaveKinds] = {};
  long long framesReceived = 0;
  int sequenceErrors = 0;
  int lengthErrors = 0;
  std::vector<std::string> faults;  // anything that went wrong on the way
  Receiver received;                // soundness only: what churners got
  std::vector<Connection> sent;
};

// One churner thread: connect, learn the session from the echo of its own first chat, send a
// few frames while reading what comes, leave, again, until the time is up.
void RunChurner(int churner, std::uint16_t port, Clock::time_point deadline, int maxConnections,
                ChurnerTally& tally) {
  const int sender = kChurnerSenderBase + churner;
  for (int round = 0; round < maxConnections && Clock::now() < deadline; ++round) {
    Connection connection;
    connection.sender = sender;
    connection.connection = round + 1;
    connection.leave = static_cast<Leave>((churner + round) % kLeaveKinds);
    TestClient client;
    if (!client.Connect(port, 10000ms)) {
      tally.faults.push_back("churner " + std::to_string(churner) + " could not connect");
      return;
    }
    ++tally.connections;
    const Mac own = ChurnerMac(churner);
    auto take = [&](const Frame& frame) {
      if (!Record(frame, tally.received)) return false;
      const Mac& to = tally.received.arrivals.back().destination;
      if (frame.command == 't' && to != kBroadcastMac && to != own) {
        tally.received.Wrong("a tunnelled frame for another station: " + frame.Describe());
      }
      return true;
    };
    // What has come in so far; a short wait lets the client look at its socket at all.
    auto takeWhatCame = [&] {
      while (auto frame = client.ReceiveFrame(1ms)) take(*frame);
    };

    bool ok = SendTagged(client, connection, {Kind::Chat, -1});
    const auto echoDeadline = Clock::now() + 10000ms;
    while (ok && connection.session < 0 && Clock::now() < echoDeadline) {
      const auto frame = client.ReceiveFrame(200ms);
      if (!frame.has_value()) {
        if (client.peerClosed()) break;
        continue;
      }
      if (!take(*frame)) continue;
      const Tag& tag = tally.received.arrivals.back().tag;
      if (tag.sender == sender && tag.connection == connection.connection && tag.counter == 0) {
        connection.session = frame->source;
      }
    }
    if (connection.session < 0) {
      tally.faults.push_back("churner " + std::to_string(churner) + " connection " +
                             std::to_string(connection.connection) +
                             ": its first chat never came back");
      tally.sent.push_back(connection);
      return;
    }

    const int frames = 6 + (churner + round) % 10;
    for (int n = 1; ok && n < frames; ++n) {
      ok = SendTagged(client, connection, ChurnerFrameKind(churner, n));
      takeWhatCame();
      std::this_thread::sleep_for(8ms);
    }
    if (!ok) tally.faults.push_back("churner send failed on a live connection");

    const Leave leave = connection.leave;
    if (leave == Leave::HalfFrameThenShutdown || leave == Leave::HalfFrameThenReset) {
      // The frame's counter is never logged as sent: if any of it reaches a stayer, that is
      // a fault.
      const Tag tag{sender, connection.connection, static_cast<int>(connection.sent.size())};
      const Bytes whole = client.NextFrame('C', 0, ToBytes(Body(tag, 600)));
      client.SendRaw(whole.data(), whole.size() / 2);
    }
    if (leave == Leave::Graceful || leave == Leave::HalfFrameThenShutdown) {
      connection.readToTheEnd = static_cast<bool>(Disconnect(client, 10000ms));
      if (!connection.readToTheEnd) {
        tally.faults.push_back("the server did not close a connection that ended gracefully");
      }
    } else {
      client.Reset();
    }
    ++tally.leaves[static_cast<int>(leave)];
    tally.framesReceived += client.framesReceived();
    tally.sequenceErrors += client.sequenceErrors();
    tally.lengthErrors += client.lengthErrors();
    tally.sent.push_back(std::move(connection));
    std::this_thread::sleep_for(20ms);
  }
}

TEST(Churn, StayersGetEveryFrameMeantForThemWhileOthersComeAndGo) {
  LoopbackServer server;
  ASSERT_TRUE(StartLoopbackServer(server));
  const auto duration = Scaled(12000ms, 3000ms);

  std::vector<std::unique_ptr<TestClient>> stayers;
  std::vector<int> sessionOf(kStayers);
  for (int i = 0; i < kStayers; ++i) {
    stayers.push_back(std::make_unique<TestClient>());
    sessionOf[static_cast<std::size_t>(i)] = ConnectSession(server, *stayers.back());
    ASSERT_GE(sessionOf[static_cast<std::size_t>(i)], 0);
  }
  const std::size_t from = server->LineCount();

  std::vector<Receiver> received(kStayers);
  std::atomic<bool> sendersDone{false};
  std::vector<std::thread> readers;
  const auto hardDeadline = Clock::now() + duration + 60000ms;
  for (int i = 0; i < kStayers; ++i) {
    readers.emplace_back([&, i] {
      TestClient& client = *stayers[static_cast<std::size_t>(i)];
      Receiver& into = received[static_cast<std::size_t>(i)];
      auto lastArrival = Clock::now();
      while (Clock::now() < hardDeadline) {
        if (auto frame = client.ReceiveFrame(100ms)) {
          Record(*frame, into);
          lastArrival = Clock::now();
          continue;
        }
        if (client.peerClosed()) {
          into.Wrong("the server closed a stayer");
          return;
        }
        if (sendersDone && Clock::now() - lastArrival > 2000ms) return;
      }
    });
  }

  // Each stayer's first frame announces its station; unicast to it works once it is learned.
  std::vector<Connection> stayerSent(kStayers);
  for (int i = 0; i < kStayers; ++i) {
    Connection& connection = stayerSent[static_cast<std::size_t>(i)];
    connection.sender = i;
    connection.session = sessionOf[static_cast<std::size_t>(i)];
    ASSERT_TRUE(SendTagged(*stayers[static_cast<std::size_t>(i)], connection,
                           {Kind::Broadcast, -1}));
  }
  for (int i = 0; i < kStayers; ++i) {
    const Mac mac = StayerMac(i);
    const std::uint8_t raw[6] = {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]};
    ASSERT_TRUE(server->WaitForLine(Equals(text::StationLine(sessionOf[static_cast<std::size_t>(i)], 0, raw)),
                                    5000ms, Stream::Out, from)
                    .has_value())
        << server->DescribeOutput();
  }

  // How many sessions ran at once, from the server's thread count: two threads each.
  const int idleThreads = ReadProcessFigures(server->pid()).threads - 2 * kStayers;
  std::atomic<int> peakThreads{0};
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    while (sampling) {
      const int now = ReadProcessFigures(server->pid()).threads;
      if (now > peakThreads) peakThreads = now;
      std::this_thread::sleep_for(50ms);
    }
  });

  const auto started = Clock::now();
  const auto deadline = started + duration;
  std::vector<std::thread> senders;
  std::atomic<int> stayerSendFailures{0};
  for (int i = 0; i < kStayers; ++i) {
    senders.emplace_back([&, i] {
      TestClient& client = *stayers[static_cast<std::size_t>(i)];
      Connection& connection = stayerSent[static_cast<std::size_t>(i)];
      const int limit = static_cast<int>(duration / 8ms) + 10;
      while (Clock::now() < deadline && static_cast<int>(connection.sent.size()) < limit) {
        const int counter = static_cast<int>(connection.sent.size());
        if (!SendTagged(client, connection, StayerFrameKind(i, counter))) {
          ++stayerSendFailures;
          return;
        }
        std::this_thread::sleep_for(8ms);
      }
    });
  }
  std::vector<ChurnerTally> tallies(kChurners);
  for (int c = 0; c < kChurners; ++c) {
    senders.emplace_back([&, c] {
      RunChurner(c, server.port, deadline, 1000, tallies[static_cast<std::size_t>(c)]);
    });
  }
  for (auto& thread : senders) thread.join();
  const auto sendingTook = Clock::now() - started;
  sampling = false;
  sampler.join();
  sendersDone = true;
  for (auto& thread : readers) thread.join();

  // The server's own account of frames it refused to a stayer, by sending session.
  std::map<int, int> stayerOfSession;
  for (int i = 0; i < kStayers; ++i) stayerOfSession[sessionOf[static_cast<std::size_t>(i)]] = i;
  std::map<std::pair<int, int>, int> refusedBetweenStayers;  // (sender, receiver) stayer indexes
  std::vector<int> refusedFromChurners(kStayers, 0);
  std::vector<std::string> unexpectedLines;
  int stationLines = 0;
  const auto lines = server->Lines();
  for (std::size_t i = from; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (IsConnectionLine(line) || IsChatLine(line)) continue;
    if (line.rfind("PSP認識(", 0) == 0) {
      ++stationLines;
      continue;
    }
    if (const auto failure = ParseForwardFailure(line)) {
      const auto target = stayerOfSession.find(failure->second);
      if (target == stayerOfSession.end()) continue;  // a churner that was leaving
      const auto sender = stayerOfSession.find(failure->first);
      if (sender != stayerOfSession.end()) {
        ++refusedBetweenStayers[{sender->second, target->second}];
      } else {
        ++refusedFromChurners[static_cast<std::size_t>(target->second)];
      }
      continue;
    }
    if (const auto session = ParseDisconnectLine(line)) {
      if (stayerOfSession.count(*session) == 0) continue;  // a churner leaving
    }
    unexpectedLines.push_back(line);
  }

  // Every connection that sent, by (sender, connection).
  std::map<std::pair<int, int>, const Connection*> connections;
  for (const Connection& connection : stayerSent) {
    connections[{connection.sender, 0}] = &connection;
  }
  int churnConnections = 0;
  int leaves[kLeaveKinds] = {};
  long long framesSent = 0;
  long long framesReceived = 0;
  std::vector<std::string> faults;
  for (const ChurnerTally& tally : tallies) {
    churnConnections += tally.connections;
    for (int k = 0; k < kLeaveKinds; ++k) leaves[k] += tally.leaves[k];
    framesReceived += tally.framesReceived;
    faults.insert(faults.end(), tally.faults.begin(), tally.faults.end());
    EXPECT_EQ(tally.received.wrong, 0) << "a churner got " << tally.received.firstWrong;
    EXPECT_EQ(tally.sequenceErrors, 0) << "a churner's frames were not numbered without a gap";
    EXPECT_EQ(tally.lengthErrors, 0);
    for (const Connection& connection : tally.sent) {
      connections[{connection.sender, connection.connection}] = &connection;
      framesSent += static_cast<long long>(connection.sent.size());
    }
  }
  for (const Connection& connection : stayerSent) {
    framesSent += static_cast<long long>(connection.sent.size());
  }

  long long lost = 0;
  long long refusedTotal = 0;
  long long stayerToStayer = 0;
  long long churnerToStayer = 0;
  for (int r = 0; r < kStayers; ++r) {
    SCOPED_TRACE("stayer " + std::to_string(r) + " (session " +
                 std::to_string(sessionOf[static_cast<std::size_t>(r)]) + ")");
    Receiver& got = received[static_cast<std::size_t>(r)];
    const TestClient& client = *stayers[static_cast<std::size_t>(r)];
    framesReceived += client.framesReceived();
    EXPECT_EQ(got.wrong, 0) << got.firstWrong;
    EXPECT_EQ(client.sequenceErrors(), 0);
    EXPECT_EQ(client.lengthErrors(), 0);
    EXPECT_EQ(client.lastSequence(), client.framesReceived());

    std::map<std::pair<int, int>, std::vector<int>> bySender;
    int misdelivered = 0;
    std::string firstMisdelivered;
    auto misdelivery = [&](const std::string& why) {
      if (misdelivered++ == 0) firstMisdelivered = why;
    };
    for (const Arrival& arrival : got.arrivals) {
      const auto key = std::make_pair(arrival.tag.sender, arrival.tag.connection);
      const auto it = connections.find(key);
      if (it == connections.end()) {
        misdelivery("a frame of an unknown connection " + std::to_string(key.first) + "/" +
                    std::to_string(key.second));
        continue;
      }
      const Connection& origin = *it->second;
      const auto counter = static_cast<std::size_t>(arrival.tag.counter);
      if (counter >= origin.sent.size() || !MeantFor(origin.sent[counter], r, origin.sender == r)) {
        misdelivery("counter " + std::to_string(counter) + " of " + std::to_string(key.first) +
                    "/" + std::to_string(key.second) + " as '" + arrival.command +
                    "', which was not meant for it");
        continue;
      }
      if (arrival.source != origin.session) {
        misdelivery("source byte " + std::to_string(arrival.source) +
                    " on a frame of session " + std::to_string(origin.session));
      }
      bySender[key].push_back(arrival.tag.counter);
    }
    EXPECT_EQ(misdelivered, 0) << firstMisdelivered;

    long long missingReadToEnd = 0;
    long long missingAll = 0;
    for (const auto& [key, connection] : connections) {
      std::vector<int> meant;
      for (std::size_t n = 0; n < connection->sent.size(); ++n) {
        if (MeantFor(connection->sent[n], r, connection->sender == r)) {
          meant.push_back(static_cast<int>(n));
        }
      }
      const std::vector<int>& arrived = bySender[key];
      std::size_t disordered = 0;
      for (std::size_t k = 1; k < arrived.size(); ++k) {
        if (arrived[k - 1] >= arrived[k]) ++disordered;
      }
      EXPECT_EQ(disordered, 0u) << "frames of " << key.first << "/" << key.second
                                << " out of order or twice";
      const auto missing = static_cast<long long>(meant.size()) -
                           static_cast<long long>(arrived.size());
      if (key.first < kChurnerSenderBase) {
        stayerToStayer += static_cast<long long>(arrived.size());
        const auto refusals = refusedBetweenStayers[{key.first, r}];
        refusedTotal += refusals;
        EXPECT_EQ(missing, refusals) << "from stayer " << key.first << ": " << meant.size()
                                     << " meant, " << arrived.size() << " arrived, "
                                     << refusals << " refused by the server";
        lost += missing > refusals ? missing - refusals : 0;
      } else {
        churnerToStayer += static_cast<long long>(arrived.size());
        missingAll += missing;
        if (connection->readToTheEnd) missingReadToEnd += missing;
      }
    }
    const int refusals = refusedFromChurners[static_cast<std::size_t>(r)];
    refusedTotal += refusals;
    EXPECT_LE(missingReadToEnd, refusals)
        << "frames of connections that left gracefully went missing";
    EXPECT_LE(refusals, missingAll);
    lost += missingReadToEnd > refusals ? missingReadToEnd - refusals : 0;
  }

  EXPECT_EQ(stayerSendFailures, 0);
  EXPECT_TRUE(faults.empty()) << faults.size() << " faults, e.g. " << faults.front();
  EXPECT_GE(stationLines, kStayers);
  EXPECT_TRUE(unexpectedLines.empty())
      << unexpectedLines.size() << " unexpected lines, e.g. " << unexpectedLines.front();
  EXPECT_GT(churnConnections, kChurners) << "the churn did not get going";
  for (int k = 0; k < kLeaveKinds; ++k) EXPECT_GT(leaves[k], 0) << "leave kind " << k;

  // Still serving every stayer once the churn is over.
  for (auto& stayer : stayers) EXPECT_TRUE(PingRoundTrip(*stayer, "after the churn"));

  Figures figures("Churn");
  figures.Add("stayers_held", kStayers);
  figures.Add("churner_threads", kChurners);
  figures.Add("sessions_at_once_peak",
              peakThreads > 0 && idleThreads > 0 ? (peakThreads - idleThreads) / 2 : -1);
  figures.Add("churn_connections", churnConnections);
  figures.Add("left_gracefully", leaves[0]);
  figures.Add("left_by_reset", leaves[1]);
  figures.Add("left_mid_frame_then_shutdown", leaves[2]);
  figures.Add("left_mid_frame_then_reset", leaves[3]);
  figures.Add("faults_injected", leaves[1] + leaves[2] + leaves[3]);
  figures.Add("frames_sent", framesSent);
  figures.Add("frames_relayed", framesReceived);
  figures.Add("stayer_to_stayer_checked", stayerToStayer);
  figures.Add("churner_to_stayer_checked", churnerToStayer);
  figures.Add("refused_to_stayers", refusedTotal);
  figures.Add("frames_lost", lost);
  figures.Add("sending_ms",
              static_cast<long long>(
                  std::chrono::duration_cast<Millis>(sendingTook).count()));
  figures.Publish();
}

}  // namespace
}  // namespace kavo_test::stress
