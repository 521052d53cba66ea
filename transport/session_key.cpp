// Session-key agreement: the token sends the key in an RSA block that the
// maker's public key opens.
#include "transport/session_key.h"

#include <cstring>

#include "include/qkrsa.h"
#include "include/qktoken.h"
#include "transport/maker_key.h"

namespace qk {

void BuildSessionKeyCommand(CommandRecord* record) {
  std::memset(record, 0, sizeof(*record));
  record->bytes[kCla] = 0x00;
  record->bytes[kIns] = kInsSessionKey;
  record->bytes[kP1] = 0x47;  // 'G'
  record->bytes[kP2] = 0x4B;  // 'K'
  record->bytesToSend = static_cast<uint16_t>(kRecordHeaderSize);
}

uint32_t OpenSessionKeyAnswer(CommandRecord* record, uint8_t* key) {
  // Anything but one whole block cannot be the key the maker key opens.
  if (record->responseLength != kSessionKeyBlockSize) return QK_E_COMMUNICATION;
  uint8_t opened[kSessionKeyBlockSize];
  uint32_t openedLength = kSessionKeyBlockSize;
  const uint32_t rsa = RsaPublicBlock(opened, &openedLength, record->bytes + kData,
                                      kSessionKeyBlockSize, &MakerPublicKey());
  if (rsa != 0 || openedLength != kSessionKeyBlockSize) return QK_E_COMMUNICATION;
  std::memcpy(record->bytes + kData, opened, kSessionKeyBlockSize);
  std::memcpy(key, opened, kSessionKeySize);
  return QK_E_SUCCESS;
}

}  // namespace qk
