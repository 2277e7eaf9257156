// Frames on one connection: cutting at the marker, numbering, acknowledgement, size limit,
// sequence breaks, keepalive pings and a full send ring. A client's 'P' comes back as 'p'.
#include <thread>

#include "integration/test_support.h"

namespace kavo_test {
namespace {

class Frames : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(StartLoopbackServer(server_)); }

  LoopbackServer server_;
};

Bytes Pattern(std::size_t size, std::uint32_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    // Never '<', so that no marker can appear by chance.
    auto value = static_cast<std::uint8_t>((seed * 131u + i * 7u) & 0xFF);
    if (value == 0x3C) value = 0x3D;
    bytes[i] = value;
  }
  return bytes;
}

TEST_F(Frames, PingComesBackAsPingAnswerNumberedAndAcknowledged) {
  TestClient client;
  ASSERT_EQ(ConnectSession(server_, client), 0);
  const Bytes payloads[] = {ToBytes("hello"), Bytes{0x00, 0x01, 0xFE, 0xFF, 0x3E, 0x45}, Bytes{}};
  const std::uint8_t sources[] = {7, 200, 0};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(client.Send('P', sources[i], payloads[i]));
    const auto frame = client.ReceiveFrame(3000ms);
    ASSERT_TRUE(frame.has_value()) << "no answer to ping " << i + 1;
    EXPECT_EQ(frame->command, 'p');
    EXPECT_EQ(frame->source, sources[i]);
    EXPECT_EQ(frame->payload, payloads[i]);
    EXPECT_EQ(frame->payloadLength, static_cast<std::int16_t>(payloads[i].size()));
    EXPECT_EQ(frame->sequence, client.keepalivesSkipped() + i + 1);
    EXPECT_EQ(frame->acknowledgement, i + 1) << "frames accepted from the client";
  }
  EXPECT_EQ(client.sequenceErrors(), 0);
  EXPECT_EQ(client.lengthErrors(), 0);
  // A 'P' is answered only; nothing is printed for it.
  EXPECT_TRUE(server_->ExpectNoLine(
      [](const std::string& line) {
        return line.rfind(text::kSessionPrefix, 0) != 0 && line.rfind(text::kClientPrefix, 0) != 0 &&
               line != text::kWaiting;
      },
      200ms, Stream::Out, 5));
}

TEST_F(Frames, PayloadLengthFieldIsIgnoredInFavourOfTheMarker) {
  TestClient client;
  ASSERT_EQ(ConnectSession(server_, client), 0);
  SendOptions options;
  options.payloadLength = 999;
  ASSERT_TRUE(client.Send('P', 1, "abc", options));
  const auto frame = client.ReceiveFrame(3000ms);
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->PayloadText(), "abc");
  EXPECT_EQ(frame->payloadLength, 3);
}

TEST_F(Frames, FrameSentOneBytePerWriteArrivesWhole) {
  TestClient client;
  ASSERT_EQ(ConnectSession(server_, client), 0);
  const Bytes payload = ToBytes("sent one byte at a time");
  const Bytes frame = client.NextFrame('P', 3, payload);
  for (std::uint8_t byte : frame) {
    ASSERT_TRUE(client.SendRaw(&byte, 1));
    std::this_thread::sleep_for(1ms);
  }
  const auto answer = client.ReceiveFrame(3000ms);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->command, 'p');
  EXPECT_EQ(answer->source, 3);
  EXPECT_EQ(answer->payload, payload);
  EXPECT_EQ(answer->acknowledgement, 1);
  EXPECT_TRUE(client.ExpectNoFrame(200ms));
}

TEST_F(Frames, ThreeFramesInOneWriteAreAnsweredInOrder) {
  TestClient client;
  ASSERT_EQ(ConnectSession(server_, client), 0);
  Bytes batch;
  const std::string words[] = {"one", "two", "three"};
  for (const auto& word : words) {
    const Bytes frame = client.NextFrame('P', 9, ToBytes(word));
    batch.insert(batch.end(), frame.begin(), frame.end());
  }
  ASSERT_TRUE(client.SendRaw(batch));
  for (int i = 0; i < 3; ++i) {
    const auto answer = client.ReceiveFrame(3000ms);
    ASSERT_TRUE(answer.has_value()) << "answer " << i + 1;
    EXPECT_EQ(answer->PayloadText(), words[i]);
    EXPECT_EQ(answer->acknowledgement, i + 1);
  }
  EXPECT_EQ(client.sequenceErrors(), 0);
  EXPECT_TRUE(client.ExpectNoFrame(200ms));
}

