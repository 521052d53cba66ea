// A scriptable platform layer for library tests: listed interfaces, devices
// that log what is written and play back answers, and a framing-level token.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qktest {

namespace plat = qk::platform;
using Report = std::array<uint8_t, 65>;
using Bytes = std::vector<uint8_t>;

// An RSA block the maker key opens, and the session key inside it.
extern const uint8_t kSessionBlock[64];
extern const uint8_t kSessionBlockKey[8];

// Called with each report the host writes; appends the answer reports.
using Responder = std::function<void(const Report& written, std::deque<Report>* answers)>;

struct FakeInterface {
  std::string path;
  plat::EnumStatus status = plat::EnumStatus::kOk;
  plat::DeviceStatus openStatus = plat::DeviceStatus::kOk;  // else every open fails so
  bool identityReadable = true;                             // by ReadIdentity, without opening
  bool attributesReadable = true, featureLengthReadable = true;
  uint16_t vendorId = 0x7A5C, productId = 0x0B21, featureReportLength = 65;
  Responder responder;  // for devices opened on this path
};

struct OpenCall {
  std::string path;
  plat::ShareMode share;
};

// Shared with the test, so it outlives a device the library deleted.
struct DeviceLog {
  std::vector<Report> written;
  std::vector<uint32_t> writeTimeouts, readTimeouts;
  int flushes = 0, attributeReads = 0;
  bool deleted = false;
};

class FakeDevice : public plat::Device {
 public:
  FakeDevice(const FakeInterface& config, std::shared_ptr<DeviceLog> log, uint32_t handle)
      : config_(config), log_(std::move(log)), handle_(handle) {}
  ~FakeDevice() override { log_->deleted = true; }

  bool GetAttributes(uint16_t* vendorId, uint16_t* productId) override {
    ++log_->attributeReads;
    if (config_.attributesReadable) *vendorId = config_.vendorId, *productId = config_.productId;
    return config_.attributesReadable;
  }
  bool GetFeatureReportLength(uint16_t* length) override {
    if (config_.featureLengthReadable) *length = config_.featureReportLength;
    return config_.featureLengthReadable;
  }
  bool FlushInput() override {
    ++log_->flushes;
    if (!flushFails) answers.clear();
    return !flushFails;
  }
  plat::DeviceStatus WriteReport(const uint8_t* report, uint32_t ms) override {
    log_->writeTimeouts.push_back(ms);
    if (writeStatus != plat::DeviceStatus::kOk) return writeStatus;
    log_->written.emplace_back();
    std::copy_n(report, 65, log_->written.back().begin());
    if (config_.responder) config_.responder(log_->written.back(), &answers);
    return plat::DeviceStatus::kOk;
  }
  // An empty answer queue reads as a time-out, without waiting.
  plat::DeviceStatus ReadReport(uint8_t* report, uint32_t ms) override {
    log_->readTimeouts.push_back(ms);
    if (answers.empty()) return plat::DeviceStatus::kTimedOut;
    std::copy(answers.front().begin(), answers.front().end(), report);
    answers.pop_front();
    return plat::DeviceStatus::kOk;
  }
  uint32_t HandleValue() const override { return handle_; }

  bool flushFails = false;
  plat::DeviceStatus writeStatus = plat::DeviceStatus::kOk;
  std::deque<Report> answers;  // played back in order; the responder adds to it

 private:
  FakeInterface config_;
  std::shared_ptr<DeviceLog> log_;
  uint32_t handle_;
};

class FakeBackend : public plat::Backend {
 public:
  std::vector<FakeInterface> interfaces;
  bool setAvailable = true;
  bool readsIdentity = true;                     // false: kAskDevice, as for virtual tokens
  std::vector<std::string> identityReads;        // paths, in order
  std::vector<OpenCall> opens;                   // what the library asked to open
  std::vector<std::shared_ptr<DeviceLog>> logs;  // one per device opened, in order

  plat::InterfaceSet* OpenInterfaceSet() override;
  plat::Device* OpenDevice(const char* path, plat::ShareMode share,
                           plat::DeviceStatus* status) override;
  plat::IdentityStatus ReadIdentity(const char* path, uint16_t* vendorId,
                                    uint16_t* productId) override;
  // The reference lasts until the next AddToken.
  FakeInterface& AddToken(const std::string& path) {
    interfaces.emplace_back().path = path;
    return interfaces.back();
  }
  int LiveDevices() const;  // opened and not yet deleted

 private:
  uint32_t nextHandle_ = 0x100;
};

// Installs a backend for the guard's lifetime.
struct BackendGuard {
  explicit BackendGuard(plat::Backend* backend) { plat::SetBackendForTesting(backend); }
  ~BackendGuard() { plat::SetBackendForTesting(nullptr); }
  BackendGuard(const BackendGuard&) = delete;
  BackendGuard& operator=(const BackendGuard&) = delete;
};

// One answer report with the header fields as given and up to 58 payload bytes.
Report MakeReport(uint16_t total, uint16_t offset, uint8_t chunkLength, const Bytes& payload);
// Cuts `answer` (data + status word) into reports as the token does.
std::vector<Report> FrameAnswer(const Bytes& answer);
// Enciphers bytes 1..64 of each report as the token does (null key: plain).
void EncipherAnswers(std::vector<Report>* reports, const uint8_t* sessionKey);
// `data` followed by 90 00.
Bytes Ok(const Bytes& data = {});

// A token behind the framing and cipher: reassembles each command, deciphered
// under the session key, and answers with what `handler` returns. It answers
// the plain session-key command itself with kSessionBlock, then uses
// kSessionBlockKey.
class FakeToken {
 public:
  using Handler = std::function<Bytes(const Bytes& command)>;
  explicit FakeToken(Handler handler) : handler_(std::move(handler)) {}
  Responder AsResponder() {
    return [this](const Report& written, std::deque<Report>* out) { OnReport(written, out); };
  }
  std::vector<Bytes> commands;  // every command image received, in order

 private:
  void OnReport(const Report& written, std::deque<Report>* answers);
  Handler handler_;
  std::array<uint8_t, 8> key_{};
  Bytes pending_;
  size_t received_ = 0;
};

// A lock that records its use, with the generation in `*generation` (which
// several locks may share, as handles on one token do).
struct FakeMutex : plat::NamedMutex {
  bool Lock(uint32_t timeoutMs) override {
    lockTimeouts.push_back(timeoutMs);
    if (lockSucceeds) ++held;
    return lockSucceeds;
  }
  void Unlock() override { ++unlocks, --held; }
  bool ReadGeneration(uint64_t* value) override {
    if (held <= 0 || !generationWorks) return false;
    *value = *generation;
    return true;
  }
  bool WriteGeneration(uint64_t value) override {
    if (held <= 0 || !generationWorks) return false;
    *generation = value;
    return true;
  }
  bool PeekGeneration(uint64_t* value) override {
    if (!generationWorks) return false;
    *value = *generation;
    return true;
  }

  bool lockSucceeds = true, generationWorks = true;
  std::vector<uint32_t> lockTimeouts;
  int held = 0, unlocks = 0;  // held: successful locks not yet released
  std::shared_ptr<uint64_t> generation = std::make_shared<uint64_t>(0);
};

// Closes whatever the device table holds and zeroes it.
void ResetDeviceTable();

}  // namespace qktest
