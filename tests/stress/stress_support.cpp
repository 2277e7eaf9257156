#include "stress/stress_support.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace kavo_test::stress {

#if defined(__SANITIZE_ADDRESS__)
#define KAVO_STRESS_SANITIZER "address"
#elif defined(__SANITIZE_THREAD__)
#define KAVO_STRESS_SANITIZER "thread"
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVO_STRESS_SANITIZER "address"
#elif __has_feature(thread_sanitizer)
#define KAVO_STRESS_SANITIZER "thread"
#endif
#endif

bool SanitizedBuild() {
#ifdef KAVO_STRESS_SANITIZER
  return true;
#else
  return false;
#endif
}

const char* BuildKind() {
#ifdef KAVO_STRESS_SANITIZER
  return KAVO_STRESS_SANITIZER;
#else
  return "plain";
#endif
}

double Scale() {
  static const double scale = [] {
    const char* text = std::getenv("KAVO_STRESS_SCALE");
    if (text != nullptr && *text != '\0') {
      char* end = nullptr;
      const double value = std::strtod(text, &end);
      if (end != text && value > 0.0) return std::min(value, 1.0);
    }
    // A sanitizer slows both sides several times over; half the run keeps the suite's time
    // in bounds while every assertion stays as it is.
    return SanitizedBuild() ? 0.5 : 1.0;
  }();
  return scale;
}

std::chrono::milliseconds Scaled(std::chrono::milliseconds base,
                                 std::chrono::milliseconds floor) {
  const auto scaled = std::chrono::milliseconds(
      static_cast<long long>(static_cast<double>(base.count()) * Scale()));
  return std::max(scaled, floor);
}

int ScaledCount(int base, int floor) {
  return std::max(static_cast<int>(static_cast<double>(base) * Scale()), floor);
}

ProcessFigures ReadProcessFigures(pid_t pid) {
  ProcessFigures figures;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) figures.rssKiB = std::atol(line.c_str() + 6);
    if (line.rfind("VmHWM:", 0) == 0) figures.hwmKiB = std::atol(line.c_str() + 6);
    if (line.rfind("Threads:", 0) == 0) figures.threads = std::atoi(line.c_str() + 8);
  }
  return figures;
}

DescriptorFigures ReadDescriptorFigures(pid_t pid) {
  DescriptorFigures figures;
  const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return figures;
  figures.total = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    char target[256];
    const std::string path = folder + "/" + entry->d_name;
    const ssize_t length = ::readlink(path.c_str(), target, sizeof(target) - 1);
    if (length < 0) continue;  // closed while we looked
    target[length] = '\0';
    ++figures.total;
    const std::string link(target);
    if (link.rfind("socket:", 0) == 0) {
      ++figures.sockets;
    } else if (link == "anon_inode:[eventfd]") {
      ++figures.eventfds;
    } else {
      ++figures.others;
    }
  }
  ::closedir(dir);
  return figures;
}

bool ProcFiguresAvailable(ServerProcess& server) {
  const char* launcher = std::getenv("KAVO_TEST_LAUNCHER");
  if (launcher != nullptr && *launcher != '\0') return false;
  return ReadProcessFigures(server.pid()).threads > 0;
}

int ServedIdleThreads(LoopbackServer& server) {
  const int started = ReadProcessFigures(server->pid()).threads;
  {
    TestClient client;
    if (ConnectSession(server, client) < 0) return -1;
    if (!PingRoundTrip(client, "warm-up") || !Disconnect(client)) return -1;
  }
  // Settled: the same count for a while.
  int last = -1;
  int same = 0;
  const auto deadline = Clock::now() + 10000ms;
  while (same < 10 && Clock::now() < deadline) {
    const int now = ReadProcessFigures(server->pid()).threads;
    same = now == last ? same + 1 : 0;
    last = now;
    std::this_thread::sleep_for(50ms);
  }
  if (same < 10) return -1;
  const int runtimeThreads = SanitizedBuild() ? 1 : 0;
  if (last < started || last > started + runtimeThreads) return -1;
  return last;
}

Mac StationOf(int role, int index) {
  return {0x02, 0x4B, 0x53, static_cast<std::uint8_t>(role),
          static_cast<std::uint8_t>((index >> 8) & 0xFF), static_cast<std::uint8_t>(index & 0xFF)};
}

Mac MacAt(const Bytes& payload, std::size_t offset) {
  Mac mac{};
  for (std::size_t i = 0; i < mac.size() && offset + i < payload.size(); ++i) {
    mac[i] = payload[offset + i];
  }
  return mac;
}

bool Tag::operator<(const Tag& other) const {
  if (sender != other.sender) return sender < other.sender;
  if (connection != other.connection) return connection < other.connection;
  return counter < other.counter;
}

