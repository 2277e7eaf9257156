#include "integration/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace kavo_test {

namespace text {

std::string ClientLine(std::uint16_t port) {
  return kClientPrefix + "127.0.0.1:" + std::to_string(port) + ".";
}

std::string SessionLine(int session) { return kSessionPrefix + std::to_string(session); }

std::string SizeLine(int length, int limit) {
  return kSizeLinePrefix + std::to_string(length) + " > " + std::to_string(limit) +
         kSizeLineSuffix;
}

std::string LostLine(std::int32_t received, std::int32_t expected) {
  const auto difference = static_cast<std::int32_t>(static_cast<std::uint32_t>(received) -
                                                    static_cast<std::uint32_t>(expected));
  return "LostSendCount! " + std::to_string(received) + " - " + std::to_string(expected) +
         " = " + std::to_string(difference);
}

std::string ReceiveErrorLine(int session, bool socketError) {
  return std::to_string(session) + ":受信時エラー切断しました(" +
         (socketError ? "SOCKET_ERROR" : "送信バイト0") + ")";
}

std::string SendErrorLine(int session, bool socketError) {
  return std::to_string(session) + ":送信時エラー切断しました(" +
         (socketError ? "SOCKET_ERROR" : "送信バイト0") + ")";
}

std::string ForwardFailedLine(int sender, int target, int payloadBytes) {
  return std::to_string(sender) + " → " + std::to_string(target) +
         " に転送失敗。切断されたかも。 (" + std::to_string(payloadBytes) + "バイト)";
}

std::string UnsupportedLine(char command) {
  return std::string(" → サポート外のコマンド [") + command + "]";
}

std::string PingLine(int session, std::int32_t sendCount, std::int32_t acknowledgement,
                     std::int32_t sequence, std::int32_t receiveCount) {
  return std::to_string(session) + " : ping(S" + std::to_string(sendCount) + "->R" +
         std::to_string(acknowledgement) + " S" + std::to_string(sequence) + "->R" +
         std::to_string(receiveCount) + ")";
}

std::string ChatLine(int session, const std::string& chat, std::int32_t sendCount,
                     std::int32_t acknowledgement, int sendPending, int receivePending) {
  return std::to_string(session) + ": " + chat + " (S" + std::to_string(sendCount) + "->R" +
         std::to_string(acknowledgement) + ") (Last: S" + std::to_string(sendPending) + " R" +
         std::to_string(receivePending) + ")";
}

std::string StationLine(int session, int row, const std::uint8_t (&mac)[6]) {
  char address[32];
  std::snprintf(address, sizeof(address), "%X:%X:%X:%X:%X:%X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return "PSP認識(" + std::to_string(session) + " " + std::to_string(row) +
         "): MACアドレス = " + address;
}

}  // namespace text

LineMatcher Equals(const std::string& expected) {
  return [expected](const std::string& line) { return line == expected; };
}

LineMatcher StartsWith(const std::string& prefix) {
  return [prefix](const std::string& line) { return line.rfind(prefix, 0) == 0; };
}

LineMatcher Contains(const std::string& part) {
  return [part](const std::string& line) { return line.find(part) != std::string::npos; };
}

std::string SettingsText(const std::string& server, const std::string& port) {
  return "[Setting]\nServer=" + server + "\nPort=" + port + "\n";
}

LoopbackServer::~LoopbackServer() {
  if (!process) return;
  process->Kill();
  process->WaitForOutputEnd(1000ms);
  const auto errors = process->Lines(Stream::Err);
  if (!errors.empty()) {
    ADD_FAILURE() << "the server wrote to standard error:\n" << process->DescribeOutput();
  }
}

testing::AssertionResult StartLoopbackServer(LoopbackServer& server) {
  std::string why;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::uint16_t port = PickFreePort();
    if (port == 0) return testing::AssertionFailure() << "no free port";
    auto process = std::make_unique<ServerProcess>();
    if (!process->Start(SettingsText("127.0.0.1", std::to_string(port)))) {
      return testing::AssertionFailure() << "server not started: " << process->error();
    }
    const auto waiting = process->WaitForLineIndex(
        [](const std::string& line) {
          return line == text::kWaiting || line.rfind(text::kListenerError, 0) == 0;
        },
        10000ms);
    if (waiting.has_value() && process->Lines()[*waiting] == text::kWaiting) {
      server.process = std::move(process);
      server.port = port;
      return testing::AssertionSuccess();
    }
    why = process->DescribeOutput();
    // The port may have been taken between picking it and the server's bind: try another.
    const bool inUse = process->WaitForLine(Contains("(10048)"), 2000ms).has_value();
    if (!inUse) break;
  }
  return testing::AssertionFailure() << "server did not start listening\n" << why;
}

int WaitForSessionOf(ServerProcess& server, std::uint16_t clientPort,
                     std::chrono::milliseconds timeout, std::size_t from) {
  const auto index = server.WaitForLineIndex(Equals(text::ClientLine(clientPort)), timeout,
                                             Stream::Out, from);
  if (!index.has_value()) return -1;
  const auto lines = server.Lines();
  for (std::size_t i = *index; i-- > from;) {
    if (lines[i].rfind(text::kSessionPrefix, 0) == 0) {
      return std::atoi(lines[i].c_str() + text::kSessionPrefix.size());
    }
  }
  return -1;
}

int ConnectSession(LoopbackServer& server, TestClient& client,
                   std::chrono::milliseconds timeout) {
  const std::size_t from = server->LineCount();
  if (!client.Connect(server.port, timeout)) {
    ADD_FAILURE() << "cannot connect to port " << server.port;
    return -1;
  }
  const int session = WaitForSessionOf(*server, client.localPort(), timeout, from);
  if (session < 0) {
    ADD_FAILURE() << "client from port " << client.localPort() << " was not accepted\n"
                  << server->DescribeOutput();
    return session;
  }
  // After each accept the loop announces that it waits again; later lines are the test's.
  const auto clientLine = server->WaitForLineIndex(Equals(text::ClientLine(client.localPort())),
                                                    0ms, Stream::Out, from);
  if (!server->WaitForLineIndex(Equals(text::kWaiting), timeout, Stream::Out, *clientLine + 1)
           .has_value()) {
    ADD_FAILURE() << "no waiting line after the accept\n" << server->DescribeOutput();
  }
  return session;
}

TestClient* ConnectIntoFreedSlot(LoopbackServer& server, TestClient& first, TestClient& second,
                                 int freed, int next) {
  const int a = ConnectSession(server, first);
  const int b = ConnectSession(server, second);
  if (a == freed && b == next) return &first;
  if (a == next && b == freed) return &second;
  ADD_FAILURE() << "expected slots " << freed << " and " << next << ", got " << a << " and "
                << b << "\n"
                << server->DescribeOutput();
  return nullptr;
}

testing::AssertionResult Disconnect(TestClient& client, std::chrono::milliseconds timeout) {
  client.ShutdownSend();
  const bool closed = client.WaitForClose(timeout);
  client.Close();
  if (!closed) return testing::AssertionFailure() << "the server did not close its side";
  return testing::AssertionSuccess();
}

int ServerThreadCount(ServerProcess& server) {
  const char* launcher = std::getenv("KAVO_TEST_LAUNCHER");
  if (launcher != nullptr && *launcher != '\0') return -1;
  std::ifstream status("/proc/" + std::to_string(server.pid()) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

testing::AssertionResult WaitForThreadsAtMost(ServerProcess& server, int count,
                                              std::chrono::milliseconds timeout) {
  if (ServerThreadCount(server) < 0) {
    std::this_thread::sleep_for(500ms);
    return testing::AssertionSuccess();
  }
  const auto deadline = Clock::now() + timeout;
  int now = ServerThreadCount(server);
  while (now > count) {
    if (Clock::now() >= deadline) {
      return testing::AssertionFailure()
             << "the server still runs " << now << " threads, expected at most " << count;
    }
    std::this_thread::sleep_for(5ms);
    now = ServerThreadCount(server);
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult PingRoundTrip(TestClient& client, const std::string& payload,
                                       std::chrono::milliseconds timeout) {
  if (!client.Send('P', 0x2A, payload)) return testing::AssertionFailure() << "send failed";
  const auto frame = client.ReceiveFrame(timeout);
  if (!frame.has_value()) return testing::AssertionFailure() << "no answer to 'P'";
  if (frame->command != 'p' || frame->source != 0x2A || frame->PayloadText() != payload) {
    return testing::AssertionFailure() << "unexpected answer: " << frame->Describe();
  }
  return testing::AssertionSuccess();
}

testing::AssertionResult NoFrameArrives(const std::vector<TestClient*>& clients,
                                        std::chrono::milliseconds duration) {
  // Absence can only be shown by waiting: wait once for all of them, then look at each.
  std::this_thread::sleep_for(duration);
  auto result = testing::AssertionSuccess();
  bool failed = false;
  for (std::size_t i = 0; i < clients.size(); ++i) {
    if (!clients[i]->ExpectNoFrame(1ms)) {
      if (!failed) result = testing::AssertionFailure();
      failed = true;
      result << "client " << i << " got " << clients[i]->unexpected()->Describe() << "; ";
    }
  }
  return result;
}

std::vector<std::string> UnexpectedLines(ServerProcess& server, std::size_t from,
                                         const std::vector<LineMatcher>& allowed) {
  std::vector<std::string> result;
  const auto lines = server.Lines();
  for (std::size_t i = from; i < lines.size(); ++i) {
    bool ok = false;
    for (const auto& matcher : allowed) {
      if (matcher(lines[i])) {
        ok = true;
        break;
      }
    }
    if (!ok) result.push_back(lines[i]);
  }
  return result;
}

}  // namespace kavo_test
