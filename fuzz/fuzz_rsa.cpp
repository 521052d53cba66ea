// The software RSA and the arithmetic under it, on caller bytes: key records
// with any bit length (up to and beyond 1024) and any field contents, inputs
// of any length, and digit arrays of every size the arithmetic admits. The
// buffers are exactly as large as the interface promises to use, so any
// write beyond them is caught; results are checked against a small
// schoolbook oracle where one is cheap.
//
// Input: an operation selector (1), then its operands (see each case).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/input_reader.h"
#include "include/qkrsa.h"

namespace {

using Digits = std::vector<MpDigit>;

constexpr uint32_t kMaxDigits = MP_MAX_DIGITS;
constexpr uint32_t kMaxWideDigits = 2 * MP_MAX_DIGITS;

// Bit lengths: mostly 0..1152 (around and past the 1024 limit), sometimes huge.
uint32_t ReadBitLength(qkfuzz::InputReader* in) {
  const uint16_t raw = in->U16();
  if (raw >= 0xF000) return static_cast<uint32_t>(raw - 0xF000) << 20 | raw;
  return raw % 1153u;
}

Digits ReadDigits(qkfuzz::InputReader* in, uint32_t count) {
  Digits digits(count);
  for (MpDigit& digit : digits) digit = in->U32();
  return digits;
}

// An array of at least one element, so that data() is never null.
Digits Sized(size_t count) { return Digits(count == 0 ? 1 : count); }

// ---- Schoolbook oracle over any number of digits ----

Digits Trim(Digits x) {
  while (!x.empty() && x.back() == 0) x.pop_back();
  return x;
}

Digits Multiply(const Digits& x, const Digits& y) {
  Digits product(x.size() + y.size(), 0);
  for (size_t i = 0; i < x.size(); ++i) {
    uint64_t carry = 0;
    for (size_t j = 0; j < y.size(); ++j) {
      const uint64_t t = uint64_t{x[i]} * y[j] + product[i + j] + carry;
      product[i + j] = static_cast<MpDigit>(t);
      carry = t >> 32;
    }
    product[i + y.size()] = static_cast<MpDigit>(carry);
  }
  return Trim(product);
}

Digits Add(const Digits& x, const Digits& y) {
  Digits sum(std::max(x.size(), y.size()) + 1, 0);
  uint64_t carry = 0;
  for (size_t i = 0; i < sum.size(); ++i) {
    const uint64_t t = uint64_t{i < x.size() ? x[i] : 0} + (i < y.size() ? y[i] : 0) + carry;
    sum[i] = static_cast<MpDigit>(t);
    carry = t >> 32;
  }
  return Trim(sum);
}

// -1, 0, 1 over trimmed values.
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

// ---- Operations ----

void CheckRsaResult(uint32_t code, uint32_t bitLength, uint32_t outputLength, bool stripped,
                    uint32_t inputLength) {
  if (code != 0 && code != RSA_E_DATA && code != RSA_E_LENGTH) qkfuzz::Fail("unknown RSA code");
  const bool usable = bitLength >= 1 && bitLength <= RSA_MAX_MODULUS_BITS;
  if (!usable && code != RSA_E_LENGTH) qkfuzz::Fail("key beyond 1024 bits or of 0 bits accepted");
  if (code != 0) return;
  const uint32_t k = (bitLength + 7) / 8;
  if (stripped ? outputLength + 11 > k : outputLength != k) qkfuzz::Fail("output length");
  (void)inputLength;
}

void PublicOperation(qkfuzz::InputReader* in, bool strip) {
  RsaPublicKey key;
  key.bitLength = ReadBitLength(in);
  in->Fill(key.modulus, sizeof key.modulus);
  in->Fill(key.publicExponent, sizeof key.publicExponent);
  const std::vector<uint8_t> input = in->Take(in->U8());
  std::vector<uint8_t> output(RSA_MAX_MODULUS_BYTES);
  uint32_t outputLength = 0;
  const uint32_t code = strip ? RsaPublicDecrypt(output.data(), &outputLength, input.data(),
                                                 static_cast<uint32_t>(input.size()), &key)
                              : RsaPublicBlock(output.data(), &outputLength, input.data(),
                                               static_cast<uint32_t>(input.size()), &key);
  CheckRsaResult(code, key.bitLength, outputLength, strip, static_cast<uint32_t>(input.size()));
}

void PrivateOperation(qkfuzz::InputReader* in, bool pad) {
  RsaPrivateKey key;
  key.bitLength = ReadBitLength(in);
  in->Fill(reinterpret_cast<uint8_t*>(&key) + sizeof key.bitLength,
           sizeof key - sizeof key.bitLength);
  const std::vector<uint8_t> input = in->Take(in->U8());
  std::vector<uint8_t> output(RSA_MAX_MODULUS_BYTES);
  uint32_t outputLength = 0;
  const uint32_t code = pad ? RsaPrivateEncrypt(output.data(), &outputLength, input.data(),
                                                static_cast<uint32_t>(input.size()), &key)
                            : RsaPrivateBlock(output.data(), &outputLength, input.data(),
                                              static_cast<uint32_t>(input.size()), &key);
  CheckRsaResult(code, key.bitLength, outputLength, false, static_cast<uint32_t>(input.size()));
  if (pad && code == RSA_E_LENGTH && key.bitLength >= 1 && key.bitLength <= RSA_MAX_MODULUS_BITS &&
      input.size() + 11 <= (key.bitLength + 7) / 8) {
    qkfuzz::Fail("input that fits the padding refused");
  }
}

// quotient * divisor + remainder == dividend, remainder < divisor.
void Divide(qkfuzz::InputReader* in) {
  const uint32_t dividendDigits = in->U8() % (kMaxWideDigits + 1);
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
  if (Compare(Add(Multiply(quotient, divisor), remainder), dividend) != 0) {
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
  if (Compare(product, Multiply(x, y)) != 0) qkfuzz::Fail("product wrong");
  if (IsZero(modulus)) return;
  Digits result = Sized(n);
  MpModMultiply(result.data(), x.data(), y.data(), modulus.data(), n);
  result.resize(n);
  if (Compare(result, modulus) >= 0) qkfuzz::Fail("modular product not reduced");
}

void ModExp(qkfuzz::InputReader* in) {
  const uint32_t modulusDigits = in->U8() % (kMaxDigits + 1);
  const uint32_t exponentDigits = in->U8() % (kMaxDigits + 1);
  const Digits base = ReadDigits(in, modulusDigits);
  const Digits exponent = ReadDigits(in, exponentDigits);
  const Digits modulus = ReadDigits(in, modulusDigits);
  Digits result = Sized(modulusDigits);
  MpModExp(result.data(), base.data(), exponent.data(), exponentDigits, modulus.data(),
           modulusDigits);
  result.resize(modulusDigits);
  if (IsZero(modulus)) return;
  if (IsZero(exponent)) {
    if (!IsOne(result)) qkfuzz::Fail("x^0 is not 1");
  } else if (Compare(result, modulus) >= 0) {
    qkfuzz::Fail("power not reduced");
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
    rest.resize(n);
    if (!IsZero(rest)) qkfuzz::Fail("gcd does not divide an operand");
  }
  if (!IsOne(gcd) || Compare(y, Digits{1}) <= 0) return;
  Digits inverse = Sized(n);
  MpModInverse(inverse.data(), x.data(), y.data(), n);
  inverse.resize(n);
  Digits product = Sized(n);
  MpModMultiply(product.data(), x.data(), inverse.data(), y.data(), n);
  product.resize(n);
  if (!IsOne(product)) qkfuzz::Fail("inverse does not invert");
}

// Left then right by the same amount gives back x without its top bits.
void Shifts(qkfuzz::InputReader* in) {
  const uint32_t n = in->U8() % (kMaxDigits + 1);
  const uint32_t bits = in->U8() % 40;  // a few beyond the limit of 31
  const Digits x = ReadDigits(in, n);
  Digits left = Sized(n), back = Sized(n);
  const MpDigit outLeft = MpShiftLeft(left.data(), x.data(), bits, n);
  if (bits >= 32) {
    if (outLeft != 0) qkfuzz::Fail("oversized shift returned bits");
    return;
  }
  MpShiftRight(back.data(), left.data(), bits, n);
  for (uint32_t i = 0; i < n; ++i) {
    const MpDigit keep = (i + 1 == n && bits > 0) ? (0xFFFFFFFFu >> bits) : 0xFFFFFFFFu;
    if (back[i] != (x[i] & keep)) qkfuzz::Fail("shifts do not undo each other");
  }
  if (n > 0 && bits > 0 && outLeft != x[n - 1] >> (32 - bits)) qkfuzz::Fail("bits shifted out");
}

void Codec(qkfuzz::InputReader* in) {
  const uint32_t n = in->U8() % (kMaxDigits + 1);
  const std::vector<uint8_t> bytes = in->Take(in->U8());
  Digits digits = Sized(n);
  MpDecode(digits.data(), n, bytes.data(), static_cast<uint32_t>(bytes.size()));
  std::vector<uint8_t> again(bytes.size() + 1);
  MpEncode(again.data(), static_cast<uint32_t>(bytes.size()), digits.data(), n);
  // Bytes that fitted come back; the rest were dropped on decoding.
  const size_t kept = std::min<size_t>(bytes.size(), 4u * n);
  if (kept > 0 && std::memcmp(again.data() + bytes.size() - kept,
                              bytes.data() + bytes.size() - kept, kept) != 0) {
    qkfuzz::Fail("decode then encode lost bytes");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qkfuzz::InputReader in(data, size);
  switch (in.U8() % 10) {
    case 0:
      PublicOperation(&in, false);
      break;
    case 1:
      PublicOperation(&in, true);
      break;
    case 2:
      PrivateOperation(&in, false);
      break;
    case 3:
      PrivateOperation(&in, true);
      break;
    case 4:
      Divide(&in);
      break;
    case 5:
      Multiply(&in);
      break;
    case 6:
      ModExp(&in);
      break;
    case 7:
      GcdAndInverse(&in);
      break;
    case 8:
      Shifts(&in);
      break;
    default:
      Codec(&in);
      break;
  }
  return 0;
}
