// The platform's pieces as the common front sees them.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace qk::platform {

// The system's own HID backend (hidraw on Linux, the device-setup services
// on Windows), created on first use.
Backend& NativeBackend();

// For tests of the front: stands `backend` in for the native one alone (the
// virtual link stays); null restores the real one.
void SetNativeBackendForTesting(Backend* backend);

// An interface set that lists `native` (owned, may be null: no native
// interfaces) first, then `virtualPaths`.
InterfaceSet* CombineInterfaceSets(InterfaceSet* native, std::vector<std::string> virtualPaths);

}  // namespace qk::platform
