/* Field offsets and record sizes of the public headers with the values they
 * must have, listed once and compiled both as C and as C++. */
#ifndef QK_TESTS_ABI_LAYOUT_H
#define QK_TESTS_ABI_LAYOUT_H

#include <stddef.h>

#include "qkrsa.h"
#include "qktoken.h"

#define QK_ABI_FIELDS(F)                                                                   \
  F(QKContext, slotIndex, 0) F(QKContext, infoWord, 4) F(QKContext, device, 8)             \
  F(QKContext, reserved, 12) F(QKContext, queryValue, 24) F(QKContext, infoBlock, 28)      \
  F(QKContext, infoEight, 44) F(QKContext, markWord, 52) F(QKOpenOptions, reserved, 0)     \
  F(QKOpenOptions, shared, 4) F(RsaPublicKey, bitLength, 0) F(RsaPublicKey, modulus, 4)    \
  F(RsaPublicKey, publicExponent, 132) F(RsaPrivateKey, bitLength, 0)                      \
  F(RsaPrivateKey, modulus, 4) F(RsaPrivateKey, publicExponent, 132)                       \
  F(RsaPrivateKey, privateExponent, 260) F(RsaPrivateKey, prime1, 388)                     \
  F(RsaPrivateKey, prime2, 452) F(RsaPrivateKey, exponent1, 516)                           \
  F(RsaPrivateKey, exponent2, 580) F(RsaPrivateKey, coefficient, 644)
#define QK_ABI_RECORDS(R) \
  R(QKContext, 56) R(QKOpenOptions, 8) R(RsaPublicKey, 260) R(RsaPrivateKey, 708)

#define QK_ABI_FIELD_ENTRY(type, field, want) {#type "." #field, offsetof(type, field), want},
#define QK_ABI_SIZE_ENTRY(type, want) {"sizeof " #type, sizeof(type), want},

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AbiField {
  const char* name;
  size_t value;
  size_t expected;
} AbiField;

/* The layout as the C compiler sees it. */
const AbiField* CLayoutFields(size_t* count);

#ifdef __cplusplus
}
#endif

#endif
