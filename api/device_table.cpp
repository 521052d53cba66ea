// The process's device table and the context check every call starts with.
#include "api/device_table.h"

namespace qk {

DeviceTable& GetDeviceTable() {
  static DeviceTable table{};
  return table;
}

uint32_t CheckContext(const QKContext* context, bool requireOpen) {
  if (context == nullptr) return QK_E_CONTEXT;
  // Callers know the slot number by its low byte; the transport indexes the
  // table with the whole word, so a word that only looks small is refused too.
  if ((context->slotIndex & 0xFFu) >= kMaxDevices) return QK_E_CONTEXT;
  if (context->slotIndex >= kMaxDevices) return QK_E_CONTEXT;
  if (requireOpen && GetDeviceTable().slots[context->slotIndex].opened == 0) return QK_E_CONTEXT;
  return QK_E_SUCCESS;
}

DeviceSlot& SlotOf(const QKContext* context) { return GetDeviceTable().slots[context->slotIndex]; }

}  // namespace qk
