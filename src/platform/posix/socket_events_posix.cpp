// Socket events on poll(2), shaped like the event-object model the session workers are
// written for: read is reported while data remains, write once after attaching and once after
// a send met a full buffer, close when the peer has ended the stream and nothing is unread.
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "platform/platform_internal.h"
#include "platform/posix/posix_internal.h"

namespace platform {

struct SocketEvents {
  int wakeFd = -1;
  SocketHandle socket = kInvalidSocket;
  int recorded = 0;
  std::atomic<int> wakeRequested{0};
};

namespace {

void DrainWakeFd(int fd) {
  std::uint64_t count;
  while (::read(fd, &count, sizeof count) > 0) {
  }
}

void PostWake(int fd) {
  std::uint64_t one = 1;
  ssize_t ignored = ::write(fd, &one, sizeof one);
  (void)ignored;
}

}  // namespace

namespace posix {
void NudgeEvents(SocketEvents* events) { PostWake(events->wakeFd); }
}  // namespace posix

SocketEvents* CreateSocketEvents() {
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    posix::SetLastErrorFromErrno(errno);
    return nullptr;
  }
  auto* events = new SocketEvents;
  events->wakeFd = fd;
  return events;
}

int AttachSocketEvents(SocketEvents* events, SocketHandle socket) {
  int fd = static_cast<int>(socket);
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    posix::SetLastErrorFromErrno(errno);
    return kSocketFailed;
  }
  DrainWakeFd(events->wakeFd);
  events->wakeRequested.store(0);
  events->socket = socket;
  events->recorded = kEventWrite;  // a connected socket can take data from the start
  posix::TakeSendBlocked(socket);
  posix::RegisterEvents(socket, events);
  return 0;
}

bool WaitSocketEvents(SocketEvents* events) {
  const int fd = static_cast<int>(events->socket);
  for (;;) {
    if (events->wakeRequested.exchange(0) != 0) return true;
    pollfd watch[2] = {};
    watch[0].fd = fd;
    watch[0].events = POLLIN | POLLRDHUP;
    if (posix::IsSendBlocked(events->socket)) watch[0].events |= POLLOUT;
    watch[1].fd = events->wakeFd;
    watch[1].events = POLLIN;
    int ready = ::poll(watch, 2, events->recorded != 0 ? 0 : -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      posix::SetLastErrorFromErrno(errno);
      return false;
    }
    if (watch[1].revents != 0) DrainWakeFd(events->wakeFd);
    short got = watch[0].revents;
    if ((got & POLLOUT) != 0 && posix::TakeSendBlocked(events->socket)) {
      events->recorded |= kEventWrite;
    }
    if ((got & POLLERR) != 0) {
      events->recorded |= kEventClose;
    } else if ((got & (POLLHUP | POLLRDHUP)) != 0) {
      // The peer's end of stream counts as a close only once everything before it is read.
      int unread = 0;
      if (::ioctl(fd, FIONREAD, &unread) == 0 && unread > 0) {
        events->recorded |= kEventRead;
      } else {
        events->recorded |= kEventClose;
      }
    } else if ((got & POLLIN) != 0) {
      events->recorded |= kEventRead;
    }
    if ((got & POLLNVAL) != 0) {
      posix::SetLastErrorFromErrno(EBADF);
      return false;
    }
    if (events->recorded != 0) return true;
  }
}

int TakeSocketEvents(SocketEvents* events) {
  int code = 0;
  if (internal::TakeInjectedFailure(SocketCall::TakeEvents, &code)) {
    SetLastSocketError(code);
    return kSocketFailed;
  }
  int taken = events->recorded;
  events->recorded = 0;
  return taken;
}

void WakeSocketEvents(SocketEvents* events) {
  events->wakeRequested.store(1);
  PostWake(events->wakeFd);
}

void DetachSocketEvents(SocketEvents* events) {
  posix::RegisterEvents(events->socket, nullptr);
  events->socket = kInvalidSocket;
  events->recorded = 0;
}

}  // namespace platform
