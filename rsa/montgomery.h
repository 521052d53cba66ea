// Modular exponentiation for odd moduli in Montgomery form.
//
// The result is the unique residue base^exponent mod modulus, so it is the
// same number the plain square-and-multiply path produces; only the way there
// is faster (no long division per product, sliding windows over the
// exponent). Two limb widths share one implementation: 64-bit limbs where the
// compiler has a 128-bit product type, 32-bit limbs everywhere else.
#ifndef QK_RSA_MONTGOMERY_H
#define QK_RSA_MONTGOMERY_H

#include <stdint.h>

#include "qkrsa.h"

#if defined(__SIZEOF_INT128__)
#define QK_MONTGOMERY_HAVE_64 1
#else
#define QK_MONTGOMERY_HAVE_64 0
#endif

namespace qk {

// result (resultDigits digits, zero above the residue) =
// base^exponent mod modulus. Preconditions, checked by the caller:
// modulus odd and above 1 with modulusDigits significant digits (<= 33);
// exponent non-zero; baseDigits <= 33; modulusDigits <= resultDigits <= 33.
// The base need not be reduced. result may share any input's array.
using MontgomeryModExpFn = void (*)(MpDigit* result, uint32_t resultDigits, const MpDigit* base,
                                    uint32_t baseDigits, const MpDigit* exponent,
                                    uint32_t exponentDigits, const MpDigit* modulus,
                                    uint32_t modulusDigits);

void MontgomeryModExp32(MpDigit* result, uint32_t resultDigits, const MpDigit* base,
                        uint32_t baseDigits, const MpDigit* exponent, uint32_t exponentDigits,
                        const MpDigit* modulus, uint32_t modulusDigits);
#if QK_MONTGOMERY_HAVE_64
void MontgomeryModExp64(MpDigit* result, uint32_t resultDigits, const MpDigit* base,
                        uint32_t baseDigits, const MpDigit* exponent, uint32_t exponentDigits,
                        const MpDigit* modulus, uint32_t modulusDigits);
#endif

// The widest variant this build has.
void MontgomeryModExp(MpDigit* result, uint32_t resultDigits, const MpDigit* base,
                      uint32_t baseDigits, const MpDigit* exponent, uint32_t exponentDigits,
                      const MpDigit* modulus, uint32_t modulusDigits);

}  // namespace qk

#endif  // QK_RSA_MONTGOMERY_H
