// An open HID interface on Windows: the file handle returned by CreateFileA,
// with the HID queries and the overlapped report transfers the library needs.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/win32/windows_sdk.h"

namespace qk::platform::win32 {

// Owns `handle` and closes it on destruction. Report transfers need a handle
// opened with FILE_FLAG_OVERLAPPED; the HID queries work on either kind.
class Win32Device final : public Device {
 public:
  explicit Win32Device(HANDLE handle) : handle_(handle) {}
  ~Win32Device() override;
  Win32Device(const Win32Device&) = delete;
  Win32Device& operator=(const Win32Device&) = delete;

  bool GetAttributes(uint16_t* vendorId, uint16_t* productId) override;
  bool GetFeatureReportLength(uint16_t* length) override;
  bool FlushInput() override;
  IoEvent* CreateIoEvent() override;
  void CloseIoEvent(IoEvent* event) override;
  IoStatus WriteReport(IoEvent* event, const uint8_t* report, uint32_t timeoutMs) override;
  IoStatus ReadReport(IoEvent* event, uint8_t* report, uint32_t timeoutMs) override;
  uint32_t HandleValue() const override;

 private:
  HANDLE handle_;
};

// The 32-bit value that names a handle in QKContext.device. Kernel handles are
// small multiples of 4, so truncation keeps them distinct; never 0.
uint32_t HandleToValue(HANDLE handle);

}  // namespace qk::platform::win32
