// The lines and outcomes of socket calls that fail, reached by making the platform fail them,
// and a session's whole life with its two workers running.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "protocol/protocol.h"
#include "server/server.h"
#include "session/session.h"
#include "support/console_capture.h"
#include "support/fake_sessions.h"
#include "support/local_socket_pair.h"
#include "support/wire_frames.h"

namespace kavo {
namespace {

using kavo_test::ConsoleCapture;
using kavo_test::FakeSessionTable;
using kavo_test::LocalSocketPair;
using Lines = std::vector<std::string>;

// Disarms every injected failure, whatever the test left armed.
struct DisarmFailures {
  ~DisarmFailures() {
    for (int call = 0; call < static_cast<int>(platform::SocketCall::Count); ++call) {
      platform::FailSocketCallForTest(static_cast<platform::SocketCall>(call), 0, 0);
    }
  }
};

// Bounded well below the keepalive period: a worker that a close did not wake keeps the slot
// past it.
bool WaitUntilFree(const Session& session) {
  for (int i = 0; i < 150 && session.state.load() != SessionState::Free; ++i) {
    platform::SleepMs(10);
  }
  return session.state.load() == SessionState::Free;
}

TEST(SocketFailures, PumpsReportTheirFailuresAndMarkTheSessionFailed) {
  struct Case {
    platform::SocketCall call;
    int code;
    const char* line;
    int result;
  };
  const Case cases[] = {
      {platform::SocketCall::Receive, 10054, "4:受信時エラー切断しました(SOCKET_ERROR)", -1},
      {platform::SocketCall::Send, 10054, "4:送信時エラー切断しました(SOCKET_ERROR)", -1},
      {platform::SocketCall::Send, 0, "4:送信時エラー切断しました(送信バイト0)", -1},
  };
  for (const Case& c : cases) {
    DisarmFailures disarm;
    FakeSessionTable table;
    ConsoleCapture console;
    platform::SocketHandle peer;
    Session* session = table.OpenWithPeer(4, &peer);
    if (session == nullptr) GTEST_SKIP() << "no local socket pair here";
    const bool receiving = c.call == platform::SocketCall::Receive;
    if (!receiving) session->send.ring.AdvanceWrite(16);  // something to send
    platform::FailSocketCallForTest(c.call, c.code);
    const int result = receiving ? PumpReceive(*session) : DrainSend(*session);
    EXPECT_EQ(result, c.result) << c.line;
    EXPECT_EQ(console.OutLines(), Lines{c.line});
    EXPECT_EQ(session->state.load(), SessionState::Failed) << c.line;
    const SessionChannel& channel = receiving ? session->receive : session->send;
    EXPECT_EQ(channel.status.load(), IoStatus::Failed) << c.line;
  }
}

TEST(SocketFailures, FailedAcceptPrintsItsLineAndGivesTheSlotBack) {
  DisarmFailures disarm;
  FakeSessionTable table;
  ConsoleCapture console;
  platform::FailSocketCallForTest(platform::SocketCall::Accept, 10054);
  AcceptNextClient(platform::kInvalidSocket);
  EXPECT_EQ(console.OutLines(),
            (Lines{"接続を待っています...", "accept() failed: Connection reset by peer (10054)"}));
  EXPECT_EQ(SessionTable[0].state.load(), SessionState::Free);
  EXPECT_EQ(FindFreeSession(), 0);
}

class RunningSession : public ::testing::Test {
 protected:
  // Starts the slot's workers on the session end of a local pair, as the accept loop would.
  // Where the pair is not TCP the socket option fails by itself; it is made to fail everywhere,
  // so that every system prints the same first line.
  Session* Start(int index) {
    if (!kavo_test::OpenLocalSocketPair(&pair_)) return nullptr;
    platform::FailSocketCallForTest(platform::SocketCall::SetNoDelay, 10042);
    Session& session = table_.Prepare(index);
    session.socket = pair_.server;
    EXPECT_TRUE(StartSession(session));
    return &session;
  }

  void TearDown() override {
    if (pair_.peer != platform::kInvalidSocket) kavo_test::CloseLocalSocket(pair_.peer);
  }

  DisarmFailures disarm_;
  FakeSessionTable table_;
  ConsoleCapture console_;
  LocalSocketPair pair_;
};

TEST_F(RunningSession, RunsWithoutTheSocketOptionAndEndsWhenItsClientLeaves) {
  Session* session = Start(7);
  if (session == nullptr) GTEST_SKIP() << "no local socket pair here";
  EXPECT_EQ(console_.OutLines(), Lines{"TCP_NODELAY失敗"});

  const auto ping = kavo_test::MakeFrame('P', 9, 1, 0, kavo_test::ToBytes("hi"));
  ASSERT_TRUE(kavo_test::WriteFromPeer(pair_.peer, kavo_test::Encode(ping)));
  const auto answer = kavo_test::Decode(kavo_test::ReadFromPeer(pair_.peer, 18));
  ASSERT_EQ(answer.size(), 1u);
  EXPECT_EQ(answer[0], kavo_test::MakeFrame('p', 9, 1, 1, kavo_test::ToBytes("hi")));

  kavo_test::CloseLocalSocket(pair_.peer);
  pair_.peer = platform::kInvalidSocket;
  EXPECT_TRUE(WaitUntilFree(*session));
  EXPECT_EQ(session->users.load(), 0);
}

TEST_F(RunningSession, UnreadableEventsEndTheSessionWithTheirLine) {
  platform::FailSocketCallForTest(platform::SocketCall::TakeEvents, 10022);
  Session* session = Start(2);
  if (session == nullptr) GTEST_SKIP() << "no local socket pair here";
  EXPECT_TRUE(WaitUntilFree(*session));
  EXPECT_EQ(console_.OutLines(), (Lines{"TCP_NODELAY失敗", "SOCKET_ERROR on RecvEvent"}));
  EXPECT_TRUE(kavo_test::PeerSeesEndOfStream(pair_.peer));
}

TEST_F(RunningSession, CloseFromAnotherThreadEndsBothWorkersAtOnce) {
  Session* session = Start(0);
  if (session == nullptr) GTEST_SKIP() << "no local socket pair here";
  // Both workers are waiting now: the network worker for socket events, the keepalive worker
  // for its period. A close from here must end both well before that period is over.
  platform::SleepMs(50);
  ASSERT_TRUE(EnterSession(*session));
  CloseSession(*session);
  LeaveSession(*session);
  EXPECT_TRUE(WaitUntilFree(*session));
  EXPECT_TRUE(kavo_test::PeerSeesEndOfStream(pair_.peer));
  EXPECT_EQ(console_.OutLines(), Lines{"TCP_NODELAY失敗"});
}

}  // namespace
}  // namespace kavo
