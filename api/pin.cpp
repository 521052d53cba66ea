// PIN verification and change. The token keeps the PINs, their state and the
// retry counters; these calls only check their arguments and carry the PINs.
#include <cstring>

#include "api/command_builder.h"
#include "api/device_table.h"
#include "include/qktoken.h"

namespace qk {
namespace {

constexpr uint8_t kInsVerifyPin = 0x20;
constexpr uint8_t kInsChangePin = 0x24;

constexpr uint32_t kShortPinLength = 8;  // the user PIN's length
constexpr uint32_t kLongPinLength = 24;  // the developer PIN's length

bool IsPinLength(uint32_t length) { return length == kShortPinLength || length == kLongPinLength; }
bool IsPinKind(uint32_t kind) { return kind == QK_PIN_USER || kind == QK_PIN_DEVELOPER; }

// The fixed shape of a change command for one PIN kind: the parameter byte,
// and the room each PIN has. Each layout holds PINs of one length only.
struct ChangeLayout {
  uint8_t p1;
  uint32_t pinRoom;
};

ChangeLayout ChangeLayoutFor(uint32_t kind) {
  return kind == QK_PIN_USER ? ChangeLayout{0x03, kShortPinLength}
                             : ChangeLayout{0x01, kLongPinLength};
}

// A retry limit whose low byte is 0 goes out as 0xFF.
uint8_t RetryLimitByte(uint32_t retryLimit) {
  const uint8_t low = LowByte(retryLimit);
  return low == 0 ? uint8_t{0xFF} : low;
}

}  // namespace
}  // namespace qk

using namespace qk;

extern "C" {

QK_API uint32_t QK_CALL QKVerifyPin(QKContext* context, const uint8_t* pin, uint32_t pinLength,
                                    uint32_t kind) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (!IsPinLength(pinLength) || !IsPinKind(kind) || pin == nullptr) return QK_E_PARAMETER;

  CommandRecord record;
  BeginCommand(&record, kInsVerifyPin, static_cast<uint8_t>(kind), 0x00);
  SetLengthLowFirst(&record, pinLength);
  std::memcpy(record.bytes + kData, pin, pinLength);
  SetDataLength(&record, pinLength);
  return Transmit(context, &record);
}

QK_API uint32_t QK_CALL QKUpdatePin(QKContext* context, const uint8_t* oldPin,
                                    uint32_t oldPinLength, const uint8_t* newPin,
                                    uint32_t newPinLength, uint32_t kind, uint32_t retryLimit) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (!IsPinLength(oldPinLength) || !IsPinLength(newPinLength) || !IsPinKind(kind)) {
    return QK_E_PARAMETER;
  }
  // Each layout has room for PINs of one length only; a longer PIN would be
  // cut short by the fields behind it, and a shorter one padded with zeros,
  // so the token would store a PIN the caller never gave.
  const ChangeLayout layout = ChangeLayoutFor(kind);
  if (oldPinLength != layout.pinRoom || newPinLength != layout.pinRoom) return QK_E_PARAMETER;
  if (oldPin == nullptr || newPin == nullptr) return QK_E_PARAMETER;

  // Data: old length, old PIN, new length, new PIN, retry limit.
  const uint32_t dataLength = 2 * (1 + layout.pinRoom) + 1;
  CommandRecord record;
  BeginCommand(&record, kInsChangePin, layout.p1, 0x00);
  SetLengthLowFirst(&record, dataLength);
  uint8_t* data = record.bytes + kData;
  data[0] = LowByte(oldPinLength);
  std::memcpy(data + 1, oldPin, layout.pinRoom);
  data[1 + layout.pinRoom] = LowByte(newPinLength);
  std::memcpy(data + 2 + layout.pinRoom, newPin, layout.pinRoom);
  data[2 + 2 * layout.pinRoom] = RetryLimitByte(retryLimit);
  SetDataLength(&record, dataLength);
  return Transmit(context, &record);
}

}  // extern "C"
