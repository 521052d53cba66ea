// One open hidraw node.
#pragma once

#include <cstdint>
#include <string>

#include "platform/linux/hidraw_backend.h"
#include "platform/linux/report_descriptor.h"

namespace qk::platform::hidraw {

// Reads and writes 65-byte reports on a non-blocking hidraw descriptor, each
// wait bounded by poll(2). Byte 0 is the report identifier, 0 for a device without identifiers
// (hidraw itself leaves that byte out of what it reads for such a device).
class HidrawDevice final : public Device {
 public:
  // Takes ownership of `fd`. `descriptorFile` is the sysfs copy of the report
  // descriptor, read when the ioctl cannot give it ("" when unknown).
  HidrawDevice(int fd, NodeAccess* access, std::string descriptorFile);
  ~HidrawDevice() override;
  HidrawDevice(const HidrawDevice&) = delete;
  HidrawDevice& operator=(const HidrawDevice&) = delete;

  bool GetAttributes(uint16_t* vendorId, uint16_t* productId) override;
  bool GetFeatureReportLength(uint16_t* length) override;
  bool FlushInput() override;
  DeviceStatus WriteReport(const uint8_t* report, uint32_t timeoutMs) override;
  DeviceStatus ReadReport(uint8_t* report, uint32_t timeoutMs) override;
  uint32_t HandleValue() const override;
  // The node's device number: every path to the node shares it.
  bool TokenIdentity(uint64_t* first, uint64_t* second) const override;

  // The most input reports one flush discards before it gives up on a device
  // that never stops sending (the kernel queues 64 per reader).
  static constexpr int kMaxFlushReads = 256;

 private:
  // The parsed descriptor, read once; false when it cannot be had.
  bool Layout(ReportLayout* layout);

  int fd_;
  NodeAccess* access_;
  std::string descriptorFile_;
  bool layoutKnown_ = false;
  ReportLayout layout_{};
};

}  // namespace qk::platform::hidraw
