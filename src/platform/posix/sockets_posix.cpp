#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include "platform/platform_internal.h"
#include "platform/posix/posix_internal.h"

namespace platform {
namespace {

thread_local int t_lastError = 0;

// One flag per descriptor number; descriptors past the table are treated as always blocked,
// which costs a spurious write event but never loses one.
constexpr int kSendBlockedSlots = 1 << 16;
std::atomic<unsigned char> g_sendBlocked[kSendBlockedSlots];
std::atomic<SocketEvents*> g_eventsBySocket[kSendBlockedSlots];

int MapErrno(int error) {
  switch (error) {
    case 0: return kErrNone;
    case EINTR: return kErrInterrupted;
    case EBADF: return kErrBadHandle;
    case EACCES:
    case EPERM: return kErrAccessDenied;
    case EFAULT: return kErrBadAddress;
    case EINVAL: return kErrInvalidArgument;
    case EMFILE:
    case ENFILE: return kErrTooManySockets;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return kErrWouldBlock;
    case EINPROGRESS: return kErrInProgress;
    case EALREADY: return kErrAlready;
    case ENOTSOCK: return kErrNotSocket;
    case EMSGSIZE: return kErrMessageSize;
    case ENOPROTOOPT: return kErrProtocolOption;
    case EPROTONOSUPPORT: return kErrProtocolNotSupported;
    case EOPNOTSUPP: return kErrNotSupported;
    case EAFNOSUPPORT: return kErrAddressFamily;
    case EADDRINUSE: return kErrAddressInUse;
    case EADDRNOTAVAIL: return kErrAddressNotAvailable;
    case ENETDOWN: return kErrNetworkDown;
    case ENETUNREACH: return kErrNetworkUnreachable;
    case ENETRESET: return kErrNetworkReset;
    case ECONNABORTED: return kErrConnectionAborted;
    case ECONNRESET: return kErrConnectionReset;
    case ENOBUFS:
    case ENOMEM: return kErrNoBuffers;
    case EISCONN: return kErrIsConnected;
    case ENOTCONN: return kErrNotConnected;
    case EPIPE:
    case ESHUTDOWN: return kErrShutdown;
    case ETIMEDOUT: return kErrTimedOut;
    case ECONNREFUSED: return kErrConnectionRefused;
    case ENAMETOOLONG: return kErrNameTooLong;
    case EHOSTUNREACH: return kErrHostUnreachable;
    default: return kErrInvalidArgument;
  }
}

int Fd(SocketHandle socket) { return static_cast<int>(socket); }

// A failure a test armed for this call: the result the call returns, with the last error set.
bool Injected(SocketCall call, int* result, int failed = kSocketFailed) {
  int code = 0;
  if (!internal::TakeInjectedFailure(call, &code)) return false;
  t_lastError = code;
  *result = code == 0 ? 0 : failed;
  return true;
}

}  // namespace

namespace posix {
void SetLastErrorFromErrno(int error) { t_lastError = MapErrno(error); }

void MarkSendBlocked(SocketHandle socket) {
  if (socket < 0 || socket >= kSendBlockedSlots) return;
  if (g_sendBlocked[socket].exchange(1) != 0) return;
  if (SocketEvents* events = g_eventsBySocket[socket].load()) NudgeEvents(events);
}
void RegisterEvents(SocketHandle socket, SocketEvents* events) {
  if (socket >= 0 && socket < kSendBlockedSlots) g_eventsBySocket[socket].store(events);
}
bool TakeSendBlocked(SocketHandle socket) {
  if (socket < 0 || socket >= kSendBlockedSlots) return true;
  return g_sendBlocked[socket].exchange(0) != 0;
}
bool IsSendBlocked(SocketHandle socket) {
  if (socket < 0 || socket >= kSendBlockedSlots) return true;
  return g_sendBlocked[socket].load() != 0;
}
}  // namespace posix

int LastSocketError() { return t_lastError; }
void SetLastSocketError(int code) { t_lastError = code; }

int StartSockets() { return internal::ForcedStartupFailure(); }
void StopSockets() {}

void FormatIPv4(std::uint32_t address, char* out) {
  std::uint32_t host = ntohl(address);
  std::snprintf(out, 16, "%u.%u.%u.%u", (host >> 24) & 0xFFu, (host >> 16) & 0xFFu,
                (host >> 8) & 0xFFu, host & 0xFFu);
}

std::uint16_t HostToNet16(std::uint16_t value) { return htons(value); }
std::uint16_t NetToHost16(std::uint16_t value) { return ntohs(value); }

SocketHandle OpenTcpSocket() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    posix::SetLastErrorFromErrno(errno);
    return kInvalidSocket;
  }
  return fd;
}

int BindSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = port;
  sa.sin_addr.s_addr = address;
  // A restart must not be refused while connections of the previous run linger in TIME_WAIT;
  // a port with a live listener is still refused.
  const int reuse = 1;
  ::setsockopt(Fd(socket), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
  if (::bind(Fd(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    posix::SetLastErrorFromErrno(errno);
    return kSocketFailed;
  }
  return 0;
}

int ListenSocket(SocketHandle socket, int backlog) {
  if (::listen(Fd(socket), backlog) != 0) {
    posix::SetLastErrorFromErrno(errno);
    return kSocketFailed;
  }
  return 0;
}

SocketHandle AcceptSocket(SocketHandle listener, PeerAddress* peer) {
  int injected;
  if (Injected(SocketCall::Accept, &injected)) return kInvalidSocket;
  for (;;) {
    sockaddr_in sa{};
    socklen_t length = sizeof sa;
    int fd = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&sa), &length, SOCK_CLOEXEC);
    if (fd >= 0) {
      if (peer != nullptr) {
        peer->address = sa.sin_addr.s_addr;
        peer->port = sa.sin_port;
      }
      posix::TakeSendBlocked(fd);
      return fd;
    }
    // A signal or a connection that died in the backlog is not a failure of the listener.
    if (errno == EINTR || errno == ECONNABORTED) continue;
    posix::SetLastErrorFromErrno(errno);
    return kInvalidSocket;
  }
}

int SetNoDelay(SocketHandle socket, int value) {
  int injected;
  if (Injected(SocketCall::SetNoDelay, &injected)) return kSocketFailed;
  if (::setsockopt(Fd(socket), IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) {
    posix::SetLastErrorFromErrno(errno);
    return kSocketFailed;
  }
  return 0;
}

int ReceiveSocket(SocketHandle socket, void* buffer, int length) {
  int injected;
  if (Injected(SocketCall::Receive, &injected)) return injected;
  for (;;) {
    ssize_t n = ::recv(Fd(socket), buffer, static_cast<std::size_t>(length), 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    posix::SetLastErrorFromErrno(errno);
    return kSocketFailed;
  }
}

int SendSocket(SocketHandle socket, const void* buffer, int length) {
  int injected;
  if (Injected(SocketCall::Send, &injected)) return injected;
  for (;;) {
    ssize_t n = ::send(Fd(socket), buffer, static_cast<std::size_t>(length), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) posix::MarkSendBlocked(socket);
    posix::SetLastErrorFromErrno(errno);
    return kSocketFailed;
  }
}

void ShutdownSending(SocketHandle socket) { ::shutdown(Fd(socket), SHUT_WR); }
void CloseSocket(SocketHandle socket) { ::close(Fd(socket)); }

}  // namespace platform
