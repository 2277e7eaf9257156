// Threads, locks, signals and time on the Windows kernel.
#include "platform/win32/win32_headers.h"

#include <new>

#include "platform/platform.h"

namespace platform {

namespace {

struct ThreadStart {
  ThreadEntry entry;
  void* argument;
};

DWORD WINAPI RunThread(LPVOID parameter) {
  const ThreadStart start = *static_cast<ThreadStart*>(parameter);
  delete static_cast<ThreadStart*>(parameter);
  start.entry(start.argument);
  return 0;
}

// The object that a class keeps in its storage bytes.
template <typename T>
T* Placed(unsigned char* storage) {
  return std::launder(reinterpret_cast<T*>(storage));
}

DWORD Milliseconds(int milliseconds) {
  return milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0;
}

}  // namespace

bool StartThread(ThreadEntry entry, void* argument) {
  auto* start = new (std::nothrow) ThreadStart{entry, argument};
  if (start == nullptr) return false;
  const HANDLE thread = CreateThread(nullptr, 0, RunThread, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  CloseHandle(thread);  // detached: nothing waits for it
  return true;
}

Lock::Lock() {
  static_assert(sizeof(CRITICAL_SECTION) <= sizeof(storage_), "CRITICAL_SECTION must fit");
  static_assert(alignof(CRITICAL_SECTION) <= 8, "CRITICAL_SECTION alignment");
  InitializeCriticalSection(new (storage_) CRITICAL_SECTION);
}

Lock::~Lock() { DeleteCriticalSection(Placed<CRITICAL_SECTION>(storage_)); }

void Lock::Enter() { EnterCriticalSection(Placed<CRITICAL_SECTION>(storage_)); }

void Lock::Leave() { LeaveCriticalSection(Placed<CRITICAL_SECTION>(storage_)); }

// The storage holds the handle of a manual-reset event. Should the event not be had, Raise does
// nothing and WaitFor sleeps its full time, as for a flag that is never raised.
Signal::Signal() {
  static_assert(sizeof(HANDLE) <= sizeof(storage_), "HANDLE must fit");
  new (storage_) HANDLE(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

Signal::~Signal() {
  const HANDLE event = *Placed<HANDLE>(storage_);
  if (event != nullptr) CloseHandle(event);
}

void Signal::Raise() {
  const HANDLE event = *Placed<HANDLE>(storage_);
  if (event != nullptr) SetEvent(event);
}

void Signal::Clear() {
  const HANDLE event = *Placed<HANDLE>(storage_);
  if (event != nullptr) ResetEvent(event);
}

bool Signal::WaitFor(int milliseconds) {
  const HANDLE event = *Placed<HANDLE>(storage_);
  if (event == nullptr) {
    Sleep(Milliseconds(milliseconds));
    return false;
  }
  return WaitForSingleObject(event, Milliseconds(milliseconds)) == WAIT_OBJECT_0;
}

void SleepMs(int milliseconds) { Sleep(Milliseconds(milliseconds)); }

std::uint32_t TickCount() { return GetTickCount(); }

}  // namespace platform
