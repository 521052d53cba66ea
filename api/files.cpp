// Directories, files and execution. The token keeps the current directory;
// these calls only build the commands that act on it.
#include "api/files.h"

#include <cstring>
#include <string_view>

#include "api/command_builder.h"
#include "api/device_table.h"
#include "api/file_id.h"
#include "include/qktoken.h"

namespace qk {
namespace {

constexpr uint8_t kInsMakeDir = 0xE0;
constexpr uint8_t kInsSelect = 0xA4;
constexpr uint8_t kInsEraseDir = 0xE4;
constexpr uint8_t kInsMakeFile = 0xE1;
constexpr uint8_t kInsWriteChunk = 0xD6;
constexpr uint8_t kInsExecute = 0xCF;
constexpr uint8_t kInsSetValue = 0x25;

constexpr uint32_t kMakeFileDataLength = 5;  // id, size, type
constexpr uint32_t kMakeDirDataLength = 5;   // id, 24-bit size (length bytes stay 0)
constexpr uint32_t kChunkHeaderLength = 4;   // offset and length, low byte first
constexpr size_t kValueZeroedByte = 15;

// The size field of a new file has two bytes: 65536 would travel as 00 00
// and create a file of another size than the caller asked for, so the largest
// size accepted is 65535.
constexpr uint32_t kLargestFileSize = 0xFFFF;

// Paths are shorter than this; longer ones are refused, not cut.
constexpr size_t kPathLimit = 128;
// What one path step consumes: four digits and the separator, plus a leading
// backslash for a step from the root.
constexpr size_t kComponentStep = kFileIdDigits + 1;
constexpr size_t kRootedComponentStep = kComponentStep + 1;

constexpr char kDeveloperDefaultPin[] = "904817263590481726359048";
constexpr uint32_t kDeveloperDefaultPinLength = sizeof(kDeveloperDefaultPin) - 1;
constexpr size_t kValueRecordOffset = 4;  // the 16 bytes MakeDirEx writes start here
constexpr uint32_t kValueRecordLength = 16;

uint32_t SendMakeDir(const QKContext* context, uint16_t dirId, uint32_t size) {
  CommandRecord record;
  BeginCommand(&record, kInsMakeDir, 0x00, 0x00);
  uint8_t* data = record.bytes + kData;
  PutDataLowFirst16(&record, 0, dirId);
  data[2] = LowByte(size);
  data[3] = HighByte(size);
  data[4] = LowByte(size >> 16);
  SetDataLength(&record, kMakeDirDataLength);
  return Transmit(context, &record);
}

uint32_t SendSelect(const QKContext* context, uint16_t dirId) {
  CommandRecord record;
  BeginCommand(&record, kInsSelect, LowByte(dirId), HighByte(dirId));
  return Transmit(context, &record);
}

// Length of `text` if it is shorter than `limit`, else `limit`; never reads past limit.
size_t BoundedLength(const char* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return n;
}

}  // namespace

uint32_t WriteFileChunk(const QKContext* context, uint16_t fileId, uint32_t offset,
                        const uint8_t* bytes, uint32_t n) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (n > kMaxChunkLength || (bytes == nullptr && n != 0)) return QK_E_PARAMETER;

  CommandRecord record;
  BeginCommand(&record, kInsWriteChunk, LowByte(fileId), HighByte(fileId));
  SetLengthLowFirst(&record, n + kChunkHeaderLength);
  PutDataLowFirst16(&record, 0, offset);
  PutDataLowFirst16(&record, 2, n);
  if (n != 0) std::memcpy(record.bytes + kData + kChunkHeaderLength, bytes, n);
  SetDataLength(&record, n + kChunkHeaderLength);
  return Transmit(context, &record);
}

