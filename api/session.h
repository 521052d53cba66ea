// The session key agreed at every open, and the historical bytes of an
// answer-to-reset string.
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/qktoken.h"

namespace qk {

// Asks the token of the context's slot for a session key, which its channel
// keeps. A failing exchange or status word returns its code; an answer that
// is not one 64-byte block, or that the maker key cannot open, returns
// QK_E_COMMUNICATION. Any failure leaves the channel without a key (its
// next exchange answers QK_E_SESSION_REPLACED until a key is agreed).
uint32_t EstablishSessionKey(const QKContext* context);

// Stores the historical bytes of the answer-to-reset string `atr`
// (`atrLength` bytes) in the slot's `historical` field, zero-filled behind
// them. Returns false, storing nothing, when the slot number is 128 or more
// or the string is shorter than its indicator bytes announce.
bool StoreHistoricalBytes(uint32_t slotIndex, const uint8_t* atr, size_t atrLength);

}  // namespace qk
