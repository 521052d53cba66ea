#include "platform/linux/sysfs_identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace qk::platform::hidraw {
namespace {

// A uevent file is a few hundred bytes; anything beyond this is not one.
constexpr size_t kMaxUeventSize = 4096;
constexpr size_t kMaxUniqLength = 256;

// Parses exactly `digits` hexadecimal digits of `text` from `pos`.
bool ParseHexField(const std::string& text, size_t pos, size_t digits, uint32_t* value) {
  if (pos + digits > text.size()) return false;
  uint32_t result = 0;
  for (size_t i = pos; i < pos + digits; ++i) {
    const char c = text[i];
    uint32_t nibble;
    if (c >= '0' && c <= '9') {
      nibble = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      nibble = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      nibble = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return false;
    }
    result = (result << 4) | nibble;
  }
  *value = result;
  return true;
}

// "BBBB:VVVVVVVV:PPPPPPPP", the format the HID core writes.
bool ParseHidId(const std::string& value, HidIdentity* identity) {
  uint32_t bus = 0, vendor = 0, product = 0;
  if (value.size() != 22 || value[4] != ':' || value[13] != ':') return false;
  if (!ParseHexField(value, 0, 4, &bus) || !ParseHexField(value, 5, 8, &vendor) ||
      !ParseHexField(value, 14, 8, &product)) {
    return false;
  }
  if (vendor > 0xFFFF || product > 0xFFFF) return false;
  identity->bus = bus;
  identity->vendorId = static_cast<uint16_t>(vendor);
  identity->productId = static_cast<uint16_t>(product);
  return true;
}

}  // namespace

bool ParseHidUevent(const std::string& text, HidIdentity* identity) {
  HidIdentity parsed;
  bool haveId = false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.compare(0, 7, "HID_ID=") == 0) {
      if (!ParseHidId(line.substr(7), &parsed)) return false;
      haveId = true;
    } else if (line.compare(0, 9, "HID_UNIQ=") == 0) {
      parsed.uniq = line.substr(9, kMaxUniqLength);
    }
  }
  if (!haveId) return false;
  *identity = parsed;
  return true;
}

bool ReadHidIdentity(const std::string& sysfsRoot, const std::string& node, HidIdentity* identity) {
  const std::string path = sysfsRoot + "/class/hidraw/" + node + "/device/uevent";
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  std::string text(kMaxUeventSize, '\0');
  size_t filled = 0;
  bool ok = true;
  while (filled < text.size()) {
    const ssize_t n = read(fd, &text[filled], text.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    filled += static_cast<size_t>(n);
  }
  close(fd);
  text.resize(filled);
  return ok && ParseHidUevent(text, identity);
}

}  // namespace qk::platform::hidraw
