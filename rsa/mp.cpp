// Multi-precision arithmetic on little-endian arrays of 32-bit digits.
//
// Every routine works in fixed local arrays (no heap). Counts beyond the
// limits of those arrays (33 digits, 66 for dividends and products) make the
// compound operations return without writing anything rather than overrun
// their working storage.
#include "qkrsa.h"

#include "rsa/montgomery.h"
#include "rsa/mp_internal.h"

namespace qk {
namespace {

constexpr MpDigit kDigitMax = 0xFFFFFFFFu;
constexpr uint32_t kDigitBits = 32;

// Working arrays of the long division: the shifted dividend plus one digit.
constexpr uint32_t kCoreWorkDigits = kCoreMaxDividendDigits + 1;

// Lowest digit of the top half and bottom half of a 64-bit value.
inline MpDigit High(uint64_t v) { return static_cast<MpDigit>(v >> 32); }
inline MpDigit Low(uint64_t v) { return static_cast<MpDigit>(v); }

// x + k * y over n digits; returns the overflow digit. Exact for every k.
MpDigit AddDigitMultiple(MpDigit* result, const MpDigit* x, MpDigit k, const MpDigit* y,
                         uint32_t n) {
  // k * y[i] + x[i] + carry never exceeds 2^64 - 1, so one 64-bit
  // accumulator holds the digit and the next carry.
  uint64_t carry = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t t = static_cast<uint64_t>(k) * y[i] + x[i] + carry;
    result[i] = Low(t);
    carry = High(t);
  }
  return static_cast<MpDigit>(carry);
}

}  // namespace

MpDigit SubtractDigitMultiple(MpDigit* result, const MpDigit* x, MpDigit k, const MpDigit* y,
                              uint32_t n) {
  MpDigit borrow = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t t = static_cast<uint64_t>(k) * y[i] + borrow;  // at most 2^64 - 2^32
    const MpDigit xi = x[i];
    const MpDigit s = xi - Low(t);
    borrow = High(t) + (xi < Low(t) ? 1u : 0u);  // cannot wrap: Low(t) is 0 when High(t) is max
    result[i] = s;
  }
  return borrow;
}

namespace {

// Quotient digit estimate for the window whose top two digits are hi:lo and
// whose next digit is next, divisor top digits top (normalised) and second.
// Knuth's test leaves the estimate exact or one too large.
MpDigit EstimateQuotientDigit(MpDigit hi, MpDigit lo, MpDigit next, MpDigit top, MpDigit second,
                              bool haveSecond) {
  const uint64_t num = (static_cast<uint64_t>(hi) << 32) | lo;
  uint64_t qhat;
  uint64_t rhat;
  if (hi >= top) {  // hi == top: the quotient digit saturates
    qhat = kDigitMax;
    rhat = num - qhat * top;
  } else {
    qhat = num / top;
    rhat = num % top;
  }
  if (haveSecond) {
    while (rhat <= kDigitMax && qhat * second > ((rhat << 32) | next)) {
      --qhat;
      rhat += top;
    }
  }
  return static_cast<MpDigit>(qhat);
}

}  // namespace

void DivideCore(MpDigit* quotient, MpDigit* remainder, uint32_t remainderDigits,
                const MpDigit* dividend, uint32_t dividendDigits, const MpDigit* divisor,
                uint32_t divisorSignificant) {
  const uint32_t ds = divisorSignificant;
  const uint32_t cd = dividendDigits;
  const uint32_t shift = kDigitBits - DigitBitCount(divisor[ds - 1]);

  // Normalise so that the divisor's top digit has its top bit set. The
  // zeroing covers a dividend shorter than the divisor.
  MpDigit w[kCoreWorkDigits];
  MpDigit d[kMpMaxDigits] = {};  // initialised only to quiet a false uninitialised warning
  MpSetZero(w, ds);
  w[cd] = MpShiftLeft(w, dividend, shift, cd);
  MpShiftLeft(d, divisor, shift, ds);
  const MpDigit top = d[ds - 1];
  const MpDigit second = ds >= 2 ? d[ds - 2] : 0;

  if (quotient != nullptr) MpSetZero(quotient, cd);
  for (uint32_t step = cd >= ds ? cd - ds + 1 : 0; step > 0; --step) {
    const uint32_t i = step - 1;
    MpDigit* window = w + i;
    MpDigit q = EstimateQuotientDigit(window[ds], window[ds - 1], ds >= 2 ? window[ds - 2] : 0, top,
                                      second, ds >= 2);
    const MpDigit borrow = SubtractDigitMultiple(window, window, q, d, ds);
    if (borrow > window[ds]) {
      // One too large: the window went negative; add the divisor back once.
      window[ds] -= borrow;
      window[ds] += MpAdd(window, window, d, ds);
      --q;
    } else {
      window[ds] -= borrow;
    }
    if (quotient != nullptr) quotient[i] = q;
  }

  MpSetZero(remainder, remainderDigits);
  MpShiftRight(remainder, w, shift, ds);
}

}  // namespace qk