TEST_F(Frames, FirstFrameMayCarryAnyNumberAndTheNextMustFollowIt) {
  TestClient client;
  ASSERT_EQ(ConnectSession(server_, client), 0);
  SendOptions first;
  first.sequence = 100;
  ASSERT_TRUE(client.Send('P', 0, "hundred", first));
  ASSERT_TRUE(client.ReceiveFrame(3000ms).has_value());
  ASSERT_TRUE(client.Send('P', 0, "hundred and one"));  // numbered 101
  const auto answer = client.ReceiveFrame(3000ms);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->PayloadText(), "hundred and one");
  EXPECT_EQ(answer->acknowledgement, 2);
  EXPECT_TRUE(server_->ExpectNoLine(StartsWith("LostSendCount!"), 200ms));
}

struct SequenceBreak {
  std::int32_t accepted;
  std::int32_t sent;
};

class FramesSequenceBreak : public Frames, public testing::WithParamInterface<SequenceBreak> {};

TEST_P(FramesSequenceBreak, PrintsLostFramesAndClosesTheConnection) {
  const SequenceBreak param = GetParam();
  TestClient client, other;
  ASSERT_EQ(ConnectSession(server_, client), 0);
  ASSERT_EQ(ConnectSession(server_, other), 1);
  SendOptions first;
  first.sequence = param.accepted;
  ASSERT_TRUE(client.Send('P', 0, "accepted", first));
  ASSERT_TRUE(client.ReceiveFrame(3000ms).has_value());

  const int threads = ServerThreadCount(*server_);
  const std::size_t from = server_->LineCount();
  SendOptions broken;
  broken.sequence = param.sent;
  ASSERT_TRUE(client.Send('P', 0, "not answered", broken));
  const auto lost = server_->WaitForLineIndex(StartsWith("LostSendCount!"), 3000ms, Stream::Out, from);
  ASSERT_TRUE(lost.has_value()) << server_->DescribeOutput();
  ASSERT_TRUE(server_->WaitForLineIndex(Equals(text::kReconnect), 3000ms, Stream::Out, *lost + 1)
                  .has_value());
  const auto lines = server_->Lines();
  EXPECT_EQ(lines[*lost], text::LostLine(param.sent, param.accepted + 1));
  EXPECT_EQ(lines[*lost + 1], text::kReconnect) << "the reconnect line follows at once";

  // The frame that broke the sequence is not answered, and the server closes the connection.
  const auto answer = client.ReceiveFrame(3000ms);
  EXPECT_FALSE(answer.has_value()) << answer->Describe();
  EXPECT_TRUE(client.WaitForClose(3000ms));
  ASSERT_TRUE(WaitForThreadsAtMost(*server_, threads - 2));
  EXPECT_TRUE(UnexpectedLines(*server_, from,
                              {StartsWith("LostSendCount!"), Equals(text::kReconnect)})
                  .empty())
      << server_->DescribeOutput();
  // Other sessions are not touched.
  EXPECT_TRUE(PingRoundTrip(other, "other"));
}

INSTANTIATE_TEST_SUITE_P(Numbers, FramesSequenceBreak,
                         testing::Values(SequenceBreak{5, 9}, SequenceBreak{5, 5},
                                         SequenceBreak{5, 3}),
                         [](const testing::TestParamInfo<SequenceBreak>& test) {
                           return "After" + std::to_string(test.param.accepted) + "Comes" +
                                  std::to_string(test.param.sent);
                         });

TEST_F(Frames, QuietClientIsPingedEveryThreeSeconds) {
  TestClient client;
  const auto connected = Clock::now();
  ASSERT_EQ(ConnectSession(server_, client), 0);
  const auto first = client.ReceiveFrame(6000ms, /*skipKeepalive=*/false);
  const auto firstAt = Clock::now();
  ASSERT_TRUE(first.has_value()) << "no keepalive ping within 6 s";
  EXPECT_EQ(first->command, 'P');
  EXPECT_TRUE(first->payload.empty());
  EXPECT_EQ(first->payloadLength, 0);
  EXPECT_EQ(first->sequence, 1);
  EXPECT_EQ(first->acknowledgement, 0);
  EXPECT_EQ(first->source, 0);
  const auto firstDelay = std::chrono::duration_cast<Millis>(firstAt - connected).count();
  EXPECT_GE(firstDelay, 2500);
  EXPECT_LE(firstDelay, 4500);

  const auto second = client.ReceiveFrame(5000ms, /*skipKeepalive=*/false);
  const auto secondAt = Clock::now();
  ASSERT_TRUE(second.has_value()) << "no second keepalive ping";
  EXPECT_EQ(second->command, 'P');
  EXPECT_TRUE(second->payload.empty());
  EXPECT_EQ(second->sequence, 2);
  EXPECT_EQ(second->acknowledgement, 0);
  const auto gap = std::chrono::duration_cast<Millis>(secondAt - firstAt).count();
  EXPECT_GE(gap, 2000);
  EXPECT_LE(gap, 4000);
  // The pings print nothing.
  EXPECT_EQ(server_->LineCount(), 8u) << server_->DescribeOutput();
}

