// A scriptable stand-in for the platform layer: interfaces to list, devices
// that record every report written and play back answer reports, and a small
// token that speaks the report framing and cipher, for library tests.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace qktest {

using Report = std::array<uint8_t, 65>;
using Bytes = std::vector<uint8_t>;

// An RSA block the maker key opens, and the session key inside it.
extern const uint8_t kSessionBlock[64];
extern const uint8_t kSessionBlockKey[8];

// Called with each report the host writes; appends the answer reports.
using Responder = std::function<void(const Report& written, std::deque<Report>* answers)>;

// One listed HID interface and how it behaves.
struct FakeInterface {
  std::string path;
  qk::platform::EnumStatus status = qk::platform::EnumStatus::kOk;
  uint32_t openError = 0;  // non-zero: every open fails with this system error
  bool attributesReadable = true;
  uint16_t vendorId = 0x7A5C;
  uint16_t productId = 0x0B21;
  bool featureLengthReadable = true;
  uint16_t featureReportLength = 65;
  Responder responder;  // for devices opened on this path
};

struct OpenCall {
  std::string path;
  qk::platform::IoMode io;
  qk::platform::ShareMode share;
};

// Shared by a device and the test, so the test can look after the library
// deleted the device.
struct DeviceLog {
  std::vector<Report> written;
  std::vector<uint32_t> writeTimeouts;
  std::vector<uint32_t> readTimeouts;
  int flushes = 0;
  int eventsCreated = 0;
  int eventsClosed = 0;
  bool deleted = false;
};

class FakeDevice : public qk::platform::Device {
 public:
  FakeDevice(const FakeInterface& config, std::shared_ptr<DeviceLog> log, uint32_t handle)
      : config_(config), log_(std::move(log)), handle_(handle) {}
  ~FakeDevice() override { log_->deleted = true; }

  bool GetAttributes(uint16_t* vendorId, uint16_t* productId) override;
  bool GetFeatureReportLength(uint16_t* length) override;
  bool FlushInput() override;
  qk::platform::IoEvent* CreateIoEvent() override;
  void CloseIoEvent(qk::platform::IoEvent*) override { ++log_->eventsClosed; }
  qk::platform::IoStatus WriteReport(qk::platform::IoEvent* event, const uint8_t* report,
                                     uint32_t timeoutMs) override;
  // An empty answer queue reads as a time-out (no real waiting).
  qk::platform::IoStatus ReadReport(qk::platform::IoEvent* event, uint8_t* report,
                                    uint32_t timeoutMs) override;
  uint32_t HandleValue() const override { return handle_; }

  // Knobs for failure cases.
  bool flushFails = false;
  bool eventFails = false;
  qk::platform::IoStatus writeStatus = qk::platform::IoStatus::kOk;
  std::deque<Report> answers;  // played back in order; the responder adds to it

  DeviceLog& log() { return *log_; }

 private:
  FakeInterface config_;
  std::shared_ptr<DeviceLog> log_;
  uint32_t handle_;
  int eventStorage_ = 0;
};

class FakeBackend : public qk::platform::Backend {
 public:
  std::vector<FakeInterface> interfaces;
  bool setAvailable = true;
  std::vector<OpenCall> opens;                   // what the library asked to open
  std::vector<std::shared_ptr<DeviceLog>> logs;  // one per device opened, in order

  qk::platform::InterfaceSet* OpenInterfaceSet() override;
  qk::platform::Device* OpenDevice(const char* path, qk::platform::IoMode io,
                                   qk::platform::ShareMode share, uint32_t* systemError) override;

  // Adds a token interface at `path`; the reference lasts until the next Add.
  FakeInterface& AddToken(const std::string& path) {
    interfaces.emplace_back().path = path;
    return interfaces.back();
  }
  // Devices opened and not yet deleted.
  int LiveDevices() const;

 private:
  uint32_t nextHandle_ = 0x100;
};

// Installs `backend` for the lifetime of the guard.
class BackendGuard {
 public:
  explicit BackendGuard(qk::platform::Backend* backend) {
    qk::platform::SetBackendForTesting(backend);
  }
  ~BackendGuard() { qk::platform::SetBackendForTesting(nullptr); }
  BackendGuard(const BackendGuard&) = delete;
  BackendGuard& operator=(const BackendGuard&) = delete;
};

// One answer report: total length, offset and chunk length as given,
// payload copied in (at most 58 bytes), byte 0 zero.
Report MakeReport(uint16_t total, uint16_t offset, uint8_t chunkLength, const Bytes& payload);

// Cuts `answer` (data + status word) into reports as the token does.
std::vector<Report> FrameAnswer(const Bytes& answer);

// Enciphers bytes 1..64 of each report the way the token does (null key: plain).
void EncipherAnswers(std::vector<Report>* reports, const uint8_t* sessionKey);

// A token behind the framing and cipher: it reassembles each command (the
// session-key command in plain, the rest deciphered under its key), hands the
// command image to `handler` and sends back what the handler answers. It
// answers the session-key command itself with kSessionBlock and then uses
// kSessionBlockKey.
class FakeToken {
 public:
  using Handler = std::function<Bytes(const Bytes& command)>;
  explicit FakeToken(Handler handler) : handler_(std::move(handler)) {}
  Responder AsResponder() {
    return [this](const Report& written, std::deque<Report>* out) { OnReport(written, out); };
  }

  std::vector<Bytes> commands;  // every command image received, in order
  std::array<uint8_t, 8> key{};

 private:
  void OnReport(const Report& written, std::deque<Report>* answers);
  Handler handler_;
  Bytes pending_;
  size_t pendingTotal_ = 0;
};

// An answer of `data` followed by 90 00.
Bytes Ok(const Bytes& data = {});

// A lock that records its use.
class FakeMutex : public qk::platform::NamedMutex {
 public:
  bool Lock(uint32_t timeoutMs) override {
    lockTimeouts.push_back(timeoutMs);
    if (lockSucceeds) ++held;
    return lockSucceeds;
  }
  void Unlock() override {
    ++unlocks;
    --held;
  }

  bool lockSucceeds = true;
  std::vector<uint32_t> lockTimeouts;
  int held = 0;  // successful locks not yet released
  int unlocks = 0;
};

// Closes whatever the device table holds and zeroes it, for a clean test.
void ResetDeviceTable();

}  // namespace qktest
