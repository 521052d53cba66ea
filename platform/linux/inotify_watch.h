// The Linux watch of attached tokens: inotify on the device directory (hidraw
// nodes appear, go, and get their permissions) and on the virtual token
// directory. A directory that cannot be watched is looked at again on a
// timer: a bounded rescan, never a busy loop.
#pragma once

#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include "platform/device_watch.h"

namespace qk::platform::hidraw {

struct WatchConfig {
  std::string sysfsRoot = "/sys";
  std::string devRoot = "/dev";
  std::string virtualDir;  // "" when there is none
  uint16_t vendorId = 0x7A5C;
  uint16_t productId = 0x0B21;
  uint32_t rescanMs = 1000;  // period of the rescan of an unwatched directory
};

class InotifyWatch final : public DeviceWatch {
 public:
  explicit InotifyWatch(WatchConfig config);
  ~InotifyWatch() override;
  InotifyWatch(const InotifyWatch&) = delete;
  InotifyWatch& operator=(const InotifyWatch&) = delete;

  // False when inotify itself cannot be had.
  bool Start();
  WatchWait Wait(uint32_t timeoutMs, WakeSignal* wake) override;
  bool Drain() override;

 private:
  bool NeedsRescan() const;
  bool WatchDevices();
  bool WatchVirtual();
  bool RescanDevices();
  bool OnDeviceEvent(uint32_t mask, const char* name);
  bool IsTokenNode(const std::string& name, bool* readable) const;

  WatchConfig config_;
  int fd_ = -1;
  // Written by Drain, read by every Wait (which only asks whether one is -1).
  std::atomic<int> devWatch_{-1};
  std::atomic<int> virtualWatch_{-1};
  std::set<std::string> tokens_;  // hidraw names known to be tokens
};

// eventfd-backed WakeSignal.
class EventWakeSignal final : public WakeSignal {
 public:
  EventWakeSignal();
  ~EventWakeSignal() override;
  EventWakeSignal(const EventWakeSignal&) = delete;
  EventWakeSignal& operator=(const EventWakeSignal&) = delete;
  bool Valid() const { return fd_ >= 0; }
  void Raise() override;
  void Clear() override;
  intptr_t NativeHandle() const override { return fd_; }

 private:
  int fd_;
};

}  // namespace qk::platform::hidraw
