#include "integration/server_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <iconv.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char** environ;

namespace kavo_test {

namespace fs = std::filesystem;

std::uint16_t PickFreePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  std::uint16_t port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
    socklen_t length = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
  }
  ::close(fd);
  return port;
}

ServerProcess::ServerProcess() {
  const char* encoding = std::getenv("KAVO_TEST_CONSOLE_ENCODING");
  if (encoding != nullptr && *encoding != '\0') encoding_ = encoding;
}

ServerProcess::~ServerProcess() {
  Kill();
  StopReaders();
  if (!folder_.empty()) {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }
}

std::string ServerProcess::ExecutablePath() {
  const char* path = std::getenv("KAVO_TEST_SERVER");
  if (path != nullptr && *path != '\0') return path;
#ifdef KAVO_DEFAULT_SERVER_PATH
  return KAVO_DEFAULT_SERVER_PATH;
#else
  return "kavo.srv";
#endif
}

bool ServerProcess::Start(const std::optional<std::string>& settings) {
  if (pid_ > 0 || !folder_.empty()) {
    error_ = "Start called twice";
    return false;
  }
  const fs::path source = ExecutablePath();
  std::error_code ec;
  if (!fs::is_regular_file(source, ec)) {
    error_ = "server executable not found: " + source.string();
    return false;
  }

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                        "/kavo-it-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    error_ = std::string("mkdtemp failed: ") + std::strerror(errno);
    return false;
  }
  folder_ = buffer.data();

  const std::string name = source.filename().string();
  const fs::path executable = fs::path(folder_) / name;
  if (!fs::copy_file(source, executable, ec)) {
    error_ = "copy failed: " + ec.message();
    return false;
  }
  fs::permissions(executable, fs::status(source).permissions() | fs::perms::owner_exec, ec);
  // A Windows build may come with libraries beside it.
  for (const auto& entry : fs::directory_iterator(source.parent_path(), ec)) {
    if (entry.path().extension() == ".dll") {
      fs::copy_file(entry.path(), fs::path(folder_) / entry.path().filename(), ec);
    }
  }

  if (settings.has_value()) {
    std::string iniName = name.size() >= 3 ? name.substr(0, name.size() - 3) + "ini" : "ini";
    std::ofstream ini(fs::path(folder_) / iniName, std::ios::binary);
    ini.write(settings->data(), static_cast<std::streamsize>(settings->size()));
    if (!ini) {
      error_ = "cannot write the settings file";
      return false;
    }
  }

  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return false;
  }
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    error_ = "pipe failed";
    return false;
  }

  std::vector<std::string> arguments;
  const char* launcher = std::getenv("KAVO_TEST_LAUNCHER");
  const bool launched = launcher != nullptr && *launcher != '\0';
  if (launched) arguments.emplace_back(launcher);
  arguments.push_back(executable.string());
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  std::vector<std::string> environment;
  bool hasWineDebug = false;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    environment.emplace_back(*entry);
    if (std::strncmp(*entry, "WINEDEBUG=", 10) == 0) hasWineDebug = true;
  }
  if (launched && !hasWineDebug) environment.emplace_back("WINEDEBUG=-all");
  std::vector<char*> envp;
  for (auto& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
  posix_spawn_file_actions_addchdir_np(&actions, folder_.c_str());
#endif
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group, so that a launcher's children go with it; default signals.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                            POSIX_SPAWN_SETSIGMASK);

  pid_t child = -1;
  const int rc = ::posix_spawnp(&child, argv[0], &actions, &attributes, argv.data(),
                                envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  if (rc != 0) {
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    error_ = std::string("posix_spawn failed: ") + std::strerror(rc);
    return false;
  }
  pid_ = child;
  out_.fd = outPipe[0];
  err_.fd = errPipe[0];
  outReader_ = std::thread([this] { ReadLoop(Stream::Out); });
  errReader_ = std::thread([this] { ReadLoop(Stream::Err); });
  return true;
}

void ServerProcess::ReadLoop(Stream stream) {
  Capture& capture = CaptureOf(stream);
  char chunk[4096];
  while (true) {
    pollfd entry{capture.fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, 50);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) {
      if (stopReading_.load()) break;
      continue;
    }
    const ssize_t count = ::read(capture.fd, chunk, sizeof(chunk));
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count <= 0) break;
    std::lock_guard<std::mutex> lock(mutex_);
    AddBytes(capture, chunk, static_cast<std::size_t>(count));
    changed_.notify_all();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (!capture.pending.empty()) {
    AddLine(capture, capture.pending);
    capture.pending.clear();
  }
  capture.ended = true;
  changed_.notify_all();
}

void ServerProcess::AddBytes(Capture& capture, const char* bytes, std::size_t count) {
  capture.pending.append(bytes, count);
  std::size_t start = 0;
  while (true) {
    const std::size_t end = capture.pending.find('\n', start);
    if (end == std::string::npos) break;
    AddLine(capture, capture.pending.substr(start, end - start));
    start = end + 1;
  }
  capture.pending.erase(0, start);
}

