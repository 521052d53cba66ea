// DES (FIPS 46-3) and the token's key-chained report cipher.
//
// The chained mode re-keys DES for every 8-byte block, so the key schedule is
// as hot as the block function. All state lives in the caller's frame: any
// number of threads may run the cipher at once.
#pragma once

#include <cstdint>

namespace qk {

// Round subkeys for one DES key, in the packed form the block function uses.
struct DesWorkArea {
  uint32_t subkeys[32];
};

constexpr int kDesEncrypt = 1;
constexpr int kDesDecrypt = -1;

// Fills `area` with the sixteen round subkeys of `key` (8 bytes; parity bits ignored).
void DesSetKey(const uint8_t* key, DesWorkArea* area);

// One DES block under `key`: direction +1 enciphers, -1 deciphers. `input` and
// `output` may be the same block.
void DesCryptBlock(const uint8_t* input, uint8_t* output, const uint8_t* key, int direction);

// Host side of the chained mode. Both process ceil(count / 8) whole blocks.
// ChainEncrypt: out_i = E(K_i, in_i), K_0 = sessionKey, K_{i+1} = out_i ^ sessionKey.
// input and output may be the same buffer.
void ChainEncrypt(const uint8_t* input, uint8_t* output, const uint8_t* sessionKey, uint32_t count);
// ChainDecrypt: out_i = E(K_i, in_i), K_{i+1} = in_i ^ sessionKey. Separate buffers.
void ChainDecrypt(const uint8_t* input, uint8_t* output, const uint8_t* sessionKey, uint32_t count);

// Token side of the chained mode (used by the simulated token).
// TokenChainDecrypt reads what the host made with ChainEncrypt:
//   out_i = D(K_i, in_i), K_{i+1} = in_i ^ sessionKey.
void TokenChainDecrypt(const uint8_t* input, uint8_t* output, const uint8_t* sessionKey,
                       uint32_t count);
// TokenChainEncrypt makes what the host's ChainDecrypt turns back into `input`:
//   out_i = D(K_i, in_i), K_{i+1} = out_i ^ sessionKey.
void TokenChainEncrypt(const uint8_t* input, uint8_t* output, const uint8_t* sessionKey,
                       uint32_t count);

}  // namespace qk
