// Internal file commands shared with the device control dispatcher.
#pragma once

#include <cstdint>

#include "include/qktoken.h"

namespace qk {

constexpr uint32_t kMaxChunkLength = 1020;  // with its 4-byte header it fills the data area
constexpr uint32_t kMaxTokenValueLength = 16;

// Writes n (at most 1020) bytes at `offset` (its low 16 bits travel) of file `fileId`.
uint32_t WriteFileChunk(const QKContext* context, uint16_t fileId, uint32_t offset,
                        const uint8_t* bytes, uint32_t n);

// Sets the token's 16-byte value from 1 to 16 bytes (INS 0x25). The token takes data byte 15 as 0,
// so a sixteenth byte always goes out as 0.
uint32_t SetTokenValue(const QKContext* context, const uint8_t* bytes, uint32_t n);

}  // namespace qk
