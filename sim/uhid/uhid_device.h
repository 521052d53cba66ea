// Serves one simulated token as a real HID device through the kernel's
// user-space HID driver (/dev/uhid): every program on the machine then sees
// it as a hidraw node, as it would see the hardware.
//
// The device has one vendor-defined collection with 64-byte input, output
// and feature reports, optionally numbered with a report identifier. Each
// output report the kernel passes on goes to the token; each answer report
// goes back as one input report, in order. Like the hardware, the device
// cannot tell the host's handles apart: they all talk to the token's one
// session.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "sim/token.h"

namespace qksim::uhid {

constexpr size_t kReportDataSize = 64;

struct UhidOptions {
  uint16_t vendorId = 0x7A5C;
  uint16_t productId = 0x0B21;
  uint8_t reportId = 0;  // 0: reports carry no identifier
  std::string name = "qktoken simulated token";
  std::string uniq;  // shown as HID_UNIQ in sysfs; at most 63 bytes are kept
};

// The report descriptor: a vendor page collection with 64-byte input, output
// and feature reports, preceded by a report identifier when `reportId` is
// not 0.
std::vector<uint8_t> TokenReportDescriptor(uint8_t reportId);

// The token's view of a host report: `data` is what the kernel passed on
// (with or without the leading identifier byte). The identifier byte is
// accepted when it is 0 or the device's own; anything else, or a length
// other than 64 or 65 bytes, is not a report of this device (false).
bool HostReportToToken(const uint8_t* data, size_t size, uint8_t reportId, Report* report);

class UhidDevice {
 public:
  // `token` must outlive the device.
  UhidDevice(Token& token, UhidOptions options);
  ~UhidDevice();
  UhidDevice(const UhidDevice&) = delete;
  UhidDevice& operator=(const UhidDevice&) = delete;

  // Opens `path` for reading and writing and creates the device. False with
  // a message saying what is needed when it cannot be opened or the kernel
  // refuses the device.
  bool Start(std::string* error, const char* path = "/dev/uhid");
  // Creates the device on an open descriptor (taken over even on failure);
  // tests hand in one end of a socket pair.
  bool StartOn(int fd, std::string* error);
  // Destroys the device (the kernel removes its hidraw node) and stops.
  void Stop();

  // While set, host reports are read and thrown away: a token that stopped
  // answering, so that tests can unplug it in the middle of an exchange.
  void SetIgnoreHostReports(bool ignore) { ignoreHostReports_.store(ignore); }
  // Host reports received since Start (ignored or not).
  uint64_t HostReports() const { return hostReports_.load(); }
  bool Running() const { return fd_ >= 0; }

 private:
  void Loop();
  bool HandleEvent(const void* event, size_t size);
  bool Write(const void* event);

  Token& token_;
  UhidOptions options_;
  int fd_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  std::atomic<bool> ignoreHostReports_{false};
  std::atomic<uint64_t> hostReports_{0};
  std::thread thread_;
};

// The hidraw node ("/dev/hidrawN") the kernel made for the device with this
// identity and HID_UNIQ, looked up in sysfs; "" when there is none (yet: the
// node appears shortly after the device is created, and only when a HID
// driver such as hid-generic binds it).
std::string HidrawNodeOf(uint16_t vendorId, uint16_t productId, const std::string& uniq,
                         const std::string& sysfsRoot = "/sys");

// What to tell a user who cannot open `path` (errno `error`).
std::string OpenFailureMessage(const char* path, int error);

}  // namespace qksim::uhid
