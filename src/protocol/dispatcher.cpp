#include <cstring>

#include "diag/diag.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "session/session.h"

namespace kavo {
namespace {

bool IsOpen(const Session& session) { return session.state.load() == SessionState::Open; }

void PrintForwardFailure(const Session& sender, int target, const FrameHeader& header) {
  PrintOut("%d → %d に転送失敗。切断されたかも。 (%dバイト)\n", sender.id, target,
           header.payloadLength);
}

// Every open session in slot order, the sender included.
void RelayToAll(const FrameHeader& header, const unsigned char* payload) {
  for (Session& target : SessionTable) {
    if (IsOpen(target)) SendFrame(target, header, payload);
  }
}

void RelayChat(Session& sender, FrameHeader& header, unsigned char* payload) {
  header.source = static_cast<std::uint8_t>(sender.id);
  header.command = 'c';
  for (int i = 0; i < kMaxSessions; ++i) {
    Session& target = SessionTable[i];
    if (IsOpen(target) && !SendFrame(target, header, payload)) {
      PrintForwardFailure(sender, i, header);
    }
  }
  // The reader's buffer has room past the longest payload, so the text always ends here.
  payload[header.payloadLength] = 0;
  // The counts in the line tell what is left once the copies have gone out.
  FlushDeferredDrains();
  int sendPending;
  {
    platform::LockGuard guard(sender.send.lock);
    sendPending = sender.send.ring.Pending();
  }
  PrintOutBytes("%d: %s (S%d->R%d) (Last: S%d R%d)\n", header.source,
                reinterpret_cast<const char*>(payload), sender.sendCount.load(),
                header.acknowledgement, sendPending, sender.receive.ring.Pending());
}

void RelayTunnel(Session& sender, FrameHeader& header, const unsigned char* payload) {
  // Both addresses must have arrived; bytes past the payload are left over from other frames.
  if (header.payloadLength < 2 * kStationAddressBytes) return;
  header.source = static_cast<std::uint8_t>(sender.id);
  header.command = 't';
  LearnStation(sender, payload + kStationAddressBytes);
  const std::uint64_t destination = StationKey(payload);
  for (int i = 0; i < kMaxSessions; ++i) {
    Session& target = SessionTable[i];
    if (i == sender.id || !IsOpen(target) || !IsStationTargetKey(target, destination)) continue;
    if (!SendFrame(target, header, payload)) PrintForwardFailure(sender, i, header);
  }
}

}  // namespace

void DispatchFrame(Session& sender, FrameHeader& header, unsigned char* payload) {
  switch (header.command) {
    case command::kChat:
      RelayChat(sender, header, payload);
      return;
    case command::kTunnel:
      RelayTunnel(sender, header, payload);
      return;
    case command::kAll:
      header.source = static_cast<std::uint8_t>(sender.id);
      header.command = 'u';
      RelayToAll(header, payload);
      return;
    case command::kIndexed: {
      const int target = header.source;
      header.command = 'i';
      header.source = static_cast<std::uint8_t>(sender.id);
      // Only 64 slots exist; a larger index names nobody.
      if (target < kMaxSessions && IsOpen(SessionTable[target])) {
        SendFrame(SessionTable[target], header, payload);
      }
      return;
    }
    case command::kPing:
      header.command = 'p';
      SendFrame(sender, header, payload);
      return;
    case command::kPingReply:
      PrintOut("%d : ping(S%d->R%d S%d->R%d)\n", sender.id, sender.sendCount.load(),
               header.acknowledgement, header.sequence, sender.receiveCount.load());
      return;
    case command::kState:
      header.command = 's';
      RelayToAll(header, payload);
      return;
    default:
      PrintOut(" → サポート外のコマンド [%c]\n", header.command);
      return;
  }
}

}  // namespace kavo