using qk::kMpMaxDigits;
using qk::kMpMaxWideDigits;

extern "C" {

QK_API void QK_CALL MpDecode(MpDigit* result, uint32_t n, const uint8_t* bytes,
                             uint32_t byteCount) {
  for (uint32_t i = 0; i < n; ++i) {
    MpDigit digit = 0;
    for (uint32_t j = 0; j < 4; ++j) {
      const uint64_t fromEnd = 4ull * i + j;  // byte index counted from the last byte
      if (fromEnd >= byteCount) break;
      digit |= static_cast<MpDigit>(bytes[byteCount - 1 - fromEnd]) << (8 * j);
    }
    result[i] = digit;
  }
}

QK_API void QK_CALL MpEncode(uint8_t* bytes, uint32_t byteCount, const MpDigit* x, uint32_t n) {
  for (uint32_t fromEnd = 0; fromEnd < byteCount; ++fromEnd) {
    const uint32_t digit = fromEnd / 4;
    bytes[byteCount - 1 - fromEnd] =
        static_cast<uint8_t>(digit < n ? x[digit] >> (8 * (fromEnd % 4)) : 0u);
  }
}

QK_API MpDigit QK_CALL MpAdd(MpDigit* sum, const MpDigit* x, const MpDigit* y, uint32_t n) {
  MpDigit carry = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const MpDigit yi = y[i];  // sum may be y
    MpDigit s = x[i] + carry;
    if (s < carry) {  // x[i] was all ones and the carry came in: the carry goes on
      sum[i] = yi;
      continue;
    }
    s += yi;
    carry = s < yi ? 1u : 0u;
    sum[i] = s;
  }
  return carry;
}

QK_API MpDigit QK_CALL MpSub(MpDigit* difference, const MpDigit* x, const MpDigit* y, uint32_t n) {
  MpDigit borrow = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const MpDigit yi = y[i];
    MpDigit d = x[i] - borrow;
    if (d > qk::kDigitMax - borrow) {  // x[i] was 0 and the borrow came in: it goes on
      difference[i] = qk::kDigitMax - yi;
      continue;
    }
    d -= yi;
    borrow = d > qk::kDigitMax - yi ? 1u : 0u;
    difference[i] = d;
  }
  return borrow;
}

QK_API MpDigit QK_CALL MpShiftLeft(MpDigit* result, const MpDigit* x, uint32_t bits, uint32_t n) {
  if (bits >= qk::kDigitBits) return 0;
  MpDigit carry = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const MpDigit xi = x[i];
    result[i] = (xi << bits) | carry;
    carry = bits != 0 ? xi >> (qk::kDigitBits - bits) : 0;
  }
  return carry;
}

QK_API MpDigit QK_CALL MpShiftRight(MpDigit* result, const MpDigit* x, uint32_t bits, uint32_t n) {
  if (bits >= qk::kDigitBits) return 0;
  MpDigit carry = 0;
  for (uint32_t i = n; i > 0; --i) {
    const MpDigit xi = x[i - 1];
    result[i - 1] = (xi >> bits) | carry;
    carry = bits != 0 ? xi << (qk::kDigitBits - bits) : 0;
  }
  return carry;
}

