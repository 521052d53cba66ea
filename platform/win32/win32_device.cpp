#include "platform/win32/win32_device.h"

#include <cstring>

#include "platform/deadline.h"

namespace qk::platform::win32 {
namespace {

enum class Direction { kWrite, kRead };

// One overlapped transfer of exactly kReportSize bytes, waited for at most
// timeoutMs. An operation that is still pending when the wait ends is
// cancelled and then waited for, so that neither `buffer` nor the OVERLAPPED
// record on this stack frame is written after we return.
DeviceStatus TransferReport(HANDLE file, HANDLE event, Direction direction, uint8_t* buffer,
                            uint32_t timeoutMs) {
  if (event == nullptr) return DeviceStatus::kFailed;
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = event;

  const DWORD size = static_cast<DWORD>(kReportSize);
  const BOOL started = direction == Direction::kWrite
                           ? WriteFile(file, buffer, size, nullptr, &overlapped)
                           : ReadFile(file, buffer, size, nullptr, &overlapped);
  if (!started) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return StatusOfError(error);
  }

  const DWORD waited = WaitForSingleObject(event, timeoutMs);
  DWORD transferred = 0;
  if (waited != WAIT_OBJECT_0) {
    // Timed out, or the wait itself failed: stop the operation and wait for
    // the system to let go of the buffer. CancelIo cancels what this thread
    // started on the handle, which is exactly this one operation, and exists
    // on every Windows version the library runs on.
    CancelIo(file);
    const BOOL finished = GetOverlappedResult(file, &overlapped, &transferred, TRUE);
    // An operation that completed in the race with the cancel did its work:
    // report it rather than drop a report that was really read or written.
    if (finished && WholeReport(direction == Direction::kWrite, buffer, transferred))
      return DeviceStatus::kOk;
    return waited == WAIT_TIMEOUT ? DeviceStatus::kTimedOut : DeviceStatus::kFailed;
  }
  if (!GetOverlappedResult(file, &overlapped, &transferred, TRUE)) {
    return StatusOfError(GetLastError());
  }
  // A HID interface transfers whole reports; anything shorter is not one.
  return WholeReport(direction == Direction::kWrite, buffer, transferred) ? DeviceStatus::kOk
                                                                          : DeviceStatus::kFailed;
}

// One read of the drain: started, given no time at all, and cancelled when
// nothing was waiting.
enum class DrainRead { kGotReport, kEmpty, kFailed };

DrainRead ReadQueuedReport(HANDLE file, HANDLE event) {
  uint8_t scratch[kReportSize];
  OVERLAPPED overlapped;
  std::memset(&overlapped, 0, sizeof overlapped);
  overlapped.hEvent = event;
  if (!ReadFile(file, scratch, sizeof scratch, nullptr, &overlapped) &&
      GetLastError() != ERROR_IO_PENDING) {
    // A report longer than the buffer was still taken off the queue.
    return GetLastError() == ERROR_MORE_DATA ? DrainRead::kGotReport : DrainRead::kFailed;
  }
  const bool waiting = WaitForSingleObject(event, 0) != WAIT_OBJECT_0;
  // Nothing queued: the read is pending on the empty queue. Cancel it and
  // wait until the system lets go of `scratch` and `overlapped`.
  if (waiting) CancelIo(file);
  DWORD transferred = 0;
  if (GetOverlappedResult(file, &overlapped, &transferred, TRUE)) return DrainRead::kGotReport;
  const DWORD error = GetLastError();
  if (error == ERROR_MORE_DATA) return DrainRead::kGotReport;
  // A report that arrived in the race with the cancel was read: go on.
  return waiting && error == ERROR_OPERATION_ABORTED ? DrainRead::kEmpty : DrainRead::kFailed;
}

}  // namespace

DeviceStatus StatusOfError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return DeviceStatus::kNotFound;
    case ERROR_ACCESS_DENIED:
      return DeviceStatus::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
      return DeviceStatus::kSharingViolation;
    case ERROR_DEVICE_NOT_CONNECTED:
      return DeviceStatus::kGone;
    default:
      return DeviceStatus::kFailed;
  }
}

bool FlushUnsupported(DWORD error) {
  return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION ||
         error == ERROR_CALL_NOT_IMPLEMENTED;
}

bool DrainInput(HANDLE file, const DrainLimits& limits) {
  // Manual-reset: ReadFile resets it when it starts each read.
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) return false;
  const Deadline deadline(limits.maxMs);
  bool emptied = false;
  for (uint32_t reports = 0;;) {
    const DrainRead read = ReadQueuedReport(file, event);
    if (read != DrainRead::kGotReport) {
      emptied = read == DrainRead::kEmpty;
      break;
    }
    if (++reports >= limits.maxReports || deadline.Expired()) break;
  }
  CloseHandle(event);
  return emptied;
}

