// Hostile clients, one case after another, on one server, while two healthy clients stay
// connected throughout. After each case the healthy pair still relays to each other without
// losing a frame, the hostile client (where it is meant to survive) is still served, and the
// server printed exactly the lines the case calls for: nothing else.
#include <atomic>
#include <cstdio>
#include <random>
#include <set>
#include <thread>

#include "stress/stress_support.h"

namespace kavo_test::stress {
namespace {

constexpr int kHealthyRole = 3;
constexpr int kHostileRole = 4;
constexpr int kLimit = 4096;
constexpr int kRingHold = 65535;  // unread bytes a receive ring holds at most
constexpr std::int32_t kAllP = 0x50505050;  // four 'P' bytes read as a number

struct Healthy {
  TestClient a;
  TestClient b;
  int sessionA = -1;
  int sessionB = -1;
  Mac macA = StationOf(kHealthyRole, 1);
  Mac macB = StationOf(kHealthyRole, 2);
  int sentByA = 0;
  int sentByB = 0;
  long long relayed = 0;
  long long lost = 0;
};

// A's frames reach B and B's reach A, each once, whole and in order, and nothing else comes.
testing::AssertionResult RelayBetween(Healthy& h, int frames) {
  for (int k = 0; k < frames; ++k) {
    const Tag fromA{1, 0, h.sentByA + k};
    const Tag fromB{2, 0, h.sentByB + k};
    if (!h.a.Send('T', 0, TunnelPayload(h.macB, h.macA, Body(fromA, BodyLengthFor(fromA, 4000)))) ||
        !h.b.Send('T', 0, TunnelPayload(h.macA, h.macB, Body(fromB, BodyLengthFor(fromB, 4000))))) {
      return testing::AssertionFailure() << "a healthy client could not send";
    }
  }
  auto result = testing::AssertionSuccess();
  bool failed = false;
  auto expect = [&](TestClient& to, int sender, int session, const Mac& destination, int first) {
    for (int k = 0; k < frames; ++k) {
      const auto frame = to.ReceiveFrame(5000ms);
      std::optional<Tag> tag;
      if (frame.has_value() && frame->command == 't' && frame->source == session &&
          frame->payload.size() > 12 && MacAt(frame->payload, 0) == destination) {
        tag = ParseBody(frame->payload.data() + 12, frame->payload.size() - 12);
      }
      if (tag.has_value() && tag->sender == sender && tag->counter == first + k) {
        ++h.relayed;
        continue;
      }
      ++h.lost;
      if (!failed) result = testing::AssertionFailure();
      failed = true;
      result << "healthy frame " << first + k << " from " << sender << ": got "
             << (frame.has_value() ? frame->Describe() : "nothing") << "; ";
      if (!frame.has_value()) {
        h.lost += frames - k - 1;
        break;
      }
    }
  };
  expect(h.b, 1, h.sessionA, h.macB, h.sentByA);
  expect(h.a, 2, h.sessionB, h.macA, h.sentByB);
  h.sentByA += frames;
  h.sentByB += frames;
  if (!NoFrameArrives({&h.a, &h.b}, 100ms)) {
    result = testing::AssertionFailure() << "a healthy client got more than was sent to it";
  }
  if (h.a.sequenceErrors() != 0 || h.b.sequenceErrors() != 0) {
    result = testing::AssertionFailure() << "a healthy client's numbering has a gap";
  }
  return result;
}

struct Context {
  Context(LoopbackServer& s, Healthy& h) : server(s), healthy(h) {}
  LoopbackServer& server;
  Healthy& healthy;
  std::size_t from = 0;                     // the case's first console line
  std::vector<std::string> expectedLines;  // what the case must print, in order
  std::set<int> hostileSessions;           // their disconnect lines are theirs to print
  long long hostileBytes = 0;
  int refused = 0;
};

int ConnectHostile(Context& context, TestClient& client) {
  const int session = ConnectSession(context.server, client);
  if (session >= 0) context.hostileSessions.insert(session);
  return session;
}

bool SendRawCounted(Context& context, TestClient& client, const Bytes& bytes) {
  context.hostileBytes += static_cast<long long>(bytes.size());
  return client.SendRaw(bytes);
}

// Waits until `count` lines since the case began satisfy `matcher`.
bool WaitForLines(Context& context, const LineMatcher& matcher, std::size_t count,
                  Millis timeout = 10000ms) {
  const auto deadline = Clock::now() + timeout;
  std::size_t next = context.from;
  std::size_t seen = 0;
  while (seen < count) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    const auto index = context.server->WaitForLineIndex(matcher, left, Stream::Out, next);
    if (!index.has_value()) return false;
    ++seen;
    next = *index + 1;
  }
  return true;
}

bool IsSizeLine(const std::string& line) { return line.rfind(text::kSizeLinePrefix, 0) == 0; }

void ExpectAnswer(TestClient& client, std::uint8_t source, const Bytes& payload) {
  const auto answer = client.ReceiveFrame(5000ms);
  ASSERT_TRUE(answer.has_value()) << "no answer";
  EXPECT_EQ(answer->command, 'p') << answer->Describe();
  EXPECT_EQ(answer->source, source) << answer->Describe();
  EXPECT_TRUE(answer->payload == payload) << answer->Describe();
}

// The server still serves the client, and its numbering of the client's frames goes on from
// `sequence`.
void ExpectServed(TestClient& client, std::int32_t sequence) {
  SendOptions options;
  options.sequence = sequence;
  ASSERT_TRUE(client.Send('P', 0x2A, "still served", options));
  ExpectAnswer(client, 0x2A, ToBytes("still served"));
}

// ---------------------------------------------------------------------------------------------
// The cases.

void MegabyteWithoutMarker(Context& context, TestClient& hostile) {
  ASSERT_GE(ConnectHostile(context, hostile), 0);
  // A full ring without a frame is passed over whole each time: 16 times 65535 bytes, and the
  // last 16 'P's then make a ping header with the marker that follows.
  const Bytes flood(1 << 20, 'P');
  ASSERT_TRUE(SendRawCounted(context, hostile, flood));
  const int passes = (1 << 20) / kRingHold;
  for (int i = 0; i < passes; ++i) context.expectedLines.push_back(text::SizeLine(kRingHold, kLimit));
  ASSERT_TRUE(WaitForLines(context, IsSizeLine, static_cast<std::size_t>(passes)));
  ASSERT_TRUE(SendRawCounted(context, hostile, Bytes(std::begin(kMarker), std::end(kMarker))));
  ExpectAnswer(hostile, 'P', ToBytes("PPPP"));
  ExpectServed(hostile, kAllP + 1);
}

void RandomBytes(Context& context, TestClient& hostile) {
  ASSERT_GE(ConnectHostile(context, hostile), 0);
  constexpr int kBytes = 300000;
  std::mt19937 random(20240611u);
  std::uniform_int_distribution<int> byte(0, 255);
  Bytes noise(kBytes);
  for (auto& b : noise) b = static_cast<std::uint8_t>(byte(random));
  // Near misses of the marker, often; whole markers never.
  for (int at = 100; at + 4 < kBytes; at += 997) {
    const int kept = 1 + at % 3;
    for (int i = 0; i < kept; ++i) noise[static_cast<std::size_t>(at + i)] = kMarker[i];
    noise[static_cast<std::size_t>(at + kept)] = 0x01;
  }
  for (std::size_t i = 0; i + 4 <= noise.size(); ++i) {
    if (std::equal(std::begin(kMarker), std::end(kMarker), noise.begin() + static_cast<std::ptrdiff_t>(i))) {
      noise[i + 3] = 0x01;
    }
  }
  ASSERT_TRUE(SendRawCounted(context, hostile, noise));
  const int passes = kBytes / kRingHold;
  for (int i = 0; i < passes; ++i) context.expectedLines.push_back(text::SizeLine(kRingHold, kLimit));
  ASSERT_TRUE(WaitForLines(context, IsSizeLine, static_cast<std::size_t>(passes)));
  // A marker ends the rest as one frame, too long to be taken.
  ASSERT_TRUE(SendRawCounted(context, hostile, Bytes(std::begin(kMarker), std::end(kMarker))));
  context.expectedLines.push_back(text::SizeLine(kBytes - passes * kRingHold + 4, kLimit));
  ASSERT_TRUE(WaitForLines(context, IsSizeLine, static_cast<std::size_t>(passes + 1)));
  ExpectServed(hostile, 77);  // nothing was accepted yet: any number will do
}

void MarkerInHeader(Context& context, TestClient& hostile) {
  ASSERT_GE(ConnectHostile(context, hostile), 0);
  constexpr std::int32_t kSpellsMarker = 4080956;  // bytes 3C 45 3E 00
  SendOptions numbered;
  numbered.sequence = kSpellsMarker;
  ASSERT_TRUE(hostile.Send('P', 0x2A, "sequence spells the marker", numbered));
  ExpectAnswer(hostile, 0x2A, ToBytes("sequence spells the marker"));
  SendOptions acknowledged;
  acknowledged.acknowledgement = kSpellsMarker;
  ASSERT_TRUE(hostile.Send('P', 0x2A, "acknowledgement spells it", acknowledged));
  ExpectAnswer(hostile, 0x2A, ToBytes("acknowledgement spells it"));
  // Command '<', source 'E', length 0x003E: the header's first four bytes are the marker.
  ASSERT_TRUE(hostile.Send('<', 'E', Bytes(0x3E, 'h')));
  context.expectedLines.push_back(text::UnsupportedLine('<'));
  ExpectServed(hostile, kSpellsMarker + 3);
}

void OverlongFrames(Context& context, TestClient& hostile) {
  ASSERT_GE(ConnectHostile(context, hostile), 0);
  // Each frame's bytes: header, 'P's, marker. A frame longer than the ring holds is passed
  // over 65535 bytes at a time; what is left of it then ends at its marker like a frame.
  struct Case {
    int bytes;
    std::vector<int> sizeLines;
  };
  const std::vector<Case> cases = {
      {4097, {4097}},
      {6000, {6000}},
      {16384, {16384}},
      {40000, {40000}},
      {65535, {65535}},
      {65536, {65535}},  // leaves the marker's last byte, which joins the next frame
      {8000, {8001}},
      {70000, {65535, 4465}},
      {100000, {65535, 34465}},
      {131070, {65535, 65535}},
      {140000, {65535, 65535, 8930}},
      // The last 3395 bytes make a frame of 'P's: a ping with number 0x50505050, accepted
      // since nothing was accepted before it.
      {200000, {65535, 65535, 65535}},
  };
  std::size_t lines = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("frame of " + std::to_string(c.bytes) + " bytes");
    const Bytes frame = BuildFrame('C', 0, Bytes(static_cast<std::size_t>(c.bytes - 16), 'P'),
                                   hostile.nextSequence(), 0, 0x7FFF);
    ASSERT_TRUE(SendRawCounted(context, hostile, frame));
    for (int size : c.sizeLines) context.expectedLines.push_back(text::SizeLine(size, kLimit));
    lines += c.sizeLines.size();
    // One at a time: a dropped frame ends a reading pass, and the next pass needs new bytes.
    ASSERT_TRUE(WaitForLines(context, IsSizeLine, lines)) << context.server->DescribeOutput();
  }
  ExpectAnswer(hostile, 'P', Bytes(3395 - 16, 'P'));
  ExpectServed(hostile, kAllP + 1);
}

