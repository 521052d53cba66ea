// A hidraw node's HID identity as sysfs shows it, read without opening the
// node: listing uses it to leave every other device alone.
#pragma once

#include <cstdint>
#include <string>

namespace qk::platform::hidraw {

struct HidIdentity {
  uint32_t bus = 0;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string uniq;  // HID_UNIQ: a serial number or another unique text ("" when none)
};

// Parses the text of a HID device's uevent file ("HID_ID=0003:00007A5C:00000B21"
// and "HID_UNIQ=..." lines among others). False when no well-formed HID_ID
// line is present or its vendor or product does not fit 16 bits.
bool ParseHidUevent(const std::string& text, HidIdentity* identity);

// Reads `<sysfsRoot>/class/hidraw/<node>/device/uevent` (at most 4 KiB).
bool ReadHidIdentity(const std::string& sysfsRoot, const std::string& node, HidIdentity* identity);

}  // namespace qk::platform::hidraw
