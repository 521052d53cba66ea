/* The record layouts as a C compiler sees the public headers; abi_test
 * compares them with the C++ view, so a packing or type difference between
 * the two languages cannot slip through. */
#include <stddef.h>
#include <stdint.h>

#include "qkrsa.h"
#include "qktoken.h"

#include "abi_layout.h"

#define FIELD(type, field) {#type "." #field, offsetof(type, field)}

static const AbiField kFields[] = {
    FIELD(QKContext, slotIndex),          FIELD(QKContext, infoWord),
    FIELD(QKContext, device),             FIELD(QKContext, reserved),
    FIELD(QKContext, queryValue),         FIELD(QKContext, infoBlock),
    FIELD(QKContext, infoEight),          FIELD(QKContext, markWord),
    FIELD(QKOpenOptions, reserved),       FIELD(QKOpenOptions, shared),
    FIELD(RsaPublicKey, bitLength),       FIELD(RsaPublicKey, modulus),
    FIELD(RsaPublicKey, publicExponent),  FIELD(RsaPrivateKey, bitLength),
    FIELD(RsaPrivateKey, modulus),        FIELD(RsaPrivateKey, publicExponent),
    FIELD(RsaPrivateKey, privateExponent), FIELD(RsaPrivateKey, prime1),
    FIELD(RsaPrivateKey, prime2),         FIELD(RsaPrivateKey, exponent1),
    FIELD(RsaPrivateKey, exponent2),      FIELD(RsaPrivateKey, coefficient),
    {"sizeof QKContext", sizeof(QKContext)},
    {"sizeof QKOpenOptions", sizeof(QKOpenOptions)},
    {"sizeof RsaPublicKey", sizeof(RsaPublicKey)},
    {"sizeof RsaPrivateKey", sizeof(RsaPrivateKey)},
};

const AbiField* CLayoutFields(size_t* count) {
  *count = sizeof kFields / sizeof kFields[0];
  return kFields;
}
