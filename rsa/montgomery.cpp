// Montgomery multiplication and sliding-window exponentiation for odd moduli.
#include "rsa/montgomery.h"

#include "rsa/mp_internal.h"

namespace qk {
namespace {

template <typename Limb, typename Wide>
class MontgomeryField {
 public:
  static constexpr uint32_t kLimbBits = sizeof(Limb) * 8;
  static constexpr uint32_t kDigitsPerLimb = kLimbBits / 32;
  static constexpr uint32_t kMaxLimbs = (kMpMaxDigits + kDigitsPerLimb - 1) / kDigitsPerLimb;

  // modulus: odd, above 1, exactly modulusDigits significant digits (<= 33).
  MontgomeryField(const MpDigit* modulus, uint32_t modulusDigits)
      : modulusDigits_(modulusDigits),
        limbs_((modulusDigits + kDigitsPerLimb - 1) / kDigitsPerLimb) {
    MpCopy(modulusCopy_, modulus, modulusDigits);
    ToLimbs(m_, modulus, modulusDigits);
    // Newton's iteration for m^-1 modulo 2^kLimbBits: an odd m is its own
    // inverse modulo 8, and every step doubles the correct low bits.
    const Limb m0 = m_[0];
    Limb inverse = m0;
    for (int step = 0; step < 6; ++step) inverse = static_cast<Limb>(inverse * (2 - m0 * inverse));
    negativeInverse_ = static_cast<Limb>(0 - inverse);
  }

  uint32_t Limbs() const { return limbs_; }

  // r = a * b / R mod m for a, b < m. r may be a or b.
  void Multiply(Limb* r, const Limb* a, const Limb* b) const {
    const uint32_t n = limbs_;
    Limb t[kMaxLimbs + 2] = {};
    for (uint32_t i = 0; i < n; ++i) {
      const Limb bi = b[i];
      Wide carry = 0;
      for (uint32_t j = 0; j < n; ++j) {
        const Wide s = static_cast<Wide>(a[j]) * bi + t[j] + carry;
        t[j] = static_cast<Limb>(s);
        carry = s >> kLimbBits;
      }
      Wide s = static_cast<Wide>(t[n]) + carry;
      t[n] = static_cast<Limb>(s);
      t[n + 1] = static_cast<Limb>(s >> kLimbBits);

      // Add u * m, u chosen so that the low limb cancels, and drop that limb.
      const Limb u = static_cast<Limb>(t[0] * negativeInverse_);
      s = static_cast<Wide>(u) * m_[0] + t[0];
      carry = s >> kLimbBits;
      for (uint32_t j = 1; j < n; ++j) {
        s = static_cast<Wide>(u) * m_[j] + t[j] + carry;
        t[j - 1] = static_cast<Limb>(s);
        carry = s >> kLimbBits;
      }
      s = static_cast<Wide>(t[n]) + carry;
      t[n - 1] = static_cast<Limb>(s);
      t[n] = static_cast<Limb>(t[n + 1] + static_cast<Limb>(s >> kLimbBits));
    }
    // t < 2m: one conditional subtraction leaves the residue.
    if (t[n] != 0 || !LessThanModulus(t)) SubtractModulus(t);
    for (uint32_t j = 0; j < n; ++j) r[j] = t[j];
  }

  // r = x * R mod m, x of any size up to 33 digits.
  void Enter(Limb* r, const MpDigit* x, uint32_t xDigits) const {
    const uint32_t shiftDigits = limbs_ * kDigitsPerLimb;
    const uint32_t xs = MpDigitCount(x, xDigits);
    MpDigit shifted[kCoreMaxDividendDigits];
    MpSetZero(shifted, shiftDigits);
    MpCopy(shifted + shiftDigits, x, xs);
    MpDigit residue[kMpMaxDigits];
    DivideCore(nullptr, residue, modulusDigits_, shifted, shiftDigits + xs, modulusCopy_,
               modulusDigits_);
    ToLimbs(r, residue, modulusDigits_);
  }

  // digits (count digits, zero above the residue) = a / R mod m.
  void Leave(MpDigit* digits, uint32_t count, const Limb* a) const {
    Limb one[kMaxLimbs] = {};
    one[0] = 1;
    Limb plain[kMaxLimbs];
    Multiply(plain, a, one);
    for (uint32_t i = 0; i < count; ++i) {
      const uint32_t limb = i / kDigitsPerLimb;
      digits[i] =
          limb < limbs_ ? static_cast<MpDigit>(plain[limb] >> (32 * (i % kDigitsPerLimb))) : 0;
    }
  }

 private:
  void ToLimbs(Limb* out, const MpDigit* digits, uint32_t count) const {
    for (uint32_t l = 0; l < limbs_; ++l) {
      Limb v = 0;
      for (uint32_t k = 0; k < kDigitsPerLimb; ++k) {
        const uint32_t i = l * kDigitsPerLimb + k;
        if (i < count)
          v = static_cast<Limb>(v | static_cast<Limb>(static_cast<Limb>(digits[i]) << (32 * k)));
      }
      out[l] = v;
    }
  }

