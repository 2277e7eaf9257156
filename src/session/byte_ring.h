// A fixed circular buffer with one read and one write position.
//
// Positions run from 0 to capacity inclusive: capacity is a legal position meaning "the end",
// which names the same place as 0 for the next access. A position wraps only when it passes
// beyond capacity. Copies go in at most two blocks. The ring checks nothing itself; its users
// keep the unread bytes below capacity, so a full ring never reads as empty.
#pragma once

#include <cstdint>

namespace kavo {

constexpr int kRingCapacity = 65536;

struct ByteRing {
  unsigned char* buffer = nullptr;  // allocated at the first reset, owned by the slot for ever
  std::int32_t readPos = 0;
  std::int32_t writePos = 0;
  std::int32_t capacity = 0;

  void ResetRing(int newCapacity);
  int Pending() const;
  // Room a writer may still fill without reaching capacity unread bytes.
  int FreeSpace() const { return capacity - 1 - Pending(); }
  void WriteAt(int position, const void* source, int length);
  void ReadAt(int position, void* destination, int length) const;
  void AdvanceWrite(int count);
  void AdvanceRead(int count);
};

}  // namespace kavo