QK_API int32_t QK_CALL MpCompare(const MpDigit* x, const MpDigit* y, uint32_t n) {
  for (uint32_t i = n; i > 0; --i) {
    if (x[i - 1] > y[i - 1]) return 1;
    if (x[i - 1] < y[i - 1]) return -1;
  }
  return 0;
}

QK_API int32_t QK_CALL MpIsZero(const MpDigit* x, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    if (x[i] != 0) return 0;
  }
  return 1;
}

QK_API uint32_t QK_CALL MpDigitCount(const MpDigit* x, uint32_t n) {
  while (n > 0 && x[n - 1] == 0) --n;
  return n;
}

QK_API uint32_t QK_CALL DigitBitCount(MpDigit digit) {
  uint32_t bits = 0;
  while (digit != 0) {
    ++bits;
    digit >>= 1;
  }
  return bits;
}

QK_API uint32_t QK_CALL MpBitCount(const MpDigit* x, uint32_t n) {
  const uint32_t digits = MpDigitCount(x, n);
  if (digits == 0) return 0;
  return qk::kDigitBits * (digits - 1) + DigitBitCount(x[digits - 1]);
}

QK_API void QK_CALL MpCopy(MpDigit* result, const MpDigit* x, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) result[i] = x[i];
}

QK_API void QK_CALL MpSetZero(MpDigit* x, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) x[i] = 0;
}

QK_API void QK_CALL MpSetPowerOfTwo(MpDigit* result, uint32_t k, uint32_t n) {
  MpSetZero(result, n);
  // Compared in 64 bits: 32 * n may not fit a digit count's type.
  if (static_cast<uint64_t>(k) < static_cast<uint64_t>(qk::kDigitBits) * n) {
    result[k / qk::kDigitBits] = static_cast<MpDigit>(1u) << (k % qk::kDigitBits);
  }
}

// Schoolbook product of two digits from four half-digit products, each of
// which fits in 32 bits.
QK_API void QK_CALL DigitMultiply(MpDigit result[2], MpDigit x, MpDigit y) {
  const MpDigit xH = x >> 16, xL = x & 0xFFFFu;
  const MpDigit yH = y >> 16, yL = y & 0xFFFFu;
  MpDigit low = xL * yL;
  MpDigit m1 = xL * yH;
  const MpDigit m2 = xH * yL;
  MpDigit high = xH * yH;
  m1 += m2;
  if (m1 < m2) high += 0x10000u;  // the middle sum wrapped: 2^32 * 2^16
  const MpDigit shiftedMiddle = m1 << 16;
  low += shiftedMiddle;
  if (low < shiftedMiddle) ++high;
  high += m1 >> 16;
  result[0] = low;
  result[1] = high;
}

// Two-digit by one-digit division from half-digit quotient estimates.
// Requires divisor >= 2^31 and dividend[1] < divisor. Outside that, the
// half-digit procedure need not terminate (a zero divisor never does), so the
// quotient is then computed directly when it fits in a digit, and nothing is
// written when it does not.
QK_API void QK_CALL DigitDivide(MpDigit* quotient, const MpDigit dividend[2], MpDigit divisor) {
  MpDigit lo = dividend[0];
  MpDigit hi = dividend[1];
  if (hi >= divisor) return;  // also a zero divisor: no one-digit quotient exists
  if (divisor < 0x80000000u) {
    *quotient = static_cast<MpDigit>(((static_cast<uint64_t>(hi) << 32) | lo) / divisor);
    return;
  }

  // lo = lo - s with the borrow taken from hi.
  auto subtractLow = [&lo, &hi](MpDigit s) {
    lo -= s;
    if (lo > qk::kDigitMax - s) --hi;
  };

  const MpDigit dH = divisor >> 16, dL = divisor & 0xFFFFu;

  // High half: underestimate, subtract qH * d * 2^16, then correct upward.
  MpDigit qH = (dH == 0xFFFFu ? hi >> 16 : hi / (dH + 1)) & 0xFFFFu;
  MpDigit p1 = qH * dL, p2 = qH * dH;
  subtractLow(p1 << 16);
  hi = hi - (p1 >> 16) - p2;
  while (hi > dH || (hi == dH && lo >= (dL << 16))) {
    subtractLow(dL << 16);
    hi -= dH;
    ++qH;
  }

  // Low half: the remainder is now below d * 2^16, so hi fits in a half digit.
  MpDigit qL = (dH == 0xFFFFu ? hi & 0xFFFFu : ((hi << 16) + (lo >> 16)) / (dH + 1)) & 0xFFFFu;
  p1 = qL * dL;
  p2 = qL * dH;
  subtractLow(p1);
  subtractLow(p2 << 16);
  hi -= p2 >> 16;
  while (hi != 0 || lo >= divisor) {
    subtractLow(divisor);
    ++qL;
  }

  *quotient = ((qH & 0xFFFFu) << 16) + (qL & 0xFFFFu);
}

