// Shared by the POSIX backend's files.
#pragma once

#include "platform/platform.h"

namespace platform::posix {

// Sets the thread's last socket error from errno, mapped to the common numbering.
void SetLastErrorFromErrno(int error);

// Whether a send on this socket has met a full buffer since the last write event; the socket
// events report kEventWrite only after that, as the socket library on the other system does.
// Marking also wakes the events object attached to the socket, so that its waiter starts
// watching for room at once.
void MarkSendBlocked(SocketHandle socket);
bool TakeSendBlocked(SocketHandle socket);
bool IsSendBlocked(SocketHandle socket);
// Ties a socket to its events object for the wake-up above (nullptr unties it).
void RegisterEvents(SocketHandle socket, SocketEvents* events);
void NudgeEvents(SocketEvents* events);

}  // namespace platform::posix
