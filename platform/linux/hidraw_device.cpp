#include "platform/linux/hidraw_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/deadline.h"

namespace qk::platform::hidraw {
namespace {

// The kernel caps report descriptors at 4096 bytes.
constexpr size_t kMaxDescriptorSize = 4096;

// Waits until `fd` is ready for `events` or the deadline passes.
DeviceStatus WaitReady(int fd, short events, const Deadline& deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, deadline.RemainingMs());
    if (ready < 0) {
      if (errno == EINTR) continue;
      return DeviceStatus::kFailed;
    }
    if (ready == 0) return DeviceStatus::kTimedOut;
    if (entry.revents & events) return DeviceStatus::kOk;
    // POLLERR, POLLHUP or POLLNVAL without the wanted event: the device is gone.
    return DeviceStatus::kGone;
  }
}

// A read or write that failed with `error`: an unplugged node answers ENODEV
// or EIO, and will never answer again.
DeviceStatus StatusOfTransferError(int error) {
  return error == ENODEV || error == EIO ? DeviceStatus::kGone : DeviceStatus::kFailed;
}

bool ReadSmallFile(const std::string& path, std::vector<uint8_t>* data) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  data->assign(kMaxDescriptorSize, 0);
  size_t filled = 0;
  bool ok = true;
  while (filled < data->size()) {
    const ssize_t n = read(fd, data->data() + filled, data->size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  close(fd);
  data->resize(filled);
  return ok && filled > 0;
}

}  // namespace

HidrawDevice::HidrawDevice(int fd, NodeAccess* access, std::string descriptorFile)
    : fd_(fd), access_(access), descriptorFile_(std::move(descriptorFile)) {}

HidrawDevice::~HidrawDevice() { close(fd_); }

bool HidrawDevice::GetAttributes(uint16_t* vendorId, uint16_t* productId) {
  return access_->RawInfo(fd_, vendorId, productId);
}

bool HidrawDevice::Layout(ReportLayout* layout) {
  if (!layoutKnown_) {
    std::vector<uint8_t> descriptor;
    const bool read = access_->ReportDescriptor(fd_, &descriptor) ||
                      (!descriptorFile_.empty() && ReadSmallFile(descriptorFile_, &descriptor));
    if (!read || !ParseReportDescriptor(descriptor.data(), descriptor.size(), &layout_)) {
      return false;
    }
    layoutKnown_ = true;
  }
  *layout = layout_;
  return true;
}

bool HidrawDevice::GetFeatureReportLength(uint16_t* length) {
  ReportLayout layout;
  if (!Layout(&layout)) return false;
  *length = layout.featureReportLength;
  return true;
}

bool HidrawDevice::FlushInput() {
  uint8_t scratch[kReportSize];
  // The descriptor is non-blocking: read until the queue is empty.
  for (int reads = 0; reads < kMaxFlushReads;) {
    const ssize_t n = read(fd_, scratch, sizeof scratch);
    if (n > 0) {
      ++reads;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return false;
}

DeviceStatus HidrawDevice::WriteReport(const uint8_t* report, uint32_t timeoutMs) {
  const Deadline deadline(timeoutMs);
  // Byte 0 is the report identifier; hidraw drops it again when it is 0.
  for (;;) {
    const DeviceStatus ready = WaitReady(fd_, POLLOUT, deadline);
    if (ready != DeviceStatus::kOk) return ready;
    const ssize_t n = write(fd_, report, kReportSize);
    if (n == static_cast<ssize_t>(kReportSize)) return DeviceStatus::kOk;
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return n < 0 ? StatusOfTransferError(errno) : DeviceStatus::kFailed;
  }
}

DeviceStatus HidrawDevice::ReadReport(uint8_t* report, uint32_t timeoutMs) {
  const Deadline deadline(timeoutMs);
  ReportLayout layout{};
  const bool numbered = Layout(&layout) && layout.usesReportIds;
  // Without report identifiers hidraw returns the data alone: it goes after
  // a 0 identifier byte, as Windows delivers it.
  uint8_t* target = numbered ? report : report + 1;
  const size_t capacity = numbered ? kReportSize : kReportSize - 1;
  for (;;) {
    const DeviceStatus ready = WaitReady(fd_, POLLIN, deadline);
    if (ready != DeviceStatus::kOk) return ready;
    uint8_t buffer[kReportSize];
    const ssize_t n = read(fd_, buffer, capacity);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    // End of file: the node will never deliver another report.
    if (n <= 0) return n == 0 ? DeviceStatus::kGone : StatusOfTransferError(errno);
    std::memset(report, 0, kReportSize);
    std::memcpy(target, buffer, static_cast<size_t>(n));
    return DeviceStatus::kOk;
  }
}

uint32_t HidrawDevice::HandleValue() const { return static_cast<uint32_t>(fd_) + 1; }

bool HidrawDevice::TokenIdentity(uint64_t* first, uint64_t* second) const {
  struct stat info;
  if (fstat(fd_, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  *first = static_cast<uint64_t>(info.st_rdev);
  *second = 0;
  return true;
}

}  // namespace qk::platform::hidraw
