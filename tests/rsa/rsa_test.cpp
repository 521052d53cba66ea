// RSA block operations on key records, against OpenSSL on generated keys,
// plus the token maker's key as a fixed vector and the padding edge cases.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <cstring>
#include <string>
#include <vector>

#include "qkrsa.h"
#include "tests/rsa/bn_oracle.h"

namespace {

using qktest::Bn;
using qktest::NewBn;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kUntouched = 0xC0FFEEu;

Bn FromHex(const char* hex) {
  BIGNUM* b = nullptr;
  BN_hex2bn(&b, hex);
  return Bn(b);
}

Bn Dup(const BIGNUM* b) { return Bn(BN_dup(b)); }

void Put(uint8_t* field, size_t width, const BIGNUM* value) {
  ASSERT_GE(BN_bn2binpad(value, field, static_cast<int>(width)), 0);
}

Bytes ToBytes(const BIGNUM* value, uint32_t k) {
  Bytes out(k);
  BN_bn2binpad(value, out.data(), static_cast<int>(k));
  return out;
}

// A key with both prime orders available.
struct Key {
  uint32_t bits = 0;
  Bn n, e, d, p, q, dP, dQ, qInv;  // p > q, qInv = q^-1 mod p

  uint32_t K() const { return (bits + 7) / 8; }

  RsaPublicKey Public() const {
    RsaPublicKey key{};
    key.bitLength = bits;
    Put(key.modulus, sizeof key.modulus, n.get());
    Put(key.publicExponent, sizeof key.publicExponent, e.get());
    return key;
  }

  // largerFirst: prime1 = p > prime2 = q, the usual order. Otherwise the
  // primes, their exponents and the coefficient are taken the other way round.
  RsaPrivateKey Private(bool largerFirst = true) const {
    RsaPrivateKey key{};
    key.bitLength = bits;
    Put(key.modulus, sizeof key.modulus, n.get());
    Put(key.publicExponent, sizeof key.publicExponent, e.get());
    Put(key.privateExponent, sizeof key.privateExponent, d.get());
    if (largerFirst) {
      Put(key.prime1, sizeof key.prime1, p.get());
      Put(key.prime2, sizeof key.prime2, q.get());
      Put(key.exponent1, sizeof key.exponent1, dP.get());
      Put(key.exponent2, sizeof key.exponent2, dQ.get());
      Put(key.coefficient, sizeof key.coefficient, qInv.get());
    } else {
      Bn pInv = NewBn();
      BN_mod_inverse(pInv.get(), p.get(), q.get(), qktest::Ctx());
      Put(key.prime1, sizeof key.prime1, q.get());
      Put(key.prime2, sizeof key.prime2, p.get());
      Put(key.exponent1, sizeof key.exponent1, dQ.get());
      Put(key.exponent2, sizeof key.exponent2, dP.get());
      Put(key.coefficient, sizeof key.coefficient, pInv.get());
    }
    return key;
  }

