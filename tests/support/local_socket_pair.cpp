#include "support/local_socket_pair.h"

#if __has_include(<sys/socket.h>) && __has_include(<fcntl.h>) && __has_include(<unistd.h>)
#define KAVO_TEST_HAVE_SOCKETPAIR 1
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#define KAVO_TEST_HAVE_WINSOCK 0
#elif __has_include(<winsock2.h>)
#define KAVO_TEST_HAVE_SOCKETPAIR 0
#define KAVO_TEST_HAVE_WINSOCK 1
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#define KAVO_TEST_HAVE_SOCKETPAIR 0
#define KAVO_TEST_HAVE_WINSOCK 0
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

#elif KAVO_TEST_HAVE_WINSOCK

// WinSock has no socketpair: the pair is a TCP connection over loopback, Nagle's algorithm
// off on both ends so that small writes arrive at once.
namespace {
SOCKET Native(platform::SocketHandle handle) { return static_cast<SOCKET>(handle); }

bool SetOption(SOCKET socket, int level, int name, int value) {
  return ::setsockopt(socket, level, name, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}
}  // namespace

bool OpenLocalSocketPair(LocalSocketPair* pair, int sendBufferBytes) {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;  // counted; harmless to repeat
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, 0);
  SOCKET peer = ::socket(AF_INET, SOCK_STREAM, 0);
  SOCKET server = INVALID_SOCKET;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  u_long nonBlocking = 1;
  bool ok = listener != INVALID_SOCKET && peer != INVALID_SOCKET &&
            ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(listener, 1) == 0 &&
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  // A small receive buffer on the peer end too, so that unread data backs up soon.
  if (ok && sendBufferBytes > 0) ok = SetOption(peer, SOL_SOCKET, SO_RCVBUF, sendBufferBytes);
  ok = ok && ::connect(peer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (ok) server = ::accept(listener, nullptr, nullptr);
  // A peer that stops reading must never hang a test: its reads give up after a second.
  ok = ok && server != INVALID_SOCKET && ::ioctlsocket(server, FIONBIO, &nonBlocking) == 0 &&
       SetOption(server, IPPROTO_TCP, TCP_NODELAY, 1) &&
       SetOption(peer, IPPROTO_TCP, TCP_NODELAY, 1) &&
       SetOption(peer, SOL_SOCKET, SO_RCVTIMEO, 1000) &&
       SetOption(peer, SOL_SOCKET, SO_SNDTIMEO, 1000);
  if (ok && sendBufferBytes > 0) ok = SetOption(server, SOL_SOCKET, SO_SNDBUF, sendBufferBytes);
  if (listener != INVALID_SOCKET) ::closesocket(listener);
  if (!ok) {
    if (server != INVALID_SOCKET) ::closesocket(server);
    if (peer != INVALID_SOCKET) ::closesocket(peer);
    return false;
  }
  pair->server = static_cast<platform::SocketHandle>(server);
  pair->peer = static_cast<platform::SocketHandle>(peer);
  return true;
}

std::vector<unsigned char> ReadFromPeer(platform::SocketHandle peer, std::size_t count) {
  std::vector<unsigned char> bytes(count);
  std::size_t got = 0;
  while (got < count) {
    const int n = ::recv(Native(peer), reinterpret_cast<char*>(bytes.data() + got),
                         static_cast<int>(count - got), 0);
    if (n <= 0) break;  // time-out, end of stream or error: the caller sees the short count
    got += static_cast<std::size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

std::vector<unsigned char> ReadAvailable(platform::SocketHandle peer) {
  std::vector<unsigned char> bytes;
  char chunk[4096];
  // Bounded: a test never queues more than a few rings' worth.
  for (int i = 0; i < 1024; ++i) {
    u_long waiting = 0;
    if (::ioctlsocket(Native(peer), FIONREAD, &waiting) != 0 || waiting == 0) break;
    const int n = ::recv(Native(peer), chunk,
                         static_cast<int>(waiting < sizeof chunk ? waiting : sizeof chunk), 0);
    if (n <= 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  return bytes;
}

bool WriteFromPeer(platform::SocketHandle peer, const std::vector<unsigned char>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const int n = ::send(Native(peer), reinterpret_cast<const char*>(bytes.data() + done),
                         static_cast<int>(bytes.size() - done), 0);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool PeerSeesEndOfStream(platform::SocketHandle peer) {
  char byte;
  return ::recv(Native(peer), &byte, 1, 0) == 0;
}

bool IsHandleOpen(platform::SocketHandle handle) {
  int type = 0;
  int length = sizeof type;
  return ::getsockopt(Native(handle), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type),
                      &length) == 0;
}

void CloseLocalSocket(platform::SocketHandle handle) {
  if (handle != platform::kInvalidSocket) ::closesocket(Native(handle));
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
