// Hexadecimal digits, as the link's .tcp entries and traces write bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qk::platform::vlink {

// The value of one hex digit (either case), or -1 for any other character.
int HexValue(char c);

// `size` bytes as lowercase hex digits, two per byte.
std::string Hex(const uint8_t* bytes, size_t size);

}  // namespace qk::platform::vlink
