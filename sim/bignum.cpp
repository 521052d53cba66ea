#include "sim/bignum.h"

#include <algorithm>
#include <utility>

namespace qksim {
namespace {

using Limbs = std::vector<uint32_t>;

uint32_t Low(uint64_t v) { return static_cast<uint32_t>(v); }
uint32_t High(uint64_t v) { return static_cast<uint32_t>(v >> 32); }

// -m^-1 mod 2^32 for odd m (Newton iteration).
uint32_t MontgomeryFactor(uint32_t m0) {
  uint32_t inverse = 1;
  for (int i = 0; i < 5; ++i) inverse *= 2u - m0 * inverse;
  return 0u - inverse;
}

// Montgomery arithmetic modulo an odd n of `size` limbs; values are fixed-size.
class Montgomery {
 public:
  explicit Montgomery(const BigNum& modulus)
      : n_(modulus.Limbs()), size_(n_.size()), factor_(MontgomeryFactor(n_[0])) {}

  size_t Size() const { return size_; }

  // t = a * b * R^-1 mod n (CIOS).
  void Multiply(const Limbs& a, const Limbs& b, Limbs* result) const {
    Limbs t(size_ + 2, 0);
    for (size_t i = 0; i < size_; ++i) {
      uint64_t carry = 0;
      for (size_t j = 0; j < size_; ++j) {
        uint64_t sum = uint64_t{t[j]} + uint64_t{a[j]} * b[i] + carry;
        t[j] = Low(sum);
        carry = High(sum);
      }
      uint64_t top = uint64_t{t[size_]} + carry;
      t[size_] = Low(top);
      t[size_ + 1] = High(top);
      uint32_t m = t[0] * factor_;
      uint64_t sum = uint64_t{t[0]} + uint64_t{m} * n_[0];
      carry = High(sum);
      for (size_t j = 1; j < size_; ++j) {
        sum = uint64_t{t[j]} + uint64_t{m} * n_[j] + carry;
        t[j - 1] = Low(sum);
        carry = High(sum);
      }
      top = uint64_t{t[size_]} + carry;
      t[size_ - 1] = Low(top);
      t[size_] = t[size_ + 1] + High(top);
    }
    // Conditional final subtraction: t < 2n here.
    bool subtract = t[size_] != 0;
    if (!subtract) {
      subtract = true;
      for (size_t j = size_; j-- > 0;) {
        if (t[j] != n_[j]) {
          subtract = t[j] > n_[j];
          break;
        }
      }
    }
    result->assign(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(size_));
    if (subtract) {
      int64_t borrow = 0;
      for (size_t j = 0; j < size_; ++j) {
        int64_t diff = int64_t{(*result)[j]} - int64_t{n_[j]} + borrow;
        (*result)[j] = static_cast<uint32_t>(diff);
        borrow = diff < 0 ? -1 : 0;
      }
    }
  }

