// Sockets on WinSock 2: a pass-through, since the interface already speaks WinSock's numbering.
#include "platform/win32/win32_headers.h"

#include <cstdio>

#include "platform/platform.h"
#include "platform/platform_internal.h"

namespace platform {

namespace {

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

}  // namespace

int LastSocketError() { return WSAGetLastError(); }

void SetLastSocketError(int code) { WSASetLastError(code); }

int StartSockets() {
  const int forced = internal::ForcedStartupFailure();
  if (forced != 0) return forced;
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 0), &data);
}

void StopSockets() { WSACleanup(); }

// inet_addr would also take shorter and octal forms ("1.2", "010.0.0.1"); an address here is
// a strict dotted quad, four decimal parts 0..255, the same on every system.
std::uint32_t ParseIPv4(const char* text) {
  if (text == nullptr) return kAddressNone;
  if (*text == '\0') return htonl(INADDR_ANY);
  std::uint32_t host = 0;
  const char* p = text;
  for (int part = 0; part < 4; ++part) {
    if (*p < '0' || *p > '9') return kAddressNone;
    unsigned value = 0;
    int digits = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + static_cast<unsigned>(*p - '0');
      if (++digits > 3 || value > 255) return kAddressNone;
      ++p;
    }
    host = (host << 8) | value;
    if (part < 3) {
      if (*p != '.') return kAddressNone;
      ++p;
    }
  }
  if (*p != '\0') return kAddressNone;
  // 255.255.255.255 comes out as kAddressNone and is refused with the other failures.
  return htonl(host);
}

void FormatIPv4(std::uint32_t address, char* out) {
  in_addr binary{};
  binary.s_addr = address;
  const char* text = inet_ntoa(binary);  // a buffer of the calling thread's own
  std::snprintf(out, 16, "%s", text != nullptr ? text : "");
}

std::uint16_t HostToNet16(std::uint16_t value) { return htons(value); }

std::uint16_t NetToHost16(std::uint16_t value) { return ntohs(value); }

SocketHandle OpenTcpSocket() {
  const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (socket == INVALID_SOCKET) return kInvalidSocket;
  return static_cast<SocketHandle>(socket);
}

int BindSocket(SocketHandle socket, std::uint32_t address, std::uint16_t port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = port;
  local.sin_addr.s_addr = address;
  if (bind(Native(socket), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
    return kSocketFailed;
  }
  return 0;
}

int ListenSocket(SocketHandle socket, int backlog) {
  return listen(Native(socket), backlog) == 0 ? 0 : kSocketFailed;
}

SocketHandle AcceptSocket(SocketHandle listener, PeerAddress* peer) {
  sockaddr_in remote{};
  int length = sizeof remote;
  const SOCKET socket = accept(Native(listener), reinterpret_cast<sockaddr*>(&remote), &length);
  if (socket == INVALID_SOCKET) return kInvalidSocket;
  if (peer != nullptr) {
    peer->address = remote.sin_addr.s_addr;
    peer->port = remote.sin_port;
  }
  return static_cast<SocketHandle>(socket);
}

int SetNoDelay(SocketHandle socket, int value) {
  if (setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&value),
                 sizeof value) != 0) {
    return kSocketFailed;
  }
  return 0;
}

int ReceiveSocket(SocketHandle socket, void* buffer, int length) {
  const int received = recv(Native(socket), static_cast<char*>(buffer), length, 0);
  return received == SOCKET_ERROR ? kSocketFailed : received;
}

int SendSocket(SocketHandle socket, const void* buffer, int length) {
  const int sent = send(Native(socket), static_cast<const char*>(buffer), length, 0);
  return sent == SOCKET_ERROR ? kSocketFailed : sent;
}

void ShutdownSending(SocketHandle socket) { shutdown(Native(socket), SD_SEND); }

void CloseSocket(SocketHandle socket) { closesocket(Native(socket)); }

}  // namespace platform
