// The byte ring against two models: a flat array with the same wrap rule for positions and
// copies, and a queue of the bytes a well-behaved writer and reader pass through it (write at
// writePos, then advance; read at readPos, then advance; never more than the free room), which
// is what the frame writer, the receive pump and the frame reader rely on.
//
// Input: one byte picks the capacity, then operations until the input runs out.
#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "fuzz_support.h"
#include "session/byte_ring.h"

namespace {

using kavo::ByteRing;
using kavo_fuzz::InputCursor;

constexpr int kLongestCopy = 4096;  // a frame at most
constexpr int kMaxOperations = 4000;

int PickCapacity(std::uint8_t selector) {
  static const int kNotable[] = {1,    2,    15,   16,    17,    4095,  4096,
                                 4097, 4113, 8192, 65535, 65536, 65537, 100000};
  constexpr int kNotableCount = static_cast<int>(sizeof kNotable / sizeof kNotable[0]);
  if (selector < 256 - kNotableCount) return selector + 1;
  return kNotable[selector - (256 - kNotableCount)];
}

struct Model {
  std::vector<std::uint8_t> memory;  // what every byte of the buffer must hold
  int capacity = 0;
  int readPos = 0;
  int writePos = 0;
  // The bytes between the positions, valid while only well-behaved steps moved them.
  std::deque<std::uint8_t> unread;
  bool queueValid = true;

