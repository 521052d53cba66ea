#include "tests/support/sim_backend.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

namespace qktest {

using qk::platform::DeviceStatus;
using qk::platform::EnumStatus;

namespace {
class SimDevice;
}

// Like a HID device, the token keeps one session for every handle and
// delivers every answer report to every open handle; the library's
// lock-then-flush keeps handles from reading each other's answers.
struct SimBackend::Slot {
  qksim::Token token;
  const qksim::Identity identity{};
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
      : slot_(std::move(slot)), handle_(handle) {}
  ~SimDevice() override {
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
  DeviceStatus WriteReport(const uint8_t* report, uint32_t) override {
    qksim::Report written;
    std::memcpy(written.data(), report, written.size());
    std::vector<qksim::Report> answers;
    slot_->token.HandleReport(written, &answers);
    std::lock_guard<std::mutex> lock(slot_->mutex);
    for (SimDevice* device : slot_->open) {
      device->pending_.insert(device->pending_.end(), answers.begin(), answers.end());
    }
    return DeviceStatus::kOk;
  }
  // Answers arrive while the command is written: an empty queue is a time-out.
  DeviceStatus ReadReport(uint8_t* report, uint32_t) override {
    std::lock_guard<std::mutex> lock(slot_->mutex);
    if (pending_.empty()) return DeviceStatus::kTimedOut;
    std::memcpy(report, pending_.front().data(), pending_.front().size());
    pending_.pop_front();
    return DeviceStatus::kOk;
  }
  uint32_t HandleValue() const override { return handle_; }

 private:
  std::shared_ptr<SimBackend::Slot> slot_;
  uint32_t handle_;
  std::deque<qksim::Report> pending_;  // guarded by slot_->mutex
};

}  // namespace

SimBackend::SimBackend(size_t tokenCount) {
  for (size_t i = 0; i < tokenCount; ++i) slots_.push_back(std::make_shared<Slot>());
}

std::string SimBackend::PathOf(size_t index) { return "qksim:" + std::to_string(index); }

size_t SimBackend::OpenHandles(size_t index) const {
  std::lock_guard<std::mutex> lock(slots_.at(index)->mutex);
  return slots_[index]->open.size();
}

qk::platform::InterfaceSet* SimBackend::OpenInterfaceSet() {
  return new SimInterfaceSet(slots_.size());
}

qk::platform::Device* SimBackend::OpenDevice(const char* path, qk::platform::ShareMode share,
                                             DeviceStatus* status) {
  *status = DeviceStatus::kNotFound;
  const char* number = path != nullptr && std::strncmp(path, "qksim:", 6) == 0 ? path + 6 : "";
  const size_t digits = std::strspn(number, "0123456789");
  if (digits == 0 || digits > 5 || number[digits] != '\0') return nullptr;
  const size_t index = std::stoul(number);
  if (index >= slots_.size()) return nullptr;
  // Windows share rules: an exclusive open needs no other handle, and no
  // open succeeds beside an exclusive one.
  const std::shared_ptr<Slot>& slot = slots_[index];
  const bool exclusive = share == qk::platform::ShareMode::kExclusive;
  auto* device = new SimDevice(slot, nextHandle_++);
  {
    std::lock_guard<std::mutex> lock(slot->mutex);
    if (!slot->exclusive && !(exclusive && !slot->open.empty())) {
      slot->open.push_back(device);
      slot->exclusive = exclusive;
      *status = DeviceStatus::kOk;
      return device;
    }
  }
  delete device;  // takes the slot's lock itself
  *status = DeviceStatus::kSharingViolation;
  return nullptr;
}

}  // namespace qktest
