// Helpers shared by the integration tests: a server on a fresh loopback port, clients that
// know their session number, and the server's console texts.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "integration/server_process.h"
#include "integration/test_client.h"

namespace kavo_test {

using namespace std::chrono_literals;

// Console texts of the server.
namespace text {
inline const std::string kBanner1 = "KAVO Ver0.5a";
inline const std::string kBanner2 = "This program is remodeled from LUNDE Ver0.5";
inline const std::string kInitialising = "リスナーを初期化しています...";
inline const std::string kWaiting = "接続を待っています...";
inline const std::string kSessionPrefix = "接続セッション番号 : ";
inline const std::string kClientPrefix = "クライアント ";
inline const std::string kListenerError = "リスナー初期化時エラー: ";
inline const std::string kReconnect = "エラーのため一度再接続します";
inline const std::string kSizeLinePrefix = "致命的エラー:サイズ上限を超えたコマンドを受信しました。(";
inline const std::string kSizeLineSuffix = ")このコマンドをスルーします。";

std::string ClientLine(std::uint16_t port);  // "クライアント 127.0.0.1:PORT."
std::string SessionLine(int session);      // "接続セッション番号 : N"
std::string SizeLine(int length, int limit);
std::string LostLine(std::int32_t received, std::int32_t expected);
std::string ReceiveErrorLine(int session, bool socketError);  // (SOCKET_ERROR) / (送信バイト0)
std::string SendErrorLine(int session, bool socketError);
std::string ForwardFailedLine(int sender, int target, int payloadBytes);
std::string UnsupportedLine(char command);
std::string PingLine(int session, std::int32_t sendCount, std::int32_t acknowledgement,
                     std::int32_t sequence, std::int32_t receiveCount);
std::string ChatLine(int session, const std::string& text, std::int32_t sendCount,
                     std::int32_t acknowledgement, int sendPending, int receivePending);
std::string StationLine(int session, int row, const std::uint8_t (&mac)[6]);
}  // namespace text

// Matchers for ServerProcess::WaitForLine.
LineMatcher Equals(const std::string& expected);
LineMatcher StartsWith(const std::string& prefix);
LineMatcher Contains(const std::string& part);

// "[Setting]\nServer=<server>\nPort=<port>\n".
std::string SettingsText(const std::string& server, const std::string& port);

// A started server on 127.0.0.1 and a fresh port, waiting for clients. Retries with another
// port when the one picked was taken in between.
struct LoopbackServer {
  std::unique_ptr<ServerProcess> process;
  std::uint16_t port = 0;

  LoopbackServer() = default;
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;
  // A server that serves clients writes nothing to standard error (a sanitizer report would
  // land there): the test fails if it did.
  ~LoopbackServer();

  ServerProcess& operator*() { return *process; }
  ServerProcess* operator->() { return process.get(); }
};
testing::AssertionResult StartLoopbackServer(LoopbackServer& server);

// Connects `client` and waits for the server's accept lines for it (and the waiting line
// after them); returns its session number, or -1 (with a test failure) when it was not accepted in `timeout`.
int ConnectSession(LoopbackServer& server, TestClient& client,
                   std::chrono::milliseconds timeout = 5000ms);
// The session number that the accept lines give for a client port, waiting from line `from`.
int WaitForSessionOf(ServerProcess& server, std::uint16_t clientPort,
                     std::chrono::milliseconds timeout, std::size_t from = 0);

// After slot `freed` came free while slot `next` was the next one to take: connects `first`
// and `second`, expects them to get those two slots, and returns the one in `freed` (nullptr,
// with a test failure, otherwise). The accept loop takes the lowest free slot and then waits
// in accept for it, so it may have chosen `next` before `freed` came free; which of the two
// clients gets the freed slot depends on that moment and is not visible from outside.
TestClient* ConnectIntoFreedSlot(LoopbackServer& server, TestClient& first, TestClient& second,
                                 int freed, int next);

// Ends a client gracefully and waits until the server has closed its side too, so that the
// session is no longer open.
testing::AssertionResult Disconnect(TestClient& client,
                                    std::chrono::milliseconds timeout = 5000ms);

// The number of threads of the server process, or -1 when it cannot be known (the server is
// started through a launcher, or /proc is not there).
int ServerThreadCount(ServerProcess& server);
// Waits until the server runs at most `count` threads. Sessions run two threads each, and a
// slot is given back once both have ended, so this is how a test knows that a slot is free.
// Without a thread count it waits a fixed 500 ms instead.
testing::AssertionResult WaitForThreadsAtMost(ServerProcess& server, int count,
                                              std::chrono::milliseconds timeout = 5000ms);

// A 'P' round trip: the server still serves this client.
testing::AssertionResult PingRoundTrip(TestClient& client, const std::string& payload,
                                       std::chrono::milliseconds timeout = 3000ms);

// True when none of the clients receives a frame (other than a keepalive ping) within
// `duration`; all of them are watched during the same time.
testing::AssertionResult NoFrameArrives(const std::vector<TestClient*>& clients,
                                        std::chrono::milliseconds duration = 200ms);

// Lines from `from` on that none of the allowed matchers accept.
std::vector<std::string> UnexpectedLines(ServerProcess& server, std::size_t from,
                                         const std::vector<LineMatcher>& allowed);

}  // namespace kavo_test
