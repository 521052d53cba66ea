// Bytes written as hex text and back, for expectations that read like a trace.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace qktest {

// "00 A4 3F" -> {0x00, 0xA4, 0x3F}: hex numbers separated by blanks.
inline std::vector<uint8_t> Hex(const char* text) {
  std::vector<uint8_t> bytes;
  for (char* end = nullptr;; text = end) {
    const unsigned long value = std::strtoul(text, &end, 16);
    if (end == text) return bytes;
    bytes.push_back(static_cast<uint8_t>(value));
  }
}

// Bytes as lowercase hex digits, two per byte, nothing between them.
inline std::string Hex(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}
template <size_t N>
std::string Hex(const std::array<uint8_t, N>& bytes) {
  return Hex(bytes.data(), N);
}

}  // namespace qktest
