// The two queries an open runs to describe the token to the caller.
#include "api/token_info.h"

#include <cstring>

#include "api/device_table.h"
#include "api/transmit.h"
#include "transport/command_record.h"

namespace qk {

namespace {

// A zeroed record holding the header-only command `ins`.
// Checks the context, sends the header-only query `ins` and leaves the answer
// in `record` from byte 6.
uint32_t ExchangeQuery(const QKContext* context, uint8_t ins, CommandRecord* record) {
  const uint32_t check = CheckContext(context, true);
  if (check != QK_E_SUCCESS) return check;
  std::memset(record, 0, sizeof(*record));
  record->bytes[kIns] = ins;
  record->bytesToSend = static_cast<uint16_t>(kRecordHeaderSize);
  return TransmitLocked(context->slotIndex, record);
}

}  // namespace

uint32_t QueryTokenInfo(const QKContext* context, uint8_t* info) {
  CommandRecord record;
  const uint32_t result = ExchangeQuery(context, kInsTokenInfo, &record);
  if (result != QK_E_SUCCESS) return result;
  std::memcpy(info, record.bytes + kData, kTokenInfoSize);
  return QK_E_SUCCESS;
}

uint32_t QueryFreeSpace(const QKContext* context, uint32_t* value) {
  CommandRecord record;
  const uint32_t result = ExchangeQuery(context, kInsFreeSpace, &record);
  if (result != QK_E_SUCCESS) return result;
  const uint8_t* p = record.bytes + kData;
  *value = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
  return QK_E_SUCCESS;
}

}  // namespace qk