void FramesBehindOverlongThenEndOfStream(Context& context, TestClient& hostile) {
  const int session = ConnectHostile(context, hostile);
  ASSERT_GE(session, 0);
  // One write: an over-long frame, which ends the reading pass, two whole frames behind it,
  // then the end of the stream. The two were received in full, so they still go out.
  Bytes bytes = BuildFrame('C', 0, Bytes(5000 - 16, 'P'), hostile.nextSequence(), 0, 0);
  const Bytes toA = hostile.NextFrame('I', static_cast<std::uint8_t>(context.healthy.sessionA),
                                      ToBytes("behind, to a"));
  const Bytes toB = hostile.NextFrame('I', static_cast<std::uint8_t>(context.healthy.sessionB),
                                      ToBytes("behind, to b"));
  bytes.insert(bytes.end(), toA.begin(), toA.end());
  bytes.insert(bytes.end(), toB.begin(), toB.end());
  ASSERT_TRUE(SendRawCounted(context, hostile, bytes));
  hostile.ShutdownSend();
  context.expectedLines.push_back(text::SizeLine(5000, kLimit));
  const std::pair<TestClient*, const char*> healthy[] = {{&context.healthy.a, "behind, to a"},
                                                         {&context.healthy.b, "behind, to b"}};
  for (const auto& [client, payload] : healthy) {
    const auto frame = client->ReceiveFrame(5000ms);
    ASSERT_TRUE(frame.has_value()) << "a frame received in full was lost at the close";
    EXPECT_EQ(frame->command, 'i');
    EXPECT_EQ(frame->source, session);
    EXPECT_EQ(frame->PayloadText(), payload);
  }
  EXPECT_TRUE(hostile.WaitForClose(5000ms));
}

