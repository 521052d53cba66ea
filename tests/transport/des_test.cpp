// DES against published answers and OpenSSL; the key-chained report cipher
// against its rules rebuilt from OpenSSL block calls.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "transport/des.h"

#include <gtest/gtest.h>
#include <openssl/des.h>

#include <array>
#include <climits>
#include <cstring>
#include <random>

namespace qk {
namespace {

using Block = std::array<uint8_t, 8>;
using Report = std::array<uint8_t, 64>;

Block FromWord(uint64_t v) {
  Block b;
  for (size_t i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
  return b;
}

Block Crypt(Block in, Block key, int direction, bool openSsl = false) {
  Block out;
  if (!openSsl) {
    DesCryptBlock(in.data(), out.data(), key.data(), direction);
    return out;
  }
  DES_key_schedule schedule;
  DES_set_key_unchecked(reinterpret_cast<DES_cblock*>(key.data()), &schedule);
  auto* block = reinterpret_cast<DES_cblock*>(in.data());
  DES_ecb_encrypt(block, block, &schedule, direction == kDesEncrypt ? DES_ENCRYPT : DES_DECRYPT);
  return in;
}

template <typename T>
T Random(std::mt19937_64& rng) {
  T r;
  for (auto& b : r) b = static_cast<uint8_t>(rng());
  return r;
}

Block BlockAt(const Report& r, size_t i) {
  Block b;
  std::memcpy(b.data(), &r[8 * i], 8);
  return b;
}

TEST(Des, PublishedAnswersBothDirections) {
  const uint64_t kAnswers[][3] = {// key, plain, cipher
                                  {0x133457799BBCDFF1, 0x0123456789ABCDEF, 0x85E813540F0AB405},
                                  {0x0101010101010101, 0x8000000000000000, 0x95F8A5E5DD31D900},
                                  {0x7CA110454A1A6E57, 0x01A1D6D039776742, 0x690F5B0D9A26939B}};
  for (const auto& v : kAnswers) {
    const Block key = FromWord(v[0]), plain = FromWord(v[1]), cipher = FromWord(v[2]);
    EXPECT_EQ(Crypt(plain, key, kDesEncrypt), cipher) << v[0];
    Block inPlace = cipher;
    DesCryptBlock(inPlace.data(), inPlace.data(), key.data(), kDesDecrypt);
    EXPECT_EQ(inPlace, plain) << v[0];
    // Anything but +1 deciphers; no value walks the subkeys out of range.
    for (int direction : {0, 2, INT_MAX, INT_MIN})
      EXPECT_EQ(Crypt(cipher, key, direction), plain) << direction;
  }
}

// Parity bits flipped at random change nothing.
TEST(Des, MatchesOpenSslOnRandomKeysAndBlocks) {
  std::mt19937_64 rng(0x5EED);
  for (int i = 0; i < 20000; ++i) {
    const Block key = Random<Block>(rng), in = Random<Block>(rng);
    const int direction = (i % 2 == 0) ? kDesEncrypt : kDesDecrypt;
    Block flipped = key;
    for (size_t j = 0; j < 8; ++j) flipped[j] ^= static_cast<uint8_t>((i >> j) & 1);
    const Block expected = Crypt(in, key, direction, true);
    ASSERT_EQ(Crypt(in, key, direction), expected) << i;
    ASSERT_EQ(Crypt(in, flipped, direction), expected) << i;
  }
}

// Next key = travelling block (output when enciphering, input when
// deciphering) XOR session key; in place or not, undone by the partner;
// the count rounds up to whole blocks and bytes past them stay.
TEST(Chain, EachRoutineMatchesItsRuleAndItsPartnerUndoesIt) {
  using Fn = void (*)(const uint8_t*, uint8_t*, const uint8_t*, uint32_t);
  const struct {
    const char* name;
    Fn fn, partner;
    int direction;
    bool keyFromOut;
  } chains[] = {{"ChainEncrypt", ChainEncrypt, TokenChainDecrypt, kDesEncrypt, true},
                {"ChainDecrypt", ChainDecrypt, TokenChainEncrypt, kDesEncrypt, false},
                {"TokenChainDecrypt", TokenChainDecrypt, ChainEncrypt, kDesDecrypt, false},
                {"TokenChainEncrypt", TokenChainEncrypt, ChainDecrypt, kDesDecrypt, true}};
  std::mt19937_64 rng(2024);
  for (const auto& c : chains) {
    for (int i = 0; i < 200; ++i) {
      const Block session = Random<Block>(rng);
      const Report in = Random<Report>(rng);
      Report out = in, expected{}, back{};
      c.fn(i % 2 ? in.data() : out.data(), out.data(), session.data(), 64);
      Block key = session;
      for (size_t b = 0; b < 8; ++b) {
        const Block o = Crypt(BlockAt(in, b), key, c.direction, true);
        std::memcpy(&expected[8 * b], o.data(), 8);
        const Block travelling = c.keyFromOut ? o : BlockAt(in, b);
        for (size_t j = 0; j < 8; ++j) key[j] = static_cast<uint8_t>(travelling[j] ^ session[j]);
      }
      ASSERT_EQ(out, expected) << c.name << (i % 2 ? "" : " in place");
      c.partner(out.data(), back.data(), session.data(), 64);
      ASSERT_EQ(back, in) << c.name;
      const uint32_t count = static_cast<uint32_t>(1 + i % 63);
      out.fill(0xA5);
      c.fn(in.data(), out.data(), session.data(), count);
      for (size_t j = 0; j < 64; ++j) {
        ASSERT_EQ(out[j], j < (count + 7) / 8 * 8 ? expected[j] : 0xA5) << c.name << " " << count;
      }
    }
  }
}

}  // namespace
}  // namespace qk
