#include "tests/support/fake_device.h"

#include <algorithm>
#include <cstring>

#include "api/device_table.h"
#include "transport/des.h"

namespace qktest {

using plat::EnumStatus;
using plat::IoStatus;

// 01 02 .. 40; the key is the first 8 bytes of its RSA opening under the
// maker key, computed independently.
const uint8_t kSessionBlock[64] = {
    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10,
    0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20,
    0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F, 0x30,
    0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x40};
const uint8_t kSessionBlockKey[8] = {0xAB, 0xBD, 0x62, 0xAF, 0xB8, 0xC0, 0xA2, 0xA2};

namespace {

struct FakeInterfaceSet : plat::InterfaceSet {
  explicit FakeInterfaceSet(std::vector<FakeInterface> list) : members(std::move(list)) {}
  EnumStatus PathAt(uint32_t index, char* path, size_t capacity) override {
    if (index >= members.size()) return EnumStatus::kNoMore;
    const FakeInterface& member = members[index];
    if (member.status != EnumStatus::kOk) return member.status;
    if (member.path.size() + 1 > capacity) return EnumStatus::kDetailTooLarge;
    std::memcpy(path, member.path.c_str(), member.path.size() + 1);
    return EnumStatus::kOk;
  }
  std::vector<FakeInterface> members;
};

}  // namespace

plat::InterfaceSet* FakeBackend::OpenInterfaceSet() {
  return setAvailable ? new FakeInterfaceSet(interfaces) : nullptr;
}

plat::Device* FakeBackend::OpenDevice(const char* path, plat::IoMode io, plat::ShareMode share,
                                      uint32_t* systemError) {
  opens.push_back(OpenCall{path, io, share});
  for (const FakeInterface& member : interfaces) {
    if (member.path != path) continue;
    if (member.openError != 0) {
      *systemError = member.openError;
      return nullptr;
    }
    logs.push_back(std::make_shared<DeviceLog>());
    return new FakeDevice(member, logs.back(), nextHandle_++);
  }
  *systemError = plat::kErrorFileNotFound;
  return nullptr;
}

plat::IdentityStatus FakeBackend::ReadIdentity(const char* path, uint16_t* vendorId,
                                               uint16_t* productId) {
  if (!readsIdentity) return plat::IdentityStatus::kAskDevice;
  identityReads.push_back(path);
  for (const FakeInterface& member : interfaces) {
    if (member.path != path) continue;
    if (!member.identityReadable) return plat::IdentityStatus::kUnreadable;
    *vendorId = member.vendorId, *productId = member.productId;
    return plat::IdentityStatus::kRead;
  }
  return plat::IdentityStatus::kUnreadable;
}

int FakeBackend::LiveDevices() const {
  return static_cast<int>(
      std::count_if(logs.begin(), logs.end(), [](const auto& log) { return !log->deleted; }));
}

Report MakeReport(uint16_t total, uint16_t offset, uint8_t chunkLength, const Bytes& payload) {
  Report report{0, uint8_t(total >> 8), uint8_t(total), uint8_t(offset >> 8), uint8_t(offset),
                0, chunkLength};
  std::copy_n(payload.begin(), std::min<size_t>(payload.size(), 58), report.begin() + 7);
  return report;
}

std::vector<Report> FrameAnswer(const Bytes& answer) {
  std::vector<Report> reports;
  for (size_t offset = 0; offset < answer.size(); offset += 58) {
    const auto start = answer.begin() + static_cast<long>(offset);
    const size_t chunk = std::min<size_t>(58, answer.size() - offset);
    reports.push_back(MakeReport(static_cast<uint16_t>(answer.size()),
                                 static_cast<uint16_t>(offset), static_cast<uint8_t>(chunk),
                                 Bytes(start, start + static_cast<long>(chunk))));
  }
  return reports;
}

void EncipherAnswers(std::vector<Report>* reports, const uint8_t* sessionKey) {
  if (sessionKey == nullptr) return;
  for (Report& report : *reports) {
    const Report plain = report;
    qk::TokenChainEncrypt(plain.data() + 1, report.data() + 1, sessionKey, 64);
  }
}

Bytes Ok(const Bytes& data) {
  Bytes answer = data;
  answer.insert(answer.end(), {0x90, 0x00});
  return answer;
}

void FakeToken::OnReport(const Report& written, std::deque<Report>* answers) {
  static const uint8_t kPlainSessionCommand[12] = {0x00, 0x06, 0x00, 0x00, 0x00, 0x06,
                                                   0x00, 0x47, 0x47, 0x4B, 0x00, 0x00};
  const bool sessionCommand = std::memcmp(written.data() + 1, kPlainSessionCommand, 12) == 0;
  Report plain = written;
  if (!sessionCommand) qk::TokenChainDecrypt(written.data() + 1, plain.data() + 1, key_.data(), 64);

  const size_t offset = static_cast<size_t>(plain[3] << 8 | plain[4]);
  const size_t chunk = std::min<size_t>(plain[6], 58);
  if (offset == 0) pending_.assign(static_cast<size_t>(plain[1] << 8 | plain[2]), 0), received_ = 0;
  if (offset + chunk > pending_.size()) return;  // garbage: drop
  std::copy_n(plain.begin() + 7, chunk, pending_.begin() + static_cast<long>(offset));
  received_ += chunk;
  if (received_ < pending_.size()) return;

  commands.push_back(pending_);
  std::vector<Report> reports;
  if (sessionCommand) {
    reports = FrameAnswer(Ok(Bytes(kSessionBlock, kSessionBlock + 64)));
    std::copy(kSessionBlockKey, kSessionBlockKey + 8, key_.begin());
  } else {
    reports = FrameAnswer(handler_(pending_));
    EncipherAnswers(&reports, key_.data());
  }
  answers->insert(answers->end(), reports.begin(), reports.end());
}

void ResetDeviceTable() {
  qk::DeviceTable& table = qk::GetDeviceTable();
  for (qk::DeviceSlot& slot : table.slots) delete slot.channel;
  std::memset(&table, 0, sizeof(table));
}

}  // namespace qktest
