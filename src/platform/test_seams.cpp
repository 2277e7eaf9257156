#include <atomic>

#include "platform/platform_internal.h"

namespace platform {
namespace {
std::atomic<ConsoleSink> g_consoleSink{nullptr};
std::atomic<int> g_startupFailure{0};
}  // namespace

void SetConsoleSinkForTest(ConsoleSink sink) { g_consoleSink.store(sink); }
void FailSocketStartupForTest(int code) { g_startupFailure.store(code); }

namespace internal {
ConsoleSink CurrentConsoleSink() { return g_consoleSink.load(); }
int ForcedStartupFailure() { return g_startupFailure.load(); }
}  // namespace internal

}  // namespace platform
