#include "support/console_capture.h"

#include <cstdlib>
#include <mutex>

namespace kavo_test {
namespace {

struct Captured {
  std::mutex mutex;
  std::vector<std::string> lines[2];
  std::string partial[2];
  bool active = false;
};

Captured& State() {
  static Captured state;
  return state;
}

int Index(platform::ConsoleStream stream) {
  return stream == platform::ConsoleStream::Err ? 1 : 0;
}

void Collect(platform::ConsoleStream stream, const char* bytes, std::size_t length) {
  Captured& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  const int i = Index(stream);
  for (std::size_t k = 0; k < length; ++k) {
    if (bytes[k] == '\n') {
      state.lines[i].push_back(state.partial[i]);
      state.partial[i].clear();
    } else {
      state.partial[i].push_back(bytes[k]);
    }
  }
}

}  // namespace

ConsoleCapture::ConsoleCapture() {
  Captured& state = State();
  {
    std::lock_guard<std::mutex> guard(state.mutex);
    // Two captures at once would steal each other's lines and restore the console too early.
    if (state.active) std::abort();
    state.active = true;
  }
  Clear();
  platform::SetConsoleSinkForTest(&Collect);
}

ConsoleCapture::~ConsoleCapture() {
  platform::SetConsoleSinkForTest(nullptr);
  Captured& state = State();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.active = false;
}

std::vector<std::string> ConsoleCapture::OutLines() const {
  std::lock_guard<std::mutex> guard(State().mutex);
  return State().lines[0];
}

std::vector<std::string> ConsoleCapture::ErrLines() const {
  std::lock_guard<std::mutex> guard(State().mutex);
  return State().lines[1];
}

std::string ConsoleCapture::OutPartial() const {
  std::lock_guard<std::mutex> guard(State().mutex);
  return State().partial[0];
}

std::string ConsoleCapture::ErrPartial() const {
  std::lock_guard<std::mutex> guard(State().mutex);
  return State().partial[1];
}

void ConsoleCapture::Clear() {
  std::lock_guard<std::mutex> guard(State().mutex);
  for (int i = 0; i < 2; ++i) {
    State().lines[i].clear();
    State().partial[i].clear();
  }
}

}  // namespace kavo_test
