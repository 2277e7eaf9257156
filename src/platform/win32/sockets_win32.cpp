// Sockets on WinSock 2: a pass-through, since the interface already speaks WinSock's numbering.
#include "platform/win32/win32_headers.h"

#include <cstdio>

#include "platform/platform.h"
#include "platform/platform_internal.h"

namespace platform {

namespace {

SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

// A failure a test armed for this call: the result the call returns, with the last error set.
bool Injected(SocketCall call, int* result) {
  int code = 0;
  if (!internal::TakeInjectedFailure(call, &code)) return false;
  WSASetLastError(code);
  *result = code == 0 ? 0 : kSocketFailed;
  return true;
}

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
  int injected;
  if (Injected(SocketCall::Accept, &injected)) return kInvalidSocket;
  for (;;) {
    sockaddr_in remote{};
    int length = sizeof remote;
    const SOCKET socket =
        accept(Native(listener), reinterpret_cast<sockaddr*>(&remote), &length);
    if (socket != INVALID_SOCKET) {
      if (peer != nullptr) {
        peer->address = remote.sin_addr.s_addr;
        peer->port = remote.sin_port;
      }
      return static_cast<SocketHandle>(socket);
    }
    // A connection that died in the backlog is not a failure of the listener.
    const int error = WSAGetLastError();
    if (error != WSAECONNRESET && error != WSAECONNABORTED) return kInvalidSocket;
  }
}

int SetNoDelay(SocketHandle socket, int value) {
  int injected;
  if (Injected(SocketCall::SetNoDelay, &injected)) return kSocketFailed;
  if (setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&value),
                 sizeof value) != 0) {
    return kSocketFailed;
  }
  return 0;
}

int ReceiveSocket(SocketHandle socket, void* buffer, int length) {
  int injected;
  if (Injected(SocketCall::Receive, &injected)) return injected;
  const int received = recv(Native(socket), static_cast<char*>(buffer), length, 0);
  return received == SOCKET_ERROR ? kSocketFailed : received;
}

int SendSocket(SocketHandle socket, const void* buffer, int length) {
  int injected;
  if (Injected(SocketCall::Send, &injected)) return injected;
  const int sent = send(Native(socket), static_cast<const char*>(buffer), length, 0);
  return sent == SOCKET_ERROR ? kSocketFailed : sent;
}

void ShutdownSending(SocketHandle socket) { shutdown(Native(socket), SD_SEND); }

void CloseSocket(SocketHandle socket) { closesocket(Native(socket)); }

}  // namespace platform
