// The small token commands behind QKDeviceControl.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/qktoken.h"

namespace qk {

constexpr size_t kRecordCDSize = 12;
constexpr size_t kFileRecordCESize = 3;
constexpr uint32_t kMaxSendCBLength = 256;
constexpr size_t kSend30Length = 8;

// INS 0x50 in mode 1, 2 or 3; mode 3 carries the parameter's low byte in P2.
uint32_t SendMode50(const QKContext* context, uint32_t mode, uint32_t parameter);
// INS 0xCD: the first 12 answer bytes into record12.
uint32_t QueryRecordCD(const QKContext* context, uint8_t* record12);
// INS 0xCE for one file: the first 3 answer bytes into record3.
uint32_t QueryFileCE(const QKContext* context, uint16_t fileId, uint8_t* record3);
// INS 0xCB with 1 to 256 bytes; its length bytes are high byte first.
uint32_t SendDataCB(const QKContext* context, const uint8_t* bytes, uint32_t n);
// INS 0xE7 with the byte in P1.
uint32_t SendByteE7(const QKContext* context, uint8_t byte);
// INS 0x30 with 8 data bytes (its length bytes stay 0).
uint32_t SendData30(const QKContext* context, const uint8_t* bytes8);
// INS 0xE3, no data.
uint32_t SendCmdE3(const QKContext* context);

}  // namespace qk
