// The simulated token as a platform backend, in-process: library tests run
// the whole API (listing, open, session key, commands) against real token
// logic without sockets or hardware. Interface paths are "qksim:N".
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/token.h"

namespace qktest {

class SimBackend : public qk::platform::Backend {
 public:
  // `tokenCount` fresh tokens with the default contents.
  explicit SimBackend(size_t tokenCount = 1);
  ~SimBackend() override;

  // Adds a token (for example one opened from an image); returns its index.
  size_t AddToken(std::shared_ptr<qksim::Token> token,
                  qksim::Identity identity = qksim::Identity{});
  static std::string PathOf(size_t index);
  // Handles currently open on token `index`.
  size_t OpenHandles(size_t index) const;

  qk::platform::InterfaceSet* OpenInterfaceSet() override;
  qk::platform::Device* OpenDevice(const char* path, qk::platform::IoMode io,
                                   qk::platform::ShareMode share, uint32_t* systemError) override;

  struct Slot;  // one token and its open handles (internal)

 private:
  std::vector<std::shared_ptr<Slot>> slots_;
  uint32_t nextHandle_ = 1;
  mutable std::mutex mutex_;
};

// Installs a SimBackend as the process's platform for the lifetime of the object.
class ScopedSimBackend {
 public:
  explicit ScopedSimBackend(size_t tokenCount = 1);
  ~ScopedSimBackend();
  SimBackend& operator*() { return backend_; }
  SimBackend* operator->() { return &backend_; }

 private:
  SimBackend backend_;
};

}  // namespace qktest
