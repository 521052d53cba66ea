// The process's watch of attached tokens, behind QKWaitForDeviceChange.
#pragma once

namespace qk {

// Drops the watch (when no wait runs), so that the next wait makes a new one
// from the environment as it is then. For tests.
void ResetDeviceWatchForTesting();

}  // namespace qk