uint32_t SetTokenValue(const QKContext* context, const uint8_t* bytes, uint32_t n) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (n == 0 || n > kMaxTokenValueLength || bytes == nullptr) return QK_E_PARAMETER;

  CommandRecord record;
  BeginCommand(&record, kInsSetValue, 0x00, 0x00);
  record.bytes[kLc0] = LowByte(n);
  std::memcpy(record.bytes + kData, bytes, n);
  record.bytes[kData + kValueZeroedByte] = 0x00;
  SetDataLength(&record, n);
  return Transmit(context, &record);
}

}  // namespace qk

using namespace qk;

extern "C" {

QK_API uint32_t QK_CALL QKMakeDir(QKContext* context, const char* dirIdText, uint32_t size,
                                  uint32_t kind) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  uint16_t dirId = 0;
  if (kind == QK_DIR_ROOT) {
    if (size != 0) return QK_E_PARAMETER;
    dirId = kRootDirId;  // the text is not read
  } else if (kind == QK_DIR_SUB) {
    if (dirIdText == nullptr) return QK_E_PARAMETER;
    dirId = ParseFileId(dirIdText);
  } else {
    return QK_E_PARAMETER;
  }
  return SendMakeDir(context, dirId, size);
}

QK_API uint32_t QK_CALL QKMakeDirEx(QKContext* context, const char* dirIdText, uint32_t size,
                                    uint32_t kind, const uint8_t* valueRecord) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  // Refused before the directory is made, so a missing record cannot leave a
  // root without its value.
  if (kind == QK_DIR_ROOT && valueRecord == nullptr) return QK_E_PARAMETER;

  const uint32_t rc = QKMakeDir(context, dirIdText, size, kind);
  if (rc != QK_E_SUCCESS || kind != QK_DIR_ROOT) return rc;

  // The value write needs the developer PIN. A failed verification is not
  // fatal by itself: the write then answers for it.
  (void)QKVerifyPin(context, reinterpret_cast<const uint8_t*>(kDeveloperDefaultPin),
                    kDeveloperDefaultPinLength, QK_PIN_DEVELOPER);
  return SetTokenValue(context, valueRecord + kValueRecordOffset, kValueRecordLength);
}

QK_API uint32_t QK_CALL QKSelectDir(QKContext* context, const char* path) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (path == nullptr) return QK_E_PARAMETER;
  const size_t length = BoundedLength(path, kPathLimit);
  // An empty path would select the parent; a path of the limit's length or
  // more does not fit the walk's working buffer.
  if (length == 0 || length >= kPathLimit) return QK_E_PARAMETER;

  // One step per component, each step consuming a fixed number of characters.
  std::string_view rest(path, length);
  for (;;) {
    uint16_t dirId = 0;
    size_t consumed = 0;
    if (rest == "\\") {
      dirId = kRootDirId;
      consumed = rest.size();
    } else if (rest.front() == '\\') {
      // From the root: whether the root selection succeeds shows in the next one.
      (void)SendSelect(context, kRootDirId);
      dirId = ParseFileId(rest.data() + 1);
      consumed = kRootedComponentStep;
    } else if (rest == "..") {
      dirId = kParentDirId;
      consumed = rest.size();
    } else {
      dirId = ParseFileId(rest.data());
      consumed = kComponentStep;
    }
    if (uint32_t rc = SendSelect(context, dirId)) return rc;
    rest.remove_prefix(consumed < rest.size() ? consumed : rest.size());
    if (rest.empty()) return QK_E_SUCCESS;
    if (uint32_t rc = CheckContext(context, true)) return rc;
  }
}

QK_API uint32_t QK_CALL QKWipeDir(QKContext* context, const char* reservedText) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (reservedText != nullptr && reservedText[0] != '\0') return QK_E_PARAMETER;

  CommandRecord record;
  BeginCommand(&record, kInsEraseDir, 0x00, 0x00);
  return Transmit(context, &record);
}

