// The token's RSA key generation, checked with OpenSSL as an oracle.
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
