// The token's information record (INS 0xCA) and its free space (INS 0xCC).
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/qktoken.h"

namespace qk {

// The information record, in the token's byte order.
constexpr size_t kTokenInfoSize = 38;
constexpr size_t kInfoByteAt = 0;
constexpr size_t kInfoWordAt = 2;     // 2 bytes, big-endian
constexpr size_t kInfoBlockAt = 4;    // 16 bytes
constexpr size_t kInfoSixAt = 20;     // 6 bytes
constexpr size_t kInfoEightAt = 26;   // 8 bytes
constexpr size_t kInfoNumberAt = 34;  // 4 bytes, little-endian

constexpr uint8_t kInsTokenInfo = 0xCA;
constexpr uint8_t kInsFreeSpace = 0xCC;

// Reads the record into `info` (kTokenInfoSize bytes). On failure `info` is
// not written. The bytes are taken as they stand after the answer, whatever
// its length (a short answer leaves its status word and then zeros).
uint32_t QueryTokenInfo(const QKContext* context, uint8_t* info);

// Reads the free bytes (the first four answer bytes, little-endian) into *value;
// on failure *value is not written.
uint32_t QueryFreeSpace(const QKContext* context, uint32_t* value);

// The record's 16-bit word in host order.
inline uint32_t TokenInfoWord(const uint8_t* info) {
  return static_cast<uint32_t>(info[kInfoWordAt]) << 8 | info[kInfoWordAt + 1];
}

// The record's 32-bit number in host order.
inline uint32_t TokenInfoNumber(const uint8_t* info) {
  const uint8_t* p = info + kInfoNumberAt;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace qk
