// Byte-string helpers of the RSA interface.
#include "qkrsa.h"

extern "C" {

QK_API void QK_CALL ByteFill(uint8_t* bytes, uint8_t value, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) bytes[i] = value;
}

QK_API void QK_CALL ByteCopy(uint8_t* destination, const uint8_t* source, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) destination[i] = source[i];
}

QK_API int32_t QK_CALL ByteCompare(const uint8_t* first, const uint8_t* second, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    if (first[i] != second[i]) return first[i] > second[i] ? 1 : -1;
  }
  return 0;
}

}  // extern "C"
