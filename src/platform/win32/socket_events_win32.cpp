// Socket events on WinSock event objects (WSAEventSelect).
//
// WinSock records FD_READ after each receive while data remains and FD_WRITE after a send that
// met would-block, as the interface promises. FD_CLOSE is the one event that needs care: for a
// graceful close WinSock does not promise that every received byte has been read, but the
// interface reports such a close only once nothing is left to read. That close is kept back and
// the event object left signalled, so the waiter keeps coming back for the remaining bytes and
// sees the close once they have been taken. A reset is reported at once.
#include "platform/win32/win32_headers.h"

#include <new>

#include "platform/platform.h"
#include "platform/platform_internal.h"

namespace platform {

struct SocketEvents {
  WSAEVENT event = WSA_INVALID_EVENT;
  SOCKET socket = INVALID_SOCKET;
  bool closePending = false;  // FD_CLOSE seen while received bytes were still unread
};

namespace {

bool HasUnreadBytes(SOCKET socket) {
  u_long unread = 0;
  return ioctlsocket(socket, FIONREAD, &unread) == 0 && unread > 0;
}

}  // namespace

SocketEvents* CreateSocketEvents() {
  auto* events = new (std::nothrow) SocketEvents;
  if (events == nullptr) return nullptr;
  events->event = WSACreateEvent();
  if (events->event == WSA_INVALID_EVENT) {
    delete events;
    return nullptr;
  }
  return events;
}

int AttachSocketEvents(SocketEvents* events, SocketHandle socket) {
  WSAResetEvent(events->event);
  events->socket = static_cast<SOCKET>(socket);
  events->closePending = false;
  if (WSAEventSelect(events->socket, events->event, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
    return kSocketFailed;
  }
  return 0;
}

bool WaitSocketEvents(SocketEvents* events) {
  return WSAWaitForMultipleEvents(1, &events->event, FALSE, WSA_INFINITE, FALSE) !=
         WSA_WAIT_FAILED;
}

int TakeSocketEvents(SocketEvents* events) {
  int code = 0;
  if (internal::TakeInjectedFailure(SocketCall::TakeEvents, &code)) {
    WSASetLastError(code);
    return kSocketFailed;
  }
  WSANETWORKEVENTS recorded{};
  // This also resets the event object, and with it a wake-up that came after the wait: whoever
  // woke the waiter has already changed what the caller looks at before it waits again.
  if (WSAEnumNetworkEvents(events->socket, events->event, &recorded) != 0) return kSocketFailed;
  int mask = 0;
  if ((recorded.lNetworkEvents & FD_READ) != 0) mask |= kEventRead;
  if ((recorded.lNetworkEvents & FD_WRITE) != 0) mask |= kEventWrite;
  if ((recorded.lNetworkEvents & FD_CLOSE) != 0) {
    // A reset or an abort ends the connection at once, as on every system: what was left
    // unread is lost with it. Only a graceful close waits for the bytes before it.
    if (recorded.iErrorCode[FD_CLOSE_BIT] != 0) {
      events->closePending = false;
      return mask | kEventClose;
    }
    events->closePending = true;
  }
  if (events->closePending) {
    if (HasUnreadBytes(events->socket)) {
      mask |= kEventRead;
      WSASetEvent(events->event);  // come back for the rest, and for the close after it
    } else {
      mask |= kEventClose;
      events->closePending = false;
    }
  }
  return mask;
}

void WakeSocketEvents(SocketEvents* events) { WSASetEvent(events->event); }

void DetachSocketEvents(SocketEvents* events) {
  if (events->socket != INVALID_SOCKET) WSAEventSelect(events->socket, events->event, 0);
  events->socket = INVALID_SOCKET;
  events->closePending = false;
}

}  // namespace platform
