// The mutual proof of a TCP entry's secret. Each side sends a fresh random
// nonce; the token proves first, the client second, each with an HMAC-SHA-256
// of both nonces keyed with the secret. The secret itself never travels, so a
// process squatting on a stale entry's port learns nothing it could answer
// with, and the client sends no report to anything that cannot prove it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/vlink/frame.h"
#include "platform/vlink/sha256.h"

namespace qk::platform::vlink {

constexpr size_t kNonceSize = 32;
// Token to client: its nonce, then its proof. Client to token: its proof.
constexpr size_t kTokenProofPayload = kNonceSize + kSha256Size;
constexpr size_t kClientProofPayload = kSha256Size;

// The two proofs differ in a label, so that neither side's proof can be
// reflected back as the other's.
Sha256Digest TokenProof(const uint8_t* secret, const uint8_t* clientNonce,
                        const uint8_t* tokenNonce);
Sha256Digest ClientProof(const uint8_t* secret, const uint8_t* clientNonce,
                         const uint8_t* tokenNonce);

// Fills `out` from the operating system's random source; false when it fails.
bool SystemRandom(uint8_t* out, size_t size);

}  // namespace qk::platform::vlink
