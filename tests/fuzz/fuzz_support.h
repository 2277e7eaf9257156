// Shared by the fuzz targets: a check that stays on in optimised builds, and a cursor over
// the fuzzer's input that yields zeros once the input is used up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A failed check is a finding: libFuzzer keeps the input that led to it.
#define FUZZ_CHECK(condition)                                                              \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "check failed: %s at %s:%d\n", #condition, __FILE__, __LINE__); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (0)

namespace kavo_fuzz {

class InputCursor {
 public:
  InputCursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Empty() const { return size_ == 0; }
  std::size_t Remaining() const { return size_; }

  std::uint8_t Byte() {
    if (size_ == 0) return 0;
    --size_;
    return *data_++;
  }

  std::uint16_t Word() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }

  std::uint32_t Long() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(Byte()) << (8 * i);
    return value;
  }

  // Up to `wanted` bytes straight from the input; `*taken` tells how many there were.
  const std::uint8_t* Take(std::size_t wanted, std::size_t* taken) {
    const std::size_t n = wanted < size_ ? wanted : size_;
    const std::uint8_t* start = data_;
    data_ += n;
    size_ -= n;
    *taken = n;
    return start;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

}  // namespace kavo_fuzz
