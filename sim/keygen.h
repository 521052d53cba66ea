// RSA key-pair generation inside the token and the two blocks the key-pair
// command answers and stores.
//
// Public block (12 + k bytes, k = modulus bytes): bit length (4, big-endian),
// public exponent (4, big-endian), 4 zero bytes, modulus (k, big-endian).
// Private block (20 + 5k/2 bytes): bit length (4), public exponent (4),
// 12 zero bytes, then p, q, d mod (p-1), d mod (q-1), q^-1 mod p, each k/2
// bytes big-endian, with p > q.
#pragma once

#include <cstdint>
#include <vector>

#include "sim/bignum.h"
#include "sim/random.h"

namespace qksim {

struct RsaKeyParts {
  uint32_t bits = 0;
  uint32_t publicExponent = 0;
  BigNum modulus, privateExponent, prime1, prime2, exponent1, exponent2, coefficient;
};

// Miller-Rabin with `rounds` random bases, after trial division by small primes.
bool IsProbablePrime(const BigNum& candidate, int rounds, Random* random);

// A random prime of exactly `bits` bits whose two top bits are set (so that the
// product of two has exactly twice the bits) and with gcd(e, prime - 1) = 1.
BigNum GeneratePrime(size_t bits, uint32_t publicExponent, Random* random);

// `bits` is 512, 1024 or 2048 (any even multiple of 64 works); the exponent
// must be odd and at least 3. False for other arguments.
bool GenerateRsaKey(uint32_t bits, uint32_t publicExponent, Random* random, RsaKeyParts* key);

std::vector<uint8_t> PublicKeyBlock(const RsaKeyParts& key);
std::vector<uint8_t> PrivateKeyBlock(const RsaKeyParts& key);

}  // namespace qksim
