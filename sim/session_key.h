// The session-key exchange, token side: a fresh DES key wrapped with the
// token maker's private RSA key, which the host opens with the public half.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/random.h"

namespace qksim {

// Picks a random 8-byte key and returns it with the 64-byte answer block:
// X^d mod n for a 64-byte X below n whose first 8 bytes are the key.
// False only when the RSA operation fails (it does not with the built-in key).
bool MakeSessionKey(Random* random, std::array<uint8_t, 8>* key, std::vector<uint8_t>* block);

}  // namespace qksim
