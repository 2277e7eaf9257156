#include "diag/diag.h"
#include "platform/platform.h"
#include "protocol/protocol.h"
#include "session/session.h"

namespace kavo {
namespace {

// Calls visit(slot) for every open slot in slot order, skipping `except` (-1 for none).
template <typename Visit>
void ForEachOpenSlot(int except, Visit visit) {
  std::uint64_t slots = ConnectedSlots.load();
  if (except >= 0) slots &= ~(std::uint64_t{1} << except);
  while (slots != 0) {
    const int slot = __builtin_ctzll(slots);
    slots &= slots - 1;
    if (IsOpen(SessionTable[slot])) visit(slot);
  }
}

void PrintForwardFailure(const Session& sender, int target, const FrameHeader& header) {
  PrintOut("%d → %d に転送失敗。切断されたかも。 (%dバイト)\n", sender.id, target,
           header.payloadLength);
}

// Every open session in slot order, the sender included.
void RelayToAll(const FrameHeader& header, const unsigned char* payload) {
  ForEachOpenSlot(-1, [&](int slot) { SendFrame(SessionTable[slot], header, payload); });
}

void RelayChat(Session& sender, FrameHeader& header, unsigned char* payload) {
  header.source = static_cast<std::uint8_t>(sender.id);
  header.command = 'c';
  ForEachOpenSlot(-1, [&](int slot) {
    if (!SendFrame(SessionTable[slot], header, payload)) PrintForwardFailure(sender, slot, header);
  });
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
  ForEachOpenSlot(sender.id, [&](int slot) {
    Session& target = SessionTable[slot];
    if (!IsStationTargetKey(target, destination)) return;
    if (!SendFrame(target, header, payload)) PrintForwardFailure(sender, slot, header);
  });
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