QK_API MpDigit QK_CALL MpAddDigitMultiple(MpDigit* result, const MpDigit* x, MpDigit k,
                                          const MpDigit* y, uint32_t n) {
  if (k == 0) return 0;
  return qk::AddDigitMultiple(result, x, k, y, n);
}

QK_API MpDigit QK_CALL MpSubDigitMultiple(MpDigit* result, const MpDigit* x, MpDigit k,
                                          const MpDigit* y, uint32_t n) {
  if (k == 0) return 0;
  return qk::SubtractDigitMultiple(result, x, k, y, n);
}

QK_API void QK_CALL MpMultiply(MpDigit* product, const MpDigit* x, const MpDigit* y, uint32_t n) {
  if (n > kMpMaxDigits) return;
  MpDigit acc[kMpMaxWideDigits];
  MpSetZero(acc, 2 * n);
  const uint32_t xd = MpDigitCount(x, n);
  const uint32_t yd = MpDigitCount(y, n);
  for (uint32_t i = 0; i < xd; ++i) {
    if (x[i] == 0) continue;
    acc[i + yd] += qk::AddDigitMultiple(acc + i, acc + i, x[i], y, yd);
  }
  MpCopy(product, acc, 2 * n);
}

QK_API void QK_CALL MpDivide(MpDigit* quotient, MpDigit* remainder, const MpDigit* dividend,
                             uint32_t dividendDigits, const MpDigit* divisor,
                             uint32_t divisorDigits) {
  const uint32_t ds = MpDigitCount(divisor, divisorDigits);
  if (ds == 0 || ds > kMpMaxDigits || dividendDigits > kMpMaxWideDigits) return;
  qk::DivideCore(quotient, remainder, divisorDigits, dividend, dividendDigits, divisor, ds);
}

QK_API void QK_CALL MpMod(MpDigit* remainder, const MpDigit* dividend, uint32_t dividendDigits,
                          const MpDigit* divisor, uint32_t divisorDigits) {
  const uint32_t ds = MpDigitCount(divisor, divisorDigits);
  if (ds == 0 || ds > kMpMaxDigits || dividendDigits > kMpMaxWideDigits) return;
  qk::DivideCore(nullptr, remainder, divisorDigits, dividend, dividendDigits, divisor, ds);
}

QK_API void QK_CALL MpModMultiply(MpDigit* result, const MpDigit* x, const MpDigit* y,
                                  const MpDigit* modulus, uint32_t n) {
  if (n > kMpMaxDigits) return;
  MpDigit product[kMpMaxWideDigits];
  MpMultiply(product, x, y, n);
  MpMod(result, product, 2 * n, modulus, n);
}