namespace {

char FillAt(const Tag& tag, int index) {
  const int value = index * 7 + tag.counter * 13 + tag.sender * 3 + tag.connection * 5;
  return static_cast<char>('a' + value % 26);
}

bool ReadDigits(const std::uint8_t* bytes, int count, int& value) {
  value = 0;
  for (int i = 0; i < count; ++i) {
    if (bytes[i] < '0' || bytes[i] > '9') return false;
    value = value * 10 + (bytes[i] - '0');
  }
  return true;
}

}  // namespace

std::string Body(const Tag& tag, int length) {
  char head[64];
  std::snprintf(head, sizeof(head), "K%03u.%05u.%06u.%04u.",
                static_cast<unsigned>(tag.sender) % 1000u,
                static_cast<unsigned>(tag.connection) % 100000u,
                static_cast<unsigned>(tag.counter) % 1000000u,
                static_cast<unsigned>(length) % 10000u);
  std::string body(head);
  for (int i = kBodyHeaderBytes; i < length; ++i) body.push_back(FillAt(tag, i));
  return body;
}

std::optional<Tag> ParseBody(const std::uint8_t* bytes, std::size_t count) {
  if (count < static_cast<std::size_t>(kBodyHeaderBytes) || bytes[0] != 'K') return std::nullopt;
  Tag tag;
  int length = 0;
  if (!ReadDigits(bytes + 1, 3, tag.sender) || bytes[4] != '.' ||
      !ReadDigits(bytes + 5, 5, tag.connection) || bytes[10] != '.' ||
      !ReadDigits(bytes + 11, 6, tag.counter) || bytes[17] != '.' ||
      !ReadDigits(bytes + 18, 4, length) || bytes[22] != '.') {
    return std::nullopt;
  }
  if (static_cast<std::size_t>(length) != count) return std::nullopt;
  for (int i = kBodyHeaderBytes; i < length; ++i) {
    if (bytes[i] != static_cast<std::uint8_t>(FillAt(tag, i))) return std::nullopt;
  }
  return tag;
}

Bytes TunnelPayload(const Mac& destination, const Mac& source, const std::string& body) {
  Bytes payload(destination.begin(), destination.end());
  payload.insert(payload.end(), source.begin(), source.end());
  payload.insert(payload.end(), body.begin(), body.end());
  return payload;
}

int BodyLengthFor(const Tag& tag, int largest) {
  const int spread = (tag.counter * 37 + tag.sender * 11 + tag.connection * 3) % 400;
  if (tag.counter % 29 == 7) return std::min(largest, 2000 + spread * 5);
  return std::min(largest, kBodyHeaderBytes + spread);
}

std::vector<std::pair<std::uint16_t, int>> AcceptedClients(const std::vector<std::string>& lines,
                                                           std::size_t from) {
  std::vector<std::pair<std::uint16_t, int>> accepted;
  // The accept loop prints a session's two lines one after the other; other threads' lines
  // may come between them, never another session's.
  int session = -1;
  const std::string prefix = text::kClientPrefix + "127.0.0.1:";
  for (std::size_t i = from; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.rfind(text::kSessionPrefix, 0) == 0) {
      session = std::atoi(line.c_str() + text::kSessionPrefix.size());
    } else if (line.rfind(prefix, 0) == 0 && session >= 0) {
      accepted.emplace_back(static_cast<std::uint16_t>(std::atoi(line.c_str() + prefix.size())),
                            session);
      session = -1;
    }
  }
  return accepted;
}

bool IsConnectionLine(const std::string& line) {
  return line == text::kWaiting || line.rfind(text::kSessionPrefix, 0) == 0 ||
         line.rfind(text::kClientPrefix, 0) == 0;
}

std::optional<std::pair<int, int>> ParseForwardFailure(const std::string& line) {
  int sender = -1;
  int target = -1;
  int bytes = -1;
  if (std::sscanf(line.c_str(), "%d → %d に転送失敗。切断されたかも。 (%dバイト)", &sender, &target,
                  &bytes) != 3) {
    return std::nullopt;
  }
  if (line != text::ForwardFailedLine(sender, target, bytes)) return std::nullopt;
  return std::make_pair(sender, target);
}

std::optional<int> ParseDisconnectLine(const std::string& line) {
  int session = -1;
  char rest[64] = {};
  if (std::sscanf(line.c_str(), "%d:%63s", &session, rest) != 2) return std::nullopt;
  for (const bool socketError : {false, true}) {
    if (line == text::ReceiveErrorLine(session, socketError) ||
        line == text::SendErrorLine(session, socketError)) {
      return session;
    }
  }
  return std::nullopt;
}

void Figures::Add(const std::string& key, const std::string& value) {
  values_.emplace_back(key, value);
}

void Figures::Publish() const {
  std::ostringstream line;
  line << "[stress] " << test_ << " build=" << BuildKind() << " scale=" << Scale();
  for (const auto& [key, value] : values_) {
    testing::Test::RecordProperty(key, value);
    line << ' ' << key << '=' << value;
  }
  testing::Test::RecordProperty("build", BuildKind());
  std::cout << line.str() << std::endl;
}

}  // namespace kavo_test::stress
