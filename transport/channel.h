// One open token as the transport sees it: the device, the token's exchange
// lock shared by every handle on this host, the session key this handle
// agreed, and the session generation that key belongs to.
//
// A token keeps one session, whoever asks: every session-key command starts
// it afresh and voids the key every other handle holds. So the generation
// kept beside the lock counts the keys agreed; each agreement advances it
// under the lock, and an exchange first compares it with the generation of
// its own key. A handle whose key is no longer the token's learns this
// before it sends anything and answers QK_E_SESSION_REPLACED.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/platform.h"
#include "transport/command_record.h"
#include "transport/session_key.h"

namespace qk {

class Channel {
 public:
  // Takes ownership of both; the lock may not be null.
  Channel(platform::Device* device, platform::NamedMutex* lock);
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  platform::Device* device() const { return device_.get(); }

  // Takes the token's lock for the calling thread, waiting at most
  // `timeoutMs`; nests on one thread, each Acquire needing its Release.
  // QK_E_SUCCESS or QK_E_LOCK_UNAVAILABLE.
  uint32_t Acquire(uint32_t timeoutMs);
  void Release();

  // One exchange under the lock (waited for within the lock time limit).
  // QK_E_SESSION_REPLACED, sending nothing, when this handle holds no key of
  // the token's current session, or when the generation that would say so
  // cannot be read. An exchange that fails after a report went
  // out voids the key: the token may still answer it, and that late answer
  // must never be taken for a later command's. The handle is then replaced
  // until it agrees a new key.
  uint32_t Transmit(CommandRecord* record);

  // Asks the token for a new session key under the lock. The generation is
  // advanced before the command goes out, so even a key the token sets while
  // this call fails replaces every other handle's session.
  uint32_t AgreeSessionKey();

  // Transactions: the lock held across calls by one thread. Begin nests on
  // that thread; End from any other thread, or without a Begin, is refused
  // (false). While one is open, the device may be closed and opened again
  // (DetachDevice, AttachDevice) without the lock being let go.
  uint32_t BeginTransaction(uint32_t timeoutMs);
  bool EndTransaction();
  bool InTransaction() const { return transactionDepth_.load() > 0; }
  // How deeply the calling thread holds a transaction (0: it holds none).
  uint32_t TransactionDepthHere() const {
    return transactionOwner_.load() == std::this_thread::get_id() ? transactionDepth_.load() : 0;
  }

  // Closes the device alone, keeping the lock (and the transaction that holds
  // it); the key goes with the device. AttachDevice takes ownership of a
  // device opened anew on the same token.
  void DetachDevice();
  void AttachDevice(platform::Device* device);

 private:
  // Reads the generation; the lock is held.
  bool ReadGeneration(uint64_t* generation);

  std::unique_ptr<platform::Device> device_;
  std::unique_ptr<platform::NamedMutex> lock_;
  // Written only under the lock; the two below are also read before it is
  // taken, to turn a replaced handle away without waiting for the lock.
  uint8_t key_[kSessionKeySize] = {};
  std::atomic<uint64_t> keyGeneration_{0};
  std::atomic<bool> keyValid_{false};
  // The thread that holds the transaction, and how deeply.
  std::atomic<std::thread::id> transactionOwner_{};
  std::atomic<uint32_t> transactionDepth_{0};
};

}  // namespace qk
