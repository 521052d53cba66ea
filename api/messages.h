// Result codes turned into message texts, and token status words turned into
// result codes.
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

constexpr size_t kMessageCount = 28;
constexpr size_t kStatusWordCount = 45;

// GBK texts, indexed by the low byte of a result code (slot 0 is success).
extern const char* const MessageTable[kMessageCount];
extern const StatusWordEntry StatusWordTable[kStatusWordCount];

// The wrong-PIN text up to where the tries left are written (GBK).
extern const char kWrongPinPrefix[];
// The text of 0xFFFFFFFF and of codes no table slot claims (GBK).
extern const char kUnknownErrorText[];

// The result code of the status word that ends a token response.
uint32_t MapStatusWord(uint8_t sw1, uint8_t sw2);

}  // namespace qk
