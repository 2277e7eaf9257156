// Relay by command letter with sessions 0, 2 and 5 open: chat, 'U', 'S', 'I', pings,
// unsupported letters, and a target that goes away while frames are relayed to it.
#include <atomic>
#include <thread>

#include "integration/test_support.h"

namespace kavo_test {
namespace {

class Relay : public testing::Test {
 protected:
  static constexpr int kOpen[3] = {0, 2, 5};

  void SetUp() override {
    ASSERT_TRUE(StartLoopbackServer(server_));
    for (int i = 0; i < 6; ++i) {
      ASSERT_EQ(ConnectSession(server_, clients_[i]), i);
    }
    for (int i : {1, 3, 4}) ASSERT_TRUE(Disconnect(clients_[i]));
    ASSERT_TRUE(PingRoundTrip(clients_[0], "ready"));
  }

  TestClient& Client(int session) { return clients_[session]; }

  // The next frame of a client, which must come within a few seconds.
  Frame Next(int session) {
    auto frame = Client(session).ReceiveFrame(3000ms);
    EXPECT_TRUE(frame.has_value()) << "session " << session << " received nothing";
    return frame.value_or(Frame{});
  }

  void ExpectNothingMore(std::chrono::milliseconds quiet = 200ms) {
    EXPECT_TRUE(NoFrameArrives({&Client(0), &Client(2), &Client(5)}, quiet))
        << "(clients of sessions 0, 2, 5)";
  }

