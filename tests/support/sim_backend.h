// The simulated token as an in-process platform backend: library tests run the
// whole API against real token logic without sockets or hardware. Interface
// paths are "qksim:N".
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/token.h"

namespace qktest {

class SimBackend : public qk::platform::Backend {
 public:
  explicit SimBackend(size_t tokenCount = 1);  // fresh tokens with the default contents
  static std::string PathOf(size_t index);
  size_t OpenHandles(size_t index) const;  // handles currently open on token `index`

  qk::platform::InterfaceSet* OpenInterfaceSet() override;
  qk::platform::Device* OpenDevice(const char* path, qk::platform::ShareMode share,
                                   qk::platform::DeviceStatus* status) override;

  struct Slot;  // one token and its open handles

 private:
  std::vector<std::shared_ptr<Slot>> slots_;  // fixed at construction
  std::atomic<uint32_t> nextHandle_{1};
};

// Installs a SimBackend as the process's platform for the object's lifetime.
class ScopedSimBackend {
 public:
  explicit ScopedSimBackend(size_t tokenCount = 1) : backend_(tokenCount) {
    qk::platform::SetBackendForTesting(&backend_);
  }
  ~ScopedSimBackend() { qk::platform::SetBackendForTesting(nullptr); }
  SimBackend* operator->() { return &backend_; }

 private:
  SimBackend backend_;
};

}  // namespace qktest
