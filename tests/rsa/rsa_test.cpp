// RSA block operations on key records against OpenSSL on generated keys, the
// token maker's key as a fixed vector, padding edge cases and refusals.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "qkrsa.h"
#include "tests/rsa/bn_oracle.h"

namespace {

using qktest::Bn;
using qktest::NewBn;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kUntouched = 0xC0FFEEu;

Bn Dup(const BIGNUM* b) { return Bn(BN_dup(b)); }
Bn FromHex(const char* hex) {
  BIGNUM* b = nullptr;
  BN_hex2bn(&b, hex);
  return Bn(b);
}
Bytes ToBytes(const BIGNUM* value, size_t k) {
  Bytes out(k);
  EXPECT_GE(BN_bn2binpad(value, out.data(), static_cast<int>(k)), 0);
  return out;
}

RsaPublicKey PublicOf(const RsaPrivateKey& priv) {
  RsaPublicKey pub{};
  pub.bitLength = priv.bitLength;
  std::memcpy(pub.modulus, priv.modulus, sizeof pub.modulus);
  std::memcpy(pub.publicExponent, priv.publicExponent, sizeof pub.publicExponent);
  return pub;
}

// Operation op: 0 public, 1 public and unpadding, 2 private, 3 padding and private.
uint32_t Apply(int op, uint8_t* out, uint32_t* length, const uint8_t* in, uint32_t inLength,
             const RsaPrivateKey& priv) {
  const RsaPublicKey pub = PublicOf(priv);
  if (op == 0) return RsaPublicBlock(out, length, in, inLength, &pub);
  if (op == 1) return RsaPublicDecrypt(out, length, in, inLength, &pub);
  if (op == 2) return RsaPrivateBlock(out, length, in, inLength, &priv);
  return RsaPrivateEncrypt(out, length, in, inLength, &priv);
}

struct Key {
  uint32_t bits = 0;
  Bn n, e, d, p, q, dP, dQ, qInv;  // p > q, qInv = q^-1 mod p
  uint32_t K() const { return (bits + 7) / 8; }

