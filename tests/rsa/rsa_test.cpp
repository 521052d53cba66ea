// RSA block operations on key records against OpenSSL on generated keys, the
// token maker's key, padding edge cases and refusals.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "qkrsa.h"
#include "tests/rsa/bn_oracle.h"
#include "transport/maker_key.h"

namespace {

using qktest::Bn;
using qktest::Ctx;
using qktest::NewBn;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kUntouched = 0xC0FFEEu;

Bn Dup(const BIGNUM* b) { return Bn(BN_dup(b)); }
Bytes ToBytes(const BIGNUM* value, size_t k) {
  Bytes out(k);
  EXPECT_GE(BN_bn2binpad(value, out.data(), static_cast<int>(k)), 0);
  return out;
}

// Operation op: 0 public, 1 public and unpadding, 2 private, 3 padding and private.
uint32_t Apply(int op, uint8_t* out, uint32_t* length, const uint8_t* in, uint32_t inLength,
               const RsaPrivateKey& priv) {
  RsaPublicKey pub{};
  pub.bitLength = priv.bitLength;
  std::memcpy(pub.modulus, priv.modulus, sizeof pub.modulus);
  std::memcpy(pub.publicExponent, priv.publicExponent, sizeof pub.publicExponent);
  if (op == 0) return RsaPublicBlock(out, length, in, inLength, &pub);
  if (op == 1) return RsaPublicDecrypt(out, length, in, inLength, &pub);
  if (op == 2) return RsaPrivateBlock(out, length, in, inLength, &priv);
  return RsaPrivateEncrypt(out, length, in, inLength, &priv);
}

// Exponent 65537 on two primes, ordered p > q (qInv = q^-1 mod p); bits stays
// 0 when 65537 has no inverse.
struct Key {
  uint32_t bits = 0;
  Bn p, q, n = NewBn(), e = NewBn(), d = NewBn(), dP = NewBn(), dQ = NewBn(), qInv = NewBn();
  uint32_t K() const { return (bits + 7) / 8; }

