// The single entry into the transport for the command calls.
#pragma once

#include <cstdint>

#include "transport/command_record.h"

namespace qk {

// One exchange with the token of the slot, under its lock (Channel::Transmit).
// The caller has checked the context; a slot without a device answers
// QK_E_COMMUNICATION.
uint32_t TransmitLocked(uint32_t slotIndex, CommandRecord* record);

// Tests may route every TransmitLocked through `hook` (null restores).
using TransmitHook = uint32_t (*)(uint32_t slotIndex, CommandRecord* record);
void SetTransmitHookForTesting(TransmitHook hook);

}  // namespace qk
