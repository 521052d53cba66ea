// Small helpers shared by the command calls: filling a command record and
// handing it to the transport for the context's slot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "include/qktoken.h"
#include "transport/command_record.h"
#include "api/transmit.h"

namespace qk {

inline uint8_t LowByte(uint32_t value) { return static_cast<uint8_t>(value & 0xFFu); }
inline uint8_t HighByte(uint32_t value) { return static_cast<uint8_t>((value >> 8) & 0xFFu); }

// Zero-fills the record (every command starts from a clean record, so stale
// data never leaks to the token) and writes CLA 0 and the instruction with its
// parameter bytes. The command is header-only until the caller says otherwise.
inline void BeginCommand(CommandRecord* record, uint8_t ins, uint8_t p1, uint8_t p2) {
  std::memset(record, 0, sizeof(*record));
  record->bytes[kCla] = 0x00;
  record->bytes[kIns] = ins;
  record->bytes[kP1] = p1;
  record->bytes[kP2] = p2;
  record->bytesToSend = static_cast<uint16_t>(kRecordHeaderSize);
}

// The two length bytes, low byte first (the order of most commands).
inline void SetLengthLowFirst(CommandRecord* record, uint32_t length) {
  record->bytes[kLc0] = LowByte(length);
  record->bytes[kLc1] = HighByte(length);
}

// A 16-bit value in the data area, low byte first; `at` counts from the first data byte.
inline void PutDataLowFirst16(CommandRecord* record, size_t at, uint32_t value) {
  record->bytes[kData + at] = LowByte(value);
  record->bytes[kData + at + 1] = HighByte(value);
}

// Sets bytesToSend for a command with `dataLength` data bytes. Callers keep
// dataLength within the record's data area.
inline void SetDataLength(CommandRecord* record, size_t dataLength) {
  record->bytesToSend = static_cast<uint16_t>(kRecordHeaderSize + dataLength);
}

// Hands a filled record to the transport for the context's slot. Callers have
// made the context check, which refuses any slot word of 128 or more.
inline uint32_t Transmit(const QKContext* context, CommandRecord* record) {
  return TransmitLocked(context->slotIndex, record);
}

}  // namespace qk