  Key(Bn a, Bn b) : p(std::move(a)), q(std::move(b)) {
    if (BN_cmp(p.get(), q.get()) < 0) std::swap(p, q);
    Bn p1 = Dup(p.get()), q1 = Dup(q.get()), phi = NewBn();
    BN_sub_word(p1.get(), 1), BN_sub_word(q1.get(), 1);
    BN_mul(phi.get(), p1.get(), q1.get(), Ctx());
    BN_mul(n.get(), p.get(), q.get(), Ctx());
    BN_set_word(e.get(), RSA_F4);
    if (!BN_mod_inverse(d.get(), e.get(), phi.get(), Ctx())) return;
    bits = static_cast<uint32_t>(BN_num_bits(n.get()));
    BN_mod(dP.get(), d.get(), p1.get(), Ctx());
    BN_mod(dQ.get(), d.get(), q1.get(), Ctx());
    BN_mod_inverse(qInv.get(), q.get(), p.get(), Ctx());
  }
  // largerFirst false: primes, their exponents and the coefficient the other way round.
  RsaPrivateKey Private(bool largerFirst = true) const {
    RsaPrivateKey key{};
    key.bitLength = bits;
    Bn pInv = NewBn();
    BN_mod_inverse(pInv.get(), p.get(), q.get(), Ctx());
    const BIGNUM* values[2][8] = {
        {n.get(), e.get(), d.get(), p.get(), q.get(), dP.get(), dQ.get(), qInv.get()},
        {n.get(), e.get(), d.get(), q.get(), p.get(), dQ.get(), dP.get(), pInv.get()}};
    uint8_t* fields[] = {key.modulus, key.publicExponent, key.privateExponent, key.prime1,
                         key.prime2,  key.exponent1,      key.exponent2,       key.coefficient};
    for (size_t i = 0; i < 8; ++i) {  // three 128-byte fields, then five of 64
      EXPECT_GE(BN_bn2binpad(values[largerFirst ? 0 : 1][i], fields[i], i < 3 ? 128 : 64), 0);
    }
    return key;
  }
  Bytes Raw(const BIGNUM* m, bool priv) const {
    Bn r = NewBn();
    BN_mod_exp(r.get(), m, priv ? d.get() : e.get(), n.get(), Ctx());
    return ToBytes(r.get(), K());
  }
};

Key Generate(int pBits, int qBits) {
  for (;;) {
    Bn p = NewBn(), q = NewBn();
    BN_generate_prime_ex(p.get(), pBits, 0, nullptr, nullptr, nullptr);
    BN_generate_prime_ex(q.get(), qBits, 0, nullptr, nullptr, nullptr);
    Key key(std::move(p), std::move(q));
    if (key.bits == static_cast<uint32_t>(pBits + qBits)) return key;
  }
}

// The token maker's key, then keys generated once for the run; the last has
// primes of different digit counts.
const std::vector<Key>& Keys() {
  static const std::vector<Key> keys = [] {
    BIGNUM *p = nullptr, *q = nullptr;
    BN_hex2bn(&p, "E2EBA7155D28D81866F124CF0D58516656C730BE03AB8F697BF90E533767D62B");
    BN_hex2bn(&q, "C8FC10BD4E4A8081431013F641751B6544D3390D8D2881A466C8856D15518701");
    std::vector<Key> v;
    v.emplace_back(Bn(p), Bn(q));
    for (int bits : {520, 768, 1020, 1024}) {
      v.push_back(Generate((bits + 1) / 2, bits / 2));
    }
    v.push_back(Generate(288, 224));
    return v;
  }();
  return keys;
}

// The library's compiled-in maker key is the public half of the first key.
TEST(RsaBlocks, TokenMakerKeyRoundTrips) {
  const RsaPrivateKey priv = Keys().front().Private();
  const RsaPublicKey& maker = qk::MakerPublicKey();
  EXPECT_EQ(maker.bitLength, priv.bitLength);
  EXPECT_EQ(std::memcmp(maker.modulus, priv.modulus, 128) |
                std::memcmp(maker.publicExponent, priv.publicExponent, 128), 0);
}

// Raw blocks 0, 1, n - 1 and random ones (in place, both prime orders; the
// first key is the maker's), then padded ones of every length class.
TEST(RsaBlocks, GeneratedKeysMatchOpenSsl) {
  std::mt19937_64 rng(22);
  for (const Key& key : Keys()) {
    const uint32_t k = key.K();
    const RsaPrivateKey usual = key.Private(true), swapped = key.Private(false);
    for (int i = 0; i < 12; ++i) {
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
    RSA* rsa = RSA_new();
    RSA_set0_key(rsa, Dup(key.n.get()).release(), Dup(key.e.get()).release(),
                 Dup(key.d.get()).release());
    for (uint32_t length : {0u, 1u, 20u, k - 12, k - 11}) {
      Bytes data(length), ours(k), theirs(k), recovered(k, 0xEE);
      for (auto& b : data) b = static_cast<uint8_t>(rng());
      uint32_t outLength = 0;
      ASSERT_EQ(Apply(3, ours.data(), &outLength, data.data(), length, usual), 0u);
      ASSERT_EQ(outLength, k);
      ASSERT_EQ(RSA_private_encrypt(static_cast<int>(length), data.data(), theirs.data(), rsa,
                                    RSA_PKCS1_PADDING), static_cast<int>(k));
      ASSERT_EQ(ours, theirs) << key.bits << " bits, " << length << " bytes";
      ASSERT_EQ(Apply(1, recovered.data(), &outLength, ours.data(), k, usual), 0u);
      ASSERT_EQ(outLength, length);
      ASSERT_EQ(Bytes(recovered.begin(), recovered.begin() + length), data);
    }
    RSA_free(rsa);
  }
}

TEST(RsaPadding, PublicDecryptBlockShapes) {
  const Key& key = Keys().front();
  const uint32_t k = key.K();
  auto shaped = [k](uint32_t fillerBytes, uint8_t first, uint8_t second) {
    Bytes block(k, 0x42);
    block[0] = first, block[1] = second;
    for (uint32_t i = 0; i < fillerBytes && 2 + i < k; ++i) block[2 + i] = 0xFF;
    if (2 + fillerBytes < k) block[2 + fillerBytes] = 0;
    return block;
  };
  // Output length: kUntouched when not written.
  const struct { const char* name; Bytes block; uint32_t code, length; } cases[] = {
      {"eight FF", shaped(8, 0, 1), 0, k - 11},
      {"separator last", shaped(k - 3, 0, 1), 0, 0},
      {"seven FF", shaped(7, 0, 1), RSA_E_DATA, k - 10},
      {"only FF", shaped(k - 2, 0, 1), RSA_E_DATA, kUntouched},
      {"block type 2", shaped(8, 0, 2), RSA_E_DATA, kUntouched},
  };
  for (const auto& t : cases) {
    Bn m(BN_bin2bn(t.block.data(), static_cast<int>(k), nullptr));
    const Bytes input = key.Raw(m.get(), true);
    Bytes out(k, 0x5A);
    uint32_t length = kUntouched;
    EXPECT_EQ(Apply(1, out.data(), &length, input.data(), k, key.Private()), t.code) << t.name;
    EXPECT_EQ(length, t.length) << t.name;
    const Bytes expected = t.code ? Bytes(k, 0x5A) : Bytes(t.block.end() - length, t.block.end());
    out.resize(expected.size());
    EXPECT_EQ(out, expected) << t.name;
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
  struct Case { int op; const uint8_t* input; uint32_t length, bitLength, code; };
  std::vector<Case> cases = {
      {0, n.data(), k, 512, RSA_E_DATA},          {2, n.data(), k, 512, RSA_E_DATA},
      {1, above.data(), k, 512, RSA_E_DATA},      {1, data.data(), k + 1, 512, RSA_E_LENGTH},
      {3, data.data(), k - 10, 512, RSA_E_LENGTH}, {3, data.data(), 0xFFFFFFFFu, 512, RSA_E_LENGTH},
      {3, data.data(), 0xFFFFFFF5u, 512, RSA_E_LENGTH}};
  for (uint32_t bits : {0u, 1025u, 0xFFFFFFFFu})
    for (int op = 0; op < 4; ++op) cases.push_back({op, data.data(), 8, bits, RSA_E_LENGTH});
  for (const Case& t : cases) {
    RsaPrivateKey priv = key.Private();
    priv.bitLength = t.bitLength;
    Bytes out(256, 0x5A);
    uint32_t length = kUntouched;
    const uint32_t code = Apply(t.op, out.data(), &length, t.input, t.length, priv);
    EXPECT_EQ(std::tie(code, length, out), std::make_tuple(t.code, kUntouched, Bytes(256, 0x5A)))
        << t.op << " " << t.length << " " << t.bitLength;
  }
}

}  // namespace