 private:
  Limbs n_;
  size_t size_;
  uint32_t factor_;
};

Limbs Padded(const BigNum& value, size_t size) {
  Limbs limbs = value.Limbs();
  limbs.resize(size, 0);
  return limbs;
}

}  // namespace

BigNum BigNum::FromLimbs(std::vector<uint32_t> limbs) {
  BigNum result;
  result.limbs_ = std::move(limbs);
  result.Normalise();
  return result;
}

BigNum::BigNum(uint64_t value) {
  if (value != 0) limbs_.push_back(Low(value));
  if (High(value) != 0) limbs_.push_back(High(value));
}

void BigNum::Normalise() {
  while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
}

BigNum BigNum::FromBytes(const uint8_t* bytes, size_t count) {
  BigNum result;
  result.limbs_.assign((count + 3) / 4, 0);
  for (size_t i = 0; i < count; ++i) {
    size_t position = count - 1 - i;  // byte weight
    result.limbs_[position / 4] |= uint32_t{bytes[i]} << (8 * (position % 4));
  }
  result.Normalise();
  return result;
}

bool BigNum::ToBytes(uint8_t* bytes, size_t count) const {
  if ((BitCount() + 7) / 8 > count) return false;
  for (size_t i = 0; i < count; ++i) {
    size_t position = count - 1 - i;
    size_t limb = position / 4;
    const uint32_t word = limb < limbs_.size() ? limbs_[limb] : 0u;
    bytes[i] = static_cast<uint8_t>(word >> (8 * (position % 4)));
  }
  return true;
}

size_t BigNum::BitCount() const {
  if (limbs_.empty()) return 0;
  size_t bits = 32 * (limbs_.size() - 1);
  for (uint32_t top = limbs_.back(); top != 0; top >>= 1) ++bits;
  return bits;
}

bool BigNum::Bit(size_t index) const {
  size_t limb = index / 32;
  return limb < limbs_.size() && ((limbs_[limb] >> (index % 32)) & 1u) != 0;
}

void BigNum::SetBit(size_t index) {
  size_t limb = index / 32;
  if (limbs_.size() <= limb) limbs_.resize(limb + 1, 0);
  limbs_[limb] |= 1u << (index % 32);
}

uint32_t BigNum::ModWord(uint32_t divisor) const {
  uint64_t remainder = 0;
  for (size_t i = limbs_.size(); i-- > 0;) remainder = ((remainder << 32) | limbs_[i]) % divisor;
  return static_cast<uint32_t>(remainder);
}

int Compare(const BigNum& a, const BigNum& b) {
  if (a.limbs_.size() != b.limbs_.size()) return a.limbs_.size() < b.limbs_.size() ? -1 : 1;
  for (size_t i = a.limbs_.size(); i-- > 0;) {
    if (a.limbs_[i] != b.limbs_[i]) return a.limbs_[i] < b.limbs_[i] ? -1 : 1;
  }
  return 0;
}

BigNum operator+(const BigNum& a, const BigNum& b) {
  BigNum sum;
  size_t size = std::max(a.limbs_.size(), b.limbs_.size());
  sum.limbs_.assign(size + 1, 0);
  uint64_t carry = 0;
  for (size_t i = 0; i < size; ++i) {
    uint64_t s = carry;
    if (i < a.limbs_.size()) s += a.limbs_[i];
    if (i < b.limbs_.size()) s += b.limbs_[i];
    sum.limbs_[i] = Low(s);
    carry = High(s);
  }
  sum.limbs_[size] = Low(carry);
  sum.Normalise();
  return sum;
}

BigNum operator-(const BigNum& a, const BigNum& b) {
  BigNum difference;
  difference.limbs_ = a.limbs_;
  int64_t borrow = 0;
  for (size_t i = 0; i < difference.limbs_.size(); ++i) {
    int64_t d = int64_t{difference.limbs_[i]} + borrow;
    if (i < b.limbs_.size()) d -= b.limbs_[i];
    difference.limbs_[i] = static_cast<uint32_t>(d);
    borrow = d < 0 ? -1 : 0;
  }
  difference.Normalise();
  return difference;
}

BigNum operator*(const BigNum& a, const BigNum& b) {
  BigNum product;
  if (a.IsZero() || b.IsZero()) return product;
  product.limbs_.assign(a.limbs_.size() + b.limbs_.size(), 0);
  for (size_t i = 0; i < a.limbs_.size(); ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < b.limbs_.size(); ++j) {
      uint64_t t = uint64_t{product.limbs_[i + j]} + uint64_t{a.limbs_[i]} * b.limbs_[j] + carry;
      product.limbs_[i + j] = Low(t);
      carry = High(t);
    }
    product.limbs_[i + b.limbs_.size()] = Low(carry);
  }
  product.Normalise();
  return product;
}

