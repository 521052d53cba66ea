// The open's session key and the historical bytes of an answer-to-reset string.
#include "api/session.h"

#include <cstring>

#include "api/device_table.h"

namespace qk {

uint32_t EstablishSessionKey(const QKContext* context) {
  const uint32_t check = CheckContext(context, false);
  if (check != QK_E_SUCCESS) return check;
  Channel* channel = SlotOf(context).channel;
  if (channel == nullptr) return QK_E_COMMUNICATION;
  return channel->AgreeSessionKey();
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
