/* Field offsets and record sizes of the public headers, listed once and
 * compiled both as C and as C++. */
#ifndef QK_TESTS_ABI_LAYOUT_H
#define QK_TESTS_ABI_LAYOUT_H

#include <stddef.h>

#include "qkrsa.h"
#include "qktoken.h"

#define QK_ABI_FIELDS(F)                                                        \
  F(QKContext, slotIndex) F(QKContext, infoWord) F(QKContext, device)           \
  F(QKContext, reserved) F(QKContext, queryValue) F(QKContext, infoBlock)       \
  F(QKContext, infoEight) F(QKContext, markWord) F(QKOpenOptions, reserved)     \
  F(QKOpenOptions, shared) F(RsaPublicKey, bitLength) F(RsaPublicKey, modulus)  \
  F(RsaPublicKey, publicExponent) F(RsaPrivateKey, bitLength)                   \
  F(RsaPrivateKey, modulus) F(RsaPrivateKey, publicExponent)                    \
  F(RsaPrivateKey, privateExponent) F(RsaPrivateKey, prime1)                    \
  F(RsaPrivateKey, prime2) F(RsaPrivateKey, exponent1)                          \
  F(RsaPrivateKey, exponent2) F(RsaPrivateKey, coefficient)
#define QK_ABI_RECORDS(R) R(QKContext) R(QKOpenOptions) R(RsaPublicKey) R(RsaPrivateKey)

#define QK_ABI_FIELD_ENTRY(type, field) {#type "." #field, offsetof(type, field)},
#define QK_ABI_SIZE_ENTRY(type) {"sizeof " #type, sizeof(type)},

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AbiField {
  const char* name;
  size_t value;
} AbiField;

/* The layout as the C compiler sees it. */
const AbiField* CLayoutFields(size_t* count);

#ifdef __cplusplus
}
#endif

#endif
