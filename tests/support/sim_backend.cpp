#include "tests/support/sim_backend.h"

#include <algorithm>
#include <cstring>
#include <deque>

namespace qktest {

using qk::platform::EnumStatus;
using qk::platform::IoStatus;

namespace {
class SimDevice;
}

// A token and its open handles. Like a HID device, the token delivers every
// answer report to every open handle; the library's lock-then-flush keeps
// handles from reading each other's answers.
struct SimBackend::Slot {
  std::shared_ptr<qksim::Token> token;
  qksim::Identity identity;
  std::mutex mutex;
  std::vector<SimDevice*> open;
  bool exclusive = false;
};

namespace {

struct SimInterfaceSet : qk::platform::InterfaceSet {
  explicit SimInterfaceSet(size_t n) : count(n) {}
  EnumStatus PathAt(uint32_t index, char* path, size_t capacity) override {
    const std::string text = SimBackend::PathOf(index);
    if (index >= count) return EnumStatus::kNoMore;
    if (text.size() + 1 > capacity) return EnumStatus::kDetailTooLarge;
    std::memcpy(path, text.c_str(), text.size() + 1);
    return EnumStatus::kOk;
  }
  size_t count;
};

class SimDevice : public qk::platform::Device {
 public:
  SimDevice(std::shared_ptr<SimBackend::Slot> slot, uint32_t handle)
      : slot_(std::move(slot)), handle_(handle), session_(slot_->token->OpenSession()) {}

  ~SimDevice() override {
    slot_->token->CloseSession(session_);
    std::lock_guard<std::mutex> lock(slot_->mutex);
    auto& open = slot_->open;
    open.erase(std::remove(open.begin(), open.end(), this), open.end());
    if (open.empty()) slot_->exclusive = false;
  }

  bool GetAttributes(uint16_t* vendorId, uint16_t* productId) override {
    *vendorId = slot_->identity.vendorId;
    *productId = slot_->identity.productId;
    return true;
  }
  bool GetFeatureReportLength(uint16_t* length) override {
    *length = slot_->identity.featureReportLength;
    return true;
  }
  bool FlushInput() override {
    std::lock_guard<std::mutex> lock(slot_->mutex);
    pending_.clear();
    return true;
  }
  qk::platform::IoEvent* CreateIoEvent() override {
    return reinterpret_cast<qk::platform::IoEvent*>(&eventStorage_);
  }
  void CloseIoEvent(qk::platform::IoEvent*) override {}

  IoStatus WriteReport(qk::platform::IoEvent*, const uint8_t* report, uint32_t) override {
    qksim::Report written;
    std::memcpy(written.data(), report, written.size());
    std::vector<qksim::Report> answers;
    slot_->token->HandleReport(session_, written, &answers);
    std::lock_guard<std::mutex> lock(slot_->mutex);
    for (SimDevice* device : slot_->open) {
      device->pending_.insert(device->pending_.end(), answers.begin(), answers.end());
    }
    return IoStatus::kOk;
  }

  // Answers are produced while the command is written, so an empty queue
  // means the token has nothing to say: a time-out, without waiting.
  IoStatus ReadReport(qk::platform::IoEvent*, uint8_t* report, uint32_t) override {
    std::lock_guard<std::mutex> lock(slot_->mutex);
    if (pending_.empty()) return IoStatus::kTimedOut;
    std::memcpy(report, pending_.front().data(), pending_.front().size());
    pending_.pop_front();
    return IoStatus::kOk;
  }

  uint32_t HandleValue() const override { return handle_; }

 private:
  std::shared_ptr<SimBackend::Slot> slot_;
  uint32_t handle_;
  qksim::Token::SessionId session_;
  std::deque<qksim::Report> pending_;  // guarded by slot_->mutex
  int eventStorage_ = 0;
};

}  // namespace

SimBackend::SimBackend(size_t tokenCount) {
  for (size_t i = 0; i < tokenCount; ++i) AddToken(std::make_shared<qksim::Token>());
}

SimBackend::~SimBackend() = default;

size_t SimBackend::AddToken(std::shared_ptr<qksim::Token> token, qksim::Identity identity) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto slot = std::make_shared<Slot>();
  slot->token = std::move(token);
  slot->identity = identity;
  slots_.push_back(std::move(slot));
  return slots_.size() - 1;
}

std::string SimBackend::PathOf(size_t index) { return "qksim:" + std::to_string(index); }

size_t SimBackend::OpenHandles(size_t index) const {
  std::shared_ptr<Slot> slot;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    slot = slots_.at(index);
  }
  std::lock_guard<std::mutex> lock(slot->mutex);
  return slot->open.size();
}

qk::platform::InterfaceSet* SimBackend::OpenInterfaceSet() {
  std::lock_guard<std::mutex> lock(mutex_);
  return new SimInterfaceSet(slots_.size());
}

qk::platform::Device* SimBackend::OpenDevice(const char* path, qk::platform::IoMode,
                                             qk::platform::ShareMode share,
                                             uint32_t* systemError) {
  const std::string prefix = "qksim:";
  std::shared_ptr<Slot> slot;
  uint32_t handle = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (path != nullptr && std::strncmp(path, prefix.c_str(), prefix.size()) == 0) {
      const std::string number = path + prefix.size();
      const bool digits = !number.empty() && number.size() < 6 &&
                          std::all_of(number.begin(), number.end(),
                                      [](char c) { return c >= '0' && c <= '9'; });
      if (digits && std::stoul(number) < slots_.size()) slot = slots_[std::stoul(number)];
    }
    handle = nextHandle_++;
  }
  if (slot == nullptr) {
    *systemError = qk::platform::kErrorFileNotFound;
    return nullptr;
  }
  // Windows share rules: an exclusive open needs no other handle, and no
  // open succeeds beside an exclusive one.
  const bool exclusive = share == qk::platform::ShareMode::kExclusive;
  auto* device = new SimDevice(slot, handle);
  bool refused = false;
  {
    std::lock_guard<std::mutex> lock(slot->mutex);
    refused = slot->exclusive || (exclusive && !slot->open.empty());
    if (!refused) {
      slot->open.push_back(device);
      slot->exclusive = exclusive;
    }
  }
  if (refused) {
    delete device;  // takes the slot's lock itself
    *systemError = qk::platform::kErrorSharingViolation;
    return nullptr;
  }
  return device;
}

ScopedSimBackend::ScopedSimBackend(size_t tokenCount) : backend_(tokenCount) {
  qk::platform::SetBackendForTesting(&backend_);
}

ScopedSimBackend::~ScopedSimBackend() { qk::platform::SetBackendForTesting(nullptr); }

}  // namespace qktest
