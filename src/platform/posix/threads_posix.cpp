#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

#include "platform/platform.h"

namespace platform {
namespace {

struct ThreadStart {
  ThreadEntry entry;
  void* argument;
};

void* RunThread(void* raw) {
  ThreadStart start = *static_cast<ThreadStart*>(raw);
  delete static_cast<ThreadStart*>(raw);
  start.entry(start.argument);
  return nullptr;
}

struct SignalState {
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  bool raised;
};

pthread_mutex_t* AsMutex(unsigned char* storage) {
  return reinterpret_cast<pthread_mutex_t*>(storage);
}
SignalState* AsSignal(unsigned char* storage) { return reinterpret_cast<SignalState*>(storage); }

}  // namespace

bool StartThread(ThreadEntry entry, void* argument) {
  auto* start = new (std::nothrow) ThreadStart{entry, argument};
  if (start == nullptr) return false;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int result = pthread_create(&thread, &attributes, RunThread, start);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete start;
    return false;
  }
  return true;
}

Lock::Lock() {
  static_assert(sizeof(pthread_mutex_t) <= sizeof(storage_), "lock storage too small");
  pthread_mutex_init(AsMutex(storage_), nullptr);
}
Lock::~Lock() { pthread_mutex_destroy(AsMutex(storage_)); }
void Lock::Enter() { pthread_mutex_lock(AsMutex(storage_)); }
void Lock::Leave() { pthread_mutex_unlock(AsMutex(storage_)); }

Signal::Signal() {
  static_assert(sizeof(SignalState) <= sizeof(storage_), "signal storage too small");
  SignalState* s = new (storage_) SignalState;
  pthread_mutex_init(&s->mutex, nullptr);
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&s->cond, &attributes);
  pthread_condattr_destroy(&attributes);
  s->raised = false;
}
Signal::~Signal() {
  SignalState* s = AsSignal(storage_);
  pthread_cond_destroy(&s->cond);
  pthread_mutex_destroy(&s->mutex);
}
void Signal::Raise() {
  SignalState* s = AsSignal(storage_);
  pthread_mutex_lock(&s->mutex);
  s->raised = true;
  pthread_cond_broadcast(&s->cond);
  pthread_mutex_unlock(&s->mutex);
}
void Signal::Clear() {
  SignalState* s = AsSignal(storage_);
  pthread_mutex_lock(&s->mutex);
  s->raised = false;
  pthread_mutex_unlock(&s->mutex);
}
bool Signal::WaitFor(int milliseconds) {
  SignalState* s = AsSignal(storage_);
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  pthread_mutex_lock(&s->mutex);
  while (!s->raised) {
    if (pthread_cond_timedwait(&s->cond, &s->mutex, &deadline) == ETIMEDOUT) break;
  }
  bool raised = s->raised;
  pthread_mutex_unlock(&s->mutex);
  return raised;
}

void SleepMs(int milliseconds) {
  timespec pause{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

std::uint32_t TickCount() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                                    static_cast<std::uint64_t>(now.tv_nsec) / 1000000u);
}

}  // namespace platform
