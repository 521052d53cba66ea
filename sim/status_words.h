// The status words the token answers with (SW1 in the high byte).
#pragma once

#include <cstdint>

namespace qksim {

constexpr uint16_t kSwOk = 0x9000;
constexpr uint16_t kSwDeveloperPinRequired = 0x6D80;
constexpr uint16_t kSwUserPinRequired = 0x6D81;
constexpr uint16_t kSwDirectoryExists = 0x6D82;
constexpr uint16_t kSwTypeNotAllowed = 0x6D85;  // the file's type forbids the operation
constexpr uint16_t kSwDirectoryNotFound = 0x6D88;
constexpr uint16_t kSwInsNotSupported = 0x6D00;
constexpr uint16_t kSwBadData = 0x6A80;
constexpr uint16_t kSwNoFileSystem = 0x6A81;
constexpr uint16_t kSwFileNotFound = 0x6A82;
constexpr uint16_t kSwNoSpace = 0x6A84;
constexpr uint16_t kSwBadP1P2 = 0x6A86;
constexpr uint16_t kSwBadLength = 0x6A87;
constexpr uint16_t kSwFileExists = 0x6A89;
constexpr uint16_t kSwStorageFailed = 0x65EE;  // the image could not be written
constexpr uint16_t kSwInternal = 0x65EF;       // a result the token cannot represent
constexpr uint16_t kSwOffsetBeyondFile = 0x6700;
constexpr uint16_t kSwKindMismatch = 0x6981;  // a directory where a file is meant, or back
constexpr uint16_t kSwPinBlocked = 0x6983;
constexpr uint16_t kSwWrongPinBase = 0x6300;  // + tries left

}  // namespace qksim
