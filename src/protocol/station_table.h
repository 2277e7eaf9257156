// The station (MAC) addresses learned behind one session.
//
// Written only by the owning session's network worker, read without a lock by every relaying
// thread: a row's address is published before its inUse flag (release/acquire), so a reader
// that sees the flag sees the whole address.
#pragma once

#include <atomic>
#include <cstdint>

namespace kavo {

struct Session;

constexpr int kMaxStations = 8;
constexpr int kStationAddressBytes = 6;
constexpr unsigned char kBroadcastAddress[kStationAddressBytes] = {0xFF, 0xFF, 0xFF,
                                                                   0xFF, 0xFF, 0xFF};

// The six address bytes live in the low 48 bits of one word (first byte lowest), so a reader
// on another thread loads a row's address whole and compares it in one step.
struct StationEntry {
  std::atomic<std::uint64_t> address{0};
  std::atomic<std::int32_t> inUse{0};  // 0 free, 1 learned
};

struct StationTable {
  StationEntry rows[kMaxStations];
};

// The six bytes of an address as the word a row keeps.
std::uint64_t StationKey(const unsigned char* address);
// Index of the learned row holding the address, or -1.
int FindStation(const StationTable& table, const unsigned char* address);
int FindStationKey(const StationTable& table, std::uint64_t key);
// Learns the source address of a tunnelled frame from `sender`; prints the learned-station line
// when a new row is taken. A full table learns nothing.
void LearnStation(Session& sender, const unsigned char* address);
// True when a frame for `destination` is to reach `session`, as far as addresses go.
bool IsStationTarget(const Session& session, const unsigned char* destination);
bool IsStationTargetKey(const Session& session, std::uint64_t destination);
constexpr std::uint64_t kBroadcastKey = 0xFFFFFFFFFFFFull;
// Formats the address as 2:0:A:1B:C3:F4 (no padding); out must hold 18 bytes. Returns the
// text's length.
int PrintMacAddress(const unsigned char* address, char* out);
// Frees every row (the address bytes stay, unused).
void ClearStations(StationTable& table);

}  // namespace kavo
