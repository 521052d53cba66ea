// The process-wide table of listed devices and the context checks every call makes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/qktoken.h"
#include "transport/channel.h"

namespace qk {

constexpr uint32_t kMaxDevices = QK_MAX_DEVICES;
constexpr size_t kPathCapacity = 273;  // 272 characters and the NUL

struct DeviceSlot {
  uint8_t opened;             // 1 while open
  Channel* channel;           // device, lock, session key; null after listing and close
  char path[kPathCapacity];   // interface path, NUL-terminated
  uint8_t historical[16];     // historical bytes of an answer-to-reset string
};

struct DeviceTable {
  DeviceSlot slots[kMaxDevices];
  uint32_t count;  // tokens found by the last listing
};

// The one table of the process, zero at start.
DeviceTable& GetDeviceTable();

// The check every call that takes a context makes first: QK_E_CONTEXT for a
// null context or a slot number out of range, and, when requireOpen, for a
// slot that is not open. 0 when the context may be used.
uint32_t CheckContext(const QKContext* context, bool requireOpen);

// The slot a checked context names.
DeviceSlot& SlotOf(const QKContext* context);

}  // namespace qk
