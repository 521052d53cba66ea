// Recognising the token's HID interface.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qk {

// 0 when the open interface's feature report is 65 or 73 bytes (the token's),
// -1 otherwise or when the length cannot be read.
int32_t IsTokenInterface(platform::Device* device);

}  // namespace qk
