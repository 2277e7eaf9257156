// A connected pair of local stream sockets, so that a test can watch a session's real sends
// and receives without a server process or a network. The only system-specific piece of the
// unit tests; where the system offers no such pair, OpenLocalSocketPair says so and the tests
// that need it skip.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/platform.h"

namespace kavo_test {

struct LocalSocketPair {
  platform::SocketHandle server = platform::kInvalidSocket;  // non-blocking, for the session
  platform::SocketHandle peer = platform::kInvalidSocket;    // blocking, plays the client
};

// sendBufferBytes > 0 shrinks the server end's send buffer, so that sends meet a full socket
// soon. False when no pair can be had here.
bool OpenLocalSocketPair(LocalSocketPair* pair, int sendBufferBytes = 0);

// Reads from the peer end until `count` bytes have come or none arrives for about a second.
std::vector<unsigned char> ReadFromPeer(platform::SocketHandle peer, std::size_t count);
// What the peer end can read right now, without waiting.
std::vector<unsigned char> ReadAvailable(platform::SocketHandle peer);
bool WriteFromPeer(platform::SocketHandle peer, const std::vector<unsigned char>& bytes);
// True once the other end has shut its sending side and everything before that was read.
bool PeerSeesEndOfStream(platform::SocketHandle peer);
// Whether the handle still names an open descriptor of this process.
bool IsHandleOpen(platform::SocketHandle handle);
void CloseLocalSocket(platform::SocketHandle handle);

}  // namespace kavo_test
