#include "sim/keygen.h"

#include <array>
#include <map>
#include <utility>

namespace qksim {
namespace {

// Odd primes below 2048, for trial division and the sieve of candidates.
const std::vector<uint32_t>& SmallPrimes() {
  static const std::vector<uint32_t> primes = [] {
    std::vector<uint32_t> list;
    for (uint32_t n = 3; n < 2048; n += 2) {
      bool prime = true;
      for (uint32_t p : list) {
        if (p * p > n) break;
        if (n % p == 0) {
          prime = false;
          break;
        }
      }
      if (prime) list.push_back(n);
    }
    return list;
  }();
  return primes;
}

uint32_t SmallGcd(uint32_t a, uint32_t b) {
  while (b != 0) {
    uint32_t r = a % b;
    a = b;
    b = r;
  }
  return a;
}

void PutBigEndian32(uint32_t value, uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

int RoundsFor(size_t bits) { return bits >= 1024 ? 6 : bits >= 512 ? 8 : 16; }

// A uniformly random base in [2, n - 2].
BigNum RandomBase(const BigNum& n, Random* random) {
  std::vector<uint8_t> bytes((n.BitCount() + 7) / 8 + 8);
  random->Fill(bytes.data(), bytes.size());
  return Mod(BigNum::FromBytes(bytes.data(), bytes.size()), n - BigNum(3)) + BigNum(2);
}

bool MillerRabin(const BigNum& n, int rounds, Random* random) {
  const BigNum one(1);
  const BigNum minusOne = n - one;
  size_t twos = 0;
  while (!minusOne.Bit(twos)) ++twos;
  const BigNum odd = minusOne.ShiftRight(twos);
  for (int round = 0; round < rounds; ++round) {
    BigNum x = ModExpOdd(RandomBase(n, random), odd, n);
    if (x == one || x == minusOne) continue;
    bool witness = true;
    for (size_t i = 1; i < twos && witness; ++i) {
      x = Mod(x * x, n);
      if (x == minusOne) witness = false;
    }
    if (witness) return false;
  }
  return true;
}

}  // namespace

bool IsProbablePrime(const BigNum& candidate, int rounds, Random* random) {
  if (Compare(candidate, BigNum(4)) < 0) return candidate == BigNum(2) || candidate == BigNum(3);
  if (!candidate.IsOdd()) return false;
  for (uint32_t p : SmallPrimes()) {
    if (candidate == BigNum(p)) return true;
    if (candidate.ModWord(p) == 0) return false;
  }
  return MillerRabin(candidate, rounds, random);
}

BigNum GeneratePrime(size_t bits, uint32_t publicExponent, Random* random) {
  const std::vector<uint32_t>& primes = SmallPrimes();
  const size_t byteCount = (bits + 7) / 8;
  std::vector<uint8_t> bytes(byteCount);
  for (;;) {
    random->Fill(bytes.data(), byteCount);
    const unsigned topBits = static_cast<unsigned>(bits - 8 * (byteCount - 1));  // 1..8
    bytes[0] = static_cast<uint8_t>(bytes[0] & ((1u << topBits) - 1));
    BigNum base = BigNum::FromBytes(bytes.data(), byteCount);
    base.SetBit(bits - 1);
    base.SetBit(bits - 2);
    if (!base.IsOdd()) base = base + BigNum(1);
    // Sieve: step by 2 from the base, skipping candidates with a small factor.
    std::vector<uint32_t> residues(primes.size());
    for (size_t i = 0; i < primes.size(); ++i) residues[i] = base.ModWord(primes[i]);
    for (uint32_t step = 0; step < 4096; step += 2) {
      bool divisible = false;
      for (size_t i = 0; i < primes.size() && !divisible; ++i) {
        divisible = (residues[i] + step) % primes[i] == 0;
      }
      if (divisible) continue;
      BigNum candidate = base + BigNum(step);
      if (candidate.BitCount() != bits) break;
      uint32_t reduced = (candidate - BigNum(1)).ModWord(publicExponent);
      if (SmallGcd(publicExponent, reduced) != 1) continue;
      if (MillerRabin(candidate, RoundsFor(bits), random)) return candidate;
    }
  }
}

namespace {

bool GenerateFreshRsaKey(uint32_t bits, uint32_t publicExponent, Random* random, RsaKeyParts* key) {
  if (bits < 128 || bits % 64 != 0 || publicExponent < 3 || (publicExponent & 1u) == 0) {
    return false;
  }
  const BigNum e(publicExponent);
  for (;;) {
    BigNum p = GeneratePrime(bits / 2, publicExponent, random);
    BigNum q = GeneratePrime(bits / 2, publicExponent, random);
    if (p == q) continue;
    if (p < q) std::swap(p, q);
    BigNum n = p * q;
    if (n.BitCount() != bits) continue;
    const BigNum one(1);
    BigNum pm1 = p - one, qm1 = q - one;
    BigNum lambda;
    DivMod(pm1 * qm1, Gcd(pm1, qm1), &lambda, nullptr);
    BigNum d;
    if (!ModInverse(e, lambda, &d)) continue;
    BigNum qinv;
    if (!ModInverse(q, p, &qinv)) continue;
    key->bits = bits;
    key->publicExponent = publicExponent;
    key->modulus = n;
    key->privateExponent = d;
    key->exponent1 = Mod(d, pm1);
    key->exponent2 = Mod(d, qm1);
    key->prime1 = p;
    key->prime2 = q;
    key->coefficient = qinv;
    return true;
  }
}

}  // namespace

bool GenerateRsaKey(uint32_t bits, uint32_t publicExponent, Random* random, RsaKeyParts* key) {
#ifdef QKSIM_FUZZ_SHORTCUTS
  // Fuzz builds generate each size and exponent once and hand the same pair
  // out again: a prime search costs the fuzzer hundreds of inputs, and what
  // the command does with the key does not depend on which primes it got.
  static std::map<std::pair<uint32_t, uint32_t>, std::pair<bool, RsaKeyParts>> generated;
  const auto found = generated.find({bits, publicExponent});
  if (found != generated.end()) {
    *key = found->second.second;
    return found->second.first;
  }
  const bool made = GenerateFreshRsaKey(bits, publicExponent, random, key);
  generated[{bits, publicExponent}] = {made, *key};
  return made;
#else
  return GenerateFreshRsaKey(bits, publicExponent, random, key);
#endif
}

std::vector<uint8_t> PublicKeyBlock(const RsaKeyParts& key) {
  const size_t k = key.bits / 8;
  std::vector<uint8_t> block(12 + k, 0);
  PutBigEndian32(key.bits, &block[0]);
  PutBigEndian32(key.publicExponent, &block[4]);
  key.modulus.ToBytes(&block[12], k);
  return block;
}

std::vector<uint8_t> PrivateKeyBlock(const RsaKeyParts& key) {
  const size_t k = key.bits / 8;
  const size_t half = k / 2;
  std::vector<uint8_t> block(20 + 5 * half, 0);
  PutBigEndian32(key.bits, &block[0]);
  PutBigEndian32(key.publicExponent, &block[4]);
  const std::array<const BigNum*, 5> parts = {&key.prime1, &key.prime2, &key.exponent1,
                                              &key.exponent2, &key.coefficient};
  for (size_t i = 0; i < parts.size(); ++i) parts[i]->ToBytes(&block[20 + i * half], half);
  return block;
}

}  // namespace qksim
