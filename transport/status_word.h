// The status word that ends every token answer, turned into a result code.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk {

// One row of the status-word table: SW1 SW2 and the result code they map to.
struct StatusWordEntry {
  uint8_t sw1;
  uint8_t sw2;
  uint32_t code;
  uint32_t flags;
};

// A row with this flag matches every SW2 of its SW1.
constexpr uint32_t SW_FLAG_ANY_SW2 = 0x1;

constexpr size_t kStatusWordCount = 45;

extern const StatusWordEntry StatusWordTable[kStatusWordCount];

// The result code of the status word that ends a token response.
uint32_t MapStatusWord(uint8_t sw1, uint8_t sw2);

}  // namespace qk
