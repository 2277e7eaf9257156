// Runs the real server executable for a test: in a fresh temporary folder, with its own
// settings file, its standard output and standard error captured line by line.
//
// Environment:
//   KAVO_TEST_SERVER            the executable to run (default: the one this build made);
//   KAVO_TEST_LAUNCHER          a program that starts it, e.g. "wine" (default: run it directly);
//   KAVO_TEST_CONSOLE_ENCODING  the console's byte encoding, e.g. "CP932"; captured bytes are
//                               converted from it to UTF-8 before lines are matched.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kavo_test {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

enum class Stream { Out, Err };

using LineMatcher = std::function<bool(const std::string& line)>;

// A free TCP port on 127.0.0.1 right now: bind port 0, read the port, close.
std::uint16_t PickFreePort();

class ServerProcess {
 public:
  ServerProcess();
  ~ServerProcess();  // kills the process (SIGKILL) if it still runs, removes the folder
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // The executable under test: $KAVO_TEST_SERVER, else the path the build compiled in.
  static std::string ExecutablePath();

  // Copies the executable (same file name) into a fresh temporary folder, writes the settings
  // file beside it (named like the executable with its last three characters replaced by
  // "ini") unless `settings` is empty, and starts it. False, with error(), when it could not
  // be started. May be called once per object.
  bool Start(const std::optional<std::string>& settings);

  pid_t pid() const { return pid_; }
  const std::string& folder() const { return folder_; }
  const std::string& error() const { return error_; }

  // Waits until a line of `stream`, at index `from` or later, contains `text` (or satisfies
  // `matcher`). Returns the line, or nothing when the time runs out (or the stream ended).
  std::optional<std::string> WaitForLine(const std::string& text, Millis timeout,
                                         Stream stream = Stream::Out, std::size_t from = 0);
  std::optional<std::string> WaitForLine(const LineMatcher& matcher, Millis timeout,
                                         Stream stream = Stream::Out, std::size_t from = 0);
  // The same, giving the index of the line found.
  std::optional<std::size_t> WaitForLineIndex(const LineMatcher& matcher, Millis timeout,
                                              Stream stream = Stream::Out,
                                              std::size_t from = 0);
  // True when, for the whole `duration`, no line from index `from` on satisfies `matcher`.
  bool ExpectNoLine(const LineMatcher& matcher, Millis duration, Stream stream = Stream::Out,
                    std::size_t from = 0);

  // Complete lines so far (line ends removed, a trailing carriage return too).
  std::vector<std::string> Lines(Stream stream = Stream::Out) const;
  std::size_t LineCount(Stream stream = Stream::Out) const;
  // Both streams, for failure messages.
  std::string DescribeOutput() const;

  // The exit code once the process has ended (128 + signal number when a signal ended it),
  // or nothing when it still runs after `timeout`.
  std::optional<int> WaitForExit(Millis timeout);
  // Waits until both output streams have ended (after an exit); false on time-out.
  bool WaitForOutputEnd(Millis timeout);
  bool Running();
  void Kill();

 private:
  struct Capture {
    int fd = -1;
    std::string pending;  // bytes after the last line end
    std::vector<std::string> lines;
    bool ended = false;
  };

  void ReadLoop(Stream stream);
  void AddBytes(Capture& capture, const char* bytes, std::size_t count);
  void AddLine(Capture& capture, std::string raw);
  std::string ToUtf8(const std::string& raw) const;
  Capture& CaptureOf(Stream stream) { return stream == Stream::Out ? out_ : err_; }
  const Capture& CaptureOf(Stream stream) const { return stream == Stream::Out ? out_ : err_; }
  void StopReaders();

  std::string folder_;
  std::string error_;
  std::string encoding_;
  pid_t pid_ = -1;
  std::optional<int> exitCode_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Capture out_;
  Capture err_;
  std::atomic<bool> stopReading_{false};
  std::thread outReader_;
  std::thread errReader_;
};

}  // namespace kavo_test
