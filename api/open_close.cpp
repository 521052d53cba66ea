// Opening and closing a listed token.
#include <cstring>

#include "api/device_table.h"
#include "api/mutex_name.h"
#include "api/open_state.h"
#include "api/session.h"
#include "api/token_info.h"
#include "platform/debug_log.h"
#include "transport/exchange.h"

namespace qk {

namespace {

constexpr uint32_t kOpenMark = 16;

// Releases a channel's lock on every path out.
class HeldLock {
 public:
  explicit HeldLock(Channel* channel) : channel_(channel) {}
  ~HeldLock() { channel_->Release(); }
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;

 private:
  Channel* channel_;
};

// The steps after the slot is marked open: session key, information record,
// 0xCC value. They run as one sequence under the token's lock, so that no
// other handle's key agreement falls between the key and the queries.
uint32_t DescribeOpenedToken(QKContext* context) {
  Channel* channel = SlotOf(context).channel;
  const uint32_t locked = channel->Acquire(GetTimeLimits().lockMs);
  if (locked != QK_E_SUCCESS) return locked;
  HeldLock held(channel);

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
  context->queryValue = QueryFreeSpace(context, &value) == QK_E_SUCCESS ? value : 0;
  return QK_E_SUCCESS;
}

}  // namespace

uint32_t OpenSlotDevice(DeviceSlot* slot, platform::ShareMode share, QKContext* context) {
  platform::DeviceStatus status = platform::DeviceStatus::kFailed;
  platform::Device* device = platform::OpenDevice(slot->path, share, &status);
  const char* shareText = share == platform::ShareMode::kShared ? "shared" : "exclusive";
  if (device == nullptr) {
    QK_DEBUG("open: %s (%s) failed: %s", slot->path, shareText, platform::DeviceStatusText(status));
  } else {
    QK_DEBUG("open: %s (%s) opened", slot->path, shareText);
  }
  // Inside a transaction the slot keeps its channel, and the lock the
  // transaction holds, across a close: only the device is opened anew.
  if (slot->channel != nullptr && slot->channel->InTransaction()) {
    if (device == nullptr) return QK_E_DEVICE_NOT_CONNECTED;
    slot->channel->AttachDevice(device);
    context->device = device->HandleValue();
    return QK_E_SUCCESS;
  }
  // A channel the slot still holds (left by an open that failed after this
  // step) is replaced, not leaked.
  delete slot->channel;
  slot->channel = nullptr;
  if (device == nullptr) return QK_E_DEVICE_NOT_CONNECTED;
  // Never exchange without the lock: a token whose lock cannot be made is
  // not opened at all.
  uint32_t lockResult = QK_E_LOCK_UNAVAILABLE;
  platform::NamedMutex* lock = CreateDeviceMutex(false, slot->path, device, &lockResult);
  if (lock == nullptr) {
    QK_DEBUG("open: %s: its exchange lock cannot be made; not opened", slot->path);
    delete device;
    return lockResult;
  }
  slot->channel = new Channel(device, lock);
  context->device = device->HandleValue();
  return QK_E_SUCCESS;
}

bool ReusesOpenDevice(const QKContext* context, const DeviceSlot& slot) {
  return context->device != 0 && slot.channel != nullptr && slot.channel->device() != nullptr;
}

}  // namespace qk

extern "C" QK_API uint32_t QK_CALL QKOpenDevice(QKContext* context) {
  const uint32_t check = qk::CheckContext(context, false);
  if (check != QK_E_SUCCESS) return check;
  qk::DeviceSlot& slot = qk::SlotOf(context);
  if (slot.opened != 0) return QK_E_ALREADY_OPENED;
  if (!qk::ReusesOpenDevice(context, slot)) {
    const uint32_t opened = qk::OpenSlotDevice(&slot, qk::platform::ShareMode::kShared, context);
    if (opened != QK_E_SUCCESS) return opened;
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
  qk::Channel* channel = slot.channel;
  const bool locked =
      channel != nullptr && channel->Acquire(qk::GetTimeLimits().lockMs) == QK_E_SUCCESS;
  auto release = [&] {
    if (locked) channel->Release();
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
    // The lock held here may belong to the very channel the open replaces;
    // release it before the slot's channel changes.
    release();
    const uint32_t opened = qk::OpenSlotDevice(&slot, share, context);
    if (opened != QK_E_SUCCESS) return opened;
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
  if (slot.channel != nullptr && slot.channel->TransactionDepthHere() > 0) {
    // This thread's transaction keeps the lock; the device goes.
    slot.channel->DetachDevice();
  } else {
    // Everything goes, a transaction another thread began included: its
    // lock is released here, whichever thread took it, so that no lock
    // outlives the close.
    delete slot.channel;
    slot.channel = nullptr;
  }
  context->device = 0;
  return QK_E_SUCCESS;
}
