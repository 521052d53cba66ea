// QKWaitForDeviceChange and QKCancelDeviceWait: a blocking wait for the set
// of attached tokens to change, keyed by a state counter the caller keeps.
//
// The platform's watch is made on the first wait and kept for the life of
// the process, so that changes while nobody waits queue up in the system
// and advance the counter at the next wait: a token that comes and goes
// between two waits is still reported.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "api/device_watch.h"
#include "include/qktoken.h"
#include "platform/deadline.h"
#include "platform/debug_log.h"
#include "platform/device_watch.h"
#include "platform/virtual/directory.h"

namespace qk {
namespace {

struct Waiter {
  platform::WakeSignal* signal;
  bool cancelled;
};

struct WatchShared {
  std::mutex mutex;
  std::unique_ptr<platform::DeviceWatch> watch;
  uint32_t state = 0;
  std::vector<Waiter*> waiters;
  std::string virtualDir;  // QKTOKEN_VIRTUAL_DIR when the watch was made
};

std::string VirtualDirNow() {
  const char* directory = std::getenv(platform::vlink::kDirectoryVariable);
  return directory != nullptr ? directory : "";
}

WatchShared& Shared() {
  static WatchShared* shared = new WatchShared;  // waits may run during exit
  return *shared;
}

// A first state that a caller's value from another process (or an earlier
// watch) is unlikely to match, so that it reads as "changed", never as
// "nothing happened". Never 0: 0 is the caller's "no state yet".
uint32_t FirstState() {
  const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
  const uint32_t mixed = static_cast<uint32_t>(ticks) ^ static_cast<uint32_t>(ticks >> 32);
  return mixed == 0 ? 1 : mixed;
}

// Caller holds the mutex. Every other waiter looks again.
void Advance(WatchShared& shared) {
  if (++shared.state == 0) shared.state = 1;
  for (Waiter* waiter : shared.waiters) waiter->signal->Raise();
}

// Keeps `self` among the waiters for its scope; leaves with the mutex held
// (every path out of the wait, a thrown one included, holds it).
class Registration {
 public:
  Registration(WatchShared& shared, Waiter* self) : shared_(shared), self_(self) {
    shared_.waiters.push_back(self_);
  }
  ~Registration() {
    for (auto it = shared_.waiters.begin(); it != shared_.waiters.end(); ++it) {
      if (*it == self_) {
        shared_.waiters.erase(it);
        break;
      }
    }
  }
  Registration(const Registration&) = delete;
  Registration& operator=(const Registration&) = delete;

 private:
  WatchShared& shared_;
  Waiter* self_;
};

}  // namespace

void ResetDeviceWatchForTesting() {
  WatchShared& shared = Shared();
  std::lock_guard<std::mutex> hold(shared.mutex);
  if (shared.waiters.empty()) shared.watch.reset();
}

namespace {

uint32_t WaitForChange(uint32_t* state, uint32_t timeoutMs) {
  WatchShared& shared = Shared();
  std::unique_lock<std::mutex> lock(shared.mutex);
  // Listing reads QKTOKEN_VIRTUAL_DIR at each call; the watch follows it
  // (once no other wait uses the old one): another directory is another set.
  const std::string virtualDir = VirtualDirNow();
  bool replaced = false;
  if (shared.watch && virtualDir != shared.virtualDir && shared.waiters.empty()) {
    QK_DEBUG("wait: token directory now %s; watching it instead", virtualDir.c_str());
    shared.watch.reset();
    replaced = true;
  }
  if (!shared.watch) {
    shared.watch.reset(platform::CreateDeviceWatch());
    if (!shared.watch) {
      QK_DEBUG("wait: the attached tokens cannot be watched");
      return QK_E_WATCH_UNAVAILABLE;
    }
    shared.virtualDir = virtualDir;
    if (shared.state == 0) {
      shared.state = FirstState();
    } else if (replaced) {
      Advance(shared);
    }
  }
  if (shared.watch->Drain()) Advance(shared);
  if (*state != shared.state) {
    *state = shared.state;
    return QK_E_SUCCESS;
  }
  if (timeoutMs == 0) return QK_E_WAIT_TIMEOUT;

  std::unique_ptr<platform::WakeSignal> signal(platform::CreateWakeSignal());
  if (!signal) return QK_E_WATCH_UNAVAILABLE;
  Waiter self{signal.get(), false};
  const Registration registration(shared, &self);
  const platform::Deadline deadline(timeoutMs);
  uint32_t result = QK_E_WAIT_TIMEOUT;
  for (;;) {
    const int left = deadline.RemainingMs();
    if (left == 0) {
      QK_DEBUG("wait: no change within %u ms", timeoutMs);
      break;
    }
    lock.unlock();
    const platform::WatchWait outcome =
        shared.watch->Wait(static_cast<uint32_t>(left), signal.get());
    lock.lock();
    if (self.cancelled) {
      QK_DEBUG("wait: cancelled");
      result = QK_E_WAIT_CANCELLED;
      break;
    }
    if (outcome == platform::WatchWait::kFailed) {
      QK_DEBUG("wait: the watch failed");
      result = QK_E_WATCH_UNAVAILABLE;
      break;
    }
    if (outcome == platform::WatchWait::kWoken) signal->Clear();
    if (outcome == platform::WatchWait::kEvents && shared.watch->Drain()) Advance(shared);
    if (*state != shared.state) {
      *state = shared.state;
      result = QK_E_SUCCESS;
      break;
    }
  }
  return result;
}

}  // namespace
}  // namespace qk

extern "C" QK_API uint32_t QK_CALL QKWaitForDeviceChange(uint32_t* state, uint32_t timeoutMs) {
  if (state == nullptr || timeoutMs > QK_MAX_WAIT_MS) return QK_E_PARAMETER;
  try {
    return qk::WaitForChange(state, timeoutMs);
  } catch (...) {  // memory ran out: nothing may cross the API
    QK_DEBUG("wait: out of memory");
    return QK_E_WATCH_UNAVAILABLE;
  }
}

extern "C" QK_API uint32_t QK_CALL QKCancelDeviceWait(void) {
  qk::WatchShared& shared = qk::Shared();
  std::lock_guard<std::mutex> hold(shared.mutex);
  for (qk::Waiter* waiter : shared.waiters) {
    waiter->cancelled = true;
    waiter->signal->Raise();
  }
  QK_DEBUG("wait: cancel asked, %u wait(s) running", static_cast<unsigned>(shared.waiters.size()));
  return QK_E_SUCCESS;
}
