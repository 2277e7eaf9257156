#include "session/byte_ring.h"

#include <cstring>
#include <new>

namespace kavo {

void ByteRing::ResetRing(int newCapacity) {
  if (buffer == nullptr) buffer = new (std::nothrow) unsigned char[newCapacity];
  writePos = 0;
  readPos = 0;
  capacity = newCapacity;
}

int ByteRing::Pending() const {
  int pending = writePos - readPos;
  return pending < 0 ? pending + capacity : pending;
}

void ByteRing::WriteAt(int position, const void* source, int length) {
  if (length < 1) return;
  while (position > capacity) position -= capacity;
  const auto* bytes = static_cast<const unsigned char*>(source);
  if (position + length < capacity) {
    std::memcpy(buffer + position, bytes, static_cast<std::size_t>(length));
    return;
  }
  int head = capacity - position;
  if (head > 0) std::memcpy(buffer + position, bytes, static_cast<std::size_t>(head));
  std::memcpy(buffer, bytes + head, static_cast<std::size_t>(length - head));
}

void ByteRing::ReadAt(int position, void* destination, int length) const {
  if (length < 1) return;
  while (position > capacity) position -= capacity;
  auto* bytes = static_cast<unsigned char*>(destination);
  if (position + length < capacity) {
    std::memcpy(bytes, buffer + position, static_cast<std::size_t>(length));
    return;
  }
  int head = capacity - position;
  if (head > 0) std::memcpy(bytes, buffer + position, static_cast<std::size_t>(head));
  std::memcpy(bytes + head, buffer, static_cast<std::size_t>(length - head));
}

void ByteRing::AdvanceWrite(int count) {
  writePos += count;
  if (writePos > capacity) writePos -= capacity;
}

void ByteRing::AdvanceRead(int count) {
  readPos += count;
  if (readPos > capacity) readPos -= capacity;
}

}  // namespace kavo
