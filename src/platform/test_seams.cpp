#include <atomic>

#include "platform/platform_internal.h"

namespace platform {
namespace {
std::atomic<ConsoleSink> g_consoleSink{nullptr};
std::atomic<int> g_startupFailure{0};

constexpr int kCalls = static_cast<int>(SocketCall::Count);
std::atomic<int> g_failuresLeft[kCalls];
std::atomic<int> g_failureCode[kCalls];
// Set while any failure is armed, so that a normal run pays one relaxed load per call.
std::atomic<bool> g_anyFailureArmed{false};
}  // namespace

void SetConsoleSinkForTest(ConsoleSink sink) { g_consoleSink.store(sink); }
void FailSocketStartupForTest(int code) { g_startupFailure.store(code); }

void FailSocketCallForTest(SocketCall call, int code, int count) {
  const int index = static_cast<int>(call);
  g_failureCode[index].store(code);
  g_failuresLeft[index].store(count);
  g_anyFailureArmed.store(true);
}

namespace internal {
ConsoleSink CurrentConsoleSink() { return g_consoleSink.load(); }
int ForcedStartupFailure() { return g_startupFailure.load(); }

bool TakeInjectedFailure(SocketCall call, int* code) {
  if (!g_anyFailureArmed.load(std::memory_order_relaxed)) return false;
  const int index = static_cast<int>(call);
  int left = g_failuresLeft[index].load();
  while (left > 0) {
    if (g_failuresLeft[index].compare_exchange_weak(left, left - 1)) {
      *code = g_failureCode[index].load();
      return true;
    }
  }
  return false;
}
}  // namespace internal

}  // namespace platform
