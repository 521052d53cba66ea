/*
 * qkrsa.h - the token library's software RSA: key records, raw and
 * block-type-1 block operations for moduli up to 1024 bits, and the
 * multi-precision arithmetic under them.
 *
 * The RSA calls return 0, RSA_E_DATA or RSA_E_LENGTH: a code space of their
 * own, apart from the QK_E_ codes of qktoken.h.
 *
 * Numbers are arrays of 32-bit digits, least significant digit first, with an
 * explicit digit count; at most MP_MAX_DIGITS digits (66 for dividends and
 * products). No call allocates, fails or keeps state: every call may run on
 * any thread at any time. The caller owns every buffer; results may not
 * overlap operands unless a comment says so. No bounds beyond the ones stated
 * are checked: counts above them overrun the callee's working arrays.
 */
#ifndef QKRSA_H
#define QKRSA_H

#include <stdint.h>

#include "qktoken.h"

#ifdef __cplusplus
extern "C" {
#endif

#define RSA_E_DATA    0x0401u /* input not below the modulus, or padding malformed */
#define RSA_E_LENGTH  0x0406u /* input length out of range for the key */

#define RSA_MAX_MODULUS_BITS   1024u
#define RSA_MAX_MODULUS_BYTES  128u
#define RSA_MAX_PRIME_BYTES    64u

/* Key records: packed byte layouts; numbers big-endian, right-aligned. */
typedef struct RsaPublicKey {
  uint32_t bitLength; /* modulus length in bits, native byte order, at most 1024 */
  uint8_t modulus[RSA_MAX_MODULUS_BYTES];
  uint8_t publicExponent[RSA_MAX_MODULUS_BYTES];
} RsaPublicKey;

typedef struct RsaPrivateKey {
  uint32_t bitLength;
  uint8_t modulus[RSA_MAX_MODULUS_BYTES];
  uint8_t publicExponent[RSA_MAX_MODULUS_BYTES];
  uint8_t privateExponent[RSA_MAX_MODULUS_BYTES];
  uint8_t prime1[RSA_MAX_PRIME_BYTES];
  uint8_t prime2[RSA_MAX_PRIME_BYTES];
  uint8_t exponent1[RSA_MAX_PRIME_BYTES];
  uint8_t exponent2[RSA_MAX_PRIME_BYTES];
  uint8_t coefficient[RSA_MAX_PRIME_BYTES];
} RsaPrivateKey;

QK_STATIC_ASSERT(sizeof(RsaPublicKey) == 260, "RsaPublicKey must be 260 bytes");
QK_STATIC_ASSERT(sizeof(RsaPrivateKey) == 708, "RsaPrivateKey must be 708 bytes");

/* The four RSA calls: k = the modulus's length in bytes (bitLength / 8,
 * rounded up), at most 128. output holds at least k bytes; *outputLength is
 * set to the bytes written. The key is only read. An input not below the
 * modulus gives RSA_E_DATA with output and *outputLength untouched; a key
 * whose bitLength is 0 or above 1024 gives RSA_E_LENGTH.
 *
 * RsaPublicBlock: output = input^e mod n, as k bytes (zeros in front). output
 * may be input. */
QK_API uint32_t QK_CALL RsaPublicBlock(uint8_t* output, uint32_t* outputLength,
                                       const uint8_t* input, uint32_t inputLength,
                                       const RsaPublicKey* key);
/* RsaPublicDecrypt: the public operation, then checks and strips block-type-1
 * padding (00 01, at least eight FF, 00); output gets the data inside (at most
 * k - 11 bytes). input longer than k: RSA_E_LENGTH; bad padding: RSA_E_DATA
 * (*outputLength may then be written, output is not). */
QK_API uint32_t QK_CALL RsaPublicDecrypt(uint8_t* output, uint32_t* outputLength,
                                         const uint8_t* input, uint32_t inputLength,
                                         const RsaPublicKey* key);
/* RsaPrivateBlock: output = input^d mod n by the Chinese remainder theorem,
 * as k bytes. prime1 must be the larger prime (p > q). output may be input. */
QK_API uint32_t QK_CALL RsaPrivateBlock(uint8_t* output, uint32_t* outputLength,
                                        const uint8_t* input, uint32_t inputLength,
                                        const RsaPrivateKey* key);
/* RsaPrivateEncrypt: block-type-1 padding of input to k bytes, then the
 * private operation. input longer than k - 11: RSA_E_LENGTH. */
QK_API uint32_t QK_CALL RsaPrivateEncrypt(uint8_t* output, uint32_t* outputLength,
                                          const uint8_t* input, uint32_t inputLength,
                                          const RsaPrivateKey* key);

/* ---- Multi-precision arithmetic ----------------------------------------- */

typedef uint32_t MpDigit;
typedef uint16_t MpHalfDigit;
#define MP_MAX_DIGITS 33u

/* Conversions. MpDecode: big-endian bytes into n digits (zeros above; bytes
 * beyond 4n dropped from the front). MpEncode: n digits into exactly byteCount
 * big-endian bytes (value taken modulo 2^(8 byteCount), zeros in front). */
QK_API void QK_CALL MpDecode(MpDigit* result, uint32_t n, const uint8_t* bytes, uint32_t byteCount);
QK_API void QK_CALL MpEncode(uint8_t* bytes, uint32_t byteCount, const MpDigit* x, uint32_t n);
/* Arithmetic modulo 2^(32n): MpAdd returns the carry (0 or 1), MpSub the
 * borrow. MpShiftLeft/Right shift by bits < 32 (32 or more: returns 0, writes
 * nothing) and return the bits shifted out. Results may be an operand. */
QK_API MpDigit QK_CALL MpAdd(MpDigit* sum, const MpDigit* x, const MpDigit* y, uint32_t n);
QK_API MpDigit QK_CALL MpSub(MpDigit* difference, const MpDigit* x, const MpDigit* y, uint32_t n);
QK_API MpDigit QK_CALL MpShiftLeft(MpDigit* result, const MpDigit* x, uint32_t bits, uint32_t n);
QK_API MpDigit QK_CALL MpShiftRight(MpDigit* result, const MpDigit* x, uint32_t bits, uint32_t n);
/* Queries: MpCompare 1, 0 or -1; MpIsZero 1 or 0 (1 for n = 0); MpDigitCount
 * significant digits; DigitBitCount and MpBitCount significant bits. */
QK_API int32_t QK_CALL MpCompare(const MpDigit* x, const MpDigit* y, uint32_t n);
QK_API int32_t QK_CALL MpIsZero(const MpDigit* x, uint32_t n);
QK_API uint32_t QK_CALL MpDigitCount(const MpDigit* x, uint32_t n);
QK_API uint32_t QK_CALL DigitBitCount(MpDigit digit);
QK_API uint32_t QK_CALL MpBitCount(const MpDigit* x, uint32_t n);
/* MpSetPowerOfTwo: 2^k over n digits (zero when k >= 32n). */
QK_API void QK_CALL MpCopy(MpDigit* result, const MpDigit* x, uint32_t n);
QK_API void QK_CALL MpSetZero(MpDigit* x, uint32_t n);
QK_API void QK_CALL MpSetPowerOfTwo(MpDigit* result, uint32_t k, uint32_t n);
/* One-digit steps. DigitMultiply: result = x * y, low digit first.
 * DigitDivide: floor(dividend / divisor); needs divisor >= 2^31 and the
 * dividend's high digit below the divisor. MpAdd/SubDigitMultiple: result =
 * x +/- k * y modulo 2^(32n); return the overflow digit (k = 0: nothing
 * written, 0 returned). */
QK_API void QK_CALL DigitMultiply(MpDigit result[2], MpDigit x, MpDigit y);
QK_API void QK_CALL DigitDivide(MpDigit* quotient, const MpDigit dividend[2], MpDigit divisor);
QK_API MpDigit QK_CALL MpAddDigitMultiple(MpDigit* result, const MpDigit* x, MpDigit k,
                                          const MpDigit* y, uint32_t n);
QK_API MpDigit QK_CALL MpSubDigitMultiple(MpDigit* result, const MpDigit* x, MpDigit k,
                                          const MpDigit* y, uint32_t n);
/* MpMultiply: product (2n digits, n <= 33; not an operand) = x * y.
 * MpDivide: quotient (dividendDigits <= 66 digits) and remainder
 * (divisorDigits <= 33 digits); a zero divisor writes nothing. MpMod: the
 * remainder only. MpModMultiply: x * y mod modulus over n digits. MpModExp:
 * base^exponent mod modulus (result and base modulusDigits digits; the base
 * need not be reduced). MpModInverse: x^-1 mod modulus; the caller ensures
 * gcd(x, modulus) = 1 (nothing checks it). MpGcd: greatest common divisor. */
QK_API void QK_CALL MpMultiply(MpDigit* product, const MpDigit* x, const MpDigit* y, uint32_t n);
QK_API void QK_CALL MpDivide(MpDigit* quotient, MpDigit* remainder, const MpDigit* dividend,
                             uint32_t dividendDigits, const MpDigit* divisor,
                             uint32_t divisorDigits);
QK_API void QK_CALL MpMod(MpDigit* remainder, const MpDigit* dividend, uint32_t dividendDigits,
                          const MpDigit* divisor, uint32_t divisorDigits);
QK_API void QK_CALL MpModMultiply(MpDigit* result, const MpDigit* x, const MpDigit* y,
                                  const MpDigit* modulus, uint32_t n);
QK_API void QK_CALL MpModExp(MpDigit* result, const MpDigit* base, const MpDigit* exponent,
                             uint32_t exponentDigits, const MpDigit* modulus,
                             uint32_t modulusDigits);
QK_API void QK_CALL MpModInverse(MpDigit* result, const MpDigit* x, const MpDigit* modulus,
                                 uint32_t n);
QK_API void QK_CALL MpGcd(MpDigit* result, const MpDigit* x, const MpDigit* y, uint32_t n);
/* Byte helpers: fill, copy (no overlap), compare (unsigned; 1, 0 or -1).
 * count 0 does nothing. */
QK_API void QK_CALL ByteFill(uint8_t* bytes, uint8_t value, uint32_t count);
QK_API void QK_CALL ByteCopy(uint8_t* destination, const uint8_t* source, uint32_t count);
QK_API int32_t QK_CALL ByteCompare(const uint8_t* first, const uint8_t* second, uint32_t count);

#ifdef __cplusplus
}
#endif

#endif /* QKRSA_H */
