// Loopback TCP sockets for the load generator. Every address it is given must lie in
// 127.0.0.0/8; anything else is refused.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

struct Endpoint {
  std::uint32_t address = 0;  // network byte order
  std::uint16_t port = 0;     // host byte order
};

// "HOST:PORT" with a loopback HOST (dotted quad or "localhost"). False with a reason.
bool ParseEndpoint(const std::string& text, Endpoint& out, std::string& why);
bool ParseLoopback(const std::string& host, std::uint32_t& address);

// All sockets come back non-blocking with TCP_NODELAY set; -1 on failure (reason on stderr).
int ConnectTo(const Endpoint& to, double deadline);
// Listens on `at` (port 0: any free port, written back into at.port).
int ListenOn(Endpoint& at);
int AcceptOne(int listener, double deadline);

// A port on 127.0.0.1 that was free a moment ago, or 0.
std::uint16_t FreePort();

}  // namespace bench
