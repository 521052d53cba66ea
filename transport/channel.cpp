// The channel of one open token: key agreement and exchanges under the
// token's lock, checked against the session generation kept beside it.
#include "transport/channel.h"

#include <cstring>

#include <chrono>

#include "include/qktoken.h"
#include "platform/debug_log.h"
#include "transport/exchange.h"

namespace qk {

namespace {

// Releases the lock on every path out.
class Held {
 public:
  explicit Held(Channel* channel) : channel_(channel) {}
  ~Held() { channel_->Release(); }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

 private:
  Channel* channel_;
};

}  // namespace

Channel::Channel(platform::Device* device, platform::NamedMutex* lock)
    : device_(device), lock_(lock) {}

Channel::~Channel() = default;

uint32_t Channel::Acquire(uint32_t timeoutMs) {
  if (!platform::DebugLogEnabled()) {
    return lock_->Lock(timeoutMs) ? QK_E_SUCCESS : QK_E_LOCK_UNAVAILABLE;
  }
  const auto start = std::chrono::steady_clock::now();
  const bool locked = lock_->Lock(timeoutMs);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
  if (!locked) {
    QK_DEBUG("lock: not had within %u ms (waited %lld ms): time limit reached", timeoutMs,
             static_cast<long long>(waited));
  } else {
    QK_DEBUG("lock: held after %lld ms (limit %u ms)", static_cast<long long>(waited), timeoutMs);
  }
  return locked ? QK_E_SUCCESS : QK_E_LOCK_UNAVAILABLE;
}

void Channel::Release() { lock_->Unlock(); }

bool Channel::ReadGeneration(uint64_t* generation) { return lock_->ReadGeneration(generation); }

uint32_t Channel::Transmit(CommandRecord* record) {
  // A handle that is certainly replaced learns it at once, without waiting
  // for the lock another handle may hold for a long exchange.
  uint64_t seen = 0;
  if (!keyValid_.load() || (lock_->PeekGeneration(&seen) && seen != keyGeneration_.load())) {
    return QK_E_SESSION_REPLACED;
  }
  const uint32_t locked = Acquire(GetTimeLimits().lockMs);
  if (locked != QK_E_SUCCESS) return locked;
  Held held(this);
  uint64_t generation = 0;
  // A generation that cannot be read (the lock file was removed or replaced
  // while held, and another process may have opened the token since) cannot
  // vouch for the key either: the handle counts as replaced.
  if (!ReadGeneration(&generation) || !keyValid_ || generation != keyGeneration_) {
    QK_DEBUG("exchange: not sent: another handle agreed a newer session, or the lock was replaced");
    keyValid_ = false;
    return QK_E_SESSION_REPLACED;
  }
  bool wrote = false;
  const uint32_t result = ExchangeCommand(device_.get(), record, key_, &wrote);
  if (result == QK_E_COMMUNICATION && wrote) keyValid_ = false;
  return result;
}

uint32_t Channel::BeginTransaction(uint32_t timeoutMs) {
  const uint32_t locked = Acquire(timeoutMs);
  if (locked != QK_E_SUCCESS) return locked;
  // Held by this thread from here: no other thread changes the two below.
  transactionOwner_ = std::this_thread::get_id();
  ++transactionDepth_;
  return QK_E_SUCCESS;
}

bool Channel::EndTransaction() {
  if (transactionDepth_.load() == 0 || transactionOwner_.load() != std::this_thread::get_id()) {
    return false;
  }
  if (--transactionDepth_ == 0) transactionOwner_ = std::thread::id();
  Release();
  return true;
}

void Channel::DetachDevice() {
  keyValid_ = false;
  device_.reset();
}

void Channel::AttachDevice(platform::Device* device) {
  keyValid_ = false;
  device_.reset(device);
}

uint32_t Channel::AgreeSessionKey() {
  const uint32_t locked = Acquire(GetTimeLimits().lockMs);
  if (locked != QK_E_SUCCESS) return locked;
  Held held(this);
  uint64_t generation = 0;
  if (!ReadGeneration(&generation) || !lock_->WriteGeneration(generation + 1)) {
    return QK_E_LOCK_UNAVAILABLE;
  }
  keyValid_ = false;
  CommandRecord record;
  BuildSessionKeyCommand(&record);
  const uint32_t result = ExchangeCommand(device_.get(), &record, key_);
  if (result != QK_E_SUCCESS) return result;
  uint8_t key[kSessionKeySize];
  const uint32_t opened = OpenSessionKeyAnswer(&record, key);
  if (opened != QK_E_SUCCESS) return opened;
  std::memcpy(key_, key, sizeof key_);
  keyGeneration_ = generation + 1;
  keyValid_ = true;
  return QK_E_SUCCESS;
}

}  // namespace qk
