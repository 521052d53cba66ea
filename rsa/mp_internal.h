// Internal pieces of the multi-precision arithmetic shared between its files.
#ifndef QK_RSA_MP_INTERNAL_H
#define QK_RSA_MP_INTERNAL_H

#include <stdint.h>

#include "qkrsa.h"

namespace qk {

// Operand limits of the public interface.
constexpr uint32_t kMpMaxDigits = MP_MAX_DIGITS;          // 33
constexpr uint32_t kMpMaxWideDigits = 2 * MP_MAX_DIGITS;  // dividends and products: 66

// The internal long division also serves the Montgomery conversion, whose
// dividend (a base shifted up by the width of R) can reach 67 digits.
constexpr uint32_t kCoreMaxDividendDigits = kMpMaxWideDigits + 2;

// quotient (dividendDigits digits, may be null) and remainder (remainderDigits
// digits) of dividend / divisor. divisorSignificant is the divisor's
// significant digit count: 1..kMpMaxDigits. dividendDigits is at most
// kCoreMaxDividendDigits. Every input is read before any output is written,
// so either output may share an input's array (not each other's).
void DivideCore(MpDigit* quotient, MpDigit* remainder, uint32_t remainderDigits,
                const MpDigit* dividend, uint32_t dividendDigits, const MpDigit* divisor,
                uint32_t divisorSignificant);

// x - k * y over n digits into result; returns the borrow beyond the top digit.
// Exact for every k, including 0 (which writes result = x).
MpDigit SubtractDigitMultiple(MpDigit* result, const MpDigit* x, MpDigit k, const MpDigit* y,
                              uint32_t n);

}  // namespace qk

#endif  // QK_RSA_MP_INTERNAL_H