  // The key as OpenSSL's own structure, for the padded-operation oracle.
  RSA* OpenSsl() const {
    RSA* rsa = RSA_new();
    RSA_set0_key(rsa, BN_dup(n.get()), BN_dup(e.get()), BN_dup(d.get()));
    RSA_set0_factors(rsa, BN_dup(p.get()), BN_dup(q.get()));
    RSA_set0_crt_params(rsa, BN_dup(dP.get()), BN_dup(dQ.get()), BN_dup(qInv.get()));
    return rsa;
  }
};

void OrderPrimes(Key& key) {
  if (BN_cmp(key.p.get(), key.q.get()) < 0) {
    std::swap(key.p, key.q);
    std::swap(key.dP, key.dQ);
    key.qInv = NewBn();
    BN_mod_inverse(key.qInv.get(), key.q.get(), key.p.get(), qktest::Ctx());
  }
}

Key Generate(uint32_t bits) {
  RSA* rsa = RSA_new();
  Bn e = NewBn();
  BN_set_word(e.get(), RSA_F4);
  EXPECT_EQ(RSA_generate_key_ex(rsa, static_cast<int>(bits), e.get(), nullptr), 1);
  Key key;
  key.bits = bits;
  key.n = Dup(RSA_get0_n(rsa));
  key.e = Dup(RSA_get0_e(rsa));
  key.d = Dup(RSA_get0_d(rsa));
  key.p = Dup(RSA_get0_p(rsa));
  key.q = Dup(RSA_get0_q(rsa));
  key.dP = Dup(RSA_get0_dmp1(rsa));
  key.dQ = Dup(RSA_get0_dmq1(rsa));
  key.qInv = Dup(RSA_get0_iqmp(rsa));
  RSA_free(rsa);
  OrderPrimes(key);
  return key;
}

// A key whose primes differ in digit count (224 and 288 bits).
Key Unbalanced() {
  Key key;
  key.bits = 512;
  key.e = NewBn();
  BN_set_word(key.e.get(), RSA_F4);
  Bn phi = NewBn(), p1 = NewBn(), q1 = NewBn();
  do {
    key.p = NewBn();
    key.q = NewBn();
    key.n = NewBn();
    BN_generate_prime_ex(key.p.get(), 288, 0, nullptr, nullptr, nullptr);
    BN_generate_prime_ex(key.q.get(), 224, 0, nullptr, nullptr, nullptr);
    BN_mul(key.n.get(), key.p.get(), key.q.get(), qktest::Ctx());
    BN_sub(p1.get(), key.p.get(), BN_value_one());
    BN_sub(q1.get(), key.q.get(), BN_value_one());
    BN_mul(phi.get(), p1.get(), q1.get(), qktest::Ctx());
    key.d = NewBn();
  } while (BN_num_bits(key.n.get()) != 512 ||
           BN_mod_inverse(key.d.get(), key.e.get(), phi.get(), qktest::Ctx()) == nullptr);
  key.dP = NewBn();
  key.dQ = NewBn();
  key.qInv = NewBn();
  BN_mod(key.dP.get(), key.d.get(), p1.get(), qktest::Ctx());
  BN_mod(key.dQ.get(), key.d.get(), q1.get(), qktest::Ctx());
  BN_mod_inverse(key.qInv.get(), key.q.get(), key.p.get(), qktest::Ctx());
  return key;
}

// The token maker's 512-bit key, a fixed vector.
Key TokenMakerKey() {
  Key key;
  key.bits = 512;
  key.n = FromHex(
      "B2278957B1A1248F5365F7BA2335DDE0796F543DBCF9D54BC6B809A4098C56CA"
      "FAEE4C243185E3E36C030A689419E30505F3FCED0193B3FC2B79844643F3832B");
  key.e = FromHex("010001");
  key.d = FromHex(
      "07A85D65F093AD9F9F851585E1B79206F11150FCAA5FCEC448116710AEFC624A"
      "9AE3FC821892397C7D2358E07CBD11A3DC2767849B75114ACEC3614A50DB2601");
  key.p = FromHex("E2EBA7155D28D81866F124CF0D58516656C730BE03AB8F697BF90E533767D62B");
  key.q = FromHex("C8FC10BD4E4A8081431013F641751B6544D3390D8D2881A466C8856D15518701");
  key.dP = FromHex("CF79A8E5F6AC8E90192728818B7111D3E149F47DF77B17FFD953094EFADC9CCB");
  key.dQ = FromHex("11B76E7E51756DC87731E6A0917A9234A6117C78FE5570C01E3354D79DC67701");
  key.qInv = FromHex("AAFD011D2C2194BD066E9CF046375C11F504EF29E018C789E835880925F14B65");
  return key;
}

// Keys generated once for the whole run.
const std::vector<Key>& Keys() {
  static const std::vector<Key> keys = [] {
    std::vector<Key> v;
    for (uint32_t bits : {512u, 520u, 576u, 640u, 768u, 1000u, 1020u, 1024u, 1024u}) {
      v.push_back(Generate(bits));
    }
    v.push_back(Unbalanced());
    return v;
  }();
  return keys;
}

Bn ModExp(const BIGNUM* base, const BIGNUM* exponent, const BIGNUM* modulus) {
  Bn r = NewBn();
  BN_mod_exp(r.get(), base, exponent, modulus, qktest::Ctx());
  return r;
}

Bn RandomBelow(const BIGNUM* limit) {
  Bn r = NewBn();
  BN_rand_range(r.get(), limit);
  return r;
}

// Input bytes whose public operation yields `block` (k bytes, below n).
Bytes Presign(const Key& key, const Bytes& block) {
  Bn m(BN_bin2bn(block.data(), static_cast<int>(block.size()), nullptr));
  return ToBytes(ModExp(m.get(), key.d.get(), key.n.get()).get(), key.K());
}

// ---- Raw operations ---------------------------------------------------------

TEST(RsaBlocks, TokenMakerKeyRoundTrips) {
  const Key key = TokenMakerKey();
  const RsaPublicKey pub = key.Public();
  const RsaPrivateKey priv = key.Private();
  qktest::OperandSource src(21);
  for (int i = 0; i < 50; ++i) {
    Bytes message(64);
    for (auto& b : message) b = static_cast<uint8_t>(src.Digit());
    message[0] &= 0x7F;  // below the modulus
    Bytes signature(64), recovered(64);
    uint32_t length = kUntouched;
    ASSERT_EQ(RsaPrivateBlock(signature.data(), &length, message.data(), 64, &priv), 0u);
    ASSERT_EQ(length, 64u);
    Bn m(BN_bin2bn(message.data(), 64, nullptr));
    ASSERT_EQ(signature, ToBytes(ModExp(m.get(), key.d.get(), key.n.get()).get(), 64));
    length = kUntouched;
    ASSERT_EQ(RsaPublicBlock(recovered.data(), &length, signature.data(), 64, &pub), 0u);
    ASSERT_EQ(length, 64u);
    ASSERT_EQ(recovered, message);
  }
}

TEST(RsaBlocks, GeneratedKeysMatchOpenSsl) {
  for (const Key& key : Keys()) {
    const uint32_t k = key.K();
    const RsaPublicKey pub = key.Public();
    const RsaPrivateKey usual = key.Private(true);
    const RsaPrivateKey swapped = key.Private(false);
    Bn n_minus_1 = Dup(key.n.get());
    BN_sub_word(n_minus_1.get(), 1);
    for (int i = 0; i < 24; ++i) {
      Bn m = i == 0 ? NewBn() : i == 1 ? Dup(BN_value_one()) : i == 2 ? Dup(n_minus_1.get())
                                                                      : RandomBelow(key.n.get());
      if (i == 0) BN_zero(m.get());
      const Bytes input = ToBytes(m.get(), k);
      Bytes out(k);
      uint32_t length = 0;
      ASSERT_EQ(RsaPublicBlock(out.data(), &length, input.data(), k, &pub), 0u);
      ASSERT_EQ(length, k);
      ASSERT_EQ(out, ToBytes(ModExp(m.get(), key.e.get(), key.n.get()).get(), k)) << key.bits;

      const Bytes expected = ToBytes(ModExp(m.get(), key.d.get(), key.n.get()).get(), k);
      ASSERT_EQ(RsaPrivateBlock(out.data(), &length, input.data(), k, &usual), 0u);
      ASSERT_EQ(out, expected) << key.bits << " bits, usual prime order";
      ASSERT_EQ(RsaPrivateBlock(out.data(), &length, input.data(), k, &swapped), 0u);
      ASSERT_EQ(out, expected) << key.bits << " bits, larger prime second";
    }
  }
}

TEST(RsaBlocks, PaddedOperationsMatchOpenSsl) {
  qktest::OperandSource src(22);
  for (const Key& key : Keys()) {
    const uint32_t k = key.K();
    RSA* rsa = key.OpenSsl();
    const RsaPublicKey pub = key.Public();
    const RsaPrivateKey priv = key.Private();
    for (uint32_t length : {0u, 1u, 20u, k - 12, k - 11}) {
      Bytes data(length);
      for (auto& b : data) b = static_cast<uint8_t>(src.Digit());
      Bytes ours(k), theirs(k);
      uint32_t out_length = 0;
      ASSERT_EQ(RsaPrivateEncrypt(ours.data(), &out_length, data.data(), length, &priv), 0u);
      ASSERT_EQ(out_length, k);
      ASSERT_EQ(RSA_private_encrypt(static_cast<int>(length), data.data(), theirs.data(), rsa,
                                    RSA_PKCS1_PADDING),
                static_cast<int>(k));
      ASSERT_EQ(ours, theirs) << key.bits << " bits, " << length << " bytes";

      Bytes recovered(k, 0xEE);
      ASSERT_EQ(RsaPublicDecrypt(recovered.data(), &out_length, ours.data(), k, &pub), 0u);
      ASSERT_EQ(out_length, length);
      ASSERT_EQ(Bytes(recovered.begin(), recovered.begin() + length), data);
    }
    RSA_free(rsa);
  }
}

TEST(RsaBlocks, InputNotBelowTheModulusIsRefusedUntouched) {
  const Key& key = Keys().front();
  const uint32_t k = key.K();
  const RsaPublicKey pub = key.Public();
  const RsaPrivateKey priv = key.Private();
  Bn n_plus_1 = Dup(key.n.get());
  BN_add_word(n_plus_1.get(), 1);
  for (const BIGNUM* value : {key.n.get(), n_plus_1.get()}) {
    const Bytes input = ToBytes(value, k);
    Bytes out(k, 0x5A);
    uint32_t length = kUntouched;
    EXPECT_EQ(RsaPublicBlock(out.data(), &length, input.data(), k, &pub), RSA_E_DATA);
    EXPECT_EQ(RsaPrivateBlock(out.data(), &length, input.data(), k, &priv), RSA_E_DATA);
    EXPECT_EQ(RsaPublicDecrypt(out.data(), &length, input.data(), k, &pub), RSA_E_DATA);
    EXPECT_EQ(length, kUntouched);
    EXPECT_EQ(out, Bytes(k, 0x5A));
  }
}

TEST(RsaBlocks, InPlaceShortAndOverlongInputs) {
  const Key key = TokenMakerKey();
  const RsaPublicKey pub = key.Public();
  Bn m = RandomBelow(key.n.get());
  Bytes buffer = ToBytes(m.get(), 64);
  uint32_t length = 0;
  ASSERT_EQ(RsaPublicBlock(buffer.data(), &length, buffer.data(), 64, &pub), 0u);
  EXPECT_EQ(length, 64u);
  EXPECT_EQ(buffer, ToBytes(ModExp(m.get(), key.e.get(), key.n.get()).get(), 64));

  // A one-byte input: the result still fills k bytes, zeros in front.
  const uint8_t one = 1;
  Bytes out(64, 0x77);
  ASSERT_EQ(RsaPublicBlock(out.data(), &length, &one, 1, &pub), 0u);
  Bytes expected_one(64, 0);
  expected_one[63] = 1;
  EXPECT_EQ(out, expected_one);

  // Digits above the modulus's length are not part of the number.
  Bytes overlong(68, 0xFF);
  const Bytes low = ToBytes(m.get(), 64);
  std::copy(low.begin(), low.end(), overlong.begin() + 4);
  Bytes from_long(64), from_low(64);
  ASSERT_EQ(RsaPublicBlock(from_long.data(), &length, overlong.data(), 68, &pub), 0u);
  ASSERT_EQ(RsaPublicBlock(from_low.data(), &length, low.data(), 64, &pub), 0u);
  EXPECT_EQ(from_long, from_low);
}

// ---- Padding ------------------------------------------------------------------

TEST(RsaPadding, PublicDecryptBlockShapes) {
  const Key& key = Keys().front();
  const uint32_t k = key.K();
  const RsaPublicKey pub = key.Public();
  auto shaped = [k](uint32_t fillerBytes, uint8_t separator, uint8_t first, uint8_t second) {
    Bytes block(k, 0x42);
    block[0] = first;
    block[1] = second;
    for (uint32_t i = 0; i < fillerBytes && 2 + i < k; ++i) block[2 + i] = 0xFF;
    if (2 + fillerBytes < k) block[2 + fillerBytes] = separator;
    return block;
  };
  struct Case {
    const char* name;
    Bytes block;
    uint32_t code;
    uint32_t length;  // expected output length, kUntouched when not written
  };
  const Case cases[] = {
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
    const Bytes input = Presign(key, t.block);
    Bytes out(k, 0x5A);
    uint32_t length = kUntouched;
    EXPECT_EQ(RsaPublicDecrypt(out.data(), &length, input.data(), k, &pub), t.code) << t.name;
    EXPECT_EQ(length, t.length) << t.name;
    if (t.code == 0) {
      EXPECT_EQ(Bytes(out.begin(), out.begin() + length), Bytes(t.block.end() - length, t.block.end()))
          << t.name;
    } else {
      EXPECT_EQ(out, Bytes(k, 0x5A)) << t.name;
    }
  }

  Bytes long_input(k + 1, 0);
  uint32_t length = kUntouched;
  EXPECT_EQ(RsaPublicDecrypt(long_input.data(), &length, long_input.data(), k + 1, &pub),
            RSA_E_LENGTH);
  EXPECT_EQ(length, kUntouched);
}

TEST(RsaPadding, PrivateEncryptLengthLimits) {
  const Key& key = Keys().front();
  const uint32_t k = key.K();
  const RsaPublicKey pub = key.Public();
  const RsaPrivateKey priv = key.Private();
  Bytes data(k, 0x33);
  struct Case {
    uint32_t length;
    uint32_t code;
  };
  for (const Case& t : {Case{k - 11, 0}, Case{0, 0}, Case{k - 10, RSA_E_LENGTH},
                        Case{k, RSA_E_LENGTH}, Case{0xFFFFFFFFu, RSA_E_LENGTH},
                        Case{0xFFFFFFF5u, RSA_E_LENGTH}}) {
    Bytes out(k, 0x5A);
    uint32_t length = kUntouched;
    ASSERT_EQ(RsaPrivateEncrypt(out.data(), &length, data.data(), t.length, &priv), t.code)
        << t.length;
    if (t.code != 0) {
      EXPECT_EQ(length, kUntouched);
      EXPECT_EQ(out, Bytes(k, 0x5A));
      continue;
    }
    // Open the raw block to see the padding itself.
    Bytes block(k);
    ASSERT_EQ(RsaPublicBlock(block.data(), &length, out.data(), k, &pub), 0u);
    const uint32_t filler = k - 3 - t.length;
    EXPECT_EQ(block[0], 0x00);
    EXPECT_EQ(block[1], 0x01);
    EXPECT_EQ(Bytes(block.begin() + 2, block.begin() + 2 + filler), Bytes(filler, 0xFF));
    EXPECT_EQ(block[2 + filler], 0x00);
    EXPECT_EQ(Bytes(block.begin() + 3 + filler, block.end()), Bytes(t.length, 0x33));
  }
}

// ---- Key records out of range -------------------------------------------------

TEST(RsaKeyRecords, BitLengthOutsideOneTo1024IsRefused) {
  const Key& key = Keys().front();
  for (uint32_t bits : {0u, 1025u, 2048u, 0xFFFFFFFFu}) {
    RsaPublicKey pub = key.Public();
    RsaPrivateKey priv = key.Private();
    pub.bitLength = bits;
    priv.bitLength = bits;
    Bytes input(8, 1), out(256, 0x5A);
    uint32_t length = kUntouched;
    EXPECT_EQ(RsaPublicBlock(out.data(), &length, input.data(), 8, &pub), RSA_E_LENGTH) << bits;
    EXPECT_EQ(RsaPublicDecrypt(out.data(), &length, input.data(), 8, &pub), RSA_E_LENGTH);
    EXPECT_EQ(RsaPrivateBlock(out.data(), &length, input.data(), 8, &priv), RSA_E_LENGTH);
    EXPECT_EQ(RsaPrivateEncrypt(out.data(), &length, input.data(), 8, &priv), RSA_E_LENGTH);
    EXPECT_EQ(length, kUntouched);
    EXPECT_EQ(out, Bytes(256, 0x5A));
  }
}

TEST(RsaKeyRecords, EveryBitLengthStaysWithinKBytes) {
  // The key fields are those of a real key (or all zero), but every bit
  // length from 1 to 1024 is claimed: results may be wrong, yet nothing may
  // be written beyond k bytes (the output buffers are exactly k long, so a
  // sanitizer build sees any overrun) and k follows the bit length.
  const Key& key = Keys().back();
  const RsaPrivateKey real = key.Private();
  const RsaPrivateKey zero{};
  for (const RsaPrivateKey* base : {&real, &zero}) {
    for (uint32_t bits = 1; bits <= 1024; ++bits) {
      RsaPrivateKey priv = *base;
      priv.bitLength = bits;
      RsaPublicKey pub{};
      pub.bitLength = bits;
      std::memcpy(pub.modulus, priv.modulus, sizeof pub.modulus);
      std::memcpy(pub.publicExponent, priv.publicExponent, sizeof pub.publicExponent);
      const uint32_t k = (bits + 7) / 8;
      const Bytes input(k, 0x01);
      for (int op = 0; op < 4; ++op) {
        Bytes out(k);
        uint32_t length = kUntouched;
        uint32_t code = 0;
        switch (op) {
          case 0: code = RsaPublicBlock(out.data(), &length, input.data(), k, &pub); break;
          case 1: code = RsaPublicDecrypt(out.data(), &length, input.data(), k, &pub); break;
          case 2: code = RsaPrivateBlock(out.data(), &length, input.data(), k, &priv); break;
          default:
            code = RsaPrivateEncrypt(out.data(), &length, input.data(), k > 11 ? k - 11 : 0,
                                     &priv);
        }
        ASSERT_TRUE(code == 0 || code == RSA_E_DATA || code == RSA_E_LENGTH) << bits;
        if (code == 0) {
          ASSERT_LE(length, k) << bits << " op " << op;
          if (op != 1) {
            ASSERT_EQ(length, k) << bits << " op " << op;
          }
        }
      }
    }
  }
}

}  // namespace