  // largerFirst false: primes, their exponents and the coefficient the other way round.
  RsaPrivateKey Private(bool largerFirst = true) const {
    RsaPrivateKey key{};
    key.bitLength = bits;
    Bn pInv = NewBn();
    BN_mod_inverse(pInv.get(), p.get(), q.get(), qktest::Ctx());
    const std::pair<uint8_t*, const BIGNUM*> fields[] = {
        {key.modulus, n.get()}, {key.publicExponent, e.get()}, {key.privateExponent, d.get()},
        {key.prime1, largerFirst ? p.get() : q.get()},
        {key.prime2, largerFirst ? q.get() : p.get()},
        {key.exponent1, largerFirst ? dP.get() : dQ.get()},
        {key.exponent2, largerFirst ? dQ.get() : dP.get()},
        {key.coefficient, largerFirst ? qInv.get() : pInv.get()}};
    for (size_t i = 0; i < 8; ++i) {  // three 128-byte fields, then five of 64
      const Bytes b = ToBytes(fields[i].second, i < 3 ? 128 : 64);
      std::memcpy(fields[i].first, b.data(), b.size());
    }
    return key;
  }
  Bytes Raw(const BIGNUM* m, bool priv) const {
    Bn r = NewBn();
    BN_mod_exp(r.get(), m, priv ? d.get() : e.get(), n.get(), qktest::Ctx());
    return ToBytes(r.get(), K());
  }
};

// Primes of pBits and qBits, exponent 65537.
Key Generate(uint32_t bits, int pBits, int qBits) {
  Key key;
  key.bits = bits;
  key.e = NewBn(), key.dP = NewBn(), key.dQ = NewBn(), key.qInv = NewBn();
  BN_set_word(key.e.get(), RSA_F4);
  Bn phi = NewBn(), p1 = NewBn(), q1 = NewBn();
  do {
    key.p = NewBn(), key.q = NewBn(), key.n = NewBn(), key.d = NewBn();
    BN_generate_prime_ex(key.p.get(), pBits, 0, nullptr, nullptr, nullptr);
    BN_generate_prime_ex(key.q.get(), qBits, 0, nullptr, nullptr, nullptr);
    if (BN_cmp(key.p.get(), key.q.get()) < 0) std::swap(key.p, key.q);
    BN_mul(key.n.get(), key.p.get(), key.q.get(), qktest::Ctx());
    BN_sub(p1.get(), key.p.get(), BN_value_one());
    BN_sub(q1.get(), key.q.get(), BN_value_one());
    BN_mul(phi.get(), p1.get(), q1.get(), qktest::Ctx());
  } while (BN_num_bits(key.n.get()) != static_cast<int>(bits) ||
           BN_cmp(key.p.get(), key.q.get()) == 0 ||
           !BN_mod_inverse(key.d.get(), key.e.get(), phi.get(), qktest::Ctx()));
  BN_mod(key.dP.get(), key.d.get(), p1.get(), qktest::Ctx());
  BN_mod(key.dQ.get(), key.d.get(), q1.get(), qktest::Ctx());
  BN_mod_inverse(key.qInv.get(), key.q.get(), key.p.get(), qktest::Ctx());
  return key;
}

// Generated once for the run; the last has primes of different digit counts.
const std::vector<Key>& Keys() {
  static const std::vector<Key> keys = [] {
    std::vector<Key> v;
    for (int bits : {512, 520, 576, 640, 768, 1000, 1020, 1024, 1024}) {
      v.push_back(Generate(static_cast<uint32_t>(bits), (bits + 1) / 2, bits / 2));
    }
    v.push_back(Generate(512, 288, 224));
    return v;
  }();
  return keys;
}

TEST(RsaBlocks, TokenMakerKeyRoundTrips) {
  Key key;
  key.bits = 512;
  key.n = FromHex("B2278957B1A1248F5365F7BA2335DDE0796F543DBCF9D54BC6B809A4098C56CA"
                  "FAEE4C243185E3E36C030A689419E30505F3FCED0193B3FC2B79844643F3832B");
  key.e = FromHex("010001");
  key.d = FromHex("07A85D65F093AD9F9F851585E1B79206F11150FCAA5FCEC448116710AEFC624A"
                  "9AE3FC821892397C7D2358E07CBD11A3DC2767849B75114ACEC3614A50DB2601");
  key.p = FromHex("E2EBA7155D28D81866F124CF0D58516656C730BE03AB8F697BF90E533767D62B");
  key.q = FromHex("C8FC10BD4E4A8081431013F641751B6544D3390D8D2881A466C8856D15518701");
  key.dP = FromHex("CF79A8E5F6AC8E90192728818B7111D3E149F47DF77B17FFD953094EFADC9CCB");
  key.dQ = FromHex("11B76E7E51756DC87731E6A0917A9234A6117C78FE5570C01E3354D79DC67701");
  key.qInv = FromHex("AAFD011D2C2194BD066E9CF046375C11F504EF29E018C789E835880925F14B65");
  const RsaPrivateKey priv = key.Private();
  for (int i = 0; i < 50; ++i) {
    Bn m = NewBn();
    BN_rand_range(m.get(), key.n.get());
    const Bytes message = ToBytes(m.get(), 64);
    Bytes signature(64), recovered(64);
    uint32_t length = kUntouched;
    ASSERT_EQ(Apply(2, signature.data(), &length, message.data(), 64, priv), 0u);
    ASSERT_EQ(length, 64u);
    ASSERT_EQ(signature, key.Raw(m.get(), true));
    length = kUntouched;
    ASSERT_EQ(Apply(0, recovered.data(), &length, signature.data(), 64, priv), 0u);
    ASSERT_EQ(length, 64u);
    ASSERT_EQ(recovered, message);
  }
}

// 0, 1, n - 1 and random blocks, both prime orders, in place; a short input is
// zero-extended and digits above the modulus's length are no part of it.
TEST(RsaBlocks, GeneratedKeysMatchOpenSsl) {
  for (const Key& key : Keys()) {
    const uint32_t k = key.K();
    const RsaPrivateKey usual = key.Private(true), swapped = key.Private(false);
    for (int i = 0; i < 24; ++i) {
      Bn m = NewBn();
      if (i == 1) BN_one(m.get());
      if (i == 2) BN_sub(m.get(), key.n.get(), BN_value_one());
      if (i > 2) BN_rand_range(m.get(), key.n.get());
      const Bytes input = ToBytes(m.get(), k);
      Bytes out = input;
      uint32_t length = 0;
      ASSERT_EQ(Apply(0, out.data(), &length, out.data(), k, usual), 0u);
      ASSERT_EQ(length, k);
      ASSERT_EQ(out, key.Raw(m.get(), false)) << key.bits;
      ASSERT_EQ(Apply(2, out.data(), &length, input.data(), k, usual), 0u);
      ASSERT_EQ(out, key.Raw(m.get(), true)) << key.bits << " bits, usual prime order";
      ASSERT_EQ(Apply(2, out.data(), &length, input.data(), k, swapped), 0u);
      ASSERT_EQ(out, key.Raw(m.get(), true)) << key.bits << " bits, larger prime second";
    }
    Bytes overlong(k + 4, 0xFF), out(k);
    const Bytes one = ToBytes(BN_value_one(), k);
    std::copy(one.begin(), one.end(), overlong.begin() + 4);
    uint32_t length = 0;
    ASSERT_EQ(Apply(0, out.data(), &length, one.data() + k - 1, 1, usual), 0u);
    EXPECT_EQ(out, one);
    if (k % 4 != 0) continue;  // else the 0xFF bytes share the modulus's top digit
    ASSERT_EQ(Apply(0, out.data(), &length, overlong.data(), k + 4, usual), 0u);
    EXPECT_EQ(out, one);
  }
}

TEST(RsaBlocks, PaddedOperationsMatchOpenSsl) {
  qktest::OperandSource src(22);
  for (const Key& key : Keys()) {
    const uint32_t k = key.K();
    RSA* rsa = RSA_new();
    RSA_set0_key(rsa, Dup(key.n.get()).release(), Dup(key.e.get()).release(),
                 Dup(key.d.get()).release());
    RSA_set0_factors(rsa, Dup(key.p.get()).release(), Dup(key.q.get()).release());
    RSA_set0_crt_params(rsa, Dup(key.dP.get()).release(), Dup(key.dQ.get()).release(),
                        Dup(key.qInv.get()).release());
    const RsaPrivateKey priv = key.Private();
    for (uint32_t length : {0u, 1u, 20u, k - 12, k - 11}) {
      Bytes data(length), ours(k), theirs(k), recovered(k, 0xEE);
      for (auto& b : data) b = static_cast<uint8_t>(src.Digit());
      uint32_t outLength = 0;
      ASSERT_EQ(Apply(3, ours.data(), &outLength, data.data(), length, priv), 0u);
      ASSERT_EQ(outLength, k);
      ASSERT_EQ(RSA_private_encrypt(static_cast<int>(length), data.data(), theirs.data(), rsa,
                                    RSA_PKCS1_PADDING), static_cast<int>(k));
      ASSERT_EQ(ours, theirs) << key.bits << " bits, " << length << " bytes";
      ASSERT_EQ(Apply(1, recovered.data(), &outLength, ours.data(), k, priv), 0u);
      ASSERT_EQ(outLength, length);
      ASSERT_EQ(Bytes(recovered.begin(), recovered.begin() + length), data);
    }
    RSA_free(rsa);
  }
}

TEST(RsaPadding, PublicDecryptBlockShapes) {
  const Key& key = Keys().front();
  const uint32_t k = key.K();
  auto shaped = [k](uint32_t fillerBytes, uint8_t separator, uint8_t first, uint8_t second) {
    Bytes block(k, 0x42);
    block[0] = first;
    block[1] = second;
    for (uint32_t i = 0; i < fillerBytes && 2 + i < k; ++i) block[2 + i] = 0xFF;
    if (2 + fillerBytes < k) block[2 + fillerBytes] = separator;
    return block;
  };
  const struct {
    const char* name;
    Bytes block;
    uint32_t code, length;  // output length, kUntouched when not written
  } cases[] = {
      {"eight FF", shaped(8, 0, 0, 1), 0, k - 11},
      {"separator last", shaped(k - 3, 0, 0, 1), 0, 0},
      {"seven FF", shaped(7, 0, 0, 1), RSA_E_DATA, k - 10},
      {"no FF at all", shaped(0, 0, 0, 1), RSA_E_DATA, k - 3},
      {"only FF", shaped(k - 2, 0, 0, 1), RSA_E_DATA, kUntouched},
      {"FF run ends on data", shaped(20, 0x42, 0, 1), RSA_E_DATA, kUntouched},
      {"block type 2", shaped(8, 0, 0, 2), RSA_E_DATA, kUntouched},
      {"leading 01", shaped(8, 0, 1, 1), RSA_E_DATA, kUntouched},
  };
  for (const auto& t : cases) {
    Bn m(BN_bin2bn(t.block.data(), static_cast<int>(k), nullptr));
    const Bytes input = key.Raw(m.get(), true);
    Bytes out(k, 0x5A);
    uint32_t length = kUntouched;
    EXPECT_EQ(Apply(1, out.data(), &length, input.data(), k, key.Private()), t.code) << t.name;
    EXPECT_EQ(length, t.length) << t.name;
    const Bytes expected = t.code ? Bytes(k, 0x5A) : Bytes(t.block.end() - length, t.block.end());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(expected.size())),
              expected) << t.name;
  }
}