// Knuth's algorithm D (TAOCP vol. 2, 4.3.1) with 32-bit limbs.
void DivMod(const BigNum& a, const BigNum& b, BigNum* quotient, BigNum* remainder) {
  BigNum q;
  BigNum r;
  if (Compare(a, b) < 0) {
    r = a;
  } else if (b.limbs_.size() == 1) {
    uint64_t rest = 0;
    q.limbs_.assign(a.limbs_.size(), 0);
    for (size_t i = a.limbs_.size(); i-- > 0;) {
      uint64_t current = (rest << 32) | a.limbs_[i];
      q.limbs_[i] = Low(current / b.limbs_[0]);
      rest = current % b.limbs_[0];
    }
    q.Normalise();
    r = BigNum(rest);
  } else {
    const size_t n = b.limbs_.size();
    const size_t m = a.limbs_.size() - n;
    int shift = 0;
    for (uint32_t top = b.limbs_.back(); (top & 0x80000000u) == 0; top <<= 1) ++shift;
    Limbs v(n), u(a.limbs_.size() + 1);
    for (size_t i = n; i-- > 0;) {
      v[i] = (b.limbs_[i] << shift) | (shift != 0 && i > 0 ? b.limbs_[i - 1] >> (32 - shift) : 0);
    }
    u[a.limbs_.size()] = shift != 0 ? a.limbs_.back() >> (32 - shift) : 0;
    for (size_t i = a.limbs_.size(); i-- > 0;) {
      u[i] = (a.limbs_[i] << shift) | (shift != 0 && i > 0 ? a.limbs_[i - 1] >> (32 - shift) : 0);
    }
    q.limbs_.assign(m + 1, 0);
    for (size_t j = m + 1; j-- > 0;) {
      uint64_t numerator = (uint64_t{u[j + n]} << 32) | u[j + n - 1];
      uint64_t qhat = numerator / v[n - 1];
      uint64_t rhat = numerator % v[n - 1];
      while (qhat > 0xFFFFFFFFull || qhat * v[n - 2] > ((rhat << 32) | u[j + n - 2])) {
        --qhat;
        rhat += v[n - 1];
        if (rhat > 0xFFFFFFFFull) break;
      }
      int64_t borrow = 0;
      uint64_t carry = 0;
      for (size_t i = 0; i < n; ++i) {
        uint64_t p = qhat * v[i] + carry;
        carry = High(p);
        int64_t t = int64_t{u[i + j]} - int64_t{Low(p)} + borrow;
        u[i + j] = static_cast<uint32_t>(t);
        borrow = t >> 32;
      }
      int64_t t = int64_t{u[j + n]} - int64_t(carry) + borrow;
      u[j + n] = static_cast<uint32_t>(t);
      if (t < 0) {
        --qhat;
        uint64_t c = 0;
        for (size_t i = 0; i < n; ++i) {
          uint64_t s = uint64_t{u[i + j]} + v[i] + c;
          u[i + j] = Low(s);
          c = High(s);
        }
        u[j + n] += Low(c);
      }
      q.limbs_[j] = Low(qhat);
    }
    q.Normalise();
    r.limbs_.assign(n, 0);
    for (size_t i = 0; i < n; ++i) {
      r.limbs_[i] = (u[i] >> shift) | (shift != 0 ? u[i + 1] << (32 - shift) : 0);
    }
    r.Normalise();
  }
  if (quotient != nullptr) *quotient = q;
  if (remainder != nullptr) *remainder = r;
}

BigNum BigNum::ShiftRight(size_t bits) const {
  BigNum result;
  size_t limbShift = bits / 32;
  unsigned bitShift = static_cast<unsigned>(bits % 32);
  if (limbShift >= limbs_.size()) return result;
  result.limbs_.assign(limbs_.size() - limbShift, 0);
  for (size_t i = 0; i < result.limbs_.size(); ++i) {
    uint32_t low = limbs_[i + limbShift] >> bitShift;
    uint32_t high = (bitShift != 0 && i + limbShift + 1 < limbs_.size())
                        ? limbs_[i + limbShift + 1] << (32 - bitShift)
                        : 0;
    result.limbs_[i] = low | high;
  }
  result.Normalise();
  return result;
}

BigNum Mod(const BigNum& a, const BigNum& m) {
  BigNum remainder;
  DivMod(a, m, nullptr, &remainder);
  return remainder;
}

BigNum Gcd(BigNum a, BigNum b) {
  while (!b.IsZero()) {
    BigNum r = Mod(a, b);
    a = b;
    b = r;
  }
  return a;
}

// Extended Euclid with the coefficient kept modulo m (no signed numbers needed).
bool ModInverse(const BigNum& x, const BigNum& m, BigNum* inverse) {
  if (Compare(m, BigNum(2)) < 0) return false;
  BigNum oldR = m, r = Mod(x, m);
  BigNum oldT(0), t(1);  // invariants: oldT * x = oldR, t * x = r (mod m)
  while (!r.IsZero()) {
    BigNum q, rest;
    DivMod(oldR, r, &q, &rest);
    BigNum nextT = Mod(oldT + (m - Mod(q * t, m)), m);
    oldR = r;
    r = rest;
    oldT = t;
    t = nextT;
  }
  if (oldR != BigNum(1)) return false;
  *inverse = oldT;
  return true;
}

BigNum ModExpOdd(const BigNum& base, const BigNum& exponent, const BigNum& modulus) {
  Montgomery mont(modulus);
  const size_t size = mont.Size();
  // R mod n and base * R mod n, through ordinary division once each.
  BigNum r;
  r.SetBit(32 * size);
  Limbs one = Padded(Mod(r, modulus), size);
  Limbs x = Padded(Mod(Mod(base, modulus) * r, modulus), size);
  Limbs accumulator = one;
  for (size_t i = exponent.BitCount(); i-- > 0;) {
    mont.Multiply(accumulator, accumulator, &accumulator);
    if (exponent.Bit(i)) mont.Multiply(accumulator, x, &accumulator);
  }
  Limbs plainOne(size, 0);
  plainOne[0] = 1;
  mont.Multiply(accumulator, plainOne, &accumulator);
  return BigNum::FromLimbs(accumulator);
}

}  // namespace qksim
