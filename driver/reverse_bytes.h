// Byte-order helper of the test driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace qkdriver {

// Reverses `length` bytes in place; an odd middle byte stays where it is.
inline void ReverseBytes(uint8_t* buffer, size_t length) {
  for (size_t i = 0; i < length / 2; ++i) std::swap(buffer[i], buffer[length - 1 - i]);
}

}  // namespace qkdriver