bool WholeReport(bool written, const uint8_t* report, DWORD transferred) {
  if (transferred == kReportSize) return true;
  return written && report[0] != 0 && transferred == kReportSize - 1;
}

uint8_t OutputReportId(HANDLE file) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(file, &preparsed)) return 0;
  // The token's output report is one value array; a device declaring it as
  // buttons is read the same way.
  HIDP_VALUE_CAPS values[1];
  USHORT count = 1;
  uint8_t id = 0;
  if (HidP_GetValueCaps(HidP_Output, values, &count, preparsed) == HIDP_STATUS_SUCCESS &&
      count == 1) {
    id = values[0].ReportID;
  } else {
    HIDP_BUTTON_CAPS buttons[1];
    count = 1;
    if (HidP_GetButtonCaps(HidP_Output, buttons, &count, preparsed) == HIDP_STATUS_SUCCESS &&
        count == 1) {
      id = buttons[0].ReportID;
    }
  }
  HidD_FreePreparsedData(preparsed);
  return id;
}

uint32_t HandleToValue(HANDLE handle) {
  const auto value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
  return value != 0 ? value : 1u;
}

Win32Device::~Win32Device() {
  if (handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr) CloseHandle(handle_);
  if (event_ != nullptr) CloseHandle(event_);
}

bool Win32Device::GetAttributes(uint16_t* vendorId, uint16_t* productId) {
  HIDD_ATTRIBUTES attributes;
  std::memset(&attributes, 0, sizeof attributes);
  attributes.Size = sizeof attributes;
  if (!HidD_GetAttributes(handle_, &attributes)) return false;
  *vendorId = attributes.VendorID;
  *productId = attributes.ProductID;
  return true;
}

bool Win32Device::GetFeatureReportLength(uint16_t* length) {
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (!HidD_GetPreparsedData(handle_, &preparsed)) return false;
  HIDP_CAPS caps;
  std::memset(&caps, 0, sizeof caps);
  const bool read = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
  // Freed on every path; a failed free rejects the interface as well.
  const bool freed = HidD_FreePreparsedData(preparsed) != FALSE;
  if (!read || !freed) return false;
  *length = caps.FeatureReportByteLength;
  return true;
}

bool Win32Device::FlushInput() {
  if (HidD_FlushQueue(handle_)) return true;
  // Only a flush the driver does not have is replaced; one that failed
  // stays a failure. A zero-wait read needs an overlapped handle.
  if (!FlushUnsupported(GetLastError()) || !overlapped_) return false;
  return DrainInput(handle_, kDrainLimits);
}

HANDLE Win32Device::TransferEvent() {
  // Manual-reset and initially signalled: ReadFile and WriteFile reset it
  // when they start an operation and the system sets it on completion. One
  // that could not be made is tried again at the next transfer.
  if (event_ == nullptr) event_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  return event_;
}

DeviceStatus Win32Device::WriteReport(const uint8_t* report, uint32_t timeoutMs) {
  // WriteFile takes a const buffer, but the transfer helper is shared with
  // reads; a private copy also keeps the caller's report out of the
  // system's hands.
  uint8_t outgoing[kReportSize];
  std::memcpy(outgoing, report, kReportSize);
  // Byte 0 is the report identifier. The HID class refuses a write whose
  // identifier the device does not declare, so a device that numbers its
  // reports gets its own instead of the 0 the transport leaves there.
  if (outputReportId_ < 0) outputReportId_ = OutputReportId(handle_);
  if (outgoing[0] == 0) outgoing[0] = static_cast<uint8_t>(outputReportId_);
  return TransferReport(handle_, TransferEvent(), Direction::kWrite, outgoing, timeoutMs);
}

DeviceStatus Win32Device::ReadReport(uint8_t* report, uint32_t timeoutMs) {
  // Read into a local buffer so that the caller's report changes only when a
  // whole report has arrived.
  uint8_t incoming[kReportSize];
  std::memset(incoming, 0, sizeof incoming);
  const DeviceStatus status =
      TransferReport(handle_, TransferEvent(), Direction::kRead, incoming, timeoutMs);
  if (status == DeviceStatus::kOk) std::memcpy(report, incoming, kReportSize);
  return status;
}

uint32_t Win32Device::HandleValue() const { return HandleToValue(handle_); }

}  // namespace qk::platform::win32
