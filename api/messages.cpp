// QKFormatErrorMessage: the native texts in GBK (code page 936).
#include "api/messages.h"

#include <cstring>

#include "api/native_texts.h"
#include "include/qktoken.h"

namespace qk {
namespace {

constexpr size_t kWorkingBufferSize = 256;

// Appends the decimal digits of `value` (no leading zeros) at `out`; returns the count.
size_t AppendDecimal(uint32_t value, char* out) {
  char digits[10];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return count;
}

// Composes the text for `code` into `buffer`; returns its length in bytes.
size_t ComposeMessage(uint32_t code, char (&buffer)[kWorkingBufferSize]) {
  const char* text = kUnknownErrorText.gbk;
  if (code == QK_E_FAILURE) {
    text = kUnknownErrorText.gbk;
  } else if ((code & QK_E_WRONG_PIN) == QK_E_WRONG_PIN) {
    size_t length = std::strlen(kWrongPinPrefix.gbk);
    std::memcpy(buffer, kWrongPinPrefix.gbk, length);
    length += AppendDecimal(code & 0xFFu, buffer + length);
    buffer[length] = '\0';
    return length;
  } else if ((code & 0xFFu) < kFormatMessageCount) {
    text = kNativeTexts[code & 0xFFu].gbk;
  }
  const size_t length = std::strlen(text);
  std::memcpy(buffer, text, length + 1);
  return length;
}

}  // namespace
}  // namespace qk

extern "C" QK_API uint32_t QK_CALL QKFormatErrorMessage(uint32_t code, char* text,
                                                        uint32_t maxLength) {
  char buffer[qk::kWorkingBufferSize];
  const size_t length = qk::ComposeMessage(code, buffer);
  if (length > maxLength) return QK_E_BUFFER_TOO_SMALL;
  // A null buffer with room claimed cannot take the text.
  if (text == nullptr) return QK_E_PARAMETER;
  std::memcpy(text, buffer, length + 1);
  return QK_E_SUCCESS;
}
