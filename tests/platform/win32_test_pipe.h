// A stand-in for a HID interface in the Win32 backend's tests: a
// message-mode named pipe whose client end is opened through the backend,
// exactly as a device path would be, while the test plays the device on the
// server end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/windows_sdk.h"

namespace qk::platform::win32::testing {

class TestPipe {
 public:
  // Creates the pipe and opens its client end with `io`. Check device().
  explicit TestPipe(IoMode io = IoMode::kOverlapped);
  ~TestPipe();
  TestPipe(const TestPipe&) = delete;
  TestPipe& operator=(const TestPipe&) = delete;

  Device* device() const { return device_.get(); }
  const std::string& path() const { return path_; }

  // The device side: one message out, one message in (synchronous).
  bool Send(const std::vector<uint8_t>& message);
  std::vector<uint8_t> Receive(size_t capacity = 256);
  // Ends the device side, as an unplugged device would.
  void Disconnect();

 private:
  std::string path_;
  HANDLE server_ = INVALID_HANDLE_VALUE;
  std::unique_ptr<Device> device_;
};

// A fresh name for a pipe, mutex or file, unique in this process run.
std::string UniqueName(const char* stem);

}  // namespace qk::platform::win32::testing
