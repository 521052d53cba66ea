// The session key agreed with the token at every open, and the historical
// bytes of an answer-to-reset string.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/qktoken.h"

namespace qk {

// Size of the RSA block in which the token sends the key (512-bit key).
constexpr size_t kSessionKeyBlockSize = 64;
constexpr size_t kSessionKeySize = 8;

// Asks the token of the context's slot for a session key and keeps it in the
// slot. A failing exchange or status word returns its code; an answer that is
// not one 64-byte block, or that the maker key cannot open, returns
// QK_E_COMMUNICATION. On any failure the slot keeps its previous key.
uint32_t EstablishSessionKey(const QKContext* context);

// Stores the historical bytes of the answer-to-reset string `atr`
// (`atrLength` bytes) in the slot's `historical` field, zero-filled behind
// them. Returns false, storing nothing, when the slot number is 128 or more
// or the string is shorter than its indicator bytes announce.
bool StoreHistoricalBytes(uint32_t slotIndex, const uint8_t* atr, size_t atrLength);

}  // namespace qk
