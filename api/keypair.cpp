// On-token RSA key-pair generation: the token generates the pair into two of
// its files and answers with two blocks whose sizes depend only on the key size.
#include <cstring>

#include "api/command_builder.h"
#include "api/device_table.h"
#include "api/file_id.h"
#include "include/qktoken.h"

namespace qk {
namespace {

constexpr uint8_t kInsGenerateKeyPair = 0x46;
constexpr uint32_t kKeyPairDataLength = 10;
constexpr uint8_t kKeyParameterLength = 4;

struct KeyPairShape {
  uint8_t sizeCode;       // 0 for a bit count the token does not offer
  uint32_t firstLength;   // N1 = 12 + k
  uint32_t secondLength;  // N2 = 20 + 5k/2, with k the modulus length in bytes
};

// Unsupported bit counts get the 2048-bit sizes: the buffer checks run before
// the bit count is validated, so a caller asking the size needed still learns
// an upper bound.
KeyPairShape ShapeFor(uint16_t modulusBits) {
  switch (modulusBits) {
    case 512:
      return {0x01, 76, 180};
    case 1024:
      return {0x02, 140, 340};
    case 2048:
      return {0x04, 268, 660};
    default:
      return {0x00, 268, 660};
  }
}

}  // namespace
}  // namespace qk

using namespace qk;

extern "C" QK_API uint32_t QK_CALL
QKGenerateRsaKeyPair(QKContext* context, uint16_t modulusBits, uint32_t keyParameter,
                     const char* firstFileIdText, const char* secondFileIdText, uint8_t* firstOut,
                     uint32_t* firstOutLength, uint8_t* secondOut, uint32_t* secondOutLength) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (firstOutLength == nullptr || secondOutLength == nullptr) return QK_E_PARAMETER;

  const KeyPairShape shape = ShapeFor(modulusBits);
  if (*firstOutLength < shape.firstLength) {
    *firstOutLength = shape.firstLength;
    return QK_E_BUFFER_TOO_SMALL;
  }
  if (*secondOutLength < shape.secondLength) {
    *secondOutLength = shape.secondLength;
    return QK_E_BUFFER_TOO_SMALL;
  }
  if (firstFileIdText == nullptr || secondFileIdText == nullptr) return QK_E_PARAMETER;
  const uint16_t firstId = ParseFileId(firstFileIdText);
  const uint16_t secondId = ParseFileId(secondFileIdText);
  if (shape.sizeCode == 0) return QK_E_PARAMETER;

  CommandRecord record;
  BeginCommand(&record, kInsGenerateKeyPair, 0x00, 0x00);
  SetLengthLowFirst(&record, kKeyPairDataLength);
  uint8_t* data = record.bytes + kData;
  PutDataLowFirst16(&record, 0, firstId);
  PutDataLowFirst16(&record, 2, secondId);
  data[4] = shape.sizeCode;
  data[5] = kKeyParameterLength;
  data[6] = static_cast<uint8_t>(keyParameter >> 24);  // big-endian, unlike the identifiers
  data[7] = static_cast<uint8_t>(keyParameter >> 16);
  data[8] = static_cast<uint8_t>(keyParameter >> 8);
  data[9] = static_cast<uint8_t>(keyParameter);
  SetDataLength(&record, kKeyPairDataLength);
  if (uint32_t rc = Transmit(context, &record)) return rc;

  // The pair now lives in the token's files; a caller without buffers only
  // wanted it generated.
  if (firstOut == nullptr || secondOut == nullptr) return QK_E_SUCCESS;

  // Both blocks (928 bytes at most) lie inside the record's data area.
  static_assert(268 + 660 <= kRecordDataSize, "key blocks fit the data area");
  *firstOutLength = shape.firstLength;
  *secondOutLength = shape.secondLength;
  std::memcpy(firstOut, data, shape.firstLength);
  std::memcpy(secondOut, data + shape.firstLength, shape.secondLength);
  return QK_E_SUCCESS;
}
