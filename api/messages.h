// Result codes turned into message texts. (Status words become result codes
// in the transport: transport/status_word.h.)
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/status_word.h"  // MapStatusWord, for the api layer

namespace qk {

constexpr size_t kMessageCount = 28;

// GBK texts, indexed by the low byte of a result code (slot 0 is success).
extern const char* const MessageTable[kMessageCount];

// The wrong-PIN text up to where the tries left are written (GBK).
extern const char kWrongPinPrefix[];
// The text of 0xFFFFFFFF and of codes no table slot claims (GBK).
extern const char kUnknownErrorText[];

}  // namespace qk
