// Open sessions in the global session table without a server, a listener or worker threads.
#pragma once

#include <vector>

#include "platform/platform.h"
#include "session/session.h"
#include "support/local_socket_pair.h"

namespace kavo_test {

// Owns the session table for one test: every slot starts Free, and at the end every session
// it opened is closed, every slot is Free again and every peer socket is closed.
class FakeSessionTable {
 public:
  FakeSessionTable();
  ~FakeSessionTable();
  FakeSessionTable(const FakeSessionTable&) = delete;
  FakeSessionTable& operator=(const FakeSessionTable&) = delete;

  // The slot reset for a new connection (Ready), with no socket.
  kavo::Session& Prepare(int index);
  // An open session whose sends never reach a socket: the send status says an earlier send is
  // waiting for room, so frames are only queued and stay in the send ring for the test to read.
  kavo::Session& OpenQueueOnly(int index);
  // An open session on one end of a local socket pair; the other end is returned in *peer.
  // Frames queued to it are drained at once. nullptr where no local pair can be had.
  kavo::Session* OpenWithPeer(int index, platform::SocketHandle* peer, int sendBufferBytes = 0);
  // Closes a peer end early, as a client that goes away.
  void ClosePeer(platform::SocketHandle peer);

 private:
  std::vector<platform::SocketHandle> peers_;
};

}  // namespace kavo_test