// Input not below the modulus, lengths the padding or block cannot take (also
// where length + 11 wraps), and bit lengths outside 1..1024 write nothing.
TEST(RsaKeyRecords, RefusalsWriteNothing) {
  const Key& key = Keys().front();
  const uint32_t k = key.K();
  Bn nPlus1 = Dup(key.n.get());
  BN_add_word(nPlus1.get(), 1);
  const Bytes n = ToBytes(key.n.get(), k), above = ToBytes(nPlus1.get(), k), data(k + 1, 1);
  struct Case {
    int op;
    const uint8_t* input;
    uint32_t length, bitLength, code;
  };
  std::vector<Case> cases = {
      {0, n.data(), k, 512, RSA_E_DATA},          {0, above.data(), k, 512, RSA_E_DATA},
      {2, n.data(), k, 512, RSA_E_DATA},          {1, above.data(), k, 512, RSA_E_DATA},
      {1, data.data(), k + 1, 512, RSA_E_LENGTH}, {3, data.data(), k - 10, 512, RSA_E_LENGTH},
      {3, data.data(), 0xFFFFFFFFu, 512, RSA_E_LENGTH},
      {3, data.data(), 0xFFFFFFF5u, 512, RSA_E_LENGTH}};
  for (uint32_t bits : {0u, 1025u, 2048u, 0xFFFFFFFFu}) {
    for (int op = 0; op < 4; ++op) cases.push_back({op, data.data(), 8, bits, RSA_E_LENGTH});
  }
  for (const Case& t : cases) {
    RsaPrivateKey priv = key.Private();
    priv.bitLength = t.bitLength;
    Bytes out(256, 0x5A);
    uint32_t length = kUntouched;
    EXPECT_EQ(Apply(t.op, out.data(), &length, t.input, t.length, priv), t.code)
        << t.op << " " << t.length << " " << t.bitLength;
    EXPECT_EQ(length, kUntouched) << t.op << " " << t.length << " " << t.bitLength;
    EXPECT_EQ(out, Bytes(256, 0x5A)) << t.op << " " << t.length << " " << t.bitLength;
  }
}

// Key fields of a real key (or all zero) with every bit length 1..1024
// claimed: results may be wrong, but the output buffers are exactly k long (a
// sanitizer build sees any overrun) and the length follows the bit length.
TEST(RsaKeyRecords, EveryBitLengthStaysWithinKBytes) {
  const RsaPrivateKey real = Keys().back().Private(), zero{};
  for (const RsaPrivateKey* base : {&real, &zero}) {
    for (uint32_t bits = 1; bits <= 1024; ++bits) {
      RsaPrivateKey priv = *base;
      priv.bitLength = bits;
      const uint32_t k = (bits + 7) / 8;
      const Bytes input(k, 0x01);
      for (int op = 0; op < 4; ++op) {
        Bytes out(k);
        uint32_t length = kUntouched;
        const uint32_t code =
            Apply(op, out.data(), &length, input.data(), op == 3 ? (k > 11 ? k - 11 : 0) : k, priv);
        ASSERT_TRUE(code == 0 || code == RSA_E_DATA || code == RSA_E_LENGTH) << bits;
        ASSERT_TRUE(code != 0 || (op == 1 ? length <= k : length == k)) << bits << " op " << op;
      }
    }
  }
}

}  // namespace