void ShortTunnelPayloads(Context& context, TestClient& hostile) {
  const int session = ConnectHostile(context, hostile);
  ASSERT_GE(session, 0);
  const Mac mac = StationOf(kHostileRole, 1);
  // The reader's buffer first holds a broadcast destination and a source address, so bytes
  // left over from an earlier frame would make a short frame look addressed to all.
  const Bytes prime = TunnelPayload(kBroadcastMac, StationOf(kHostileRole, 2), "prime");
  ASSERT_TRUE(hostile.Send('P', 0x2A, prime));
  ExpectAnswer(hostile, 0x2A, prime);
  const Bytes whole = TunnelPayload(kBroadcastMac, mac, "");
  for (std::size_t length = 0; length < 12; ++length) {
    ASSERT_TRUE(hostile.Send('T', 0, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length))));
  }
  ExpectServed(hostile, hostile.nextSequence());
  EXPECT_TRUE(NoFrameArrives({&context.healthy.a, &context.healthy.b}, 200ms));
  // Twelve bytes are enough: learned, and relayed to all.
  ASSERT_TRUE(hostile.Send('T', 0, whole));
  const std::uint8_t raw[6] = {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]};
  context.expectedLines.push_back(text::StationLine(session, 0, raw));
  for (TestClient* client : {&context.healthy.a, &context.healthy.b}) {
    const auto frame = client->ReceiveFrame(3000ms);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->command, 't');
    EXPECT_EQ(frame->source, session);
    EXPECT_TRUE(frame->payload == whole) << frame->Describe();
  }
}

