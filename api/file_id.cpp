#include "api/file_id.h"

#include <cstdio>

namespace qk {

uint16_t ParseFileId(const char* text) {
  // At most four characters are taken, into a zero-filled buffer, and read as
  // the C library reads "%04X": leading white space skipped, an optional sign
  // and 0x prefix accepted (inside the four characters), digits of either
  // case. Nothing read leaves 0.
  char digits[kFileIdDigits + 1] = {};
  for (size_t i = 0; i < kFileIdDigits && text[i] != '\0'; ++i) digits[i] = text[i];
  unsigned int id = 0;
#if defined(_MSC_VER)
  if (sscanf_s(digits, "%04X", &id) != 1) id = 0;
#else
  if (std::sscanf(digits, "%04X", &id) != 1) id = 0;
#endif
  return static_cast<uint16_t>(id);
}

}  // namespace qk
