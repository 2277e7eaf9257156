#include <cstdio>

#include "diag/diag.h"
#include "protocol/station_table.h"
#include "session/session.h"

namespace kavo {

std::uint64_t StationKey(const unsigned char* address) {
  std::uint64_t key = 0;
  for (int i = kStationAddressBytes - 1; i >= 0; --i) key = (key << 8) | address[i];
  return key;
}

int FindStationKey(const StationTable& table, std::uint64_t key) {
  for (int i = 0; i < kMaxStations; ++i) {
    const StationEntry& row = table.rows[i];
    // Rows are taken lowest first and freed all together, so the first free row ends the
    // learned ones (a row being learned right now counts as not learned yet).
    if (row.inUse.load(std::memory_order_acquire) == 0) return -1;
    if (row.address.load(std::memory_order_relaxed) == key) return i;
  }
  return -1;
}

int FindStation(const StationTable& table, const unsigned char* address) {
  return FindStationKey(table, StationKey(address));
}

void LearnStation(Session& sender, const unsigned char* address) {
  const std::uint64_t key = StationKey(address);
  if (FindStationKey(sender.stations, key) >= 0) return;
  for (int i = 0; i < kMaxStations; ++i) {
    StationEntry& row = sender.stations.rows[i];
    if (row.inUse.load(std::memory_order_relaxed) != 0) continue;
    // The address first: a relaying thread that sees the flag must see the whole address.
    row.address.store(key, std::memory_order_relaxed);
    row.inUse.store(1, std::memory_order_release);
    char mac[18];
    PrintMacAddress(address, mac);
    PrintOut("PSP認識(%d %d): MACアドレス = %s\n", sender.id, i, mac);
    return;
  }
}

bool IsStationTargetKey(const Session& session, std::uint64_t destination) {
  return destination == kBroadcastKey || FindStationKey(session.stations, destination) >= 0;
}

bool IsStationTarget(const Session& session, const unsigned char* destination) {
  return IsStationTargetKey(session, StationKey(destination));
}

int PrintMacAddress(const unsigned char* address, char* out) {
  return std::snprintf(out, 18, "%X:%X:%X:%X:%X:%X", address[0], address[1], address[2],
                       address[3], address[4], address[5]);
}

void ClearStations(StationTable& table) {
  for (StationEntry& row : table.rows) row.inUse.store(0, std::memory_order_relaxed);
}

}  // namespace kavo