void EveryTargetIndex(Context& context, TestClient& hostile) {
  const int session = ConnectHostile(context, hostile);
  ASSERT_GE(session, 0);
  auto payload = [](int index) {
    char text[16];
    std::snprintf(text, sizeof(text), "index-%03d", index);
    return std::string(text);
  };
  for (int index = 0; index < 256; ++index) {
    ASSERT_TRUE(hostile.Send('I', static_cast<std::uint8_t>(index), payload(index)));
  }
  ASSERT_TRUE(hostile.Send('P', 0x2A, "done"));
  // The hostile client gets the one addressed to itself, then the ping's answer.
  const auto own = hostile.ReceiveFrame(5000ms);
  ASSERT_TRUE(own.has_value());
  EXPECT_EQ(own->command, 'i');
  EXPECT_EQ(own->source, session);
  EXPECT_EQ(own->PayloadText(), payload(session));
  ExpectAnswer(hostile, 0x2A, ToBytes("done"));
  const std::pair<TestClient*, int> healthy[] = {{&context.healthy.a, context.healthy.sessionA},
                                                 {&context.healthy.b, context.healthy.sessionB}};
  for (const auto& [client, index] : healthy) {
    const auto frame = client->ReceiveFrame(3000ms);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->command, 'i');
    EXPECT_EQ(frame->source, session);
    EXPECT_EQ(frame->PayloadText(), payload(index));
  }
  EXPECT_TRUE(NoFrameArrives({&context.healthy.a, &context.healthy.b, &hostile}, 200ms));
}

void OneBytePerSecond(Context& context, TestClient& hostile) {
  ASSERT_GE(ConnectHostile(context, hostile), 0);
  const Bytes frame = hostile.NextFrame('P', 0x2A, ToBytes("slowly"));
  const int trickled = ScaledCount(4, 2);
  for (int i = 0; i < trickled; ++i) {
    ASSERT_TRUE(SendRawCounted(context, hostile, Bytes{frame[static_cast<std::size_t>(i)]}));
    // Meanwhile the others are served as usual.
    EXPECT_TRUE(RelayBetween(context.healthy, 2));
    std::this_thread::sleep_for(1000ms);
  }
  ASSERT_TRUE(SendRawCounted(context, hostile, Bytes(frame.begin() + trickled, frame.end())));
  ExpectAnswer(hostile, 0x2A, ToBytes("slowly"));
}

