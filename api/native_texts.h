// The library's own (Chinese) result-code texts, each in UTF-8 and in GBK
// (code page 936) side by side, so that the two forms are kept in one place.
#pragma once

#include <cstddef>

namespace qk {

struct NativeText {
  const char* utf8;
  const char* gbk;
};

// Indexed by the low byte of a result code: slot 0 is success, slot n is
// 0xF0000000 + n.
constexpr size_t kNativeTextCount = 34;
extern const NativeText kNativeTexts[kNativeTextCount];

// QKFormatErrorMessage's table ends before this slot: the codes added after it
// (QK_E_SESSION_REPLACED and later) have texts here, but it keeps
// answering its unknown-code text for them.
constexpr size_t kFormatMessageCount = 28;

// The wrong-PIN text up to where the tries left are written.
extern const NativeText kWrongPinPrefix;
// The text of 0xFFFFFFFF and of codes no slot claims.
extern const NativeText kUnknownErrorText;

}  // namespace qk