  bool LessThanModulus(const Limb* t) const {
    for (uint32_t j = limbs_; j > 0; --j) {
      if (t[j - 1] != m_[j - 1]) return t[j - 1] < m_[j - 1];
    }
    return false;
  }

  void SubtractModulus(Limb* t) const {
    Limb borrow = 0;
    for (uint32_t j = 0; j < limbs_; ++j) {
      const Limb tj = t[j];
      const Limb d = static_cast<Limb>(tj - m_[j] - borrow);
      borrow = (tj < m_[j] || (tj == m_[j] && borrow != 0)) ? 1 : 0;
      t[j] = d;
    }
    t[limbs_] = 0;
  }

  MpDigit modulusCopy_[kMpMaxDigits];
  uint32_t modulusDigits_;
  uint32_t limbs_;
  Limb m_[kMaxLimbs];
  Limb negativeInverse_;
};

inline uint32_t ExponentBit(const MpDigit* exponent, uint32_t bit) {
  return (exponent[bit / 32] >> (bit % 32)) & 1u;
}

// Window width by exponent length: wider windows pay for their table only
// on long exponents (a 17-bit public exponent runs bit by bit).
uint32_t WindowBits(uint32_t exponentBits) {
  if (exponentBits > 239) return 5;
  if (exponentBits > 79) return 4;
  if (exponentBits > 23) return 3;
  return 1;
}

constexpr uint32_t kMaxWindowBits = 5;

template <typename Limb, typename Wide>
void SlidingWindowModExp(MpDigit* result, uint32_t resultDigits, const MpDigit* base,
                         uint32_t baseDigits, const MpDigit* exponent, uint32_t exponentDigits,
                         const MpDigit* modulus, uint32_t modulusDigits) {
  using Field = MontgomeryField<Limb, Wide>;
  const Field field(modulus, modulusDigits);
  const uint32_t bits = MpBitCount(exponent, exponentDigits);
  const uint32_t window = WindowBits(bits);

  // oddPowers[k] = base^(2k + 1), in Montgomery form.
  Limb oddPowers[1u << (kMaxWindowBits - 1)][Field::kMaxLimbs];
  field.Enter(oddPowers[0], base, baseDigits);
  if (window > 1) {
    Limb square[Field::kMaxLimbs];
    field.Multiply(square, oddPowers[0], oddPowers[0]);
    for (uint32_t k = 1; k < (1u << (window - 1)); ++k) {
      field.Multiply(oddPowers[k], oddPowers[k - 1], square);
    }
  }

  // Left to right. The top bit is set, so the first window starts the
  // accumulator and no product with 1 is ever made.
  Limb acc[Field::kMaxLimbs];
  bool started = false;
  uint32_t pending = bits;  // bits [0, pending) remain
  while (pending > 0) {
    const uint32_t top = pending - 1;
    if (ExponentBit(exponent, top) == 0) {
      field.Multiply(acc, acc, acc);
      pending = top;
      continue;
    }
    uint32_t low = top + 1 >= window ? top + 1 - window : 0;
    while (ExponentBit(exponent, low) == 0) ++low;  // windows end on a set bit
    uint32_t value = 0;
    for (uint32_t b = top + 1; b > low; --b) value = (value << 1) | ExponentBit(exponent, b - 1);
    const Limb* power = oddPowers[value >> 1];
    if (started) {
      for (uint32_t k = low; k <= top; ++k) field.Multiply(acc, acc, acc);
      field.Multiply(acc, acc, power);
    } else {
      for (uint32_t j = 0; j < field.Limbs(); ++j) acc[j] = power[j];
      started = true;
    }
    pending = low;
  }
  field.Leave(result, resultDigits, acc);
}

}  // namespace

void MontgomeryModExp32(MpDigit* result, uint32_t resultDigits, const MpDigit* base,
                        uint32_t baseDigits, const MpDigit* exponent, uint32_t exponentDigits,
                        const MpDigit* modulus, uint32_t modulusDigits) {
  SlidingWindowModExp<uint32_t, uint64_t>(result, resultDigits, base, baseDigits, exponent,
                                          exponentDigits, modulus, modulusDigits);
}

#if QK_MONTGOMERY_HAVE_64
__extension__ typedef unsigned __int128 Uint128;

void MontgomeryModExp64(MpDigit* result, uint32_t resultDigits, const MpDigit* base,
                        uint32_t baseDigits, const MpDigit* exponent, uint32_t exponentDigits,
                        const MpDigit* modulus, uint32_t modulusDigits) {
  SlidingWindowModExp<uint64_t, Uint128>(result, resultDigits, base, baseDigits, exponent,
                                         exponentDigits, modulus, modulusDigits);
}
#endif

void MontgomeryModExp(MpDigit* result, uint32_t resultDigits, const MpDigit* base,
                      uint32_t baseDigits, const MpDigit* exponent, uint32_t exponentDigits,
                      const MpDigit* modulus, uint32_t modulusDigits) {
#if QK_MONTGOMERY_HAVE_64
  MontgomeryModExp64(result, resultDigits, base, baseDigits, exponent, exponentDigits, modulus,
                     modulusDigits);
#else
  MontgomeryModExp32(result, resultDigits, base, baseDigits, exponent, exponentDigits, modulus,
                     modulusDigits);
#endif
}

}  // namespace qk
