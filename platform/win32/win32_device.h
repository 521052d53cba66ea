// An open HID interface on Windows: the file handle returned by CreateFileA,
// with the HID queries and the overlapped report transfers the library needs.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "platform/win32/windows_sdk.h"

namespace qk::platform::win32 {

// Owns `handle` and closes it on destruction. Report transfers and the
// input flush need a handle opened with FILE_FLAG_OVERLAPPED (`overlapped`);
// the HID queries work on either kind. The transfers wait on one
// manual-reset event of the device's own, made at the first transfer and
// closed with the device (one transfer at a time, as for every device).
class Win32Device final : public Device {
 public:
  explicit Win32Device(HANDLE handle, bool overlapped = true)
      : handle_(handle), overlapped_(overlapped) {}
  ~Win32Device() override;
  Win32Device(const Win32Device&) = delete;
  Win32Device& operator=(const Win32Device&) = delete;

  bool GetAttributes(uint16_t* vendorId, uint16_t* productId) override;
  bool GetFeatureReportLength(uint16_t* length) override;
  // HidD_FlushQueue; where the driver has no flush (Wine's HID class), the
  // queue is emptied with DrainInput and kDrainLimits instead.
  bool FlushInput() override;
  DeviceStatus WriteReport(const uint8_t* report, uint32_t timeoutMs) override;
  DeviceStatus ReadReport(uint8_t* report, uint32_t timeoutMs) override;
  uint32_t HandleValue() const override;
  HANDLE Handle() const { return handle_; }

 private:
  // The transfers' event; null when it cannot be made (the transfer fails).
  HANDLE TransferEvent();

  HANDLE handle_;
  bool overlapped_;
  HANDLE event_ = nullptr;
  // The identifier the interface's output report carries (0: none), read
  // from its preparsed data at the first write; -1 until then.
  int outputReportId_ = -1;
};

// What a system error number of an open or a transfer means to the library.
DeviceStatus StatusOfError(DWORD error);

// Whether a transfer of `transferred` bytes moved the whole 65-byte `report`
// (`written`: a write). Windows counts every byte; Wine's HID class leaves
// the identifier byte out of a numbered report's written count.
bool WholeReport(bool written, const uint8_t* report, DWORD transferred);

// The report identifier of the output report the HID interface `file`
// declares, 0 when its reports carry none or it cannot be read.
uint8_t OutputReportId(HANDLE file);

// How long emptying the input queue by reading may go on before it gives
// up: a device that keeps sending would otherwise keep it reading for ever.
struct DrainLimits {
  uint32_t maxReports;  // reports read and dropped
  uint32_t maxMs;       // time spent
};
constexpr DrainLimits kDrainLimits = {256, 250};

// True for the errors with which a driver says it has no flush at all, as
// opposed to a flush that failed.
bool FlushUnsupported(DWORD error);

// Reads and drops the input reports already queued on `file` (opened
// overlapped), each read waited for not at all. True once a read finds the
// queue empty; false when a read fails or a limit is reached first. The last
// read, left pending on the empty queue, is cancelled and waited for before
// returning.
bool DrainInput(HANDLE file, const DrainLimits& limits);

// The 32-bit value that names a handle in QKContext.device. Kernel handles are
// small multiples of 4, so truncation keeps them distinct; never 0.
uint32_t HandleToValue(HANDLE handle);

}  // namespace qk::platform::win32
