// The small token commands behind QKDeviceControl.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/qktoken.h"

namespace qk {

constexpr size_t kStatusRecordSize = 12;
constexpr size_t kFileRecordSize = 3;
constexpr uint32_t kMaxRandomSeedLength = 256;
constexpr size_t kSerialNumberLength = 8;

// Session mode (INS 0x50): 1 logs the user PIN out, 2 both PINs, 3 sets the
// token's indicator byte to the parameter's low byte (carried in P2).
uint32_t SetSessionMode(const QKContext* context, uint32_t mode, uint32_t parameter);
// The token's status record (INS 0xCD): the first 12 answer bytes into record12.
uint32_t QueryStatusRecord(const QKContext* context, uint8_t* record12);
// One file's record (INS 0xCE; type, size): the first 3 answer bytes into record3.
uint32_t QueryFileRecord(const QKContext* context, uint16_t fileId, uint8_t* record3);
// Stirs 1 to 256 bytes into the token's random generator (INS 0xCB); this
// command's length bytes are high byte first.
uint32_t StirRandom(const QKContext* context, const uint8_t* bytes, uint32_t n);
// Sets the information record's first byte (INS 0xE7, the byte in P1).
uint32_t SetInfoByte(const QKContext* context, uint8_t byte);
// Sets the 8-byte serial number (INS 0x30; its length bytes stay 0).
uint32_t SetSerialNumber(const QKContext* context, const uint8_t* bytes8);
// Resets the token to its shipped state, serial number kept (INS 0xE3, no data).
uint32_t ResetToShipped(const QKContext* context);

}  // namespace qk
