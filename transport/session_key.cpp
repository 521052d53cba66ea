// Session-key agreement: the token sends the key in an RSA block that the
// maker's public key opens.
#include "transport/session_key.h"

#include <cstring>

#include "api/device_table.h"
#include "include/qkrsa.h"
#include "transport/command_record.h"
#include "transport/exchange.h"
#include "transport/maker_key.h"

namespace qk {

uint32_t EstablishSessionKey(const QKContext* context) {
  const uint32_t check = CheckContext(context, false);
  if (check != QK_E_SUCCESS) return check;

  CommandRecord record;
  std::memset(&record, 0, sizeof(record));
  record.bytes[kCla] = 0x00;
  record.bytes[kIns] = kInsSessionKey;
  record.bytes[kP1] = 0x47;  // 'G'
  record.bytes[kP2] = 0x4B;  // 'K'
  record.bytesToSend = static_cast<uint16_t>(kRecordHeaderSize);

  const uint32_t result = TransmitLocked(context->slotIndex, &record);
  if (result != QK_E_SUCCESS) return result;

  // Anything but one whole block cannot be the key the maker key opens.
  if (record.responseLength != kSessionKeyBlockSize) return QK_E_COMMUNICATION;
  uint8_t opened[kSessionKeyBlockSize];
  uint32_t openedLength = kSessionKeyBlockSize;
  const uint32_t rsa = RsaPublicBlock(opened, &openedLength, record.bytes + kData,
                                      kSessionKeyBlockSize, &MakerPublicKey());
  if (rsa != 0 || openedLength != kSessionKeyBlockSize) return QK_E_COMMUNICATION;

  std::memcpy(record.bytes + kData, opened, kSessionKeyBlockSize);
  std::memcpy(SlotOf(context).sessionKey, opened, kSessionKeySize);
  return QK_E_SUCCESS;
}

bool StoreHistoricalBytes(uint32_t slotIndex, const uint8_t* atr, size_t atrLength) {
  if (slotIndex >= kMaxDevices || atr == nullptr || atrLength < 2) return false;
  // Byte 0 is the initial character; T0 gives the historical byte count in
  // its low half and, like every TD after it, the interface bytes present in
  // its high half.
  const uint8_t t0 = atr[1];
  const size_t historicalCount = t0 & 0x0Fu;
  size_t position = 2;
  uint8_t indicator = t0;
  while (indicator != 0) {
    static const uint8_t kInterfaceBytes[] = {0x10, 0x20, 0x40};  // TA, TB, TC
    for (uint8_t bit : kInterfaceBytes) {
      if ((indicator & bit) != 0) ++position;
    }
    if ((indicator & 0x80u) == 0) break;
    if (position >= atrLength) return false;
    indicator = atr[position++];
  }
  if (position > atrLength || atrLength - position < historicalCount) return false;

  uint8_t* historical = GetDeviceTable().slots[slotIndex].historical;
  std::memset(historical, 0, sizeof(GetDeviceTable().slots[slotIndex].historical));
  std::memcpy(historical, atr + position, historicalCount);
  return true;
}

}  // namespace qk