void ServerProcess::AddLine(Capture& capture, std::string raw) {
  if (!raw.empty() && raw.back() == '\r') raw.pop_back();
  capture.lines.push_back(ToUtf8(raw));
}

std::string ServerProcess::ToUtf8(const std::string& raw) const {
  if (encoding_.empty() || raw.empty()) return raw;
  iconv_t converter = ::iconv_open("UTF-8", encoding_.c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) return raw;
  std::string result;
  std::vector<char> input(raw.begin(), raw.end());
  char* in = input.data();
  std::size_t inLeft = input.size();
  std::vector<char> output(raw.size() * 4 + 16);
  while (inLeft > 0) {
    char* out = output.data();
    std::size_t outLeft = output.size();
    const std::size_t done = ::iconv(converter, &in, &inLeft, &out, &outLeft);
    result.append(output.data(), output.size() - outLeft);
    if (done == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      // Not valid in that encoding (for example a client's own bytes): keep the byte as it is.
      result.push_back(*in);
      ++in;
      --inLeft;
    }
  }
  ::iconv_close(converter);
  return result;
}

std::optional<std::string> ServerProcess::WaitForLine(const std::string& text, Millis timeout,
                                                      Stream stream, std::size_t from) {
  return WaitForLine([&text](const std::string& line) { return line.find(text) != std::string::npos; },
                     timeout, stream, from);
}

std::optional<std::string> ServerProcess::WaitForLine(const LineMatcher& matcher,
                                                      Millis timeout, Stream stream,
                                                      std::size_t from) {
  const auto index = WaitForLineIndex(matcher, timeout, stream, from);
  if (!index.has_value()) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  return CaptureOf(stream).lines[*index];
}

std::optional<std::size_t> ServerProcess::WaitForLineIndex(const LineMatcher& matcher,
                                                           Millis timeout, Stream stream,
                                                           std::size_t from) {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  const Capture& capture = CaptureOf(stream);
  std::size_t next = from;
  while (true) {
    for (; next < capture.lines.size(); ++next) {
      if (matcher(capture.lines[next])) return next;
    }
    if (capture.ended) return std::nullopt;
    if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; next < capture.lines.size(); ++next) {
        if (matcher(capture.lines[next])) return next;
      }
      return std::nullopt;
    }
  }
}

bool ServerProcess::ExpectNoLine(const LineMatcher& matcher, Millis duration, Stream stream,
                                 std::size_t from) {
  return !WaitForLineIndex(matcher, duration, stream, from).has_value();
}

std::vector<std::string> ServerProcess::Lines(Stream stream) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return CaptureOf(stream).lines;
}

std::size_t ServerProcess::LineCount(Stream stream) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return CaptureOf(stream).lines.size();
}

std::string ServerProcess::DescribeOutput() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream text;
  text << "--- server stdout (" << out_.lines.size() << " lines) ---\n";
  const std::size_t maxLines = 200;
  std::size_t first = out_.lines.size() > maxLines ? out_.lines.size() - maxLines : 0;
  if (first > 0) text << "[... " << first << " earlier lines ...]\n";
  for (std::size_t i = first; i < out_.lines.size(); ++i) text << out_.lines[i] << '\n';
  if (!out_.pending.empty()) text << out_.pending << "[no line end]\n";
  text << "--- server stderr (" << err_.lines.size() << " lines) ---\n";
  for (const auto& line : err_.lines) text << line << '\n';
  if (!err_.pending.empty()) text << err_.pending << "[no line end]\n";
  return text.str();
}

std::optional<int> ServerProcess::WaitForExit(Millis timeout) {
  if (exitCode_.has_value()) return exitCode_;
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = Clock::now() + timeout;
  while (true) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      if (WIFEXITED(status)) {
        exitCode_ = WEXITSTATUS(status);
      } else if (WIFSIGNALED(status)) {
        exitCode_ = 128 + WTERMSIG(status);
      } else {
        continue;
      }
      return exitCode_;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(Millis(5));
  }
}

bool ServerProcess::WaitForOutputEnd(Millis timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return out_.ended && err_.ended; });
}

bool ServerProcess::Running() { return pid_ > 0 && !WaitForExit(Millis(0)).has_value(); }

void ServerProcess::Kill() {
  if (pid_ <= 0 || exitCode_.has_value()) return;
  // The process and, when a launcher started it, that launcher's group (the same id).
  ::kill(-pid_, SIGKILL);
  ::kill(pid_, SIGKILL);
  WaitForExit(Millis(10000));
}

void ServerProcess::StopReaders() {
  // Give the readers a moment to reach the end of the streams, then stop them even if some
  // other process still holds the pipes open.
  const auto deadline = Clock::now() + Millis(1000);
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, deadline, [this] {
      return (out_.fd < 0 || out_.ended) && (err_.fd < 0 || err_.ended);
    });
  }
  stopReading_ = true;
  if (outReader_.joinable()) outReader_.join();
  if (errReader_.joinable()) errReader_.join();
  if (out_.fd >= 0) ::close(out_.fd);
  if (err_.fd >= 0) ::close(err_.fd);
  out_.fd = -1;
  err_.fd = -1;
}

}  // namespace kavo_test
