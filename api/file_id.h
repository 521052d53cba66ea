// File identifiers: 16-bit names that callers write as four hexadecimal digits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk {

constexpr size_t kFileIdDigits = 4;
constexpr uint16_t kRootDirId = 0x3F00;    // the root directory
constexpr uint16_t kParentDirId = 0x0000;  // in a select: the parent directory

// Reads the first four characters of `text` (fewer when it ends sooner) as
// "%04X" does: up to four hexadecimal digits of either case, stopping at the
// first character that is not one. No more than four characters are ever
// looked at, so `text` need not be terminated if it holds at least four. A
// text without a digit gives 0. `text` must not be null.
uint16_t ParseFileId(const char* text);

}  // namespace qk