QK_API uint32_t QK_CALL QKMakeFile(QKContext* context, const char* fileIdText, uint32_t size,
                                   uint32_t fileType) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (size > kLargestFileSize) return QK_E_DIR_SPACE;
  if (fileIdText == nullptr) return QK_E_PARAMETER;
  const uint16_t fileId = ParseFileId(fileIdText);

  CommandRecord record;
  BeginCommand(&record, kInsMakeFile, 0x00, 0x00);
  SetLengthLowFirst(&record, kMakeFileDataLength);
  PutDataLowFirst16(&record, 0, fileId);
  PutDataLowFirst16(&record, 2, size);
  record.bytes[kData + 4] = LowByte(fileType);
  SetDataLength(&record, kMakeFileDataLength);
  return Transmit(context, &record);
}

QK_API uint32_t QK_CALL QKStoreFile(QKContext* context, const char* fileIdText, uint32_t offset,
                                    const uint8_t* data, uint32_t length) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (fileIdText == nullptr || (data == nullptr && length != 0)) return QK_E_PARAMETER;
  const uint16_t fileId = ParseFileId(fileIdText);

  for (uint32_t done = 0; done < length;) {
    const uint32_t left = length - done;
    const uint32_t n = left < kMaxChunkLength ? left : kMaxChunkLength;
    if (uint32_t rc = WriteFileChunk(context, fileId, offset + done, data + done, n)) return rc;
    done += n;
  }
  return QK_E_SUCCESS;
}

QK_API uint32_t QK_CALL QKMakeAndStoreFile(QKContext* context, const char* fileIdText,
                                           uint32_t offset, const uint8_t* data, uint32_t length,
                                           uint32_t fileSize, uint32_t /*reservedValue*/,
                                           uint32_t mode, uint32_t fileType) {
  constexpr uint32_t kMakeThenStore = 0;
  constexpr uint32_t kStoreOnly = 1;
  if (mode != kMakeThenStore && mode != kStoreOnly) return QK_E_PARAMETER;
  // Arguments the store step would refuse are refused before the file is made.
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (fileIdText == nullptr || (data == nullptr && length != 0)) return QK_E_PARAMETER;

  if (mode == kMakeThenStore) {
    if (uint32_t rc = QKMakeFile(context, fileIdText, fileSize, fileType)) return rc;
  }
  return QKStoreFile(context, fileIdText, offset, data, length);
}

QK_API uint32_t QK_CALL QKExecute(QKContext* context, const char* fileIdText, const uint8_t* input,
                                  uint32_t inputLength, uint8_t* output, uint32_t outputCapacity,
                                  uint32_t* outputLength) {
  if (uint32_t rc = CheckContext(context, true)) return rc;
  if (fileIdText == nullptr) return QK_E_PARAMETER;
  if (inputLength > kRecordDataSize) return QK_E_PARAMETER;  // would not fit the record
  if ((input == nullptr && inputLength != 0) || (output == nullptr && outputCapacity != 0)) {
    return QK_E_PARAMETER;
  }
  const uint16_t fileId = ParseFileId(fileIdText);

  CommandRecord record;
  BeginCommand(&record, kInsExecute, LowByte(fileId), HighByte(fileId));
  SetLengthLowFirst(&record, inputLength);
  if (inputLength != 0) std::memcpy(record.bytes + kData, input, inputLength);
  SetDataLength(&record, inputLength);
  if (uint32_t rc = Transmit(context, &record)) return rc;

  const uint32_t answerLength = record.responseLength;
  // The transport never reports more than the data area holds; should it
  // ever, nothing beyond the record may be copied.
  if (answerLength > kRecordDataSize) return QK_E_COMMUNICATION;
  if (outputCapacity < answerLength) return QK_E_BUFFER_TOO_SMALL;
  if (answerLength != 0) std::memcpy(output, record.bytes + kData, answerLength);
  if (outputLength != nullptr) *outputLength = answerLength;
  return QK_E_SUCCESS;
}

}  // extern "C"