namespace qk {
namespace {

// Left-to-right exponentiation with fixed two-bit windows and a reduction
// after every product. Serves the even moduli (and 1); its results are the
// reference the Montgomery path matches.
void PlainModExp(MpDigit* result, const MpDigit* base, const MpDigit* exponent,
                 uint32_t exponentSignificant, const MpDigit* modulus, uint32_t md) {
  MpDigit powers[4][kMpMaxDigits] = {};  // powers[s] = base^s; powers[0] unused
  MpCopy(powers[1], base, md);
  MpModMultiply(powers[2], powers[1], base, modulus, md);
  MpModMultiply(powers[3], powers[2], base, modulus, md);

  MpDigit acc[kMpMaxDigits];
  MpSetZero(acc, md);
  acc[0] = 1;
  for (uint32_t i = exponentSignificant; i > 0; --i) {
    MpDigit w = exponent[i - 1];
    uint32_t bitsLeft = kDigitBits;
    if (i == exponentSignificant) {
      // Skip leading zero bit pairs (pairs, not single bits). w is non-zero.
      while ((w >> 30) == 0) {
        w <<= 2;
        bitsLeft -= 2;
      }
    }
    for (; bitsLeft > 0; bitsLeft -= 2) {
      MpModMultiply(acc, acc, acc, modulus, md);
      MpModMultiply(acc, acc, acc, modulus, md);
      const MpDigit s = w >> 30;
      if (s != 0) MpModMultiply(acc, acc, powers[s], modulus, md);
      w <<= 2;
    }
  }
  MpCopy(result, acc, md);
}

}  // namespace
}  // namespace qk

QK_API void QK_CALL MpModExp(MpDigit* result, const MpDigit* base, const MpDigit* exponent,
                             uint32_t exponentDigits, const MpDigit* modulus,
                             uint32_t modulusDigits) {
  const uint32_t md = modulusDigits;
  if (md == 0 || md > kMpMaxDigits) return;
  const uint32_t ed = MpDigitCount(exponent, exponentDigits);
  const uint32_t ms = MpDigitCount(modulus, md);
  // A zero exponent leaves the accumulator at 1, whatever the modulus; a zero
  // modulus makes every modular product write nothing, with the same effect.
  if (ed == 0 || ms == 0) {
    MpSetZero(result, md);
    result[0] = 1;
    return;
  }
  const bool oddAboveOne = (modulus[0] & 1u) != 0 && !(ms == 1 && modulus[0] == 1);
  if (oddAboveOne) {
    qk::MontgomeryModExp(result, md, base, md, exponent, ed, modulus, ms);
  } else {
    qk::PlainModExp(result, base, exponent, ed, modulus, md);
  }
}

QK_API void QK_CALL MpModInverse(MpDigit* result, const MpDigit* x, const MpDigit* modulus,
                                 uint32_t n) {
  if (n > kMpMaxDigits) return;
  // Extended Euclid on magnitudes: the cofactors of x alternate in sign, so
  // only c0's sign is tracked and restored modulo the modulus at the end.
  MpDigit c0[kMpMaxDigits], c1[kMpMaxDigits], c2[kMpMaxDigits];
  MpDigit r0[kMpMaxDigits], r1[kMpMaxDigits], r2[kMpMaxDigits];
  MpDigit q[kMpMaxDigits];
  MpDigit w[kMpMaxWideDigits];
  MpSetZero(c0, n);
  if (n > 0) c0[0] = 1;
  MpSetZero(c1, n);
  MpCopy(r0, x, n);
  MpCopy(r1, modulus, n);
  bool negative = false;
  while (!MpIsZero(r1, n)) {
    MpDivide(q, r2, r0, n, r1, n);
    MpMultiply(w, q, c1, n);
    MpAdd(c2, c0, w, n);
    MpCopy(c0, c1, n);
    MpCopy(c1, c2, n);
    MpCopy(r0, r1, n);
    MpCopy(r1, r2, n);
    negative = !negative;
  }
  if (negative) {
    MpSub(result, modulus, c0, n);
  } else {
    MpCopy(result, c0, n);
  }
}

QK_API void QK_CALL MpGcd(MpDigit* result, const MpDigit* x, const MpDigit* y, uint32_t n) {
  if (n > kMpMaxDigits) return;
  MpDigit r0[kMpMaxDigits], r1[kMpMaxDigits], r2[kMpMaxDigits];
  MpCopy(r0, x, n);
  MpCopy(r1, y, n);
  while (!MpIsZero(r1, n)) {
    MpMod(r2, r0, n, r1, n);
    MpCopy(r0, r1, n);
    MpCopy(r1, r2, n);
  }
  MpCopy(result, r0, n);
}

}  // extern "C"
