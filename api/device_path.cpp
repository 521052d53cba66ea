// QKGetDevicePath: the interface path the last listing found for a context.
#include <cstring>

#include "api/device_table.h"

extern "C" QK_API uint32_t QK_CALL QKGetDevicePath(const QKContext* context, char* path,
                                                   uint32_t size, uint32_t* needed) {
  const uint32_t check = qk::CheckContext(context, false);
  if (check != QK_E_SUCCESS) return check;
  const qk::DeviceTable& table = qk::GetDeviceTable();
  // Only slots of the last listing hold a path; the rest are stale or empty.
  if (context->slotIndex >= table.count) return QK_E_CONTEXT;
  const char* listed = table.slots[context->slotIndex].path;
  uint32_t length = 0;
  while (length < qk::kPathCapacity - 1 && listed[length] != '\0') ++length;
  const uint32_t required = length + 1;
  if (path == nullptr || size < required) {
    if (needed != nullptr) *needed = required;
    return QK_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(path, listed, required - 1);
  path[required - 1] = '\0';
  if (needed != nullptr) *needed = required;
  return QK_E_SUCCESS;
}