void NeverReadsWhileFlooded(Context& context, TestClient& hostile) {
  hostile.SetReceiveBuffer(4096);
  const int session = ConnectHostile(context, hostile);
  ASSERT_GE(session, 0);
  const Mac mac = StationOf(kHostileRole, 3);
  ASSERT_TRUE(hostile.Send('T', 0, TunnelPayload(kBroadcastMac, mac, "here")));
  const std::uint8_t rawHostile[6] = {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]};
  context.expectedLines.push_back(text::StationLine(session, 0, rawHostile));
  for (TestClient* client : {&context.healthy.a, &context.healthy.b}) {
    const auto frame = client->ReceiveFrame(3000ms);
    ASSERT_TRUE(frame.has_value() && frame->command == 't');
  }

  TestClient flooder;
  const int flooderSession = ConnectHostile(context, flooder);
  ASSERT_GE(flooderSession, 0);
  const Mac flooderMac = StationOf(kHostileRole, 4);
  const std::uint8_t rawFlooder[6] = {flooderMac[0], flooderMac[1], flooderMac[2],
                                      flooderMac[3], flooderMac[4], flooderMac[5]};
  context.expectedLines.push_back(text::StationLine(flooderSession, 0, rawFlooder));
  constexpr int kFrames = 1000;
  constexpr int kBody = 4000;
  std::atomic<bool> flooded{false};
  std::atomic<bool> floodFailed{false};
  std::thread flood([&] {
    for (int n = 0; n < kFrames && !floodFailed; ++n) {
      if (!flooder.Send('T', 0, TunnelPayload(mac, flooderMac, Body({9, 0, n}, kBody)))) {
        floodFailed = true;
      }
    }
    flooded = true;
  });
  // The others go on meanwhile.
  for (int round = 0; round < 50 && !flooded; ++round) {
    EXPECT_TRUE(RelayBetween(context.healthy, 3));
  }
  flood.join();
  ASSERT_FALSE(floodFailed);
  context.hostileBytes += static_cast<long long>(kFrames) * (16 + 12 + kBody);
  // A letter the relay does not serve: its line comes after every refusal line of the flood.
  ASSERT_TRUE(flooder.Send('Z', 0, "flood over"));
  const std::string over = text::UnsupportedLine('Z');
  const auto overAt =
      context.server->WaitForLineIndex(Equals(over), 10000ms, Stream::Out, context.from);
  ASSERT_TRUE(overAt.has_value());

  const std::string refusal = text::ForwardFailedLine(flooderSession, session, 12 + kBody);
  const auto lines = context.server->Lines();
  int refused = 0;
  for (std::size_t i = context.from; i < *overAt; ++i) refused += lines[i] == refusal ? 1 : 0;
  context.refused += refused;
  for (int i = 0; i < refused; ++i) context.expectedLines.push_back(refusal);
  context.expectedLines.push_back(over);
  EXPECT_GT(refused, 0) << "the ring never filled: the case did not test what it should";

  // Now it reads: every frame not refused, in order, each once and whole, numbered for it
  // without a gap.
  int arrived = 0;
  int previous = -1;
  int broken = 0;
  const auto deadline = Clock::now() + 30000ms;
  while (Clock::now() < deadline) {
    const auto frame = hostile.ReceiveFrame(1000ms);
    if (!frame.has_value()) break;
    std::optional<Tag> tag;
    if (frame->command == 't' && frame->source == flooderSession && frame->payload.size() > 12) {
      tag = ParseBody(frame->payload.data() + 12, frame->payload.size() - 12);
    }
    if (!tag.has_value() || tag->sender != 9 || tag->counter <= previous) {
      ++broken;
      continue;
    }
    previous = tag->counter;
    ++arrived;
  }
  EXPECT_EQ(broken, 0);
  EXPECT_EQ(arrived + refused, kFrames) << arrived << " arrived, " << refused << " refused";
  EXPECT_EQ(hostile.sequenceErrors(), 0);
  ExpectServed(hostile, hostile.nextSequence());
  EXPECT_TRUE(Disconnect(flooder));
}

