// The device control dispatcher: one call carrying a family of small token
// commands chosen by a control code. Nothing is cached between calls.
#include "api/device_control.h"

#include <cstring>

#include "api/command_builder.h"
#include "api/device_table.h"
#include "api/file_id.h"
#include "api/files.h"
#include "api/token_info.h"
#include "include/qktoken.h"

namespace qk {
namespace {

constexpr uint8_t kInsSessionMode = 0x50;
constexpr uint8_t kInsStatusRecord = 0xCD;
constexpr uint8_t kInsFileRecord = 0xCE;
constexpr uint8_t kInsStirRandom = 0xCB;
constexpr uint8_t kInsSetInfoByte = 0xE7;
constexpr uint8_t kInsSetSerial = 0x30;
constexpr uint8_t kInsResetToShipped = 0xE3;

constexpr uint32_t kModeWithParameter = 3;
constexpr size_t kIndicatorInputLength = 4;  // four bytes are asked for, one is sent
constexpr size_t kStatusValueAt = 4;         // the value inside the 0xCD record
constexpr size_t kFileRecordOutputSize = 2 + kFileRecordSize;

uint32_t SendBare(const QKContext* context, uint8_t ins, uint8_t p1, uint8_t p2) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  CommandRecord record;
  BeginCommand(&record, ins, p1, p2);
  return Transmit(context, &record);
}

uint32_t ReadLittleEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// The caller's output side of an information code.
struct Output {
  uint8_t* bytes;
  uint32_t size;
  uint32_t* length;  // may be null

  bool Holds(size_t needed) const { return bytes != nullptr && size >= needed; }

  uint32_t Deliver(const void* value, size_t n) const {
    if (!Holds(n)) return QK_E_PARAMETER;
    std::memcpy(bytes, value, n);
    if (length != nullptr) *length = static_cast<uint32_t>(n);
    return QK_E_SUCCESS;
  }
};

bool HasInput(const uint8_t* input, uint32_t inputLength, size_t needed) {
  return input != nullptr && inputLength >= needed;
}

// One field of the information record. When `sizeFirst`, a short output is
// refused before the command is sent; otherwise after it.
uint32_t DeliverInfoField(const QKContext* context, const Output& out, size_t fieldSize,
                          bool sizeFirst, void (*extract)(const uint8_t* info, uint8_t* field)) {
  if (sizeFirst && !out.Holds(fieldSize)) return QK_E_PARAMETER;
  // A missing buffer cannot be filled whatever the token answers.
  if (out.bytes == nullptr && out.size != 0) return QK_E_PARAMETER;
  uint8_t info[kTokenInfoSize] = {};
  if (uint32_t rc = QueryTokenInfo(context, info)) return rc;
  uint8_t field[kTokenInfoSize] = {};
  extract(info, field);
  return out.Deliver(field, fieldSize);
}

void ExtractInfoByte(const uint8_t* info, uint8_t* field) { field[0] = info[kInfoByteAt]; }
void ExtractInfoEight(const uint8_t* info, uint8_t* field) {
  std::memcpy(field, info + kInfoEightAt, 8);
}
void ExtractInfoBlock(const uint8_t* info, uint8_t* field) {
  std::memcpy(field, info + kInfoBlockAt, 16);
}
void ExtractInfoSix(const uint8_t* info, uint8_t* field) {
  std::memcpy(field, info + kInfoSixAt, 6);
}
void ExtractInfoNumber(const uint8_t* info, uint8_t* field) {
  const uint32_t number = TokenInfoNumber(info);
  std::memcpy(field, &number, sizeof(number));
}
void ExtractInfoWord(const uint8_t* info, uint8_t* field) {
  const uint16_t word = static_cast<uint16_t>(TokenInfoWord(info));
  std::memcpy(field, &word, sizeof(word));
}

uint32_t DeliverFreeSpace(const QKContext* context, const Output& out) {
  if (out.bytes == nullptr && out.size != 0) return QK_E_PARAMETER;
  uint32_t value = 0;
  if (uint32_t rc = QueryFreeSpace(context, &value)) return rc;
  return out.Deliver(&value, sizeof(value));
}

uint32_t DeliverStatusValue(const QKContext* context, const Output& out) {
  if (!out.Holds(sizeof(uint32_t))) return QK_E_PARAMETER;
  uint8_t record[kStatusRecordSize] = {};
  if (uint32_t rc = QueryStatusRecord(context, record)) return rc;
  const uint32_t value = ReadLittleEndian32(record + kStatusValueAt);
  return out.Deliver(&value, sizeof(value));
}

uint32_t DeliverFileRecord(const QKContext* context, const uint8_t* input, uint32_t inputLength,
                           const Output& out) {
  if (!HasInput(input, inputLength, kFileIdDigits)) return QK_E_PARAMETER;
  if (!out.Holds(kFileRecordOutputSize)) return QK_E_PARAMETER;
  const uint16_t fileId = ParseFileId(reinterpret_cast<const char*>(input));
  uint8_t answer[kFileRecordSize] = {};
  if (uint32_t rc = QueryFileRecord(context, fileId, answer)) return rc;
  uint8_t field[kFileRecordOutputSize];
  std::memcpy(field, &fileId, sizeof(fileId));
  std::memcpy(field + sizeof(fileId), answer, sizeof(answer));
  return out.Deliver(field, sizeof(field));
}

}  // namespace