  LoopbackServer server_;
  TestClient clients_[6];
};

// The chat line's last two values are the sender's send and receive ring counts read after
// all copies were queued. Each copy is sent at once on the relaying thread when no earlier send
// waits for the socket, so on quiet connections both read 0.
TEST_F(Relay, ChatReachesEveryOpenSessionWithTheSendersIdAndIsLogged) {
  const std::size_t from = server_->LineCount();
  SendOptions options;
  options.acknowledgement = 77;
  ASSERT_TRUE(Client(2).Send('C', 0x33, "hello world", options));
  std::int32_t senderCopy = 0;
  for (int session : kOpen) {
    const Frame frame = Next(session);
    EXPECT_EQ(frame.command, 'c') << session;
    EXPECT_EQ(frame.source, 2) << session;
    EXPECT_EQ(frame.PayloadText(), "hello world") << session;
    EXPECT_EQ(frame.payloadLength, 11);
    // Each copy carries the receiver's own next number (checked by the client against the
    // frames before it) and the receiver's own acknowledgement.
    EXPECT_EQ(Client(session).sequenceErrors(), 0) << session;
    const std::int32_t sentByReceiver = Client(session).nextSequence() - 1;
    EXPECT_EQ(frame.acknowledgement, sentByReceiver) << session;
    if (session == 2) senderCopy = frame.sequence;
  }
  EXPECT_EQ(senderCopy, 1 + Client(2).keepalivesSkipped()) << "the first frame to session 2";
  const auto line = server_->WaitForLine(StartsWith("2: hello world ("), 3000ms, Stream::Out, from);
  ASSERT_TRUE(line.has_value()) << server_->DescribeOutput();
  EXPECT_EQ(*line, text::ChatLine(2, "hello world", senderCopy, 77, 0, 0));
  ExpectNothingMore();
  EXPECT_EQ(UnexpectedLines(*server_, from, {}).size(), 1u) << server_->DescribeOutput();
}

TEST_F(Relay, ChatFromEachSessionCarriesItsOwnId) {
  for (int sender : kOpen) {
    const std::string chat = "from " + std::to_string(sender);
    ASSERT_TRUE(Client(sender).Send('C', 0, chat));
    for (int session : kOpen) {
      const Frame frame = Next(session);
      EXPECT_EQ(frame.command, 'c');
      EXPECT_EQ(frame.source, sender);
      EXPECT_EQ(frame.PayloadText(), chat);
    }
    EXPECT_TRUE(server_->WaitForLine(StartsWith(std::to_string(sender) + ": " + chat + " (S"), 3000ms)
                    .has_value());
  }
  for (int session : kOpen) EXPECT_EQ(Client(session).sequenceErrors(), 0);
  ExpectNothingMore();
}

TEST_F(Relay, EmptyChatIsRelayedAndLoggedWithEmptyText) {
  const std::size_t from = server_->LineCount();
  SendOptions options;
  options.acknowledgement = 9;
  ASSERT_TRUE(Client(5).Send('C', 0, "", options));
  std::int32_t senderCopy = 0;
  for (int session : kOpen) {
    const Frame frame = Next(session);
    EXPECT_EQ(frame.command, 'c');
    EXPECT_EQ(frame.source, 5);
    EXPECT_TRUE(frame.payload.empty());
    EXPECT_EQ(frame.payloadLength, 0);
    if (session == 5) senderCopy = frame.sequence;
  }
  const auto line = server_->WaitForLine(StartsWith("5: "), 3000ms, Stream::Out, from);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(*line, text::ChatLine(5, "", senderCopy, 9, 0, 0));
  EXPECT_EQ(*line, "5:  (S" + std::to_string(senderCopy) + "->R9) (Last: S0 R0)");
}

TEST_F(Relay, ChatWithAZeroByteIsRelayedWholeAndLoggedUpToIt) {
  const std::size_t from = server_->LineCount();
  const Bytes payload = {'a', 'b', 0x00, 'c', 'd'};
  SendOptions options;
  options.acknowledgement = 3;
  ASSERT_TRUE(Client(0).Send('C', 0, payload, options));
  std::int32_t senderCopy = 0;
  for (int session : kOpen) {
    const Frame frame = Next(session);
    EXPECT_EQ(frame.command, 'c');
    EXPECT_EQ(frame.source, 0);
    EXPECT_EQ(frame.payload, payload);
    EXPECT_EQ(frame.payloadLength, 5);
    if (session == 0) senderCopy = frame.sequence;
  }
  const auto line = server_->WaitForLine(StartsWith("0: ab"), 3000ms, Stream::Out, from);
  ASSERT_TRUE(line.has_value()) << server_->DescribeOutput();
  EXPECT_EQ(*line, text::ChatLine(0, "ab", senderCopy, 3, 0, 0));
}

TEST_F(Relay, UReachesEverySessionWithTheSendersIdAndSWithTheClientsSource) {
  const std::size_t from = server_->LineCount();
  ASSERT_TRUE(Client(5).Send('U', 0x44, "all of you"));
  for (int session : kOpen) {
    const Frame frame = Next(session);
    EXPECT_EQ(frame.command, 'u');
    EXPECT_EQ(frame.source, 5);
    EXPECT_EQ(frame.PayloadText(), "all of you");
  }
  ASSERT_TRUE(Client(0).Send('S', 0x44, "state"));
  for (int session : kOpen) {
    const Frame frame = Next(session);
    EXPECT_EQ(frame.command, 's');
    EXPECT_EQ(frame.source, 0x44);
    EXPECT_EQ(frame.PayloadText(), "state");
  }
  ExpectNothingMore();
  EXPECT_TRUE(server_->ExpectNoLine([](const std::string&) { return true; }, 0ms, Stream::Out, from))
      << server_->DescribeOutput();
}

TEST_F(Relay, IReachesOnlyTheSessionNamedInSource) {
  const std::size_t from = server_->LineCount();
  ASSERT_TRUE(Client(2).Send('I', 5, "for five"));
  const Frame frame = Next(5);
  EXPECT_EQ(frame.command, 'i');
  EXPECT_EQ(frame.source, 2);
  EXPECT_EQ(frame.PayloadText(), "for five");
  ExpectNothingMore();

  // Addressed to itself, it comes back.
  ASSERT_TRUE(Client(2).Send('I', 2, "for me"));
  const Frame own = Next(2);
  EXPECT_EQ(own.command, 'i');
  EXPECT_EQ(own.source, 2);
  EXPECT_EQ(own.PayloadText(), "for me");
  ExpectNothingMore();

  // A slot that is not open, and indexes past the table: nothing, silently.
  for (std::uint8_t target : {std::uint8_t{1}, std::uint8_t{63}, std::uint8_t{64},
                              std::uint8_t{200}, std::uint8_t{255}}) {
    ASSERT_TRUE(Client(2).Send('I', target, "nobody"));
  }
  ExpectNothingMore(300ms);
  EXPECT_TRUE(PingRoundTrip(Client(2), "still open"));
  EXPECT_TRUE(server_->ExpectNoLine([](const std::string&) { return true; }, 0ms, Stream::Out, from))
      << server_->DescribeOutput();
}

TEST_F(Relay, PingComesBackOnlyToItsSenderAndPingAnswerIsOnlyLogged) {
  const std::size_t from = server_->LineCount();
  ASSERT_TRUE(Client(2).Send('P', 0x10, "ping"));
  const Frame answer = Next(2);
  EXPECT_EQ(answer.command, 'p');
  EXPECT_EQ(answer.source, 0x10);
  EXPECT_EQ(answer.PayloadText(), "ping");
  ExpectNothingMore();

  // 'p': the line holds the sender's id, its send count, the frame's acknowledgement, the
  // frame's number and the sender's receive count (this frame included).
  const std::int32_t sequence = Client(2).nextSequence();
  SendOptions options;
  options.acknowledgement = 55;
  ASSERT_TRUE(Client(2).Send('p', 0x10, "pong", options));
  const auto line = server_->WaitForLine(StartsWith("2 : ping("), 3000ms, Stream::Out, from);
  ASSERT_TRUE(line.has_value()) << server_->DescribeOutput();
  // Every frame of client 2 was accepted, so its receive count equals this frame's number.
  EXPECT_EQ(*line, text::PingLine(2, Client(2).lastSequence(), 55, sequence, sequence));
  ExpectNothingMore();
  EXPECT_EQ(UnexpectedLines(*server_, from, {}).size(), 1u) << server_->DescribeOutput();
}

TEST_F(Relay, UnsupportedLettersAreLoggedAndTheSessionStaysUsable) {
  for (char letter : {'c', 't', 'x', 'Z', '0'}) {
    const std::size_t from = server_->LineCount();
    ASSERT_TRUE(Client(2).Send(letter, 5, "whatever"));
    const auto line = server_->WaitForLine(StartsWith(" → "), 3000ms, Stream::Out, from);
    ASSERT_TRUE(line.has_value()) << server_->DescribeOutput();
    EXPECT_EQ(*line, text::UnsupportedLine(letter));
    EXPECT_EQ(*line, std::string(" → サポート外のコマンド [") + letter + "]");
    ExpectNothingMore(100ms);
  }
  // The frames were counted: the next one follows on, and is served.
  EXPECT_TRUE(PingRoundTrip(Client(2), "usable"));
  const std::int32_t accepted = Client(2).nextSequence() - 1;
  ASSERT_TRUE(Client(2).Send('P', 0, "count"));
  const Frame frame = Next(2);
  EXPECT_EQ(frame.acknowledgement, accepted + 1);
}

// A target that resets while tunnelled frames are relayed to it: the only lines are the
// failure line for it and its own disconnect lines, and the other target gets every frame.
TEST(RelayTargetGone, TargetThatResetsDuringRelayDoesNotDisturbTheOthers) {
  LoopbackServer server;
  ASSERT_TRUE(StartLoopbackServer(server));
  TestClient sender, keeper, leaver;
  ASSERT_EQ(ConnectSession(server, sender), 0);
  ASSERT_EQ(ConnectSession(server, keeper), 1);
  ASSERT_EQ(ConnectSession(server, leaver), 2);
  const std::size_t from = server->LineCount();
  const int threads = ServerThreadCount(*server);

  constexpr int kFrames = 2000;
  constexpr int kLeaveAfter = 100;
  const std::uint8_t station[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  auto payloadOf = [&station](int index) {
    Bytes payload;
    payload.reserve(116);
    for (int i = 0; i < 6; ++i) payload.push_back(0xFF);
    for (std::uint8_t byte : station) payload.push_back(byte);
    for (int shift = 0; shift < 32; shift += 8) {
      payload.push_back(static_cast<std::uint8_t>((index >> shift) & 0xFF));
    }
    payload.resize(12 + 4 + 100, static_cast<std::uint8_t>(index & 0x7F));
    for (auto& byte : payload) {
      if (byte == 0x3C) byte = 0x3B;
    }
    return payload;
  };

  std::atomic<bool> left{false};
  std::thread leaving([&] {
    int count = 0;
    while (count < kLeaveAfter) {
      if (!leaver.ReceiveFrame(5000ms).has_value()) break;
      ++count;
    }
    leaver.Reset();
    left = true;
  });
  int kept = 0;
  int keptInOrder = 0;
  std::thread keeping([&] {
    while (kept < kFrames) {
      const auto frame = keeper.ReceiveFrame(5000ms);
      if (!frame.has_value()) break;
      if (frame->command == 't' && frame->source == 0 && frame->payload == payloadOf(kept)) {
        ++keptInOrder;
      }
      ++kept;
    }
  });

  for (int i = 0; i < kFrames; ++i) {
    if (i == 2 * kLeaveAfter) {
      // Go on only once the leaver is gone, so that the rest is relayed around its end.
      const auto deadline = Clock::now() + 5000ms;
      while (!left && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    }
    if (!sender.Send('T', 0, payloadOf(i))) {
      ADD_FAILURE() << "send failed at frame " << i;
      break;
    }
    if (i > 2 * kLeaveAfter && i % 50 == 0) std::this_thread::sleep_for(1ms);
  }
  leaving.join();
  keeping.join();
  EXPECT_TRUE(left);
  EXPECT_EQ(kept, kFrames);
  EXPECT_EQ(keptInOrder, kFrames);
  EXPECT_EQ(keeper.sequenceErrors(), 0);
  EXPECT_TRUE(sender.ExpectNoFrame(200ms)) << "a broadcast never goes back to its sender";
  ASSERT_TRUE(WaitForThreadsAtMost(*server, threads - 2)) << server->DescribeOutput();

  const auto unexpected = UnexpectedLines(
      *server, from,
      {Equals(text::StationLine(0, 0, station)), Equals(text::ForwardFailedLine(0, 2, 116)),
       Equals(text::ReceiveErrorLine(2, true)), Equals(text::ReceiveErrorLine(2, false)),
       Equals(text::SendErrorLine(2, true)), Equals(text::SendErrorLine(2, false))});
  EXPECT_TRUE(unexpected.empty()) << "first unexpected line: " << unexpected.front() << "\n"
                                  << server->DescribeOutput();
  EXPECT_TRUE(server->WaitForLine(Equals(text::StationLine(0, 0, station)), 0ms, Stream::Out, from)
                  .has_value());
  EXPECT_TRUE(PingRoundTrip(keeper, "still here"));
}

}  // namespace
}  // namespace kavo_test
