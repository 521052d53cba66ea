// The token's big numbers (against OpenSSL as an oracle) and its RSA key generation.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <memory>

#include "sim/bignum.h"
#include "sim/keygen.h"

namespace {

using qksim::BigNum;

struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Bn ToBn(const BigNum& x) {
  std::vector<uint8_t> bytes((x.BitCount() + 7) / 8 + 1);
  x.ToBytes(bytes.data(), bytes.size());
  return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

BigNum RandomNumber(qksim::Random* random, size_t bytes) {
  std::vector<uint8_t> b(bytes);
  random->Fill(b.data(), bytes);
  return BigNum::FromBytes(b.data(), bytes);
}

TEST(SimBigNum, ArithmeticAgreesWithOpenSsl) {
  qksim::Random random;
  BN_CTX* ctx = BN_CTX_new();
  const size_t sizes[][2] = {{1, 1}, {8, 4}, {64, 5}, {128, 64}, {256, 128}, {257, 9}, {40, 40}};
  for (int round = 0; round < 20; ++round) {
    for (const auto& size : sizes) {
      BigNum a = RandomNumber(&random, size[0]);
      BigNum b = RandomNumber(&random, size[1]);
      if (b.IsZero()) b = BigNum(7);
      Bn ea = ToBn(a), eb = ToBn(b), expected(BN_new()), rem(BN_new());
      BN_mul(expected.get(), ea.get(), eb.get(), ctx);
      EXPECT_EQ(BN_cmp(ToBn(a * b).get(), expected.get()), 0);
      BN_add(expected.get(), ea.get(), eb.get());
      EXPECT_EQ(BN_cmp(ToBn(a + b).get(), expected.get()), 0);
      BigNum q, r;
      DivMod(a, b, &q, &r);
      BN_div(expected.get(), rem.get(), ea.get(), eb.get(), ctx);
      EXPECT_EQ(BN_cmp(ToBn(q).get(), expected.get()), 0) << size[0] << "/" << size[1];
      EXPECT_EQ(BN_cmp(ToBn(r).get(), rem.get()), 0);
      if (b.IsOdd() && Compare(b, BigNum(1)) > 0) {
        BN_mod_exp(expected.get(), ea.get(), ea.get(), eb.get(), ctx);
        EXPECT_EQ(BN_cmp(ToBn(qksim::ModExpOdd(a, a, b)).get(), expected.get()), 0);
        BigNum inverse;
        bool invertible = qksim::ModInverse(a, b, &inverse);
        BIGNUM* oracle = BN_mod_inverse(nullptr, ea.get(), eb.get(), ctx);
        EXPECT_EQ(invertible, oracle != nullptr);
        if (oracle != nullptr && invertible) {
          EXPECT_EQ(BN_cmp(ToBn(inverse).get(), oracle), 0);
        }
        BN_free(oracle);
      }
    }
  }
  BN_CTX_free(ctx);
}

TEST(SimBigNum, DivisionEdgeCases) {
  // Divisors that force Knuth's quotient correction: top limb all ones.
  const uint8_t big[] = {0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01};
  const uint8_t divisor[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  BigNum a = BigNum::FromBytes(big, sizeof big), b = BigNum::FromBytes(divisor, sizeof divisor);
  BigNum q, r;
  DivMod(a, b, &q, &r);
  EXPECT_EQ(q * b + r, a);
  EXPECT_TRUE(r < b);
  DivMod(b, a, &q, &r);
  EXPECT_TRUE(q.IsZero());
  EXPECT_EQ(r, b);
}

TEST(SimKeyGen, PrimalityOfKnownNumbers) {
  qksim::Random random;
  // 2^127 - 1 is prime; 561 and 2^64 + 1 (= 274177 * 67280421310721) are not.
  BigNum mersenne;
  for (size_t i = 0; i < 127; ++i) mersenne.SetBit(i);
  EXPECT_TRUE(qksim::IsProbablePrime(mersenne, 20, &random));
  EXPECT_FALSE(qksim::IsProbablePrime(BigNum(561), 20, &random));
  BigNum fermat6;
  fermat6.SetBit(64);
  fermat6 = fermat6 + BigNum(1);
  EXPECT_FALSE(qksim::IsProbablePrime(fermat6, 20, &random));
  EXPECT_TRUE(qksim::IsProbablePrime(BigNum(2), 1, &random));
  EXPECT_FALSE(qksim::IsProbablePrime(BigNum(1), 1, &random));
}

TEST(SimKeyGen, KeysAreConsistentAndBlocksExact) {
  qksim::Random random;
  BN_CTX* ctx = BN_CTX_new();
  for (uint32_t bits : {512u, 1024u, 2048u}) {
    for (uint32_t e : {65537u, 3u}) {
      qksim::RsaKeyParts key;
      ASSERT_TRUE(qksim::GenerateRsaKey(bits, e, &random, &key));
      Bn n = ToBn(key.modulus), p = ToBn(key.prime1), q = ToBn(key.prime2), d = ToBn(key.privateExponent);
      Bn product(BN_new()), pm1(BN_dup(p.get())), qm1(BN_dup(q.get())), t(BN_new());
      BN_mul(product.get(), p.get(), q.get(), ctx);
      EXPECT_EQ(BN_cmp(product.get(), n.get()), 0);
      EXPECT_EQ(BN_num_bits(n.get()), static_cast<int>(bits));
      EXPECT_EQ(BN_check_prime(p.get(), ctx, nullptr), 1);
      EXPECT_EQ(BN_check_prime(q.get(), ctx, nullptr), 1);
      EXPECT_GT(BN_cmp(p.get(), q.get()), 0);
      BN_sub_word(pm1.get(), 1);
      BN_sub_word(qm1.get(), 1);
      // e*d = 1 modulo p-1 and modulo q-1 (so modulo their lcm).
      Bn ed(BN_new());
      BN_set_word(t.get(), e);
      BN_mul(ed.get(), d.get(), t.get(), ctx);
      BN_mod(t.get(), ed.get(), pm1.get(), ctx);
      EXPECT_TRUE(BN_is_one(t.get()));
      BN_mod(t.get(), ed.get(), qm1.get(), ctx);
      EXPECT_TRUE(BN_is_one(t.get()));
      BN_mod_mul(t.get(), ToBn(key.coefficient).get(), q.get(), p.get(), ctx);
      EXPECT_TRUE(BN_is_one(t.get()));

      std::vector<uint8_t> pub = qksim::PublicKeyBlock(key), priv = qksim::PrivateKeyBlock(key);
      const size_t k = bits / 8;
      ASSERT_EQ(pub.size(), 12 + k);
      ASSERT_EQ(priv.size(), 20 + 5 * k / 2);
      EXPECT_EQ(BigNum::FromBytes(&pub[12], k), key.modulus);
      EXPECT_EQ(BigNum::FromBytes(&priv[20 + k / 2], k / 2), key.prime2);
      EXPECT_EQ(BigNum::FromBytes(&priv[20 + 4 * (k / 2)], k / 2), key.coefficient);
      EXPECT_EQ((pub[2] << 8) | pub[3], static_cast<int>(bits));
    }
  }
  BN_CTX_free(ctx);
}

TEST(SimKeyGen, RefusesBadArguments) {
  qksim::Random random;
  qksim::RsaKeyParts key;
  EXPECT_FALSE(qksim::GenerateRsaKey(512, 65536, &random, &key));
  EXPECT_FALSE(qksim::GenerateRsaKey(512, 1, &random, &key));
  EXPECT_FALSE(qksim::GenerateRsaKey(500, 65537, &random, &key));
}

}  // namespace
