// Start-up: the banner, the settings file, the listener and its failures.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "integration/test_support.h"

namespace kavo_test {
namespace {

// A listening socket held by the test on address:port; -1 when it cannot be had.
int Listen(std::uint32_t hostAddress, std::uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(hostAddress);
  address.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 4) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool CanListen(std::uint32_t hostAddress, std::uint16_t port) {
  const int fd = Listen(hostAddress, port);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

// Tests that need the default port 443 take this lock, so that two of them never run at once.
class Port443Lock {
 public:
  Port443Lock() {
    fd_ = ::open("/tmp/kavo-integration-port443.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ >= 0) ::flock(fd_, LOCK_EX);
  }
  ~Port443Lock() {
    if (fd_ >= 0) ::close(fd_);
  }
  Port443Lock(const Port443Lock&) = delete;
  Port443Lock& operator=(const Port443Lock&) = delete;

 private:
  int fd_ = -1;
};

// Lines 0..4 of every start that reaches the listener.
void ExpectBannerAndInitialising(const std::vector<std::string>& lines) {
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], text::kBanner1);
  EXPECT_EQ(lines[1], text::kBanner2);
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], text::kInitialising);
}

// Starts a server with `settings`, expects it to listen on 127.0.0.1:port and to accept a
// client into session 0.
void ExpectServesOn(const std::optional<std::string>& settings, std::uint16_t port) {
  ServerProcess server;
  ASSERT_TRUE(server.Start(settings)) << server.error();
  ASSERT_TRUE(server.WaitForLine(Equals(text::kWaiting), 10000ms).has_value())
      << server.DescribeOutput();
  ExpectBannerAndInitialising(server.Lines());
  TestClient client;
  ASSERT_TRUE(client.Connect(port, 3000ms)) << "nothing listens on port " << port << "\n"
                                            << server.DescribeOutput();
  EXPECT_EQ(WaitForSessionOf(server, client.localPort(), 5000ms), 0) << server.DescribeOutput();
  EXPECT_TRUE(PingRoundTrip(client, "settings"));
  EXPECT_TRUE(server.Running());
  // Closed by the server before it is killed: under Wine a connection still open at that
  // moment can stay held by the Wine server and keep the port taken for later tests.
  EXPECT_TRUE(Disconnect(client));
}

// Starts a server whose listener cannot be opened: exit code 3 after an empty line and the
// listener error line; nothing listens.
void ExpectListenerFailure(const std::string& settings) {
  ServerProcess server;
  ASSERT_TRUE(server.Start(settings)) << server.error();
  const auto code = server.WaitForExit(10000ms);
  ASSERT_TRUE(code.has_value()) << "server still runs\n" << server.DescribeOutput();
  EXPECT_EQ(*code, 3) << server.DescribeOutput();
  server.WaitForOutputEnd(2000ms);
  const auto lines = server.Lines();
  ExpectBannerAndInitialising(lines);
  ASSERT_EQ(lines.size(), 6u) << server.DescribeOutput();
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(lines[5].rfind(text::kListenerError, 0), 0u) << lines[5];
  EXPECT_TRUE(server.Lines(Stream::Err).empty()) << server.DescribeOutput();
}

TEST(Startup, PrintsBannerThenWaitsForClients) {
  LoopbackServer server;
  ASSERT_TRUE(StartLoopbackServer(server));
  const auto lines = server->Lines();
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "KAVO Ver0.5a");
  EXPECT_EQ(lines[1], "This program is remodeled from LUNDE Ver0.5");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "リスナーを初期化しています...");
  EXPECT_EQ(lines[4], "接続を待っています...");
  EXPECT_TRUE(server->ExpectNoLine([](const std::string&) { return true; }, 200ms,
                                   Stream::Out, 5));
  EXPECT_TRUE(server->Lines(Stream::Err).empty()) << server->DescribeOutput();
  EXPECT_TRUE(server->Running());
}

TEST(Startup, BroadcastAddressAsServerFailsWithExitCode3) {
  ExpectListenerFailure(SettingsText("255.255.255.255", std::to_string(PickFreePort())));
}

TEST(Startup, HostNameAsServerIsNotResolvedAndFailsWithExitCode3) {
  ExpectListenerFailure(SettingsText("localhost", std::to_string(PickFreePort())));
}

TEST(Startup, OverlongServerValueFailsWithExitCode3) {
  ExpectListenerFailure(SettingsText(std::string(300, 'A'), std::to_string(PickFreePort())));
}

TEST(Startup, PortInUseReportsBindFailureAndExitsWith3) {
  int holder = -1;
  std::uint16_t port = 0;
  for (int attempt = 0; attempt < 5 && holder < 0; ++attempt) {
    port = PickFreePort();
    holder = Listen(INADDR_LOOPBACK, port);
  }
  ASSERT_GE(holder, 0);
  ServerProcess server;
  ASSERT_TRUE(server.Start(SettingsText("127.0.0.1", std::to_string(port)))) << server.error();
  const auto code = server.WaitForExit(10000ms);
  ::close(holder);
  ASSERT_TRUE(code.has_value()) << server.DescribeOutput();
  EXPECT_EQ(*code, 3);
  server.WaitForOutputEnd(2000ms);
  const auto errors = server.Lines(Stream::Err);
  ASSERT_EQ(errors.size(), 1u) << server.DescribeOutput();
  EXPECT_EQ(errors[0], "bind() failed: Address already in use (10048)");
  const auto lines = server.Lines();
  ExpectBannerAndInitialising(lines);
  ASSERT_EQ(lines.size(), 6u) << server.DescribeOutput();
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(lines[5], "リスナー初期化時エラー: Address already in use (10048)");
}

