// The session-key command and the opening of the token's answer to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "transport/command_record.h"

namespace qk {

// Size of the RSA block in which the token sends the key (512-bit key).
constexpr size_t kSessionKeyBlockSize = 64;
constexpr size_t kSessionKeySize = 8;

// Fills `record` with the session-key command: 00 47 47 4B 00 00, no data.
void BuildSessionKeyCommand(CommandRecord* record);

// Opens the answer the token gave to the session-key command (responseLength
// bytes from record byte 6) with the maker's public key and writes the key,
// the first 8 bytes of the opened block, to `key`; the opened block replaces
// the answer in the record. QK_E_COMMUNICATION, writing nothing, when the
// answer is not one 64-byte block or the maker key cannot open it.
uint32_t OpenSessionKeyAnswer(CommandRecord* record, uint8_t* key);

}  // namespace qk
