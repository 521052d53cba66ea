// The token maker's RSA public key (512 bits, exponent 65537).
#pragma once

#include <cstddef>
#include <cstdint>

#include "include/qkrsa.h"

namespace qk {

const RsaPublicKey& MakerPublicKey();

}  // namespace qk
