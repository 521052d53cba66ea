// The native Linux backend: HID interfaces are the hidraw device nodes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qk::platform::hidraw {

// The few calls the backend makes on a device node, so that tests can stand
// a socket pair in for a node and script what the ioctls answer.
class NodeAccess {
 public:
  virtual ~NodeAccess() = default;
  // open(2): a descriptor, or -1 with errno set.
  virtual int Open(const char* path, int flags);
  // HIDIOCGRAWINFO.
  virtual bool RawInfo(int fd, uint16_t* vendorId, uint16_t* productId);
  // HIDIOCGRDESCSIZE, then HIDIOCGRDESC.
  virtual bool ReportDescriptor(int fd, std::vector<uint8_t>* descriptor);
};

struct HidrawConfig {
  std::string sysfsRoot = "/sys";  // holds class/hidraw/hidrawN
  std::string devRoot = "/dev";    // holds the hidrawN nodes
  NodeAccess* access = nullptr;    // null: the real system calls
  // Listing names only the nodes whose sysfs identity is this one: other
  // devices are never opened, so an unrelated node the user may not open
  // cannot make listing fail.
  uint16_t listedVendorId = 0x7A5C;
  uint16_t listedProductId = 0x0B21;
};

class HidrawBackend final : public Backend {
 public:
  explicit HidrawBackend(HidrawConfig config = HidrawConfig());
  InterfaceSet* OpenInterfaceSet() override;
  Device* OpenDevice(const char* path, ShareMode share, DeviceStatus* status) override;
  // From sysfs, without opening the node: a token held by another process
  // for itself is still known as a token.
  IdentityStatus ReadIdentity(const char* path, uint16_t* vendorId, uint16_t* productId) override;

 private:
  HidrawConfig config_;
  NodeAccess defaultAccess_;
};

// The hidrawN names under `sysfsRoot` whose HID identity (read from sysfs,
// without opening the node) is vendorId:productId, in numeric order. A node
// whose identity cannot be read is left out. False as ListHidrawNames.
bool ListHidrawNamesOf(const std::string& sysfsRoot, uint16_t vendorId, uint16_t productId,
                       std::vector<std::string>* names);

// The hidrawN names in `classDir`, in numeric order (hidraw2 before
// hidraw10). False when the directory exists but cannot be read; a missing
// directory (no hidraw driver loaded) is an empty list.
bool ListHidrawNames(const std::string& classDir, std::vector<std::string>* names);

// What an errno of open(2) means to the library.
DeviceStatus StatusOfOpenError(int error);

}  // namespace qk::platform::hidraw
