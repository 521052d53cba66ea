// The software RSA and the arithmetic under it, on caller bytes: key records
// with any bit length (up to and beyond 1024) and any field contents, inputs
// of any length, and digit arrays of every size the arithmetic admits. The
// buffers are exactly as large as the interface promises to use, so any
// write beyond them is caught; results are checked against a small
// schoolbook oracle.
//
// Input: an operation selector (1, modulo 10), then its operands:
//   0-3  bit length (2), key record, input length (1), input: public block,
//        public decrypt, private block, private encrypt;
//   4    divide; 6 modular power; 7 gcd and inverse; others multiply.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/input_reader.h"
#include "include/qkrsa.h"

namespace {

using Digits = std::vector<MpDigit>;
constexpr uint32_t kMaxDigits = MP_MAX_DIGITS;

// Bit lengths: mostly 0..1152 (around and past the 1024 limit), sometimes huge.
uint32_t ReadBitLength(qkfuzz::InputReader* in) {
  const uint16_t raw = in->U16();
  if (raw >= 0xF000) return static_cast<uint32_t>(raw - 0xF000) << 20 | raw;
  return raw % 1153u;
}

// Exponents are cut to their low kExponentBytes bytes (the rest zeroed) and
// exponent digit counts to kMaxExponentDigits: a full 1024-bit exponent costs
// a thousand modular squarings, which held the target at tens of inputs a
// second. Moduli, bases and bit lengths keep their whole range; the
// exponentiation loops are the same for long and short exponents.
constexpr size_t kExponentBytes = 8;
constexpr uint32_t kMaxExponentDigits = 3;

template <size_t N>
void CapExponent(uint8_t (&exponent)[N]) {
  static_assert(N > kExponentBytes, "field narrower than the cap");
  std::fill(exponent, exponent + (N - kExponentBytes), uint8_t{0});
}

Digits ReadDigits(qkfuzz::InputReader* in, uint32_t count) {
  Digits digits(count);
  for (MpDigit& digit : digits) digit = in->U32();
  return digits;
}

// An array of at least one element, so that data() is never null.
Digits Sized(size_t count) { return Digits(count == 0 ? 1 : count); }

Digits Trim(Digits x) {
  while (!x.empty() && x.back() == 0) x.pop_back();
  return x;
}

// Schoolbook x * y + z over any number of digits.
Digits MultiplyAdd(const Digits& x, const Digits& y, const Digits& z = {}) {
  Digits out(x.size() + y.size() + z.size() + 1, 0);
  std::copy(z.begin(), z.end(), out.begin());
  for (size_t i = 0; i < x.size(); ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; i + j < out.size(); ++j) {
      const uint64_t t = uint64_t{x[i]} * (j < y.size() ? y[j] : 0) + out[i + j] + carry;
      out[i + j] = static_cast<MpDigit>(t);
      carry = t >> 32;
    }
  }
  return Trim(out);
}

int Compare(const Digits& a, const Digits& b) {
  const Digits x = Trim(a), y = Trim(b);
  if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
  for (size_t i = x.size(); i-- > 0;) {
    if (x[i] != y[i]) return x[i] < y[i] ? -1 : 1;
  }
  return 0;
}

bool IsOne(const Digits& x) { return Compare(x, Digits{1}) == 0; }
bool IsZero(const Digits& x) { return Trim(x).empty(); }

void Rsa(qkfuzz::InputReader* in, int op) {
  RsaPublicKey pub;
  RsaPrivateKey priv;
  const uint32_t bitLength = ReadBitLength(in);
  if (op < 2) {
    pub.bitLength = bitLength;
    in->Fill(pub.modulus, sizeof pub.modulus);
    in->Fill(pub.publicExponent, sizeof pub.publicExponent);
    CapExponent(pub.publicExponent);
  } else {
    priv.bitLength = bitLength;
    in->Fill(reinterpret_cast<uint8_t*>(&priv) + sizeof priv.bitLength,
             sizeof priv - sizeof priv.bitLength);
    CapExponent(priv.publicExponent);
    CapExponent(priv.privateExponent);
    CapExponent(priv.exponent1);
    CapExponent(priv.exponent2);
  }
  const std::vector<uint8_t> input = in->Take(in->U8());
  const uint32_t n = static_cast<uint32_t>(input.size());
  std::vector<uint8_t> output(RSA_MAX_MODULUS_BYTES);
  uint32_t outLength = 0;
  uint32_t code = 0;
  switch (op) {
    case 0:
      code = RsaPublicBlock(output.data(), &outLength, input.data(), n, &pub);
      break;
    case 1:
      code = RsaPublicDecrypt(output.data(), &outLength, input.data(), n, &pub);
      break;
    case 2:
      code = RsaPrivateBlock(output.data(), &outLength, input.data(), n, &priv);
      break;
    default:
      code = RsaPrivateEncrypt(output.data(), &outLength, input.data(), n, &priv);
      break;
  }
  if (code != 0 && code != RSA_E_DATA && code != RSA_E_LENGTH) qkfuzz::Fail("unknown RSA code");
  const bool usable = bitLength >= 1 && bitLength <= RSA_MAX_MODULUS_BITS;
  if (!usable && code != RSA_E_LENGTH) qkfuzz::Fail("key beyond 1024 bits or of 0 bits accepted");
  const uint32_t k = (bitLength + 7) / 8;
  if (code == 0 && (op == 1 ? outLength + 11 > k : outLength != k)) qkfuzz::Fail("output length");
  if (op == 3 && code == RSA_E_LENGTH && usable && n + 11 <= k) {
    qkfuzz::Fail("input that fits the padding refused");
  }
}

