// RSA block operations on key records: raw public and private (CRT)
// operations and block-type-1 padding, for moduli of up to 1024 bits.
#include "qkrsa.h"

namespace {

constexpr uint32_t kDigits = MP_MAX_DIGITS;
constexpr uint32_t kWideDigits = 2 * MP_MAX_DIGITS;
constexpr uint32_t kPaddingOverhead = 11;  // 00 01, at least eight FF, 00
constexpr uint32_t kMinimumFillerBytes = 8;

// Block length k of a key, or 0 for a bit length the 128-byte fields and
// work blocks cannot carry (above 1024) or that names no modulus at all (0).
uint32_t BlockLength(uint32_t bitLength) {
  if (bitLength == 0 || bitLength > RSA_MAX_MODULUS_BITS) return 0;
  return (bitLength + 7) / 8;
}

}  // namespace

extern "C" {

QK_API uint32_t QK_CALL RsaPublicBlock(uint8_t* output, uint32_t* outputLength,
                                       const uint8_t* input, uint32_t inputLength,
                                       const RsaPublicKey* key) {
  const uint32_t k = BlockLength(key->bitLength);
  if (k == 0) return RSA_E_LENGTH;

  MpDigit m[kDigits], n[kDigits], e[kDigits], c[kDigits];
  MpDecode(m, kDigits, input, inputLength);
  MpDecode(n, kDigits, key->modulus, RSA_MAX_MODULUS_BYTES);
  MpDecode(e, kDigits, key->publicExponent, RSA_MAX_MODULUS_BYTES);
  const uint32_t nd = MpDigitCount(n, kDigits);
  const uint32_t ed = MpDigitCount(e, kDigits);
  // Only the modulus's significant digits of the input take part.
  if (MpCompare(m, n, nd) >= 0) return RSA_E_DATA;

  MpModExp(c, m, e, ed, n, nd);
  *outputLength = k;
  MpEncode(output, k, c, nd);
  return 0;
}

QK_API uint32_t QK_CALL RsaPublicDecrypt(uint8_t* output, uint32_t* outputLength,
                                         const uint8_t* input, uint32_t inputLength,
                                         const RsaPublicKey* key) {
  const uint32_t k = BlockLength(key->bitLength);
  if (k == 0 || inputLength > k) return RSA_E_LENGTH;

  uint8_t block[RSA_MAX_MODULUS_BYTES] = {};
  uint32_t blockLength = 0;
  const uint32_t code = RsaPublicBlock(block, &blockLength, input, inputLength, key);
  if (code != 0) return code;
  // Fewer than three bytes cannot hold 00 01 and a separator.
  if (k < 3) return RSA_E_DATA;

  if (block[0] != 0x00 || block[1] != 0x01) return RSA_E_DATA;
  uint32_t i = 2;
  while (i < k - 1 && block[i] == 0xFF) ++i;
  if (block[i] != 0x00) return RSA_E_DATA;
  ++i;  // past the separator

  // The length is reported even when the filler turns out too short.
  *outputLength = k - i;
  if (i - 3 < kMinimumFillerBytes) return RSA_E_DATA;
  ByteCopy(output, block + i, k - i);
  return 0;
}

QK_API uint32_t QK_CALL RsaPrivateBlock(uint8_t* output, uint32_t* outputLength,
                                        const uint8_t* input, uint32_t inputLength,
                                        const RsaPrivateKey* key) {
  const uint32_t k = BlockLength(key->bitLength);
  if (k == 0) return RSA_E_LENGTH;

  MpDigit c[kDigits], n[kDigits], p[kDigits], q[kDigits], dP[kDigits], dQ[kDigits], qInv[kDigits];
  MpDecode(c, kDigits, input, inputLength);
  MpDecode(n, kDigits, key->modulus, RSA_MAX_MODULUS_BYTES);
  MpDecode(p, kDigits, key->prime1, RSA_MAX_PRIME_BYTES);
  MpDecode(q, kDigits, key->prime2, RSA_MAX_PRIME_BYTES);
  MpDecode(dP, kDigits, key->exponent1, RSA_MAX_PRIME_BYTES);
  MpDecode(dQ, kDigits, key->exponent2, RSA_MAX_PRIME_BYTES);
  MpDecode(qInv, kDigits, key->coefficient, RSA_MAX_PRIME_BYTES);
  const uint32_t cd = MpDigitCount(c, kDigits);
  const uint32_t nd = MpDigitCount(n, kDigits);
  const uint32_t pd = MpDigitCount(p, kDigits);
  if (MpCompare(c, n, nd) >= 0) return RSA_E_DATA;

  // The usual order has q < p, and then everything modulo q fits in p's
  // digit count and m2 is already below p. A larger q works modulo q over
  // its own digits, and m2 is reduced modulo p before the difference.
  const bool qAboveP = MpCompare(q, p, kDigits) > 0;
  const uint32_t qWidth = qAboveP ? MpDigitCount(q, kDigits) : pd;

  // Working values start at zero: a degenerate key (a zero prime) makes the
  // modular steps write nothing, and the result must still be defined.
  MpDigit c1[kDigits] = {}, c2[kDigits] = {}, m1[kDigits] = {}, m2[kDigits] = {};
  MpDigit m2ModP[kDigits] = {};
  MpDigit h[kWideDigits] = {};
  MpMod(c1, c, cd, p, pd);
  MpMod(c2, c, cd, q, qWidth);
  MpModExp(m1, c1, dP, pd, p, pd);
  MpModExp(m2, c2, dQ, qWidth, q, qWidth);
  if (qAboveP) {
    MpMod(m2ModP, m2, qWidth, p, pd);
  } else {
    MpCopy(m2ModP, m2, pd);
  }

  // h = (m1 - m2) mod p, without negative numbers.
  if (MpCompare(m1, m2ModP, pd) >= 0) {
    MpSub(h, m1, m2ModP, pd);
  } else {
    MpSub(h, m2ModP, m1, pd);
    MpSub(h, p, h, pd);
  }
  MpModMultiply(h, h, qInv, p, pd);
  MpMultiply(h, h, q, qWidth);  // h < p, so h * q < n
  MpAdd(h, h, m2, nd);

  *outputLength = k;
  MpEncode(output, k, h, nd);
  return 0;
}

QK_API uint32_t QK_CALL RsaPrivateEncrypt(uint8_t* output, uint32_t* outputLength,
                                          const uint8_t* input, uint32_t inputLength,
                                          const RsaPrivateKey* key) {
  const uint32_t k = BlockLength(key->bitLength);
  // Compared in 64 bits: inputLength + 11 must not wrap past the test.
  if (k == 0 || static_cast<uint64_t>(inputLength) + kPaddingOverhead > k) return RSA_E_LENGTH;

  uint8_t block[RSA_MAX_MODULUS_BYTES];
  const uint32_t filler = k - inputLength - 3;
  block[0] = 0x00;
  block[1] = 0x01;
  ByteFill(block + 2, 0xFF, filler);
  block[2 + filler] = 0x00;
  ByteCopy(block + 3 + filler, input, inputLength);
  return RsaPrivateBlock(output, outputLength, block, k, key);
}

}  // extern "C"
