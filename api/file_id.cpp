#include "api/file_id.h"

namespace qk {
namespace {

// The value of one hexadecimal digit, or -1 for any other character.
int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

uint16_t ParseFileId(const char* text) {
  uint32_t id = 0;
  for (size_t i = 0; i < kFileIdDigits; ++i) {
    const int digit = HexDigitValue(text[i]);  // the terminator is not a digit
    if (digit < 0) break;
    id = (id << 4) | static_cast<uint32_t>(digit);
  }
  return static_cast<uint16_t>(id);
}

}  // namespace qk
