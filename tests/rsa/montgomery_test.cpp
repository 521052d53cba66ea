// Both limb widths of the Montgomery exponentiation against OpenSSL, over
// every modulus length, exponent lengths around the window-size steps, and
// bases that are zero, one below the modulus or far above it.
#include <gtest/gtest.h>

#include "rsa/montgomery.h"
#include "tests/rsa/bn_oracle.h"

namespace {

using qktest::Bn;
using qktest::Digits;
using qktest::FromBn;
using qktest::Hex;
using qktest::NewBn;
using qktest::OperandSource;
using qktest::ToBn;

constexpr size_t kDigits = MP_MAX_DIGITS;

struct Variant {
  const char* name;
  qk::MontgomeryModExpFn fn;
};

std::vector<Variant> Variants() {
  std::vector<Variant> v = {{"32-bit limbs", &qk::MontgomeryModExp32}};
#if QK_MONTGOMERY_HAVE_64
  v.push_back({"64-bit limbs", &qk::MontgomeryModExp64});
#endif
  return v;
}

Digits BaseOfKind(int kind, const Digits& m, OperandSource& src) {
  const size_t n = m.size();
  switch (kind) {
    case 0: return Digits(kDigits, 0);
    case 1: {  // m - 1
      Digits b(kDigits, 0);
      std::copy(m.begin(), m.end(), b.begin());
      b[0] -= 1;  // m is odd, no borrow
      return b;
    }
    case 2: return src.Number(kDigits);  // far above m
    default: {
      Digits b = src.Number(kDigits, n);
      return b;
    }
  }
}

TEST(Montgomery, MatchesOracleForEveryLengthAndWindow) {
  const uint32_t exponent_bits[] = {1, 2, 17, 23, 24, 79, 80, 239, 240, 512, 1024, 1056};
  for (const auto& variant : Variants()) {
    OperandSource src(11);
    Bn expected = NewBn();
    for (uint32_t md = 1; md <= 33; ++md) {
      Digits m = src.Number(md);
      m[0] |= 1;
      if (m[md - 1] == 0) m[md - 1] = 1;
      if (md == 1 && m[0] == 1) m[0] = 3;
      for (uint32_t bits : exponent_bits) {
        const uint32_t ed = (bits + 31) / 32;
        Digits e = src.Number(ed);
        e[ed - 1] &= bits % 32 == 0 ? 0xFFFFFFFFu : (1u << (bits % 32)) - 1;
        e[(bits - 1) / 32] |= 1u << ((bits - 1) % 32);  // exactly `bits` long
        const int kind = static_cast<int>(bits % 4);
        const Digits b = BaseOfKind(kind, m, src);
        Digits result(kDigits, 0xA5A5A5A5u);
        variant.fn(result.data(), 33, b.data(), 33, e.data(), ed, m.data(), md);
        BN_mod_exp(expected.get(), ToBn(b).get(), ToBn(e).get(), ToBn(m).get(), qktest::Ctx());
        ASSERT_EQ(Hex(result), Hex(FromBn(expected.get(), 33)))
            << variant.name << " md=" << md << " bits=" << bits << " kind=" << kind;
      }
    }
  }
}

TEST(Montgomery, ResultMayShareTheBaseArray) {
  for (const auto& variant : Variants()) {
    Digits m = {0xFFFFFFFFu, 0xFFFFFFFFu, 0x7FFFFFFFu};  // odd, top limb half full
    Digits value = {5, 6, 0x12345678u};
    const Digits base = value;
    const Digits e = {65537};
    variant.fn(value.data(), 3, value.data(), 3, e.data(), 1, m.data(), 3);
    Bn expected = NewBn();
    BN_mod_exp(expected.get(), ToBn(base).get(), ToBn(e).get(), ToBn(m).get(), qktest::Ctx());
    EXPECT_EQ(Hex(value), Hex(FromBn(expected.get(), 3))) << variant.name;
  }
}

}  // namespace
