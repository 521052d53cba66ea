// Digit-array arithmetic: edge cases, then many random (edge-biased) operands
// against OpenSSL's big numbers.
#include <gtest/gtest.h>

#include <algorithm>

#include "qkrsa.h"
#include "tests/rsa/bn_oracle.h"

namespace {

using qktest::Bn;
using qktest::Digits;
using qktest::Hex;
using qktest::NewBn;
using qktest::ToBn;

constexpr MpDigit kSentinel = 0xA5A5A5A5u;
Digits Sentinels(size_t n) { return Digits(n, kSentinel); }

// v mod 2^(32n) as n digits: what a fixed-width result must hold.
std::string Wrapped(const BIGNUM* v, size_t n) {
  Bn r = NewBn(), m = NewBn();
  BN_set_bit(m.get(), static_cast<int>(32 * n));
  BN_nnmod(r.get(), v, m.get(), qktest::Ctx());
  return Hex(r.get(), n);
}
// The digit that v carries out above 32n bits.
MpDigit Above(const BIGNUM* v, size_t n) {
  Bn r = NewBn();
  BN_rshift(r.get(), v, static_cast<int>(32 * n));
  return static_cast<MpDigit>(BN_get_word(r.get()));
}

// Counts beyond the working arrays, shifts by a digit width or more, powers of
// two beyond n digits and zero divisors write nothing.
TEST(MpEdges, OutOfRangeWritesNothing) {
  Digits big(70, 1), zero(2, 0), out = Sentinels(140), out2 = Sentinels(70);
  MpMultiply(out.data(), big.data(), big.data(), 34);
  MpDivide(out.data(), out2.data(), big.data(), 67, big.data(), 2);
  MpMod(out2.data(), big.data(), 67, big.data(), 2);
  MpDivide(out.data(), out2.data(), big.data(), 66, big.data(), 34);  // 34 significant
  MpDivide(out.data(), out2.data(), big.data(), 2, zero.data(), 2);
  MpMod(out2.data(), big.data(), 2, zero.data(), 2);
  MpModMultiply(out.data(), big.data(), big.data(), big.data(), 34);
  MpModExp(out.data(), big.data(), big.data(), 1, big.data(), 34);
  MpModInverse(out.data(), big.data(), big.data(), 34);
  MpGcd(out.data(), big.data(), big.data(), 34);
  for (uint32_t bits : {32u, 33u, 0xFFFFFFFFu}) {
    EXPECT_EQ(MpShiftLeft(out.data(), big.data(), bits, 2), 0u);
    EXPECT_EQ(MpShiftRight(out.data(), big.data(), bits, 2), 0u);
  }
  EXPECT_EQ(out, Sentinels(140));
  EXPECT_EQ(out2, Sentinels(70));
  for (uint32_t k : {95u, 96u, 0xFFFFFFFFu}) {
    MpSetPowerOfTwo(out.data(), k, 3);
    EXPECT_EQ(Digits(out.begin(), out.begin() + 3), (Digits{0, 0, k == 95 ? 0x80000000u : 0}));
  }
}

TEST(MpEdges, SmallCases) {
  const struct { MpDigit base, exponent, modulus, expected; } powers[] = {
      {12, 3, 7, 6}, {5, 0, 1, 1}, {5, 3, 1, 0}, {0, 5, 9, 0}, {2, 10, 1024, 0},
      {9, 7, 0, 1},  // zero modulus: no product is ever reduced
      {2, 10, 1025, 1024}, {3, 0x40000000u, 1000, 481}};
  for (const auto& t : powers) {
    MpDigit out = kSentinel;
    MpModExp(&out, &t.base, &t.exponent, 1, &t.modulus, 1);
    EXPECT_EQ(out, t.expected) << t.base << "^" << t.exponent << " mod " << t.modulus;
  }
  MpDigit zero = 0, twelve = 12, g = 0;
  MpGcd(&g, &zero, &twelve, 1);
  EXPECT_EQ(g, 12u);
  // A divisor count above 33 is fine while its significant digits fit.
  Digits divisor(40, 0), dividend = {95}, q = Sentinels(1), r = Sentinels(40), five(40, 0);
  divisor[0] = 10, five[0] = 5;
  MpDivide(q.data(), r.data(), dividend.data(), 1, divisor.data(), 40);
  EXPECT_EQ(q[0], 9u);
  EXPECT_EQ(r, five);
  const uint8_t high = 0x80, low = 0x7F;
  EXPECT_EQ(ByteCompare(&high, &low, 1), 1);  // unsigned
}

TEST(DigitPrimitives, MultiplyAndDivide) {
  qktest::OperandSource src(1);
  for (int i = 0; i < 200000; ++i) {
    const MpDigit x = src.Digit(), y = src.Digit();
    MpDigit product[2];
    DigitMultiply(product, x, y);
    ASSERT_EQ(product[0] | static_cast<uint64_t>(product[1]) << 32, static_cast<uint64_t>(x) * y);
    // Also outside the precondition (divisor >= 2^31) while the quotient fits.
    const MpDigit divisor = i % 2 ? src.Digit() | 0x80000000u : std::max(1u, src.Digit());
    const MpDigit dividend[2] = {src.Digit(), src.Digit() % divisor};
    MpDigit quotient = kSentinel;
    DigitDivide(&quotient, dividend, divisor);
    ASSERT_EQ(quotient, (static_cast<uint64_t>(dividend[1]) << 32 | dividend[0]) / divisor);
  }
  // Corrections at the precondition's edges; a quotient wider than a digit or
  // a zero divisor (the half-digit loops would never end) writes nothing.
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

TEST(MpDifferential, AddSubtractShiftMultiply) {
  qktest::OperandSource src(3);
  Bn t = NewBn(), ky = NewBn(), kb = NewBn();
  for (int iter = 0; iter < 20000; ++iter) {
    const uint32_t n = 1 + src.Below(33);
    const Digits x = src.Number(n), y = src.Number(n);
    const Bn bx = ToBn(x), by = ToBn(y);
    Digits r = y;  // result shares y's array
    const MpDigit carry = MpAdd(r.data(), x.data(), r.data(), n);
    BN_add(t.get(), bx.get(), by.get());
    ASSERT_EQ(Hex(r), Wrapped(t.get(), n));
    ASSERT_EQ(carry, Above(t.get(), n));
    r = x;
    const MpDigit borrow = MpSub(r.data(), r.data(), y.data(), n);
    BN_sub(t.get(), bx.get(), by.get());
    ASSERT_EQ(Hex(r), Wrapped(t.get(), n));
    ASSERT_EQ(borrow, BN_is_negative(t.get()) ? 1u : 0u);

    const uint32_t bits = src.Below(32);
    const MpDigit outLeft = MpShiftLeft(r.data(), x.data(), bits, n);
    BN_lshift(t.get(), bx.get(), static_cast<int>(bits));
    ASSERT_EQ(Hex(r), Wrapped(t.get(), n));
    ASSERT_EQ(outLeft, Above(t.get(), n));
    r = x;
    const MpDigit outRight = MpShiftRight(r.data(), r.data(), bits, n);
    BN_rshift(t.get(), bx.get(), static_cast<int>(bits));
    ASSERT_EQ(Hex(r), Wrapped(t.get(), n));
    ASSERT_EQ(outRight, bits == 0 ? 0u : x[0] << (32 - bits));

    // Sparse factors; the product shares x's array.
    const Digits sx = src.Number(n, src.Below(n + 1)), sy = src.Number(n, src.Below(n + 1));
    Digits product(2 * n, kSentinel);
    std::copy(sx.begin(), sx.end(), product.begin());
    MpMultiply(product.data(), product.data(), sy.data(), n);
    BN_mul(t.get(), ToBn(sx).get(), ToBn(sy).get(), qktest::Ctx());
    ASSERT_EQ(Hex(product), Hex(t.get(), 2 * n)) << Hex(sx) << " * " << Hex(sy);

    // x + k*y in place, as the long division uses it; x - k*y with its borrow.
    const MpDigit k = iter % 7 == 0 ? 0xFFFFFFFFu : src.Digit();
    BN_set_word(kb.get(), k);
    BN_mul(ky.get(), kb.get(), by.get(), qktest::Ctx());
    r = x;
    const MpDigit over = MpAddDigitMultiple(r.data(), r.data(), k, y.data(), n);
    BN_add(t.get(), bx.get(), ky.get());
    ASSERT_EQ(Hex(r), k == 0 ? Hex(x) : Wrapped(t.get(), n));
    ASSERT_EQ(over, k == 0 ? 0u : Above(t.get(), n));
    if (k == 0) continue;
    const MpDigit under = MpSubDigitMultiple(r.data(), x.data(), k, y.data(), n);
    BN_sub(t.get(), bx.get(), ky.get());
    ASSERT_EQ(Hex(r), Wrapped(t.get(), n));
    BN_sub(ky.get(), ToBn(r).get(), t.get());  // borrow * 2^(32n) = r - (x - k*y)
    ASSERT_EQ(under, Above(ky.get(), n));
  }
}

void CheckDivision(const Digits& c, const Digits& d) {
  const uint32_t cd = static_cast<uint32_t>(c.size()), dd = static_cast<uint32_t>(d.size());
  Bn q = NewBn(), r = NewBn();
  BN_div(q.get(), r.get(), ToBn(c).get(), ToBn(d).get(), qktest::Ctx());
  Digits quotient = c, remainder = Sentinels(dd), mod = d;  // sharing the inputs' arrays
  MpDivide(quotient.data(), remainder.data(), quotient.data(), cd, d.data(), dd);
  MpMod(mod.data(), c.data(), cd, mod.data(), dd);
  ASSERT_EQ(Hex(quotient), Hex(q.get(), cd)) << Hex(c) << " / " << Hex(d);
  ASSERT_EQ(Hex(remainder), Hex(r.get(), dd)) << Hex(c) << " / " << Hex(d);
  ASSERT_EQ(Hex(mod), Hex(r.get(), dd)) << Hex(c) << " mod " << Hex(d);
}

// Quotient estimates that saturate at an all-ones top digit, estimates two too
// large, and the rare add-back when the multiply-subtract goes negative, over
// divisors that need normalising shifts of 0, 2, 16 and 31 bits.
TEST(MpDifferential, DivideBoundaryCases) {
  const struct { Digits dividend, divisor; } cases[] = {
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
  for (const auto& v : cases) CheckDivision(v.dividend, v.divisor);
}

TEST(MpDifferential, DivideRandom) {
  qktest::OperandSource src(5);
  for (int iter = 0; iter < 20000 && !HasFatalFailure(); ++iter) {
    const uint32_t cd = src.Below(67), dd = 1 + src.Below(33);
    Digits c = src.Number(cd), d = src.Number(dd, 1 + src.Below(dd));
    if (MpIsZero(d.data(), dd)) d[0] = 1;
    if (iter % 5 == 0) d[MpDigitCount(d.data(), dd) - 1] = 0xFFFFFFFFu;
    CheckDivision(c, d);
  }
}

TEST(MpDifferential, ModMultiplyExpInverseGcd) {
  qktest::OperandSource src(6);
  Bn expected = NewBn(), g = NewBn();
  for (int iter = 0; iter < 1500; ++iter) {
    const uint32_t n = 1 + src.Below(33);
    Digits m = src.Number(n, 1 + src.Below(n));
    if (iter % 2 == 0) m[0] &= ~1u;  // even moduli take the plain path
    if (MpBitCount(m.data(), n) < 2) m[0] = 2 + (iter & 1);
    const Digits x = src.Number(n), y = src.Number(n);  // unreduced
    const Bn mb = ToBn(m), xb = ToBn(x);
    Digits r = x;
    MpModMultiply(r.data(), r.data(), y.data(), m.data(), n);
    BN_mod_mul(expected.get(), xb.get(), ToBn(y).get(), mb.get(), qktest::Ctx());
    ASSERT_EQ(Hex(r), Hex(expected.get(), n));

    // Exponents of every length, and two-digit ones whose top digit's leading
    // bit pairs are skipped or kept by the window.
    const uint32_t ed = 1 + src.Below(iter % 10 == 0 ? 33 : 3);
    Digits e = src.Number(ed, src.Below(ed + 1));
    if (iter % 10 == 5) e = {src.Digit(), std::max<MpDigit>(1, src.Digit() >> src.Below(32))};
    r = x;
    MpModExp(r.data(), r.data(), e.data(), static_cast<uint32_t>(e.size()), m.data(), n);
    BN_mod_exp(expected.get(), xb.get(), ToBn(e).get(), mb.get(), qktest::Ctx());
    ASSERT_EQ(Hex(r), Hex(expected.get(), n)) << Hex(x) << " ^ " << Hex(e) << " mod " << Hex(m);

    BN_gcd(g.get(), xb.get(), mb.get(), qktest::Ctx());
    MpGcd(r.data(), x.data(), m.data(), n);
    ASSERT_EQ(Hex(r), Hex(g.get(), n));
    if (!BN_is_one(g.get())) continue;
    MpModInverse(r.data(), x.data(), m.data(), n);
    ASSERT_NE(BN_mod_inverse(expected.get(), xb.get(), mb.get(), qktest::Ctx()), nullptr);
    ASSERT_EQ(Hex(r), Hex(expected.get(), n)) << Hex(x) << " mod " << Hex(m);
  }
}

}  // namespace
