#include "platform/platform.h"

namespace qk::platform {

// The version only chooses among Windows mutex namespaces; other systems
// have none to report.
bool GetOsVersion(uint32_t* major, uint32_t* minor) {
  *major = 0;
  *minor = 0;
  return false;
}

}  // namespace qk::platform