uint32_t SetSessionMode(const QKContext* context, uint32_t mode, uint32_t parameter) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (mode < 1 || mode > kModeWithParameter) return QK_E_PARAMETER;
  const uint8_t p2 = mode == kModeWithParameter ? LowByte(parameter) : uint8_t{0};
  return SendBare(context, kInsSessionMode, LowByte(mode), p2);
}

uint32_t QueryStatusRecord(const QKContext* context, uint8_t* record12) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (record12 == nullptr) return QK_E_PARAMETER;
  CommandRecord record;
  BeginCommand(&record, kInsStatusRecord, 0x00, 0x00);
  if (uint32_t rc = Transmit(context, &record)) return rc;
  std::memcpy(record12, record.bytes + kData, kStatusRecordSize);
  return QK_E_SUCCESS;
}

uint32_t QueryFileRecord(const QKContext* context, uint16_t fileId, uint8_t* record3) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (record3 == nullptr) return QK_E_PARAMETER;
  CommandRecord record;
  BeginCommand(&record, kInsFileRecord, LowByte(fileId), HighByte(fileId));
  if (uint32_t rc = Transmit(context, &record)) return rc;
  std::memcpy(record3, record.bytes + kData, kFileRecordSize);
  return QK_E_SUCCESS;
}

uint32_t StirRandom(const QKContext* context, const uint8_t* bytes, uint32_t n) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (n == 0 || n > kMaxRandomSeedLength || bytes == nullptr) return QK_E_PARAMETER;
  CommandRecord record;
  BeginCommand(&record, kInsStirRandom, 0x00, 0x00);
  record.bytes[kLc0] = HighByte(n);  // this command alone puts the high byte first
  record.bytes[kLc1] = LowByte(n);
  std::memcpy(record.bytes + kData, bytes, n);
  SetDataLength(&record, n);
  return Transmit(context, &record);
}

uint32_t SetInfoByte(const QKContext* context, uint8_t byte) {
  return SendBare(context, kInsSetInfoByte, byte, 0x00);
}

uint32_t SetSerialNumber(const QKContext* context, const uint8_t* bytes8) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (bytes8 == nullptr) return QK_E_PARAMETER;
  CommandRecord record;
  BeginCommand(&record, kInsSetSerial, 0x00, 0x00);
  std::memcpy(record.bytes + kData, bytes8, kSerialNumberLength);
  SetDataLength(&record, kSerialNumberLength);
  return Transmit(context, &record);
}

uint32_t ResetToShipped(const QKContext* context) {
  return SendBare(context, kInsResetToShipped, 0x00, 0x00);
}

}  // namespace qk

using namespace qk;

extern "C" QK_API uint32_t QK_CALL QKDeviceControl(QKContext* context, uint32_t code,
                                                   const uint8_t* input, uint32_t inputLength,
                                                   uint8_t* output, uint32_t outputSize,
                                                   uint32_t* outputLength) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  const Output out{output, outputSize, outputLength};
  constexpr bool kSizeBefore = true;
  constexpr bool kSizeAfter = false;

  switch (code) {
    case QK_CTRL_MODE_1:
      return SetSessionMode(context, 1, 0);
    case QK_CTRL_MODE_2:
      return SetSessionMode(context, 2, 0);
    case QK_CTRL_MODE_3:
      if (!HasInput(input, inputLength, kIndicatorInputLength)) return QK_E_PARAMETER;
      return SetSessionMode(context, kModeWithParameter, input[0]);
    case QK_CTRL_GET_INFO_BYTE:
      return DeliverInfoField(context, out, 1, kSizeAfter, ExtractInfoByte);
    case QK_CTRL_GET_INFO_EIGHT:
      return DeliverInfoField(context, out, 8, kSizeAfter, ExtractInfoEight);
    case QK_CTRL_GET_INFO_NUMBER:
      return DeliverInfoField(context, out, sizeof(uint32_t), kSizeAfter, ExtractInfoNumber);
    case QK_CTRL_GET_INFO_BLOCK:
      return DeliverInfoField(context, out, 16, kSizeBefore, ExtractInfoBlock);
    case QK_CTRL_GET_CC_VALUE:
      return DeliverFreeSpace(context, out);
    case QK_CTRL_GET_INFO_SIX:
      return DeliverInfoField(context, out, 6, kSizeBefore, ExtractInfoSix);
    case QK_CTRL_GET_CD_VALUE:
      return DeliverStatusValue(context, out);
    case QK_CTRL_GET_FILE_RECORD:
      return DeliverFileRecord(context, input, inputLength, out);
    case QK_CTRL_GET_INFO_WORD:
      return DeliverInfoField(context, out, sizeof(uint16_t), kSizeAfter, ExtractInfoWord);
    case QK_CTRL_SEND_25:
      return SetTokenValue(context, input, inputLength);
    case QK_CTRL_SEND_E7:
      if (!HasInput(input, inputLength, 1)) return QK_E_PARAMETER;
      return SetInfoByte(context, input[0]);
    case QK_CTRL_SEND_30:
      if (!HasInput(input, inputLength, kSerialNumberLength)) return QK_E_PARAMETER;
      return SetSerialNumber(context, input);
    case QK_CTRL_SEND_CB:
      return StirRandom(context, input, inputLength);
    case QK_CTRL_RUN_E3:
      return ResetToShipped(context);
    default:
      return QK_E_PARAMETER;
  }
}
