// Digit-array arithmetic: edge cases, then many random (edge-biased) operands
// against OpenSSL's big numbers.
#include <gtest/gtest.h>

#include <algorithm>

#include "qkrsa.h"
#include "rsa/montgomery.h"
#include "tests/rsa/bn_oracle.h"

namespace {

using qktest::Bn;
using qktest::Ctx;
using qktest::Digits;
using qktest::Hex;
using qktest::NewBn;
using qktest::ToBn;

constexpr MpDigit kSentinel = 0xA5A5A5A5u;
Digits Sentinels(size_t n) { return Digits(n, kSentinel); }

// v mod 2^(32n) as n digits (what a fixed-width result must hold), and the
// digit v carries out above them.
std::pair<std::string, MpDigit> Split(const BIGNUM* v, size_t n) {
  Bn low = NewBn(), high = NewBn(), m = NewBn();
  BN_set_bit(m.get(), static_cast<int>(32 * n));
  BN_nnmod(low.get(), v, m.get(), Ctx());
  BN_rshift(high.get(), v, static_cast<int>(32 * n));
  return {Hex(low.get(), n), static_cast<MpDigit>(BN_get_word(high.get()))};
}

// Counts beyond the working arrays and zero divisors write nothing.
TEST(MpEdges, OutOfRangeWritesNothing) {
  Digits big(70, 1), zero(2, 0), out = Sentinels(140), out2 = Sentinels(70);
  MpMultiply(out.data(), big.data(), big.data(), 34);
  MpDivide(out.data(), out2.data(), big.data(), 67, big.data(), 2);
  MpMod(out2.data(), big.data(), 67, big.data(), 2);
  MpDivide(out.data(), out2.data(), big.data(), 66, big.data(), 34);  // 34 significant
  MpDivide(out.data(), out2.data(), big.data(), 2, zero.data(), 2);
  MpModMultiply(out.data(), big.data(), big.data(), big.data(), 34);
  MpModExp(out.data(), big.data(), big.data(), 1, big.data(), 34);
  MpModInverse(out.data(), big.data(), big.data(), 34);
  EXPECT_EQ(std::make_pair(out, out2), std::make_pair(Sentinels(140), Sentinels(70)));
}

// A divisor count above 33 whose significant digits fit, and digit divisions
// at the precondition's edges; a quotient wider than a digit or a zero divisor
// (the half-digit loops would never end) writes nothing.
TEST(MpEdges, SmallCases) {
  Digits divisor(40, 0), dividend = {95}, q = Sentinels(1), r = Sentinels(40), five(40, 0);
  divisor[0] = 10, five[0] = 5;
  MpDivide(q.data(), r.data(), dividend.data(), 1, divisor.data(), 40);
  EXPECT_EQ(q[0], 9u);
  EXPECT_EQ(r, five);
  const MpDigit cases[][4] = {  // lo, hi, divisor, quotient
      {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu},
      {0xFFFFFFFFu, 0xFFFFFFFEu, 0xFFFFFFFFu, 0xFFFFFFFFu},
      {0xFFFF0000u, 0x8000FFFFu, 0xFFFF0000u, 0x80018001u},
      {0, 3, 3, kSentinel}, {5, 0, 0, kSentinel}, {0, 0x80000000u, 0x80000000u, kSentinel}};
  for (const auto& t : cases) {
    MpDigit quotient = kSentinel;
    DigitDivide(&quotient, t, t[2]);
    EXPECT_EQ(quotient, t[3]) << t[1] << ":" << t[0] << "/" << t[2];
  }
}

TEST(MpDifferential, DigitsAddSubtractMultiply) {
  qktest::OperandSource src(3);
  Bn t = NewBn();
  for (int iter = 0; iter < 20000; ++iter) {
    const uint32_t n = 1 + src.Below(33);
    const Digits x = src.Number(n), y = src.Number(n);
    const Bn bx = ToBn(x), by = ToBn(y);
    Digits r = y;  // results share an input's array
    MpDigit out = MpAdd(r.data(), x.data(), r.data(), n);
    BN_add(t.get(), bx.get(), by.get());
    ASSERT_EQ(std::make_pair(Hex(r), out), Split(t.get(), n));
    r = x;
    out = MpSub(r.data(), r.data(), y.data(), n);
    BN_sub(t.get(), bx.get(), by.get());
    ASSERT_EQ(std::make_pair(Hex(r), out), std::make_pair(Split(t.get(), n).first,
                                                          BN_is_negative(t.get()) ? 1u : 0u));
    // Sparse factors; the product shares x's array.
    const Digits sx = src.Number(n, src.Below(n + 1)), sy = src.Number(n, src.Below(n + 1));
    Digits product(2 * n, kSentinel);
    std::copy(sx.begin(), sx.end(), product.begin());
    MpMultiply(product.data(), product.data(), sy.data(), n);
    BN_mul(t.get(), ToBn(sx).get(), ToBn(sy).get(), Ctx());
    ASSERT_EQ(Hex(product), Hex(t.get(), 2 * n)) << Hex(sx) << " * " << Hex(sy);

  }
}

// Division with the outputs sharing the inputs' arrays. The fixed cases are
// quotient estimates that saturate at an all-ones top digit, estimates two too
// large, and the rare add-back when the multiply-subtract goes negative, over
// divisors that need normalising shifts of 0, 2, 16 and 31 bits.
TEST(MpDifferential, DivideBoundaryAndRandomCases) {
  std::vector<std::pair<Digits, Digits>> cases = {
      {{0x00000000u, 0x0000FFFEu, 0x00008000u}, {0x0000FFFFu, 0x00008000u}},
      {{0x00000003u, 0x00000000u, 0x80000000u}, {0x00000001u, 0x00000000u, 0x20000000u}},
      {{0x00000003u, 0x00000000u, 0x00008000u}, {0x00000001u, 0x00000000u, 0x00002000u}},
      {{0, 0, 0x00008000u, 0x00007FFFu}, {1, 0, 0x00008000u}},
      {{0, 0x0000FFFEu, 0, 0x00008000u}, {0x0000FFFFu, 0, 0x00008000u}},
      {{0, 0xFFFFFFFEu, 0, 0x80000000u}, {0x0000FFFFu, 0, 0x80000000u}},
      {{0, 0xFFFFFFFEu, 0, 0x80000000u}, {0xFFFFFFFFu, 0, 0x80000000u}},
      {{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFEu}, {0xFFFFFFFFu, 0xFFFFFFFFu}},
      {{0, 0, 0, 0xFFFFFFFFu}, {1, 0xFFFFFFFFu}},
      {{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}, {1}},
      {{5, 0, 0, 0}, {0xFFFFFFFFu}},
      {{0x12345678u}, {0x12345678u}},
      {{7}, {0, 3, 0}},  // dividend shorter than the divisor
  };
  qktest::OperandSource src(5);
  while (cases.size() < 20000) {
    const uint32_t cd = src.Below(67), dd = 1 + src.Below(33);
    Digits c = src.Number(cd), d = src.Number(dd, 1 + src.Below(dd));
    if (MpIsZero(d.data(), dd)) d[0] = 1;
    if (cases.size() % 5 == 0) d[MpDigitCount(d.data(), dd) - 1] = 0xFFFFFFFFu;
    cases.emplace_back(c, d);
  }
  Bn q = NewBn(), r = NewBn();
  for (const auto& [c, d] : cases) {
    const uint32_t cd = static_cast<uint32_t>(c.size()), dd = static_cast<uint32_t>(d.size());
    BN_div(q.get(), r.get(), ToBn(c).get(), ToBn(d).get(), Ctx());
    Digits quotient = c, remainder = Sentinels(dd), mod = d;
    MpDivide(quotient.data(), remainder.data(), quotient.data(), cd, d.data(), dd);
    MpMod(mod.data(), c.data(), cd, mod.data(), dd);
    ASSERT_EQ(Hex(quotient), Hex(q.get(), cd)) << Hex(c) << " / " << Hex(d);
    ASSERT_EQ(Hex(remainder), Hex(r.get(), dd)) << Hex(c) << " / " << Hex(d);
    ASSERT_EQ(Hex(mod), Hex(r.get(), dd)) << Hex(c) << " mod " << Hex(d);
  }
}

TEST(MpDifferential, ModMultiplyExpInverse) {
  qktest::OperandSource src(6);
  Bn expected = NewBn();
  for (int iter = 0; iter < 1500; ++iter) {
    const uint32_t n = 1 + src.Below(33);
    Digits m = src.Number(n, 1 + src.Below(n));
    if (iter % 2 == 0) m[0] &= ~1u;  // even moduli take the plain path
    if (MpBitCount(m.data(), n) < 2) m[0] = 2 + (iter & 1);
    const Digits x = src.Number(n), y = src.Number(n);  // unreduced
    const Bn mb = ToBn(m), xb = ToBn(x);
    Digits r = x;
    MpModMultiply(r.data(), r.data(), y.data(), m.data(), n);
    BN_mod_mul(expected.get(), xb.get(), ToBn(y).get(), mb.get(), Ctx());
    ASSERT_EQ(Hex(r), Hex(expected.get(), n));

    // Exponents of every length, and two-digit ones whose top digit's leading
    // bit pairs are skipped or kept by the window.
    const uint32_t ed = 1 + src.Below(iter % 10 == 0 ? 33 : 3);
    Digits e = src.Number(ed, src.Below(ed + 1));
    if (iter % 10 == 5) e = {src.Digit(), std::max<MpDigit>(1, src.Digit() >> src.Below(32))};
    r = x;
    MpModExp(r.data(), r.data(), e.data(), static_cast<uint32_t>(e.size()), m.data(), n);
    BN_mod_exp(expected.get(), xb.get(), ToBn(e).get(), mb.get(), Ctx());
    ASSERT_EQ(Hex(r), Hex(expected.get(), n)) << Hex(x) << " ^ " << Hex(e) << " mod " << Hex(m);
    // The 32-bit limbs too (MpModExp takes the widest this build has).
    const uint32_t es = MpDigitCount(e.data(), static_cast<uint32_t>(e.size()));
    if ((m[0] & 1) && es > 0) {
      Digits r32(n, kSentinel);
      const uint32_t ms = MpDigitCount(m.data(), n);
      qk::MontgomeryModExp32(r32.data(), n, x.data(), n, e.data(), es, m.data(), ms);
      ASSERT_EQ(Hex(r32), Hex(expected.get(), n)) << Hex(x) << " ^ " << Hex(e) << " mod " << Hex(m);
    }

    if (!BN_mod_inverse(expected.get(), xb.get(), mb.get(), Ctx())) continue;  // no inverse
    MpModInverse(r.data(), x.data(), m.data(), n);
    ASSERT_EQ(Hex(r), Hex(expected.get(), n)) << Hex(x) << " mod " << Hex(m);
  }
}

}  // namespace
