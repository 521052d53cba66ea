// The token's big numbers (against OpenSSL as an oracle) and its RSA key generation.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <memory>

#include "sim/bignum.h"
#include "sim/keygen.h"

namespace {

using qksim::BigNum;
using Bn = std::unique_ptr<BIGNUM, decltype(&BN_free)>;

Bn ToBn(const BigNum& x) {
  std::vector<uint8_t> bytes((x.BitCount() + 7) / 8 + 1);
  x.ToBytes(bytes.data(), bytes.size());
  return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr), BN_free);
}
Bn NewBn() { return Bn(BN_new(), BN_free); }

bool Same(const BigNum& ours, const BIGNUM* oracle) {
  return BN_cmp(ToBn(ours).get(), oracle) == 0;
}

TEST(SimBigNum, ArithmeticAgreesWithOpenSsl) {
  qksim::Random random;
  BN_CTX* ctx = BN_CTX_new();
  const auto number = [&](size_t bytes) {
    std::vector<uint8_t> b(bytes);
    random.Fill(b.data(), bytes);
    return BigNum::FromBytes(b.data(), bytes);
  };
  const size_t sizes[][2] = {{1, 1}, {8, 4}, {64, 5}, {128, 64}, {256, 128}, {257, 9}, {40, 40}};
  for (int round = 0; round < 20; ++round) {
    for (const auto& size : sizes) {
      BigNum a = number(size[0]), b = number(size[1]), q, r, inverse;
      if (b.IsZero()) b = BigNum(7);
      Bn ea = ToBn(a), eb = ToBn(b), expected = NewBn(), rem = NewBn();
      BN_mul(expected.get(), ea.get(), eb.get(), ctx);
      EXPECT_TRUE(Same(a * b, expected.get()));
      BN_add(expected.get(), ea.get(), eb.get());
      EXPECT_TRUE(Same(a + b, expected.get()));
      DivMod(a, b, &q, &r);
      BN_div(expected.get(), rem.get(), ea.get(), eb.get(), ctx);
      EXPECT_TRUE(Same(q, expected.get()) && Same(r, rem.get())) << size[0] << "/" << size[1];
      if (b.IsOdd() && Compare(b, BigNum(1)) > 0) {
        BN_mod_exp(expected.get(), ea.get(), ea.get(), eb.get(), ctx);
        EXPECT_TRUE(Same(qksim::ModExpOdd(a, a, b), expected.get()));
        const bool invertible = qksim::ModInverse(a, b, &inverse);
        Bn oracle(BN_mod_inverse(nullptr, ea.get(), eb.get(), ctx), BN_free);
        EXPECT_EQ(invertible, oracle != nullptr);
        EXPECT_TRUE(!oracle || !invertible || Same(inverse, oracle.get()));
      }
    }
  }
  // A divisor whose top limb is all ones forces the quotient correction.
  const uint8_t big[] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 1};
  const uint8_t ones[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const BigNum a = BigNum::FromBytes(big, sizeof big), b = BigNum::FromBytes(ones, sizeof ones);
  BigNum q, r;
  DivMod(a, b, &q, &r);
  EXPECT_EQ(q * b + r, a);
  EXPECT_TRUE(r < b);
  BN_CTX_free(ctx);
}

TEST(SimKeyGen, Primality) {
  qksim::Random random;
  BigNum mersenne, fermat6;  // 2^127 - 1 is prime; 561 and 2^64 + 1 are not
  for (size_t i = 0; i < 127; ++i) mersenne.SetBit(i);
  fermat6.SetBit(64);
  EXPECT_TRUE(qksim::IsProbablePrime(mersenne, 20, &random));
  EXPECT_FALSE(qksim::IsProbablePrime(BigNum(561), 20, &random));
  EXPECT_FALSE(qksim::IsProbablePrime(fermat6 + BigNum(1), 20, &random));
}

TEST(SimKeyGen, KeysAreConsistentAndBlocksExact) {
  qksim::Random random;
  BN_CTX* ctx = BN_CTX_new();
  for (uint32_t bits : {512u, 1024u, 2048u}) {
    for (uint32_t e : {65537u, 3u}) {
      qksim::RsaKeyParts key;
      ASSERT_TRUE(qksim::GenerateRsaKey(bits, e, &random, &key));
      Bn n = ToBn(key.modulus), p = ToBn(key.prime1), q = ToBn(key.prime2);
      Bn t = NewBn(), ed = NewBn();
      BN_mul(t.get(), p.get(), q.get(), ctx);
      EXPECT_EQ(BN_cmp(t.get(), n.get()), 0);
      EXPECT_EQ(BN_num_bits(n.get()), static_cast<int>(bits));
      EXPECT_TRUE(BN_check_prime(p.get(), ctx, nullptr) && BN_check_prime(q.get(), ctx, nullptr));
      EXPECT_GT(BN_cmp(p.get(), q.get()), 0);
      BN_set_word(t.get(), e);
      BN_mul(ed.get(), ToBn(key.privateExponent).get(), t.get(), ctx);
      for (BIGNUM* prime : {p.get(), q.get()}) {  // e*d = 1 modulo p-1 and q-1
        Bn pm1(BN_dup(prime), BN_free);
        BN_sub_word(pm1.get(), 1);
        BN_mod(t.get(), ed.get(), pm1.get(), ctx);
        EXPECT_TRUE(BN_is_one(t.get()));
      }
      BN_mod_mul(t.get(), ToBn(key.coefficient).get(), q.get(), p.get(), ctx);
      EXPECT_TRUE(BN_is_one(t.get()));

      const auto pub = qksim::PublicKeyBlock(key), priv = qksim::PrivateKeyBlock(key);
      const size_t k = bits / 8;
      ASSERT_EQ(pub.size(), 12 + k);
      ASSERT_EQ(priv.size(), 20 + 5 * k / 2);
      EXPECT_EQ((pub[2] << 8) | pub[3], static_cast<int>(bits));
      EXPECT_EQ(BigNum::FromBytes(&pub[12], k), key.modulus);
      EXPECT_EQ(BigNum::FromBytes(&priv[20 + k / 2], k / 2), key.prime2);
      EXPECT_EQ(BigNum::FromBytes(&priv[20 + 4 * (k / 2)], k / 2), key.coefficient);
    }
  }
  BN_CTX_free(ctx);
}

}  // namespace