TEST_F(Frames, FrameOfExactlyTheLimitIsAcceptedAndOneByteMoreIsDropped) {
  TestClient client, other;
  ASSERT_EQ(ConnectSession(server_, client), 0);
  ASSERT_EQ(ConnectSession(server_, other), 1);
  const std::size_t from = server_->LineCount();

  const Bytes tooLong = Pattern(4081, 1);  // 4097-byte frame
  ASSERT_TRUE(client.Send('P', 0, tooLong));
  const auto line = server_->WaitForLine(StartsWith(text::kSizeLinePrefix), 3000ms, Stream::Out, from);
  ASSERT_TRUE(line.has_value()) << server_->DescribeOutput();
  EXPECT_EQ(*line, text::SizeLine(4097, 4096));
  EXPECT_EQ(*line, "致命的エラー:サイズ上限を超えたコマンドを受信しました。(4097 > 4096)このコマンドをスルーします。");
  EXPECT_TRUE(client.ExpectNoFrame(200ms));

  // The dropped frame was not counted: the next frame is the first accepted one.
  const Bytes longest = Pattern(4080, 2);  // 4096-byte frame
  ASSERT_TRUE(client.Send('P', 0, longest));
  const auto answer = client.ReceiveFrame(3000ms);
  ASSERT_TRUE(answer.has_value()) << server_->DescribeOutput();
  EXPECT_EQ(answer->payload, longest);
  EXPECT_EQ(answer->payloadLength, 4080);
  EXPECT_EQ(answer->acknowledgement, 1);
  EXPECT_TRUE(PingRoundTrip(client, "and on"));
  EXPECT_TRUE(PingRoundTrip(other, "other"));
  EXPECT_EQ(server_->Lines().size() - from, 1u) << server_->DescribeOutput();
}

TEST_F(Frames, FloodWithoutMarkerIsPassedOverAndOthersAreStillServed) {
  TestClient flooder, other;
  ASSERT_EQ(ConnectSession(server_, flooder), 0);
  ASSERT_EQ(ConnectSession(server_, other), 1);
  const std::size_t from = server_->LineCount();
  const Bytes junk(200 * 1024, 'A');
  ASSERT_TRUE(flooder.SendRaw(junk));
  const auto line = server_->WaitForLine(StartsWith(text::kSizeLinePrefix), 5000ms, Stream::Out, from);
  ASSERT_TRUE(line.has_value()) << server_->DescribeOutput();
  EXPECT_TRUE(PingRoundTrip(other, "still served"));
  EXPECT_TRUE(other.ExpectNoFrame(200ms));

  // Every line printed is a size line for more than the limit, with the same wording.
  const std::string suffix = " > 4096" + text::kSizeLineSuffix;
  for (const auto& printed : UnexpectedLines(*server_, from, {})) {
    ASSERT_EQ(printed.rfind(text::kSizeLinePrefix, 0), 0u) << printed;
    ASSERT_GT(printed.size(), text::kSizeLinePrefix.size() + suffix.size());
    EXPECT_EQ(printed.substr(printed.size() - suffix.size()), suffix) << printed;
    const long count = std::atol(printed.c_str() + text::kSizeLinePrefix.size());
    EXPECT_GT(count, 4096) << printed;
    EXPECT_LE(count, 65536) << printed;
  }
  EXPECT_TRUE(server_->Running());
  EXPECT_FALSE(flooder.WaitForClose(300ms)) << "the flooding client's session stays open";
}

