#include "platform/linux/hidraw_backend.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "platform/debug_log.h"
#include "platform/linux/hidraw_device.h"
#include "platform/linux/sysfs_identity.h"

namespace qk::platform::hidraw {
namespace {

constexpr char kNodePrefix[] = "hidraw";
constexpr size_t kNodePrefixLength = sizeof kNodePrefix - 1;
// hidraw minors are small; more digits than this is not a hidraw node.
constexpr size_t kMaxNodeDigits = 6;

// The node number of "hidrawN", or -1 for any other name.
long NodeNumber(const char* name) {
  if (std::strncmp(name, kNodePrefix, kNodePrefixLength) != 0) return -1;
  const char* digits = name + kNodePrefixLength;
  const size_t count = std::strlen(digits);
  if (count == 0 || count > kMaxNodeDigits) return -1;
  long number = 0;
  for (size_t i = 0; i < count; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return -1;
    number = number * 10 + (digits[i] - '0');
  }
  return number;
}

class HidrawInterfaceSet final : public InterfaceSet {
 public:
  explicit HidrawInterfaceSet(std::vector<std::string> paths) : paths_(std::move(paths)) {}

  EnumStatus PathAt(uint32_t index, char* path, size_t capacity) override {
    if (index >= paths_.size()) return EnumStatus::kNoMore;
    const std::string& chosen = paths_[index];
    if (chosen.size() + 1 > kDetailBufferSize) return EnumStatus::kDetailTooLarge;
    if (chosen.size() + 1 > capacity) return EnumStatus::kDetailUnreadable;
    std::memcpy(path, chosen.c_str(), chosen.size() + 1);
    return EnumStatus::kOk;
  }

 private:
  std::vector<std::string> paths_;
};

// The node name of a path under `devRoot` ("hidraw3" for "/dev/hidraw3"), or
// "" when the path does not name a hidraw node there.
std::string NodeNameOf(const std::string& devRoot, const char* path) {
  const std::string prefix = devRoot + "/";
  if (std::strncmp(path, prefix.c_str(), prefix.size()) != 0) return "";
  const char* name = path + prefix.size();
  return NodeNumber(name) >= 0 ? std::string(name) : std::string();
}

}  // namespace

int NodeAccess::Open(const char* path, int flags) { return open(path, flags); }

bool NodeAccess::RawInfo(int fd, uint16_t* vendorId, uint16_t* productId) {
  hidraw_devinfo info{};
  if (ioctl(fd, HIDIOCGRAWINFO, &info) < 0) return false;
  // The kernel declares the identifiers signed; they are 16-bit codes.
  *vendorId = static_cast<uint16_t>(info.vendor);
  *productId = static_cast<uint16_t>(info.product);
  return true;
}

bool NodeAccess::ReportDescriptor(int fd, std::vector<uint8_t>* descriptor) {
  int size = 0;
  if (ioctl(fd, HIDIOCGRDESCSIZE, &size) < 0) return false;
  if (size <= 0 || size > HID_MAX_DESCRIPTOR_SIZE) return false;
  hidraw_report_descriptor request{};
  request.size = static_cast<uint32_t>(size);
  if (ioctl(fd, HIDIOCGRDESC, &request) < 0) return false;
  descriptor->assign(request.value, request.value + size);
  return true;
}

bool ListHidrawNames(const std::string& classDir, std::vector<std::string>* names) {
  names->clear();
  DIR* dir = opendir(classDir.c_str());
  if (dir == nullptr) return errno == ENOENT;
  std::vector<std::pair<long, std::string>> found;
  while (const dirent* entry = readdir(dir)) {
    const long number = NodeNumber(entry->d_name);
    if (number >= 0) found.emplace_back(number, entry->d_name);
  }
  closedir(dir);
  std::sort(found.begin(), found.end());
  for (auto& item : found) names->push_back(std::move(item.second));
  return true;
}

bool ListHidrawNamesOf(const std::string& sysfsRoot, uint16_t vendorId, uint16_t productId,
                       std::vector<std::string>* names) {
  std::vector<std::string> all;
  if (!ListHidrawNames(sysfsRoot + "/class/hidraw", &all)) {
    QK_DEBUG("list: %s/class/hidraw cannot be read", sysfsRoot.c_str());
    return false;
  }
  names->clear();
  for (std::string& name : all) {
    HidIdentity identity;
    if (!ReadHidIdentity(sysfsRoot, name, &identity)) {
      QK_DEBUG("list: %s skipped: its HID identity cannot be read", name.c_str());
    } else if (identity.vendorId != vendorId || identity.productId != productId) {
      QK_DEBUG("list: %s skipped: device %04X:%04X is not a token", name.c_str(), identity.vendorId,
               identity.productId);
    } else {
      names->push_back(std::move(name));
    }
  }
  return true;
}

DeviceStatus StatusOfOpenError(int error) {
  switch (error) {
    case EBUSY:
      return DeviceStatus::kSharingViolation;
    case EACCES:
    case EPERM:
      return DeviceStatus::kAccessDenied;
    default:
      return DeviceStatus::kNotFound;
  }
}

HidrawBackend::HidrawBackend(HidrawConfig config) : config_(std::move(config)) {
  if (config_.access == nullptr) config_.access = &defaultAccess_;
}

InterfaceSet* HidrawBackend::OpenInterfaceSet() {
  std::vector<std::string> names;
  if (!ListHidrawNamesOf(config_.sysfsRoot, config_.listedVendorId, config_.listedProductId,
                         &names)) {
    return nullptr;
  }
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const std::string& name : names) paths.push_back(config_.devRoot + "/" + name);
  return new (std::nothrow) HidrawInterfaceSet(std::move(paths));
}

IdentityStatus HidrawBackend::ReadIdentity(const char* path, uint16_t* vendorId,
                                           uint16_t* productId) {
  const std::string node = NodeNameOf(config_.devRoot, path);
  HidIdentity identity;
  if (node.empty() || !ReadHidIdentity(config_.sysfsRoot, node, &identity)) {
    return IdentityStatus::kAskDevice;
  }
  *vendorId = identity.vendorId;
  *productId = identity.productId;
  return IdentityStatus::kRead;
}

Device* HidrawBackend::OpenDevice(const char* path, ShareMode share, DeviceStatus* status) {
  // Every descriptor is non-blocking: each wait is bounded by poll(2) instead.
  const int fd = config_.access->Open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    QK_DEBUG("open: %s: %s (errno %d)", path, std::strerror(error), error);
    *status = StatusOfOpenError(error);
    return nullptr;
  }
  // hidraw lets any number of processes open a node; the sharing rules are
  // kept with an advisory lock on the open node instead.
  const int lockKind = share == ShareMode::kExclusive ? LOCK_EX : LOCK_SH;
  int locked;
  do {
    locked = flock(fd, lockKind | LOCK_NB);
  } while (locked < 0 && errno == EINTR);
  if (locked < 0) {
    close(fd);
    *status = DeviceStatus::kSharingViolation;
    return nullptr;
  }
  const std::string node = NodeNameOf(config_.devRoot, path);
  std::string descriptorFile;
  if (!node.empty()) {
    descriptorFile = config_.sysfsRoot + "/class/hidraw/" + node + "/device/report_descriptor";
  }
  auto* device = new (std::nothrow) HidrawDevice(fd, config_.access, std::move(descriptorFile));
  if (device == nullptr) {
    close(fd);
    *status = DeviceStatus::kFailed;
    return nullptr;
  }
  *status = DeviceStatus::kOk;
  return device;
}

}  // namespace qk::platform::hidraw
