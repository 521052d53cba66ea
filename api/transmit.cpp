#include "api/transmit.h"

#include <atomic>

#include "api/device_table.h"

namespace qk {

namespace {
std::atomic<TransmitHook> gTransmitHook{nullptr};
}  // namespace

uint32_t TransmitLocked(uint32_t slotIndex, CommandRecord* record) {
  if (TransmitHook hook = gTransmitHook.load()) return hook(slotIndex, record);
  // Callers check the context; the table is indexed with the whole word, so
  // guard it here as well.
  if (slotIndex >= kMaxDevices) return QK_E_CONTEXT;
  Channel* channel = GetDeviceTable().slots[slotIndex].channel;
  if (channel == nullptr) return QK_E_COMMUNICATION;
  return channel->Transmit(record);
}

void SetTransmitHookForTesting(TransmitHook hook) { gTransmitHook = hook; }

}  // namespace qk
