// Kept apart from rsa/ because the token generates keys of up to 2048 bits,
// past the 1024-bit key records that the library's arithmetic is sized for.
// Unsigned multi-precision integers for the token's key generation: enough for
// 2048-bit RSA (1024-bit primes), with Montgomery exponentiation for the
// primality tests. Values are little-endian vectors of 32-bit limbs, normalised
// (no high zero limbs; zero is the empty vector).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qksim {

class BigNum {
 public:
  BigNum() = default;
  explicit BigNum(uint64_t value);

  static BigNum FromBytes(const uint8_t* bytes, size_t count);  // big-endian
  static BigNum FromLimbs(std::vector<uint32_t> limbs);         // least significant first
  // Big-endian, left-padded with zeros to `count` bytes; false when it does not fit.
  bool ToBytes(uint8_t* bytes, size_t count) const;

  bool IsZero() const { return limbs_.empty(); }
  bool IsOdd() const { return !limbs_.empty() && (limbs_[0] & 1u) != 0; }
  size_t BitCount() const;
  bool Bit(size_t index) const;
  void SetBit(size_t index);
  uint32_t ModWord(uint32_t divisor) const;  // divisor > 0

  const std::vector<uint32_t>& Limbs() const { return limbs_; }

  friend int Compare(const BigNum& a, const BigNum& b);
  friend BigNum operator+(const BigNum& a, const BigNum& b);
  friend BigNum operator-(const BigNum& a, const BigNum& b);  // requires a >= b
  friend BigNum operator*(const BigNum& a, const BigNum& b);
  // Quotient and remainder; divisor must not be zero.
  friend void DivMod(const BigNum& a, const BigNum& b, BigNum* quotient, BigNum* remainder);

  BigNum ShiftRight(size_t bits) const;

 private:
  void Normalise();
  std::vector<uint32_t> limbs_;
};

inline bool operator==(const BigNum& a, const BigNum& b) { return Compare(a, b) == 0; }
inline bool operator!=(const BigNum& a, const BigNum& b) { return Compare(a, b) != 0; }
inline bool operator<(const BigNum& a, const BigNum& b) { return Compare(a, b) < 0; }

BigNum Mod(const BigNum& a, const BigNum& m);
BigNum Gcd(BigNum a, BigNum b);
// x^-1 mod m; false when gcd(x, m) != 1 or m < 2.
bool ModInverse(const BigNum& x, const BigNum& m, BigNum* inverse);
// base^exponent mod modulus; modulus must be odd and above 1.
BigNum ModExpOdd(const BigNum& base, const BigNum& exponent, const BigNum& modulus);

}  // namespace qksim
