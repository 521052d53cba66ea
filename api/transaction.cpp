// Transactions: the token's exchange lock held across calls, so that a
// sequence of commands (an open among them) runs with no other handle's
// command, or key agreement, in between.
#include "api/device_table.h"
#include "api/open_state.h"
#include "include/qktoken.h"
#include "transport/exchange.h"

extern "C" QK_API uint32_t QK_CALL QKBeginTransaction(QKContext* context, uint32_t timeoutMs) {
  const uint32_t check = qk::CheckContext(context, false);
  if (check != QK_E_SUCCESS) return check;
  if (timeoutMs > QK_MAX_WAIT_MS) return QK_E_PARAMETER;
  const uint32_t waitMs = timeoutMs == QK_WAIT_DEFAULT ? qk::GetTimeLimits().lockMs : timeoutMs;
  qk::DeviceSlot& slot = qk::SlotOf(context);
  // A listed token that is not open yet: its lock is named by the device, so
  // the device is opened (shared) first; the open inside the transaction
  // then uses it.
  const bool openedHere = slot.channel == nullptr;
  if (openedHere) {
    const uint32_t opened = qk::OpenSlotDevice(&slot, qk::platform::ShareMode::kShared, context);
    if (opened != QK_E_SUCCESS) return opened;
  }
  const uint32_t begun = slot.channel->BeginTransaction(waitMs);
  if (begun != QK_E_SUCCESS && openedHere && slot.opened == 0) {
    delete slot.channel;
    slot.channel = nullptr;
    context->device = 0;
  }
  return begun;
}

extern "C" QK_API uint32_t QK_CALL QKEndTransaction(QKContext* context) {
  const uint32_t check = qk::CheckContext(context, false);
  if (check != QK_E_SUCCESS) return check;
  qk::DeviceSlot& slot = qk::SlotOf(context);
  if (slot.channel == nullptr || !slot.channel->EndTransaction()) return QK_E_PARAMETER;
  // The transaction alone kept a closed slot's channel: it goes with it.
  if (!slot.channel->InTransaction() && slot.opened == 0) {
    delete slot.channel;
    slot.channel = nullptr;
    context->device = 0;
  }
  return QK_E_SUCCESS;
}
