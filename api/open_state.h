// The slot's device and lock as the open calls and transactions set them up.
#pragma once

#include "api/device_table.h"

namespace qk {

// Opens the slot's path and gives the slot a channel with the token's lock,
// or, inside a transaction, opens the device anew into the slot's channel.
// QK_E_DEVICE_NOT_CONNECTED when the path cannot be opened, QK_E_LOCK_UNSAFE
// when no place for the token's lock can be trusted and QK_E_LOCK_UNAVAILABLE
// when the lock cannot be made otherwise (the slot then holds no channel).
// Sets the context's `device`.
uint32_t OpenSlotDevice(DeviceSlot* slot, platform::ShareMode share, QKContext* context);

// The context names a device already open in its slot. A context that claims
// a device while the slot holds none (the slot was listed again since) would
// leave the slot open without a device, so the path is opened anew then.
bool ReusesOpenDevice(const QKContext* context, const DeviceSlot& slot);

}  // namespace qk
