// Shared pieces of the fault and load tests: how long to run, what the server process costs
// (from /proc), tagged payloads that prove a frame arrived whole and from whom, and the
// figures each test publishes.
//
// Environment:
//   KAVO_STRESS_SCALE   a fraction (0 < s <= 1) by which durations and loop counts shrink;
//                       the default is 1, or 0.5 in a sanitizer build. Assertions never change.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "integration/test_support.h"

namespace kavo_test::stress {

// ---------------------------------------------------------------------------------------------
// Run length.

double Scale();
std::chrono::milliseconds Scaled(std::chrono::milliseconds base, std::chrono::milliseconds floor);
int ScaledCount(int base, int floor);
// True when this program, and so the server built with it, runs under a sanitizer.
bool SanitizedBuild();
const char* BuildKind();  // "plain", "address" or "thread"

// ---------------------------------------------------------------------------------------------
// What the server process holds, from /proc/<pid>. Negative values: not known (no /proc, or
// the server runs behind a launcher).

struct ProcessFigures {
  long rssKiB = -1;  // VmRSS
  long hwmKiB = -1;  // VmHWM, the peak of VmRSS
  int threads = -1;
};
ProcessFigures ReadProcessFigures(pid_t pid);

struct DescriptorFigures {
  int total = -1;
  int sockets = 0;
  int eventfds = 0;
  int others = 0;
};
DescriptorFigures ReadDescriptorFigures(pid_t pid);
bool ProcFiguresAvailable(ServerProcess& server);
// The server's thread count once it has served one client and is idle again: the count all
// later waits compare with. A sanitizer runtime may start one thread of its own on the first
// thread the server starts; beyond that, it must equal the count right after start-up.
int ServedIdleThreads(LoopbackServer& server);

// ---------------------------------------------------------------------------------------------
// Station addresses and tagged payloads.

using Mac = std::array<std::uint8_t, 6>;
inline constexpr Mac kBroadcastMac = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
// A locally administered address per test role and index; no two roles share one.
Mac StationOf(int role, int index);
Mac MacAt(const Bytes& payload, std::size_t offset);

// A body names its sender, the sender's connection and the sender's counter, states its own
// length and fills the rest with bytes that depend on all of these, so that any cut, shift or
// mix-up of frames shows. It is printable ASCII without '<', so it never holds the end marker
// and a chat line shows it whole.
constexpr int kBodyHeaderBytes = 23;
struct Tag {
  int sender = 0;
  int connection = 0;
  int counter = 0;
  bool operator<(const Tag& other) const;
};
std::string Body(const Tag& tag, int length);
// The tag of a whole, unchanged body, or nothing.
std::optional<Tag> ParseBody(const std::uint8_t* bytes, std::size_t count);
Bytes TunnelPayload(const Mac& destination, const Mac& source, const std::string& body);
// A varied body length: mostly short, now and then near the largest payload.
int BodyLengthFor(const Tag& tag, int largest);

// ---------------------------------------------------------------------------------------------
// Console.

// The accept lines from `from` on: client port -> session number, in the order of accepting.
std::vector<std::pair<std::uint16_t, int>> AcceptedClients(const std::vector<std::string>& lines,
                                                           std::size_t from = 0);
bool IsConnectionLine(const std::string& line);  // session, client and waiting lines
// "S → T に転送失敗。..." as (sender, target); nothing for other lines.
std::optional<std::pair<int, int>> ParseForwardFailure(const std::string& line);
// "N:受信時エラー切断しました(...)" or "N:送信時エラー切断しました(...)": N.
std::optional<int> ParseDisconnectLine(const std::string& line);

// ---------------------------------------------------------------------------------------------
// Figures: each goes to the test's XML properties and into one plain stdout line.

class Figures {
 public:
  explicit Figures(std::string test) : test_(std::move(test)) {}
  void Add(const std::string& key, const std::string& value);
  void Add(const std::string& key, long long value) { Add(key, std::to_string(value)); }
  void Add(const std::string& key, int value) { Add(key, std::to_string(value)); }
  void Add(const std::string& key, long value) { Add(key, std::to_string(value)); }
  void Add(const std::string& key, std::size_t value) { Add(key, std::to_string(value)); }
  void Publish() const;

 private:
  std::string test_;
  std::vector<std::pair<std::string, std::string>> values_;
};

}  // namespace kavo_test::stress
