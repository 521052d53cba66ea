// Digit-array arithmetic: fixed edge cases, then many random (edge-biased)
// operands checked against OpenSSL's big numbers.
#include <gtest/gtest.h>

#include <cstring>

#include "qkrsa.h"
#include "tests/rsa/bn_oracle.h"

namespace {

using qktest::Bn;
using qktest::Digits;
using qktest::FromBn;
using qktest::Hex;
using qktest::NewBn;
using qktest::OperandSource;
using qktest::ToBn;

constexpr MpDigit kSentinel = 0xA5A5A5A5u;

Digits Sentinels(size_t n) { return Digits(n, kSentinel); }

Bn PowerOfTwo(int bits) {
  Bn b = NewBn();
  BN_set_bit(b.get(), bits);
  return b;
}

// ---- Fixed edge cases -------------------------------------------------------

TEST(MpCodec, DecodeKeepsTheLastBytesAndZeroFillsTheRest) {
  uint8_t long_string[133];
  for (int i = 0; i < 133; ++i) long_string[i] = static_cast<uint8_t>(i + 1);
  Digits x(33);
  MpDecode(x.data(), 33, long_string, 133);
  EXPECT_EQ(x[0], 0x82838485u);
  EXPECT_EQ(x[32], 0x02030405u);  // byte 0x01 is beyond 33 digits

  Digits z = Sentinels(3);
  MpDecode(z.data(), 3, long_string, 0);
  EXPECT_EQ(z, Digits(3, 0));

  const uint8_t three[] = {0xAB, 0xCD, 0xEF};
  MpDecode(z.data(), 3, three, 3);
  EXPECT_EQ(z, (Digits{0x00ABCDEFu, 0, 0}));
}

TEST(MpCodec, EncodeTruncatesOrPadsAtTheFront) {
  const Digits x = {0x22334455u, 0x11u};
  uint8_t three[3];
  MpEncode(three, 3, x.data(), 2);
  EXPECT_EQ(std::memcmp(three, "\x33\x44\x55", 3), 0);
  uint8_t ten[10];
  MpEncode(ten, 10, x.data(), 2);
  EXPECT_EQ(std::memcmp(ten, "\0\0\0\0\0\x11\x22\x33\x44\x55", 10), 0);
}

TEST(MpBasics, CountsComparisonsAndPowersOfTwo) {
  const Digits zero(4, 0);
  const Digits x = {5, 0, 0x80000000u, 0};
  EXPECT_EQ(MpCompare(x.data(), zero.data(), 0), 0);
  EXPECT_EQ(MpCompare(x.data(), zero.data(), 4), 1);
  EXPECT_EQ(MpCompare(zero.data(), x.data(), 4), -1);
  EXPECT_EQ(MpIsZero(x.data(), 0), 1);
  EXPECT_EQ(MpIsZero(zero.data(), 4), 1);
  EXPECT_EQ(MpIsZero(x.data(), 4), 0);
  EXPECT_EQ(MpDigitCount(zero.data(), 4), 0u);
  EXPECT_EQ(MpDigitCount(x.data(), 4), 3u);
  EXPECT_EQ(MpBitCount(zero.data(), 4), 0u);
  EXPECT_EQ(MpBitCount(x.data(), 4), 96u);
  EXPECT_EQ(DigitBitCount(0), 0u);
  EXPECT_EQ(DigitBitCount(1), 1u);
  EXPECT_EQ(DigitBitCount(0x80000000u), 32u);

  Digits p = Sentinels(3);
  MpSetPowerOfTwo(p.data(), 96, 3);
  EXPECT_EQ(p, Digits(3, 0));
  MpSetPowerOfTwo(p.data(), 95, 3);
  EXPECT_EQ(p, (Digits{0, 0, 0x80000000u}));
  MpSetPowerOfTwo(p.data(), 0xFFFFFFFFu, 3);
  EXPECT_EQ(p, Digits(3, 0));
}

TEST(MpBasics, CarryAndBorrowOutOfTheTopDigit) {
  MpDigit one = 1, all = 0xFFFFFFFFu, zero = 0, r = 0;
  EXPECT_EQ(MpAdd(&r, &all, &one, 1), 1u);
  EXPECT_EQ(r, 0u);
  EXPECT_EQ(MpSub(&r, &zero, &one, 1), 1u);
  EXPECT_EQ(r, 0xFFFFFFFFu);
  // A carry that ripples through a run of all-ones digits.
  Digits a = {0xFFFFFFFFu, 0xFFFFFFFFu, 7}, b = {1, 0, 0}, s(3);
  EXPECT_EQ(MpAdd(s.data(), a.data(), b.data(), 3), 0u);
  EXPECT_EQ(s, (Digits{0, 0, 8}));
  EXPECT_EQ(MpSub(s.data(), s.data(), b.data(), 3), 0u);
  EXPECT_EQ(s, a);
}

TEST(MpBasics, ShiftsOfThirtyTwoOrMoreWriteNothing) {
  Digits x = {1, 2}, r = Sentinels(2);
  for (uint32_t bits : {32u, 33u, 0xFFFFFFFFu}) {
    EXPECT_EQ(MpShiftLeft(r.data(), x.data(), bits, 2), 0u);
    EXPECT_EQ(MpShiftRight(r.data(), x.data(), bits, 2), 0u);
    EXPECT_EQ(r, Sentinels(2));
  }
  EXPECT_EQ(MpShiftLeft(r.data(), x.data(), 0, 2), 0u);
  EXPECT_EQ(r, x);
}

TEST(MpBytes, FillCopyCompare) {
  uint8_t a[4] = {1, 2, 3, 4}, b[4] = {1, 2, 9, 0};
  EXPECT_EQ(ByteCompare(a, b, 0), 0);
  EXPECT_EQ(ByteCompare(a, b, 2), 0);
  EXPECT_EQ(ByteCompare(a, b, 4), -1);
  EXPECT_EQ(ByteCompare(b, a, 4), 1);
  const uint8_t high[1] = {0x80}, low[1] = {0x7F};
  EXPECT_EQ(ByteCompare(high, low, 1), 1);  // unsigned comparison
  ByteCopy(b, a, 0);
  EXPECT_EQ(b[0], 1);
  ByteCopy(b, a, 4);
  EXPECT_EQ(ByteCompare(a, b, 4), 0);
  ByteFill(a, 0xEE, 0);
  EXPECT_EQ(a[0], 1);
  ByteFill(a + 1, 0xEE, 2);
  EXPECT_EQ(std::memcmp(a, "\x01\xEE\xEE\x04", 4), 0);
}

TEST(MpArithmeticEdges, DivisionModExpInverseGcd) {
  // Dividend shorter than the divisor's significant digits: no quotient
  // digits are produced and the dividend comes back as the remainder.
  Digits c = {7}, d = {0, 3, 0}, q = Sentinels(1), r = Sentinels(3);
  MpDivide(q.data(), r.data(), c.data(), 1, d.data(), 3);
  EXPECT_EQ(q, Digits{0});
  EXPECT_EQ(r, (Digits{7, 0, 0}));

  Digits zero_divisor(2, 0), q2 = Sentinels(2), r2 = Sentinels(2);
  MpDivide(q2.data(), r2.data(), d.data(), 2, zero_divisor.data(), 2);
  MpMod(r2.data(), d.data(), 2, zero_divisor.data(), 2);
  EXPECT_EQ(q2, Sentinels(2));
  EXPECT_EQ(r2, Sentinels(2));

  struct ModExpCase {
    MpDigit base, exponent, modulus, expected;
  };
  const ModExpCase cases[] = {
      {12, 3, 7, 6},          // unreduced base
      {5, 0, 1, 1},           // zero exponent: 1 even modulo 1
      {5, 0, 7, 1},
      {5, 3, 1, 0},           // modulo 1 with a real exponent
      {0, 5, 9, 0},
      {9, 7, 0, 1},           // zero modulus: no product is ever reduced
      {2, 10, 1024, 0},
      {2, 10, 1025, 1024},
  };
  for (const auto& t : cases) {
    MpDigit out = kSentinel;
    MpModExp(&out, &t.base, &t.exponent, 1, &t.modulus, 1);
    EXPECT_EQ(out, t.expected) << t.base << "^" << t.exponent << " mod " << t.modulus;
  }

  struct InverseCase {
    MpDigit x, modulus, expected;
  };
  const InverseCase inverses[] = {{10, 7, 5}, {0, 9, 9}, {1, 7, 1}, {8, 7, 1}, {3, 10, 7}};
  for (const auto& t : inverses) {
    MpDigit out = kSentinel;
    MpModInverse(&out, &t.x, &t.modulus, 1);
    EXPECT_EQ(out, t.expected) << t.x << " mod " << t.modulus;
  }

  MpDigit zero_digit = 0, y = 12, g = 0;
  MpGcd(&g, &zero_digit, &y, 1);
  EXPECT_EQ(g, 12u);
  MpGcd(&g, &y, &zero_digit, 1);
  EXPECT_EQ(g, 12u);
}

TEST(MpArithmeticEdges, CountsBeyondTheWorkingArraysWriteNothing) {
  Digits big(70, 1), out = Sentinels(140), out2 = Sentinels(70);
  MpMultiply(out.data(), big.data(), big.data(), 34);
  MpDivide(out.data(), out2.data(), big.data(), 67, big.data(), 2);
  MpMod(out2.data(), big.data(), 67, big.data(), 2);
  MpDivide(out.data(), out2.data(), big.data(), 66, big.data(), 34);  // 34 significant
  MpModMultiply(out.data(), big.data(), big.data(), big.data(), 34);
  MpModExp(out.data(), big.data(), big.data(), 1, big.data(), 34);
  MpModInverse(out.data(), big.data(), big.data(), 34);
  MpGcd(out.data(), big.data(), big.data(), 34);
  EXPECT_EQ(out, Sentinels(140));
  EXPECT_EQ(out2, Sentinels(70));

  // A divisor count above 33 is fine while its significant digits fit.
  Digits divisor(40, 0);
  divisor[0] = 10;
  Digits dividend = {95}, q = Sentinels(1), r = Sentinels(40);
  MpDivide(q.data(), r.data(), dividend.data(), 1, divisor.data(), 40);
  EXPECT_EQ(q[0], 9u);
  EXPECT_EQ(r[0], 5u);
  EXPECT_EQ(Digits(r.begin() + 1, r.end()), Digits(39, 0));
}

// ---- Single-digit primitives ------------------------------------------------

TEST(DigitPrimitives, MultiplyAndDivideAreExact) {
  OperandSource src(1);
  for (int i = 0; i < 200000; ++i) {
    const MpDigit x = src.Digit(), y = src.Digit();
    MpDigit product[2];
    DigitMultiply(product, x, y);
    const uint64_t exact = static_cast<uint64_t>(x) * y;
    ASSERT_EQ(product[0], static_cast<MpDigit>(exact)) << x << "*" << y;
    ASSERT_EQ(product[1], static_cast<MpDigit>(exact >> 32)) << x << "*" << y;

    const MpDigit divisor = src.Digit() | 0x80000000u;
    const MpDigit dividend[2] = {src.Digit(), src.Digit() % divisor};
    MpDigit quotient = kSentinel;
    DigitDivide(&quotient, dividend, divisor);
    const uint64_t wide = (static_cast<uint64_t>(dividend[1]) << 32) | dividend[0];
    ASSERT_EQ(quotient, static_cast<MpDigit>(wide / divisor))
        << dividend[1] << ":" << dividend[0] << "/" << divisor;
  }
}

TEST(DigitPrimitives, DivideAtAndOutsideItsPrecondition) {
  struct Case {
    MpDigit hi, lo, divisor;
    bool writes;
    MpDigit expected;
  };
  const Case cases[] = {
      {0x7FFFFFFFu, 0xFFFFFFFFu, 0x80000000u, true, 0xFFFFFFFFu},
      {0xFFFFFFFEu, 0xFFFFFFFFu, 0xFFFFFFFFu, true, 0xFFFFFFFFu},
      {0, 0, 0x80000000u, true, 0},
      {0x8000FFFFu, 0xFFFF0000u, 0xFFFF0000u, true, 0x80018001u},
      // Outside the precondition: a small divisor is still divided exactly...
      {2, 5, 3, true, static_cast<MpDigit>(((2ull << 32) | 5) / 3)},
      {0, 100, 7, true, 14},
      // ...while a quotient that needs more than a digit, or a zero divisor
      // (the half-digit loops would never end), writes nothing.
      {3, 0, 3, false, 0},
      {0, 5, 0, false, 0},
      {0x80000000u, 0, 0x80000000u, false, 0},
  };
  for (const auto& t : cases) {
    const MpDigit dividend[2] = {t.lo, t.hi};
    MpDigit quotient = kSentinel;
    DigitDivide(&quotient, dividend, t.divisor);
    EXPECT_EQ(quotient, t.writes ? t.expected : kSentinel)
        << t.hi << ":" << t.lo << "/" << t.divisor;
  }
}

TEST(DigitPrimitives, AddAndSubtractDigitMultiples) {
  OperandSource src(2);
  for (int iter = 0; iter < 20000; ++iter) {
    const uint32_t n = 1 + src.Below(33);
    const Digits x = src.Number(n), y = src.Number(n);
    const MpDigit k = iter % 7 == 0 ? 0xFFFFFFFFu : src.Digit();
    const Bn modulus = PowerOfTwo(static_cast<int>(32 * n));
    Bn kb = NewBn(), ky = NewBn(), t = NewBn(), expected = NewBn(), over = NewBn();
    BN_set_word(kb.get(), k);
    BN_mul(ky.get(), kb.get(), ToBn(y).get(), qktest::Ctx());

    Digits result = x;  // in place, as the long division uses it
    const MpDigit carry = MpAddDigitMultiple(result.data(), result.data(), k, y.data(), n);
    if (k == 0) {
      ASSERT_EQ(carry, 0u);
      ASSERT_EQ(result, x);
      continue;
    }
    BN_add(t.get(), ToBn(x).get(), ky.get());
    BN_nnmod(expected.get(), t.get(), modulus.get(), qktest::Ctx());
    BN_rshift(over.get(), t.get(), static_cast<int>(32 * n));
    ASSERT_EQ(Hex(result), Hex(FromBn(expected.get(), n)));
    ASSERT_EQ(carry, BN_get_word(over.get()));

    result = Sentinels(n);
    const MpDigit borrow = MpSubDigitMultiple(result.data(), x.data(), k, y.data(), n);
    BN_sub(t.get(), ToBn(x).get(), ky.get());
    BN_nnmod(expected.get(), t.get(), modulus.get(), qktest::Ctx());
    ASSERT_EQ(Hex(result), Hex(FromBn(expected.get(), n)));
    // borrow * 2^(32n) = result - (x - k*y)
    BN_sub(over.get(), ToBn(result).get(), t.get());
    BN_rshift(over.get(), over.get(), static_cast<int>(32 * n));
    ASSERT_EQ(borrow, BN_get_word(over.get()));
  }
  MpDigit untouched = kSentinel, one = 1;
  EXPECT_EQ(MpSubDigitMultiple(&untouched, &one, 0, &one, 1), 0u);
  EXPECT_EQ(untouched, kSentinel);
}

// ---- Multi-digit operations against the oracle --------------------------------

TEST(MpDifferential, AddSubtractShift) {
  OperandSource src(3);
  for (int iter = 0; iter < 20000; ++iter) {
    const uint32_t n = 1 + src.Below(33);
    const Digits x = src.Number(n), y = src.Number(n);
    const Bn modulus = PowerOfTwo(static_cast<int>(32 * n));
    Bn t = NewBn(), expected = NewBn();

    Digits sum = y;  // sum shares y's array
    const MpDigit carry = MpAdd(sum.data(), x.data(), sum.data(), n);
    BN_add(t.get(), ToBn(x).get(), ToBn(y).get());
    BN_nnmod(expected.get(), t.get(), modulus.get(), qktest::Ctx());
    ASSERT_EQ(Hex(sum), Hex(FromBn(expected.get(), n)));
    ASSERT_EQ(carry, BN_is_bit_set(t.get(), static_cast<int>(32 * n)) ? 1u : 0u);

    Digits difference = x;
    const MpDigit borrow = MpSub(difference.data(), difference.data(), y.data(), n);
    BN_sub(t.get(), ToBn(x).get(), ToBn(y).get());
    BN_nnmod(expected.get(), t.get(), modulus.get(), qktest::Ctx());
    ASSERT_EQ(Hex(difference), Hex(FromBn(expected.get(), n)));
    ASSERT_EQ(borrow, BN_cmp(ToBn(x).get(), ToBn(y).get()) < 0 ? 1u : 0u);

    const uint32_t bits = src.Below(32);
    Digits shifted(n);
    const MpDigit out_left = MpShiftLeft(shifted.data(), x.data(), bits, n);
    BN_lshift(t.get(), ToBn(x).get(), static_cast<int>(bits));
    BN_nnmod(expected.get(), t.get(), modulus.get(), qktest::Ctx());
    ASSERT_EQ(Hex(shifted), Hex(FromBn(expected.get(), n)));
    BN_rshift(t.get(), t.get(), static_cast<int>(32 * n));
    ASSERT_EQ(out_left, BN_get_word(t.get()));

    shifted = x;
    const MpDigit out_right = MpShiftRight(shifted.data(), shifted.data(), bits, n);
    BN_rshift(expected.get(), ToBn(x).get(), static_cast<int>(bits));
    ASSERT_EQ(Hex(shifted), Hex(FromBn(expected.get(), n)));
    const MpDigit dropped = bits == 0 ? 0 : x[0] & ((1u << bits) - 1);
    ASSERT_EQ(out_right, bits == 0 ? 0u : dropped << (32 - bits));
  }
}

TEST(MpDifferential, Multiply) {
  OperandSource src(4);
  for (int iter = 0; iter < 5000; ++iter) {
    const uint32_t n = 1 + src.Below(33);
    const Digits x = src.Number(n, src.Below(n + 1)), y = src.Number(n, src.Below(n + 1));
    Digits product(2 * n, kSentinel);
    std::copy(x.begin(), x.end(), product.begin());  // product shares x's array
    MpMultiply(product.data(), product.data(), y.data(), n);
    Bn expected = NewBn();
    BN_mul(expected.get(), ToBn(x).get(), ToBn(y).get(), qktest::Ctx());
    ASSERT_EQ(Hex(product), Hex(FromBn(expected.get(), 2 * n))) << Hex(x) << " * " << Hex(y);
  }
}

// Dividend and divisor pairs that exercise the quotient estimate: its
// saturation at a top digit of all ones, estimates two too large, and the
// rare add-back when the multiply-subtract goes negative.
struct DivisionVector {
  Digits dividend, divisor;
};
const DivisionVector kDivisionVectors[] = {
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
};

void CheckDivision(const Digits& c, const Digits& d) {
  const uint32_t cd = static_cast<uint32_t>(c.size()), dd = static_cast<uint32_t>(d.size());
  Bn q = NewBn(), r = NewBn();
  BN_div(q.get(), r.get(), ToBn(c).get(), ToBn(d).get(), qktest::Ctx());

  Digits quotient = c, remainder = Sentinels(dd);  // quotient shares the dividend's array
  MpDivide(quotient.data(), remainder.data(), quotient.data(), cd, d.data(), dd);
  ASSERT_EQ(Hex(quotient), Hex(FromBn(q.get(), cd))) << Hex(c) << " / " << Hex(d);
  ASSERT_EQ(Hex(remainder), Hex(FromBn(r.get(), dd))) << Hex(c) << " / " << Hex(d);

  Digits mod = d;  // remainder shares the divisor's array
  MpMod(mod.data(), c.data(), cd, mod.data(), dd);
  ASSERT_EQ(Hex(mod), Hex(FromBn(r.get(), dd))) << Hex(c) << " mod " << Hex(d);
}

TEST(MpDifferential, DivideKnownHardVectors) {
  for (const auto& v : kDivisionVectors) CheckDivision(v.dividend, v.divisor);
}

TEST(MpDifferential, DivideRandom) {
  OperandSource src(5);
  for (int iter = 0; iter < 20000; ++iter) {
    const uint32_t cd = src.Below(67);
    const uint32_t dd = 1 + src.Below(33);
    Digits c = src.Number(cd), d = src.Number(dd, 1 + src.Below(dd));
    if (MpIsZero(d.data(), dd)) d[0] = 1;
    if (iter % 5 == 0) d[MpDigitCount(d.data(), dd) - 1] = 0xFFFFFFFFu;
    CheckDivision(c, d);
    if (HasFatalFailure()) return;
  }
}

TEST(MpDifferential, ModMultiplyExpInverseGcd) {
  OperandSource src(6);
  Bn expected = NewBn();
  for (int iter = 0; iter < 1500; ++iter) {
    const uint32_t n = 1 + src.Below(33);
    Digits m = src.Number(n, 1 + src.Below(n));
    if (MpIsZero(m.data(), n)) m[0] = 3;
    if (iter % 2 == 0) m[0] &= ~1u;  // even moduli take the plain path
    if (MpIsZero(m.data(), n)) m[0] = 2;
    const Digits x = src.Number(n), y = src.Number(n);  // unreduced
    const Bn mb = ToBn(m);

    Digits r = x;
    MpModMultiply(r.data(), r.data(), y.data(), m.data(), n);
    BN_mod_mul(expected.get(), ToBn(x).get(), ToBn(y).get(), mb.get(), qktest::Ctx());
    ASSERT_EQ(Hex(r), Hex(FromBn(expected.get(), n)));

    const uint32_t ed = 1 + src.Below(iter % 10 == 0 ? 33 : 3);
    const Digits e = src.Number(ed, src.Below(ed + 1));
    Digits result = x;
    MpModExp(result.data(), result.data(), e.data(), ed, m.data(), n);
    if (BN_is_one(mb.get()) && MpIsZero(e.data(), ed)) {
      ASSERT_EQ(result[0], 1u);
    } else {
      BN_mod_exp(expected.get(), ToBn(x).get(), ToBn(e).get(), mb.get(), qktest::Ctx());
      ASSERT_EQ(Hex(result), Hex(FromBn(expected.get(), n)))
          << Hex(x) << " ^ " << Hex(e) << " mod " << Hex(m);
    }

    Bn g = NewBn();
    BN_gcd(g.get(), ToBn(x).get(), mb.get(), qktest::Ctx());
    Digits gcd = Sentinels(n);
    MpGcd(gcd.data(), x.data(), m.data(), n);
    ASSERT_EQ(Hex(gcd), Hex(FromBn(g.get(), n)));

    if (BN_is_one(g.get()) && !BN_is_one(mb.get())) {
      Digits inverse = Sentinels(n);
      MpModInverse(inverse.data(), x.data(), m.data(), n);
      ASSERT_NE(BN_mod_inverse(expected.get(), ToBn(x).get(), mb.get(), qktest::Ctx()), nullptr);
      ASSERT_EQ(Hex(inverse), Hex(FromBn(expected.get(), n))) << Hex(x) << " mod " << Hex(m);
    }
  }
}

TEST(MpDifferential, ModExpExponentShapes) {
  // Top exponent digits whose leading bit pairs are skipped or kept, all-ones
  // and single-bit exponents, over odd and even moduli.
  const MpDigit tops[] = {1, 2, 3, 0x40000000u, 0x80000000u, 0x20000000u, 0xFFFFFFFFu, 0x10001u};
  OperandSource src(7);
  Bn expected = NewBn();
  for (MpDigit top : tops) {
    for (uint32_t n : {1u, 2u, 16u, 33u}) {
      for (int parity = 0; parity < 2; ++parity) {
        Digits m = src.Number(n);
        m[n - 1] |= 0x1000u;
        m[0] = parity ? (m[0] | 1u) : (m[0] & ~1u);
        const Digits b = src.Number(n);
        const Digits e = {src.Digit(), top};
        Digits result(n);
        MpModExp(result.data(), b.data(), e.data(), 2, m.data(), n);
        BN_mod_exp(expected.get(), ToBn(b).get(), ToBn(e).get(), ToBn(m).get(), qktest::Ctx());
        ASSERT_EQ(Hex(result), Hex(FromBn(expected.get(), n))) << top << " n=" << n;
      }
    }
  }
  // 3^(2^30) mod 1000 from the edge-case table.
  MpDigit base = 3, e = 0x40000000u, m = 1000, out = 0;
  MpModExp(&out, &base, &e, 1, &m, 1);
  Bn bb = NewBn(), eb = NewBn(), mb = NewBn();
  BN_set_word(bb.get(), 3);
  BN_set_word(eb.get(), e);
  BN_set_word(mb.get(), 1000);
  BN_mod_exp(expected.get(), bb.get(), eb.get(), mb.get(), qktest::Ctx());
  EXPECT_EQ(out, BN_get_word(expected.get()));
}

}  // namespace