  // Where a copy at `position` starts: a position beyond the end comes back by whole
  // capacities, and the end itself names the start.
  int Physical(int position) const {
    while (position > capacity) position -= capacity;
    return position == capacity ? 0 : position;
  }
  void Write(int position, const std::uint8_t* bytes, int length) {
    int p = Physical(position);
    for (int i = 0; i < length; ++i) {
      memory[static_cast<std::size_t>(p)] = bytes[i];
      if (++p == capacity) p = 0;
    }
  }
  bool Matches(int position, const std::uint8_t* bytes, int length) const {
    int p = Physical(position);
    for (int i = 0; i < length; ++i) {
      if (memory[static_cast<std::size_t>(p)] != bytes[i]) return false;
      if (++p == capacity) p = 0;
    }
    return true;
  }
  static int Advanced(int position, int count, int capacity) {
    position += count;
    return position > capacity ? position - capacity : position;
  }
};

void CheckPositions(const ByteRing& ring, const Model& model) {
  FUZZ_CHECK(ring.capacity == model.capacity);
  FUZZ_CHECK(ring.readPos == model.readPos);
  FUZZ_CHECK(ring.writePos == model.writePos);
  FUZZ_CHECK(ring.readPos >= 0 && ring.readPos <= ring.capacity);
  FUZZ_CHECK(ring.writePos >= 0 && ring.writePos <= ring.capacity);
  const int pending = ring.Pending();
  FUZZ_CHECK(pending >= 0 && pending <= ring.capacity);
  // The distance from the read to the write position, going forward; only the end position
  // over the start reads as a full ring, equal positions as an empty one.
  const int distance = model.writePos - model.readPos;
  FUZZ_CHECK(pending == (distance < 0 ? distance + model.capacity : distance));
  if (pending == ring.capacity) FUZZ_CHECK(ring.writePos == ring.capacity && ring.readPos == 0);
  if (ring.writePos == ring.capacity && ring.readPos == 0) FUZZ_CHECK(pending == ring.capacity);
  if (ring.readPos == ring.writePos) FUZZ_CHECK(pending == 0);
  if (model.queueValid) FUZZ_CHECK(pending == static_cast<int>(model.unread.size()));
  FUZZ_CHECK(ring.FreeSpace() == ring.capacity - 1 - pending);
}

// Fills `bytes` from the input, then with a pattern that differs from anything already
// written, so a copy that lands in the wrong place shows up.
void FillFromInput(InputCursor& in, std::vector<std::uint8_t>& bytes, std::uint8_t& counter) {
  std::size_t taken = 0;
  const std::uint8_t* source = in.Take(bytes.size() < 8 ? bytes.size() : 8, &taken);
  if (taken > 0) std::memcpy(bytes.data(), source, taken);
  for (std::size_t i = taken; i < bytes.size(); ++i) bytes[i] = counter++;
}

// Splits `length` at up to two cut points, the way a frame is laid down or picked up as
// header, payload and marker at offsets from one position.
void Pieces(InputCursor& in, int length, int cuts[3]) {
  int first = length == 0 ? 0 : in.Byte() % (length + 1);
  int second = length - first == 0 ? 0 : in.Word() % (length - first + 1);
  cuts[0] = first;
  cuts[1] = second;
  cuts[2] = length - first - second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  InputCursor in(data, size);
  if (in.Empty()) return 0;
  const int capacity = PickCapacity(in.Byte());
  const int longest = capacity < kLongestCopy ? capacity : kLongestCopy;

  ByteRing ring;
  ring.ResetRing(capacity);
  FUZZ_CHECK(ring.buffer != nullptr);
  unsigned char* const buffer = ring.buffer;
  // A new buffer holds whatever the allocator left there; the model starts from the same bytes.
  std::memset(buffer, 0x5A, static_cast<std::size_t>(capacity));
  Model model;
  model.capacity = capacity;
  model.memory.assign(static_cast<std::size_t>(capacity), 0x5A);
  CheckPositions(ring, model);
  FUZZ_CHECK(ring.Pending() == 0);

  std::uint8_t counter = 1;
  std::vector<std::uint8_t> bytes;
  for (int op = 0; op < kMaxOperations && !in.Empty(); ++op) {
    const std::uint8_t code = in.Byte();
    switch (code % 8) {
      case 0: {  // a copy in at any position the callers may name
        const int position = in.Word() % (capacity + kLongestCopy + 1);
        const int length = in.Word() % (longest + 1);
        bytes.assign(static_cast<std::size_t>(length), 0);
        FillFromInput(in, bytes, counter);
        ring.WriteAt(position, bytes.data(), length);
        model.Write(position, bytes.data(), length);
        model.queueValid = false;
        break;
      }
      case 1: {  // a copy out at any position
        const int position = in.Word() % (capacity + kLongestCopy + 1);
        const int length = in.Word() % (longest + 1);
        // Exactly as long as asked for, so a copy past its end is caught.
        std::vector<std::uint8_t> out(static_cast<std::size_t>(length) + (length == 0 ? 1 : 0),
                                      0xC3);
        ring.ReadAt(position, out.data(), length);
        FUZZ_CHECK(model.Matches(position, out.data(), length));
        if (length == 0) FUZZ_CHECK(out[0] == 0xC3);
        break;
      }
      case 2: {  // a raw advance by any count up to the capacity
        const int count = in.Word() % (capacity + 1);
        ring.AdvanceWrite(count);
        model.writePos = Model::Advanced(model.writePos, count, capacity);
        if (count > 0) FUZZ_CHECK(ring.writePos >= 1 && ring.writePos <= capacity);
        model.queueValid = false;
        break;
      }
      case 3: {
        const int count = in.Word() % (capacity + 1);
        ring.AdvanceRead(count);
        model.readPos = Model::Advanced(model.readPos, count, capacity);
        if (count > 0) FUZZ_CHECK(ring.readPos >= 1 && ring.readPos <= capacity);
        model.queueValid = false;
        break;
      }
      case 4: {  // a writer that respects the free room: pieces at offsets, then one advance
        const int room = ring.FreeSpace();
        if (room <= 0) break;
        const int cap = room < longest ? room : longest;
        const int length = in.Word() % (cap + 1);
        bytes.assign(static_cast<std::size_t>(length), 0);
        FillFromInput(in, bytes, counter);
        int cuts[3];
        Pieces(in, length, cuts);
        const int w = ring.writePos;
        ring.WriteAt(w, bytes.data(), cuts[0]);
        ring.WriteAt(w + cuts[0], bytes.data() + cuts[0], cuts[1]);
        ring.WriteAt(w + cuts[0] + cuts[1], bytes.data() + cuts[0] + cuts[1], cuts[2]);
        ring.AdvanceWrite(length);
        model.Write(model.writePos, bytes.data(), length);
        model.writePos = Model::Advanced(model.writePos, length, capacity);
        model.unread.insert(model.unread.end(), bytes.begin(), bytes.end());
        break;
      }
      case 5: {  // a reader that takes at most what is unread: pieces at offsets, one advance
        const int pending = ring.Pending();
        if (pending <= 0 || pending >= capacity) break;
        const int cap = pending < longest ? pending : longest;
        const int length = in.Word() % (cap + 1);
        int cuts[3];
        Pieces(in, length, cuts);
        std::vector<std::uint8_t> out(static_cast<std::size_t>(length) + 1, 0xC3);
        const int r = ring.readPos;
        ring.ReadAt(r, out.data(), cuts[0]);
        ring.ReadAt(r + cuts[0], out.data() + cuts[0], cuts[1]);
        ring.ReadAt(r + cuts[0] + cuts[1], out.data() + cuts[0] + cuts[1], cuts[2]);
        FUZZ_CHECK(out[static_cast<std::size_t>(length)] == 0xC3);
        FUZZ_CHECK(model.Matches(r, out.data(), length));
        if (model.queueValid) {
          for (int i = 0; i < length; ++i) {
            FUZZ_CHECK(out[static_cast<std::size_t>(i)] == model.unread.front());
            model.unread.pop_front();
          }
        }
        ring.AdvanceRead(length);
        model.readPos = Model::Advanced(model.readPos, length, capacity);
        break;
      }
      case 6: {  // a reset keeps the buffer and its bytes, and empties the ring
        ring.ResetRing(capacity);
        FUZZ_CHECK(ring.buffer == buffer);
        model.readPos = 0;
        model.writePos = 0;
        model.unread.clear();
        model.queueValid = true;
        FUZZ_CHECK(ring.Pending() == 0);
        break;
      }
      case 7: {  // the workers' move of a position at the end to the start
        if (ring.writePos == capacity) ring.writePos = 0;
        if (ring.readPos == capacity) ring.readPos = 0;
        if (model.writePos == capacity) model.writePos = 0;
        if (model.readPos == capacity) model.readPos = 0;
        break;
      }
    }
    CheckPositions(ring, model);
  }
  // Every byte of the buffer is what the model says, including those no read looked at.
  FUZZ_CHECK(std::memcmp(buffer, model.memory.data(), static_cast<std::size_t>(capacity)) == 0);
  delete[] ring.buffer;
  return 0;
}
