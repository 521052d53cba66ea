// Splits a fuzz input into the fields a target needs. Reads past the end
// yield zeros, so every input, however short, drives the target somewhere.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qkfuzz {

class InputReader {
 public:
  InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return position_ >= size_; }
  uint8_t U8() { return Empty() ? 0 : data_[position_++]; }
  uint16_t U16() {  // big-endian; the high byte is read first
    const uint8_t high = U8();
    return static_cast<uint16_t>(high << 8 | U8());
  }
  uint32_t U32() {
    const uint32_t high = U16();
    return high << 16 | U16();
  }

  // Up to `count` bytes, as many as the input still holds.
  std::vector<uint8_t> Take(size_t count) {
    const size_t available = std::min(count, size_ - position_);
    position_ += available;
    return std::vector<uint8_t>(data_ + position_ - available, data_ + position_);
  }
  // Copies `count` bytes into `out`, zero-filling what the input lacks.
  void Fill(uint8_t* out, size_t count) {
    const std::vector<uint8_t> bytes = Take(count);
    std::memset(out, 0, count);
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

// Ends the process the way a sanitizer report does, so the fuzzer keeps the
// input: for broken invariants that are not memory errors.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

}  // namespace qkfuzz
