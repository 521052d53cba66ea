// Both limb widths of the Montgomery exponentiation against OpenSSL, over
// every modulus length, exponent lengths around the window-size steps, and
// bases that are zero, one below the modulus, far above it or sharing the
// result's array.
#include <gtest/gtest.h>

#include <algorithm>

#include "rsa/montgomery.h"
#include "tests/rsa/bn_oracle.h"

namespace {

using qktest::Digits;
using qktest::Hex;
using qktest::ToBn;

TEST(Montgomery, MatchesOracleForEveryLengthAndWindow) {
  std::vector<qk::MontgomeryModExpFn> variants = {&qk::MontgomeryModExp32};
#if QK_MONTGOMERY_HAVE_64
  variants.push_back(&qk::MontgomeryModExp64);
#endif
  for (const auto variant : variants) {
    qktest::OperandSource src(11);
    qktest::Bn expected = qktest::NewBn();
    for (uint32_t md = 1; md <= 33; ++md) {
      Digits m = src.Number(md);
      m[0] |= md == 1 ? 3 : 1;  // odd, above 1
      m[md - 1] = std::max<MpDigit>(m[md - 1], 1);
      for (uint32_t bits : {1, 2, 17, 23, 24, 79, 80, 239, 240, 512, 1024, 1056}) {
        const uint32_t ed = (bits + 31) / 32;
        Digits e = src.Number(ed), b(MP_MAX_DIGITS, 0);  // bits % 4 == 0: zero base
        e[ed - 1] &= bits % 32 == 0 ? 0xFFFFFFFFu : (1u << (bits % 32)) - 1;
        e[ed - 1] |= 1u << ((bits - 1) % 32);  // exactly `bits` long
        if (bits % 4 == 1) {  // m - 1 (m is odd)
          std::copy(m.begin(), m.end(), b.begin());
          b[0] -= 1;
        }
        if (bits % 4 == 2) b = src.Number(MP_MAX_DIGITS);
        if (bits % 4 == 3) b = src.Number(MP_MAX_DIGITS, md);
        BN_mod_exp(expected.get(), ToBn(b).get(), ToBn(e).get(), ToBn(m).get(), qktest::Ctx());
        Digits result = md % 2 ? b : Digits(MP_MAX_DIGITS, 0xA5A5A5A5u);
        const MpDigit* base = md % 2 ? result.data() : b.data();
        variant(result.data(), 33, base, 33, e.data(), ed, m.data(), md);
        ASSERT_EQ(Hex(result), Hex(expected.get(), 33))
            << (variant == &qk::MontgomeryModExp32 ? 32 : 64) << " md=" << md << " bits=" << bits;
      }
    }
  }
}

}  // namespace