void SequenceBreak(Context& context, TestClient& hostile) {
  ASSERT_GE(ConnectHostile(context, hostile), 0);
  ExpectServed(hostile, 5);
  SendOptions skipped;
  skipped.sequence = 9;
  ASSERT_TRUE(hostile.Send('P', 0x2A, "skipped three", skipped));
  context.expectedLines.push_back(text::LostLine(9, 6));
  context.expectedLines.push_back(text::kReconnect);
  EXPECT_TRUE(hostile.WaitForClose(5000ms)) << "a client that broke its numbering stays open";
}

struct HostileCase {
  const char* name;
  void (*run)(Context&, TestClient&);
};

const HostileCase kCases[] = {
    {"a megabyte without a marker", MegabyteWithoutMarker},
    {"random bytes", RandomBytes},
    {"a header that spells the marker", MarkerInHeader},
    {"over-long frames", OverlongFrames},
    {"whole frames behind an over-long one, then the end", FramesBehindOverlongThenEndOfStream},
    {"tunnelled frames shorter than two addresses", ShortTunnelPayloads},
    {"'I' to every index 0..255", EveryTargetIndex},
    {"one byte per second", OneBytePerSecond},
    {"a client that never reads while flooded", NeverReadsWhileFlooded},
    {"a break in the numbering", SequenceBreak},
};

TEST(HostileInput, OthersAreServedAndNothingElseIsLostAfterEachCase) {
  LoopbackServer server;
  ASSERT_TRUE(StartLoopbackServer(server));
  Healthy healthy;
  healthy.sessionA = ConnectSession(server, healthy.a);
  healthy.sessionB = ConnectSession(server, healthy.b);
  ASSERT_GE(healthy.sessionA, 0);
  ASSERT_GE(healthy.sessionB, 0);
  ASSERT_TRUE(healthy.a.Send('T', 0, TunnelPayload(kBroadcastMac, healthy.macA, "a")));
  ASSERT_TRUE(healthy.b.Send('T', 0, TunnelPayload(kBroadcastMac, healthy.macB, "b")));
  ASSERT_TRUE(healthy.b.ReceiveFrame(3000ms).has_value());
  ASSERT_TRUE(healthy.a.ReceiveFrame(3000ms).has_value());
  ASSERT_TRUE(RelayBetween(healthy, 4));
  const int baseThreads = ServerThreadCount(*server);

  long long hostileBytes = 0;
  int refused = 0;
  std::size_t sizeLines = 0;
  int casesRun = 0;
  for (const HostileCase& hostileCase : kCases) {
    SCOPED_TRACE(hostileCase.name);
    Context context(server, healthy);
    context.from = server->LineCount();
    {
      TestClient hostile;
      hostileCase.run(context, hostile);
      if (hostile.connected() && !hostile.peerClosed()) {
        if (casesRun % 2 == 0) {
          EXPECT_TRUE(Disconnect(hostile));
        } else {
          hostile.Reset();
        }
      }
    }
    if (baseThreads > 0) {
      EXPECT_TRUE(WaitForThreadsAtMost(*server, baseThreads, 10000ms));
    }
    EXPECT_TRUE(RelayBetween(healthy, 4));

    std::vector<std::string> printed;
    const auto lines = server->Lines();
    for (std::size_t i = context.from; i < lines.size(); ++i) {
      if (IsConnectionLine(lines[i])) continue;
      const auto session = ParseDisconnectLine(lines[i]);
      if (session.has_value() && context.hostileSessions.count(*session) != 0) continue;
      printed.push_back(lines[i]);
    }
    EXPECT_EQ(printed, context.expectedLines) << server->DescribeOutput();
    for (const auto& line : printed) sizeLines += IsSizeLine(line) ? 1 : 0;
    hostileBytes += context.hostileBytes;
    refused += context.refused;
    ++casesRun;
    if (HasFatalFailure()) break;
  }

  Figures figures("HostileInput");
  figures.Add("clients_held", 2);
  figures.Add("faults_injected", casesRun);
  figures.Add("hostile_bytes", hostileBytes);
  figures.Add("size_lines", sizeLines);
  figures.Add("refused_to_non_reader", refused);
  figures.Add("healthy_frames_relayed", healthy.relayed);
  figures.Add("frames_lost", healthy.lost);
  figures.Publish();
}

}  // namespace
}  // namespace kavo_test::stress