// A client that sends many pings and never reads: the answers fill the socket and then its
// send ring; further answers are refused without a gap in its numbering, and every other
// session is served as before.
TEST_F(Frames, ClientThatNeverReadsFillsItsOwnSendRing) {
  TestClient hog, other;
  hog.SetReceiveBuffer(4096);
  ASSERT_EQ(ConnectSession(server_, hog), 0);
  ASSERT_EQ(ConnectSession(server_, other), 1);
  const std::size_t from = server_->LineCount();
  // 12 MB of answers: more than the sockets on the way hold, on Linux and under Wine.
  constexpr int kPings = 3000;
  constexpr std::size_t kPayload = 4000;
  for (int i = 0; i < kPings; ++i) {
    Bytes payload = Pattern(kPayload, static_cast<std::uint32_t>(i));
    payload[0] = static_cast<std::uint8_t>(i & 0xFF);
    payload[1] = static_cast<std::uint8_t>((i >> 8) & 0xFF);
    ASSERT_TRUE(hog.Send('P', 0, payload)) << "ping " << i;
  }
  // Meanwhile every other session is served at once.
  EXPECT_TRUE(PingRoundTrip(other, "served as before"));

  // A chat as long as an answer after the pings: its line shows that every ping has been
  // dealt with, and its copy to the full session is refused with the failure line.
  const std::string done = "done" + std::string(kPayload - 4, '.');
  ASSERT_TRUE(hog.Send('C', 0, done));
  const auto chat = other.ReceiveFrame(10000ms);
  ASSERT_TRUE(chat.has_value());
  EXPECT_EQ(chat->command, 'c');
  EXPECT_EQ(chat->source, 0);
  EXPECT_EQ(chat->PayloadText(), done);
  ASSERT_TRUE(server_->WaitForLine(StartsWith("0: done."), 10000ms, Stream::Out, from).has_value())
      << server_->DescribeOutput();
  EXPECT_TRUE(server_->WaitForLine(Equals(text::ForwardFailedLine(0, 0, 4000)), 0ms, Stream::Out,
                                   from)
                  .has_value())
      << "the chat's copy to the full session must be refused\n"
      << server_->DescribeOutput();

  // Now read everything the server did queue: the answers from the first ping on, in order,
  // up to the moment the ring was full; every later one was refused.
  int received = 0;
  int lastIndex = -1;
  while (true) {
    const auto frame = hog.ReceiveFrame(1000ms);
    if (!frame.has_value()) break;
    ASSERT_EQ(frame->command, 'p') << frame->Describe();
    ASSERT_EQ(frame->payload.size(), kPayload);
    const int index = frame->payload[0] | (frame->payload[1] << 8);
    Bytes expected = Pattern(kPayload, static_cast<std::uint32_t>(index));
    expected[0] = frame->payload[0];
    expected[1] = frame->payload[1];
    ASSERT_EQ(frame->payload, expected) << "answer to ping " << index << " is not intact";
    EXPECT_EQ(frame->acknowledgement, index + 1);
    ASSERT_EQ(index, lastIndex + 1);
    lastIndex = index;
    ++received;
  }
  EXPECT_LT(received, kPings) << "the send ring never filled";
  EXPECT_GT(received, 0);
  EXPECT_EQ(hog.sequenceErrors(), 0) << "refused answers must not use up sequence numbers";
  EXPECT_FALSE(hog.peerClosed());
  // Room again: the next answer follows on without a gap.
  ASSERT_TRUE(hog.Send('P', 0, "room again"));
  const auto answer = hog.ReceiveFrame(3000ms);
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->PayloadText(), "room again");
  EXPECT_EQ(answer->sequence, hog.keepalivesSkipped() + received + 1);
  EXPECT_EQ(answer->acknowledgement, kPings + 2);
  EXPECT_TRUE(PingRoundTrip(other, "still"));
  EXPECT_TRUE(UnexpectedLines(*server_, from,
                              {StartsWith("0: done."), Equals(text::ForwardFailedLine(0, 0, 4000))})
                  .empty())
      << server_->DescribeOutput();
}

// A client that resets while answers are still queued for it: the session ends with at most
// its receive and send error lines, and its slot is given back.
TEST_F(Frames, ClientThatResetsWithAnswersPendingIsClosed) {
  TestClient hog, other;
  hog.SetReceiveBuffer(4096);
  ASSERT_EQ(ConnectSession(server_, hog), 0);
  ASSERT_EQ(ConnectSession(server_, other), 1);
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(hog.Send('P', 0, Pattern(4000, static_cast<std::uint32_t>(i))));
  }
  ASSERT_TRUE(PingRoundTrip(other, "before"));
  const int threads = ServerThreadCount(*server_);
  const std::size_t from = server_->LineCount();
  hog.Reset();
  ASSERT_TRUE(WaitForThreadsAtMost(*server_, threads - 2)) << server_->DescribeOutput();
  EXPECT_TRUE(UnexpectedLines(*server_, from,
                              {Equals(text::ReceiveErrorLine(0, true)),
                               Equals(text::ReceiveErrorLine(0, false)),
                               Equals(text::SendErrorLine(0, true)),
                               Equals(text::SendErrorLine(0, false))})
                  .empty())
      << server_->DescribeOutput();
  EXPECT_TRUE(PingRoundTrip(other, "after"));
  TestClient next, again;
  TestClient* reused = ConnectIntoFreedSlot(server_, next, again, 0, 2);
  ASSERT_NE(reused, nullptr);
  EXPECT_TRUE(PingRoundTrip(*reused, "reused"));
}

}  // namespace
}  // namespace kavo_test