// ---- Port text ------------------------------------------------------------------------------

TEST(StartupSettings, PortValueIsCutToNineCharacters) {
  // A nine-digit number whose low 16 bits are a free port, followed by a long run of digits
  // that would overflow any integer if it were not cut.
  const std::uint16_t port = PickFreePort();
  std::uint64_t value = port;
  while (value < 100000000u) value += 65536u;
  ASSERT_LT(value, 1000000000u);
  ExpectServesOn(SettingsText("127.0.0.1", std::to_string(value) + std::string(5000, '9')),
                 port);
}

TEST(StartupSettings, PortAboveSixteenBitsUsesItsLowBits) {
  const std::uint16_t port = PickFreePort();
  ExpectServesOn(SettingsText("127.0.0.1", std::to_string(port + 65536)), port);
}

TEST(StartupSettings, NegativePortUsesItsLowBits) {
  const std::uint16_t port = PickFreePort();
  ExpectServesOn(SettingsText("127.0.0.1", "-" + std::to_string(65536 - port)), port);
}

TEST(StartupSettings, PortTextWithTrailingLettersUsesItsDigits) {
  const std::uint16_t port = PickFreePort();
  ExpectServesOn(SettingsText("127.0.0.1", std::to_string(port) + "abc"), port);
}

TEST(StartupSettings, ElevenNinesGivePort51711) {
  // "99999999999" is cut to 999999999, whose low 16 bits are 51711.
  if (!CanListen(INADDR_LOOPBACK, 51711)) GTEST_SKIP() << "port 51711 is in use here";
  ExpectServesOn(SettingsText("127.0.0.1", "99999999999"), 51711);
}

TEST(StartupSettings, PortWithoutDigitsStillStartsTheServer) {
  // "abc" converts to 0: the system picks a port, which is printed nowhere.
  ServerProcess server;
  ASSERT_TRUE(server.Start(SettingsText("127.0.0.1", "abc"))) << server.error();
  ASSERT_TRUE(server.WaitForLine(Equals(text::kWaiting), 10000ms).has_value())
      << server.DescribeOutput();
  EXPECT_FALSE(server.WaitForExit(300ms).has_value());
}

TEST(StartupSettings, JunkAndLongLinesAroundTheSectionAreIgnored) {
  const std::uint16_t port = PickFreePort();
  std::string settings = "this is not a setting\n;comment\n==\n[\n]\n[Other]\nPort=1\n";
  std::mt19937 random(12345);
  for (int i = 0; i < 2000; ++i) {
    char byte = static_cast<char>(random() % 255 + 1);  // no zero byte
    if (byte == '[' || byte == '=' || byte == '\r') byte = '#';
    settings.push_back(byte);
  }
  settings += "\nVeryLongKey=" + std::string(200000, 'x') + "\n";
  settings += SettingsText("127.0.0.1", std::to_string(port));
  settings += "Unrelated=" + std::string(100000, 'y') + "\n";
  ExpectServesOn(settings, port);
}

// ---- The default port 443 -------------------------------------------------------------------

// Without usable settings the server listens on port 443 of every interface; that can be
// checked only where this process may listen there and the port is free.
void ExpectDefaultPort(const std::optional<std::string>& settings) {
  Port443Lock lock;
  if (!CanListen(INADDR_ANY, 443)) {
    GTEST_SKIP() << "port 443 cannot be opened here (not root, or in use)";
  }
  ExpectServesOn(settings, 443);
}

TEST(StartupDefaults, NoSettingsFileListensOnPort443) { ExpectDefaultPort(std::nullopt); }

TEST(StartupDefaults, EmptySettingsFileListensOnPort443) { ExpectDefaultPort(std::string()); }

TEST(StartupDefaults, BinaryJunkSettingsFileListensOnPort443) {
  std::string junk;
  std::mt19937 random(4242);
  for (int i = 0; i < 4096; ++i) junk.push_back(static_cast<char>(random() % 256));
  junk[0] = 'x';  // no byte-order mark
  ExpectDefaultPort(junk);
}

// ---- Clients that come and go at once -------------------------------------------------------

TEST(Startup, ManyConnectAndCloseInARowLeaveTheServerServing) {
  LoopbackServer server;
  ASSERT_TRUE(StartLoopbackServer(server));
  for (int i = 0; i < 200; ++i) {
    TestClient client;
    ASSERT_TRUE(client.Connect(server.port, 3000ms)) << "connection " << i;
    if (i % 2 == 0) {
      client.Close();
    } else {
      client.Reset();
    }
  }
  TestClient last;
  const int session = ConnectSession(server, last, 15000ms);
  EXPECT_GE(session, 0);
  EXPECT_LT(session, 64);
  EXPECT_TRUE(PingRoundTrip(last, "still here"));
  EXPECT_EQ(last.sequenceErrors(), 0);
  EXPECT_TRUE(server->Running());
  EXPECT_TRUE(server->Lines(Stream::Err).empty()) << server->DescribeOutput();
}

}  // namespace
}  // namespace kavo_test
