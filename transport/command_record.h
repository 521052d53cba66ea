// The command record: one token command on the way out, its answer on the way back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk {

constexpr size_t kRecordHeaderSize = 6;   // CLA INS P1 P2 and two length bytes
constexpr size_t kRecordDataSize = 1024;  // command data out, response data + SW back
constexpr size_t kRecordImageSize = kRecordHeaderSize + kRecordDataSize;  // 1030

struct CommandRecord {
  uint8_t bytes[kRecordImageSize];  // message image; the response overwrites it from byte 6
  uint16_t bytesToSend;             // 6 + command data length
  uint16_t responseLength;          // response bytes minus the status word
};
static_assert(sizeof(CommandRecord) == 1034, "CommandRecord is 1034 bytes");

// Record byte positions.
constexpr size_t kCla = 0, kIns = 1, kP1 = 2, kP2 = 3, kLc0 = 4, kLc1 = 5, kData = 6;

// The instruction byte of the session-key command, the only one sent in plain.
constexpr uint8_t kInsSessionKey = 0x47;

}  // namespace qk
