#include "load_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "load_frames.h"

namespace bench {
namespace {

void Prepare(int fd) {
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

sockaddr_in ToSockaddr(const Endpoint& at) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = at.address;
  sa.sin_port = htons(at.port);
  return sa;
}

bool WaitFor(int fd, short events, double deadline) {
  for (;;) {
    const double left = deadline - Now();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left * 1000) + 1);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

}  // namespace

bool ParseLoopback(const std::string& host, std::uint32_t& address) {
  const std::string text = host == "localhost" ? "127.0.0.1" : host;
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  if ((ntohl(a.s_addr) >> 24) != 127) return false;
  address = a.s_addr;
  return true;
}

bool ParseEndpoint(const std::string& text, Endpoint& out, std::string& why) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) {
    why = "expected HOST:PORT";
    return false;
  }
  if (!ParseLoopback(text.substr(0, colon), out.address)) {
    why = "only loopback addresses (127.0.0.0/8, localhost) are allowed";
    return false;
  }
  const long port = std::strtol(text.c_str() + colon + 1, nullptr, 10);
  if (port <= 0 || port > 65535) {
    why = "bad port";
    return false;
  }
  out.port = static_cast<std::uint16_t>(port);
  return true;
}

int ConnectTo(const Endpoint& to, double deadline) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  Prepare(fd);
  const sockaddr_in sa = ToSockaddr(to);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
    if (errno != EINPROGRESS || !WaitFor(fd, POLLOUT, deadline)) {
      std::fprintf(stderr, "kavo-bench: connect to port %u failed: %s\n", to.port,
                   std::strerror(errno == EINPROGRESS ? ETIMEDOUT : errno));
      ::close(fd);
      return -1;
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      std::fprintf(stderr, "kavo-bench: connect to port %u failed: %s\n", to.port,
                   std::strerror(error));
      ::close(fd);
      return -1;
    }
  }
  return fd;
}

int ListenOn(Endpoint& at) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = ToSockaddr(at);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 ||
      ::listen(fd, 128) != 0) {
    std::fprintf(stderr, "kavo-bench: cannot listen on port %u: %s\n", at.port,
                 std::strerror(errno));
    ::close(fd);
    return -1;
  }
  socklen_t length = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length);
  at.port = ntohs(sa.sin_port);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  return fd;
}

int AcceptOne(int listener, double deadline) {
  for (;;) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd >= 0) {
      Prepare(fd);
      return fd;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
    if (!WaitFor(listener, POLLIN, deadline)) {
      std::fprintf(stderr, "kavo-bench: no connection arrived in time\n");
      return -1;
    }
  }
  std::fprintf(stderr, "kavo-bench: accept failed: %s\n", std::strerror(errno));
  return -1;
}

std::uint16_t FreePort() {
  Endpoint at;
  ParseLoopback("127.0.0.1", at.address);
  const int fd = ListenOn(at);
  if (fd < 0) return 0;
  ::close(fd);
  return at.port;
}

}  // namespace bench
