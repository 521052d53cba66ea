// Opening and closing a listed token.
#include <cstring>

#include "api/device_table.h"
#include "api/mutex_name.h"
#include "api/token_info.h"
#include "transport/exchange.h"
#include "transport/session_key.h"

namespace qk {

namespace {

constexpr uint32_t kOpenMark = 16;

// Opens the slot's path for use and attaches its lock; false when the path
// cannot be opened (the slot then holds no device).
bool OpenSlotDevice(DeviceSlot* slot, platform::ShareMode share, QKContext* context) {
  // A device the slot still holds (left by an open that failed after this
  // step) is replaced, not leaked.
  delete slot->file;
  delete slot->mutex;
  slot->file = nullptr;
  slot->mutex = nullptr;
  uint32_t systemError = 0;
  slot->file = platform::OpenDevice(slot->path, platform::IoMode::kOverlapped, share, &systemError);
  if (slot->file == nullptr) return false;
  slot->mutex = CreateDeviceMutex(false, slot->path);
  context->device = slot->file->HandleValue();
  return true;
}

// The context names a device already open in its slot. A context that claims
// a device while the slot holds none (the slot was listed again since) would
// leave the slot open without a device, so the path is opened anew then.
bool ReusesOpenDevice(const QKContext* context, const DeviceSlot& slot) {
  return context->device != 0 && slot.file != nullptr;
}

// The steps after the slot is marked open: session key, information record,
// 0xCC value.
uint32_t DescribeOpenedToken(QKContext* context) {
  const uint32_t keyResult = EstablishSessionKey(context);
  if (keyResult != QK_E_SUCCESS) return keyResult;

  uint8_t info[kTokenInfoSize];
  const uint32_t infoResult = QueryTokenInfo(context, info);
  if (infoResult != QK_E_SUCCESS) return infoResult;
  context->infoWord = TokenInfoWord(info);
  std::memcpy(context->infoBlock, info + kInfoBlockAt, sizeof(context->infoBlock));
  std::memcpy(context->infoEight, info + kInfoEightAt, sizeof(context->infoEight));
  context->markWord = kOpenMark;
  std::memset(context->reserved, 0, sizeof(context->reserved));

  uint32_t value = 0;
  context->queryValue = QueryValueCC(context, &value) == QK_E_SUCCESS ? value : 0;
  return QK_E_SUCCESS;
}

}  // namespace

}  // namespace qk

extern "C" QK_API uint32_t QK_CALL QKOpenDevice(QKContext* context) {
  const uint32_t check = qk::CheckContext(context, false);
  if (check != QK_E_SUCCESS) return check;
  qk::DeviceSlot& slot = qk::SlotOf(context);
  if (slot.opened != 0) return QK_E_ALREADY_OPENED;
  if (!qk::ReusesOpenDevice(context, slot) &&
      !qk::OpenSlotDevice(&slot, qk::platform::ShareMode::kShared, context)) {
    return QK_E_DEVICE_NOT_CONNECTED;
  }
  slot.opened = 1;
  return qk::DescribeOpenedToken(context);
}

extern "C" QK_API uint32_t QK_CALL QKOpenDeviceShared(QKContext* context,
                                                      const QKOpenOptions* options) {
  const uint32_t check = qk::CheckContext(context, false);
  if (check != QK_E_SUCCESS) return check;
  qk::DeviceSlot& slot = qk::SlotOf(context);

  // Held only while the open flag is tested and set. A wait that fails or
  // runs out is not fatal (the flag is this process's own), but a lock that
  // was not had is not released either.
  qk::platform::NamedMutex* mutex = slot.mutex;
  const bool locked = mutex != nullptr && mutex->Lock(qk::GetTimeLimits().lockMs);
  auto release = [&] {
    if (locked) mutex->Unlock();
  };

  if (slot.opened != 0) {
    release();
    return QK_E_ALREADY_OPENED;
  }
  if (!qk::ReusesOpenDevice(context, slot)) {
    if (options == nullptr) {
      release();
      return QK_E_PARAMETER;
    }
    const auto share = options->shared != 0 ? qk::platform::ShareMode::kShared
                                            : qk::platform::ShareMode::kExclusive;
    // The lock held here may be the very one the slot's old device owned;
    // release it before the slot's handles are replaced.
    release();
    if (!qk::OpenSlotDevice(&slot, share, context)) return QK_E_DEVICE_NOT_CONNECTED;
    slot.opened = 1;
  } else {
    slot.opened = 1;
    release();
  }
  return qk::DescribeOpenedToken(context);
}

extern "C" QK_API uint32_t QK_CALL QKCloseDevice(QKContext* context) {
  const uint32_t check = qk::CheckContext(context, true);
  if (check != QK_E_SUCCESS) return check;
  qk::DeviceSlot& slot = qk::SlotOf(context);
  slot.opened = 0;
  delete slot.file;
  delete slot.mutex;
  slot.file = nullptr;
  slot.mutex = nullptr;
  context->device = 0;
  return QK_E_SUCCESS;
}