// quotient * divisor + remainder == dividend, remainder < divisor.
void Divide(qkfuzz::InputReader* in) {
  const uint32_t dividendDigits = in->U8() % (2 * kMaxDigits + 1);
  const uint32_t divisorDigits = in->U8() % (kMaxDigits + 1);
  const Digits dividend = ReadDigits(in, dividendDigits);
  const Digits divisor = ReadDigits(in, divisorDigits);
  Digits quotient = Sized(dividendDigits), remainder = Sized(divisorDigits);
  MpDivide(quotient.data(), remainder.data(), dividend.data(), dividendDigits, divisor.data(),
           divisorDigits);
  if (IsZero(divisor)) return;  // writes nothing, by contract
  quotient.resize(dividendDigits);
  remainder.resize(divisorDigits);
  if (Compare(remainder, divisor) >= 0) qkfuzz::Fail("remainder not below the divisor");
  if (Compare(MultiplyAdd(quotient, divisor, remainder), dividend) != 0) {
    qkfuzz::Fail("quotient and remainder do not rebuild the dividend");
  }
  Digits modOnly = Sized(divisorDigits);
  MpMod(modOnly.data(), dividend.data(), dividendDigits, divisor.data(), divisorDigits);
  modOnly.resize(divisorDigits);
  if (modOnly != remainder) qkfuzz::Fail("MpMod disagrees with MpDivide");
}

void Multiply(qkfuzz::InputReader* in) {
  const uint32_t n = in->U8() % (kMaxDigits + 1);
  const Digits x = ReadDigits(in, n), y = ReadDigits(in, n), modulus = ReadDigits(in, n);
  Digits product = Sized(2 * n);
  MpMultiply(product.data(), x.data(), y.data(), n);
  product.resize(2 * n);
  if (Compare(product, MultiplyAdd(x, y)) != 0) qkfuzz::Fail("product wrong");
  if (IsZero(modulus)) return;
  Digits result = Sized(n);
  MpModMultiply(result.data(), x.data(), y.data(), modulus.data(), n);
  result.resize(n);
  if (Compare(result, modulus) >= 0) qkfuzz::Fail("modular product not reduced");
}

void ModExp(qkfuzz::InputReader* in) {
  const uint32_t modulusDigits = in->U8() % (kMaxDigits + 1);
  const uint32_t exponentDigits = in->U8() % (kMaxExponentDigits + 1);
  const Digits base = ReadDigits(in, modulusDigits);
  const Digits exponent = ReadDigits(in, exponentDigits);
  const Digits modulus = ReadDigits(in, modulusDigits);
  Digits result = Sized(modulusDigits);
  MpModExp(result.data(), base.data(), exponent.data(), exponentDigits, modulus.data(),
           modulusDigits);
  result.resize(modulusDigits);
  if (IsZero(modulus)) return;
  if (IsZero(exponent) ? !IsOne(result) : Compare(result, modulus) >= 0) {
    qkfuzz::Fail("x^0 is not 1, or power not reduced");
  }
}

// The gcd divides both; an inverse, where one exists, multiplies to 1.
void GcdAndInverse(qkfuzz::InputReader* in) {
  const uint32_t n = in->U8() % (kMaxDigits + 1);
  const Digits x = ReadDigits(in, n), y = ReadDigits(in, n);
  Digits gcd = Sized(n);
  MpGcd(gcd.data(), x.data(), y.data(), n);
  gcd.resize(n);
  if (IsZero(gcd)) {
    if (!IsZero(x) || !IsZero(y)) qkfuzz::Fail("gcd of non-zero numbers is 0");
    return;
  }
  for (const Digits* operand : {&x, &y}) {
    Digits rest = Sized(n);
    MpMod(rest.data(), operand->data(), n, gcd.data(), n);
    if (!IsZero(Digits(rest.begin(), rest.begin() + n))) qkfuzz::Fail("gcd does not divide");
  }
  if (!IsOne(gcd) || Compare(y, Digits{1}) <= 0) return;
  Digits inverse = Sized(n), product = Sized(n);
  MpModInverse(inverse.data(), x.data(), y.data(), n);
  MpModMultiply(product.data(), x.data(), inverse.data(), y.data(), n);
  if (!IsOne(Digits(product.begin(), product.begin() + n))) qkfuzz::Fail("inverse does not invert");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qkfuzz::InputReader in(data, size);
  const int op = in.U8() % 10;
  if (op < 4) {
    Rsa(&in, op);
  } else if (op == 4) {
    Divide(&in);
  } else if (op == 6) {
    ModExp(&in);
  } else if (op == 7) {
    GcdAndInverse(&in);
  } else {
    Multiply(&in);
  }
  return 0;
}
