// The host's receive path: a command goes out to a device whose answer
// reports are the fuzz input. Whatever the reports say, the exchange must
// end with a result code, touch nothing outside the record's data area and
// leave a consistent response behind when it reports one.
//
// Input: flags (1), bytesToSend (2), session key (8), then answer reports of
// 65 bytes each (a short last one is zero-padded).
//   flags bit 0: an enciphered command (INS 0xCF) instead of the plain
//                session-key command (INS 0x47);
//   flags bit 1: the reports' bytes 1-64 are plain and are enciphered here the
//                way a token does, so the exchange deciphers them back to the
//                fuzz bytes (without it they reach the decipher as they are);
//   flags bit 2: bytesToSend is used as given, in or out of range; otherwise
//                it is brought into 6..1030.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>

#include "api/messages.h"
#include "fuzz/input_reader.h"
#include "include/qktoken.h"
#include "transport/command_record.h"
#include "transport/des.h"
#include "transport/exchange.h"

namespace {

using qk::platform::DeviceStatus;
using qk::platform::kReportSize;

constexpr size_t kChunk = 58;
constexpr size_t kMaxAnswerReports = (qk::kRecordDataSize + kChunk - 1) / kChunk;

using Answer = std::array<uint8_t, kReportSize>;

// A device that accepts every write and answers reads from a fixed queue; an
// empty queue reads as a time-out, as a silent token would.
class ScriptedDevice : public qk::platform::Device {
 public:
  std::deque<Answer> answers;
  size_t writes = 0, reads = 0;

  bool GetAttributes(uint16_t* vendorId, uint16_t* productId) override {
    *vendorId = 0x7A5C;
    *productId = 0x0B21;
    return true;
  }
  bool GetFeatureReportLength(uint16_t* length) override {
    *length = 65;
    return true;
  }
  bool FlushInput() override { return true; }
  DeviceStatus WriteReport(const uint8_t* report, uint32_t) override {
    ++writes;  // every byte is read, so a short report buffer shows up under the sanitizer
    for (size_t i = 0; i < kReportSize; ++i) storage_ = static_cast<uint8_t>(storage_ + report[i]);
    return DeviceStatus::kOk;
  }
  DeviceStatus ReadReport(uint8_t* report, uint32_t) override {
    ++reads;
    if (answers.empty()) return DeviceStatus::kTimedOut;
    std::memcpy(report, answers.front().data(), kReportSize);
    answers.pop_front();
    return DeviceStatus::kOk;
  }
  uint32_t HandleValue() const override { return 1; }

 private:
  uint8_t storage_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qkfuzz::InputReader in(data, size);
  const uint8_t flags = in.U8();
  const uint16_t lengthField = in.U16();
  uint8_t sessionKey[8];
  in.Fill(sessionKey, sizeof sessionKey);

  const bool encrypted = (flags & 0x01) != 0;
  ScriptedDevice device;
  while (!in.Empty()) {
    Answer answer;
    in.Fill(answer.data(), kReportSize);
    if (encrypted && (flags & 0x02) != 0) {
      const Answer plain = answer;
      qk::TokenChainEncrypt(plain.data() + 1, answer.data() + 1, sessionKey, 64);
    }
    device.answers.push_back(answer);
  }

  qk::CommandRecord record;
  std::memset(&record, 0xA5, sizeof record);  // stale bytes, as a reused record would hold
  const uint8_t header[6] = {0x00, encrypted ? uint8_t{0xCF} : qk::kInsSessionKey, 0x01, 0x00, 0x00,
                             0x00};
  std::memcpy(record.bytes, header, sizeof header);
  record.bytesToSend = (flags & 0x04) != 0
                           ? lengthField
                           : static_cast<uint16_t>(6 + lengthField % (qk::kRecordDataSize + 1));
  const uint16_t bytesToSend = record.bytesToSend;
  const uint16_t staleResponseLength = record.responseLength;

  const uint32_t result = qk::ExchangeCommand(&device, &record, sessionKey);

  if (std::memcmp(record.bytes, header, sizeof header) != 0) qkfuzz::Fail("header overwritten");
  if (record.bytesToSend != bytesToSend) qkfuzz::Fail("bytesToSend changed");
  if (device.reads > kMaxAnswerReports) qkfuzz::Fail("read more reports than an answer can take");

  const bool validLength =
      bytesToSend >= qk::kRecordHeaderSize && bytesToSend <= qk::kRecordImageSize;
  if (!validLength) {
    if (result != QK_E_PARAMETER || device.writes != 0) qkfuzz::Fail("bad length not refused");
    return 0;
  }
  if (result == QK_E_COMMUNICATION && record.responseLength != staleResponseLength) {
    qkfuzz::Fail("failed exchange set a length");
  }
  if (result == QK_E_COMMUNICATION) return 0;
  // A completed exchange: every report sent, and the status word it reported
  // sits right behind the response data inside the data area.
  if (device.writes != (bytesToSend + kChunk - 1) / kChunk) qkfuzz::Fail("command not sent whole");
  const size_t responseLength = record.responseLength;
  if (responseLength + 2 > qk::kRecordDataSize) qkfuzz::Fail("response longer than the record");
  const uint8_t* statusWord = record.bytes + qk::kData + responseLength;
  if (qk::MapStatusWord(statusWord[0], statusWord[1]) != result) {
    qkfuzz::Fail("result does not match the status word in the record");
  }
  return 0;
}
