#include "support/local_socket_pair.h"

#if __has_include(<sys/socket.h>) && __has_include(<fcntl.h>) && __has_include(<unistd.h>)
#define KAVO_TEST_HAVE_SOCKETPAIR 1
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#else
#define KAVO_TEST_HAVE_SOCKETPAIR 0
#endif

namespace kavo_test {

#if KAVO_TEST_HAVE_SOCKETPAIR

namespace {
int Fd(platform::SocketHandle handle) { return static_cast<int>(handle); }
}  // namespace

bool OpenLocalSocketPair(LocalSocketPair* pair, int sendBufferBytes) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
  const int flags = ::fcntl(fds[0], F_GETFL);
  // A peer that stops reading must never hang a test: its reads give up after a second.
  timeval limit{};
  limit.tv_sec = 1;
  bool ok = flags >= 0 && ::fcntl(fds[0], F_SETFL, flags | O_NONBLOCK) == 0 &&
            ::setsockopt(fds[1], SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0 &&
            ::setsockopt(fds[1], SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
  if (ok && sendBufferBytes > 0) {
    ok = ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes) == 0;
  }
  if (!ok) {
    ::close(fds[0]);
    ::close(fds[1]);
    return false;
  }
  pair->server = fds[0];
  pair->peer = fds[1];
  return true;
}

std::vector<unsigned char> ReadFromPeer(platform::SocketHandle peer, std::size_t count) {
  std::vector<unsigned char> bytes(count);
  std::size_t got = 0;
  while (got < count) {
    const ssize_t n = ::recv(Fd(peer), bytes.data() + got, count - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // time-out, end of stream or error: the caller sees the short count
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

std::vector<unsigned char> ReadAvailable(platform::SocketHandle peer) {
  std::vector<unsigned char> bytes;
  unsigned char chunk[4096];
  // Bounded: a test never queues more than a few rings' worth.
  for (int i = 0; i < 1024; ++i) {
    const ssize_t n = ::recv(Fd(peer), chunk, sizeof chunk, MSG_DONTWAIT);
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

bool WriteFromPeer(platform::SocketHandle peer, const std::vector<unsigned char>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(Fd(peer), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool PeerSeesEndOfStream(platform::SocketHandle peer) {
  unsigned char byte;
  for (;;) {
    const ssize_t n = ::recv(Fd(peer), &byte, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    return n == 0;
  }
}

bool IsHandleOpen(platform::SocketHandle handle) { return ::fcntl(Fd(handle), F_GETFD) != -1; }

void CloseLocalSocket(platform::SocketHandle handle) {
  if (handle != platform::kInvalidSocket) ::close(Fd(handle));
}

#else

bool OpenLocalSocketPair(LocalSocketPair*, int) { return false; }
std::vector<unsigned char> ReadFromPeer(platform::SocketHandle, std::size_t) { return {}; }
std::vector<unsigned char> ReadAvailable(platform::SocketHandle) { return {}; }
bool WriteFromPeer(platform::SocketHandle, const std::vector<unsigned char>&) { return false; }
bool PeerSeesEndOfStream(platform::SocketHandle) { return false; }
bool IsHandleOpen(platform::SocketHandle) { return false; }
void CloseLocalSocket(platform::SocketHandle) {}

#endif

}  // namespace kavo_test
