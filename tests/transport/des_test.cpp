// DES against published answers and against OpenSSL; the key-chained report
// cipher against its defining rules, rebuilt from OpenSSL calls.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "transport/des.h"

#include <openssl/des.h>

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace qk {
namespace {

using Block = std::array<uint8_t, 8>;

Block FromHex(const std::string& hex) {
  Block b{};
  for (size_t i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  return b;
}

std::string ToHex(const uint8_t* p, size_t n) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 0xF];
  }
  return s;
}

Block Crypt(const Block& in, const Block& key, int direction) {
  Block out{};
  DesCryptBlock(in.data(), out.data(), key.data(), direction);
  return out;
}

Block OpenSslCrypt(const Block& in, const Block& key, int direction) {
  DES_cblock k;
  DES_cblock block;
  std::memcpy(k, key.data(), 8);
  std::memcpy(block, in.data(), 8);
  DES_key_schedule schedule;
  DES_set_key_unchecked(&k, &schedule);
  DES_ecb_encrypt(&block, &block, &schedule, direction == kDesEncrypt ? DES_ENCRYPT : DES_DECRYPT);
  Block out;
  std::memcpy(out.data(), block, 8);
  return out;
}

Block RandomBlock(std::mt19937_64& rng) {
  const uint64_t v = rng();
  Block b;
  std::memcpy(b.data(), &v, 8);
  return b;
}

// ---- Block cipher --------------------------------------------------------------

struct KnownAnswer {
  const char* key;
  const char* plain;
  const char* cipher;
};

// The classic worked example, "Now is t", and entries from the NIST
// SP 800-17 variable-plaintext, variable-key, permutation and substitution tables.
const KnownAnswer kKnownAnswers[] = {
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"0101010101010101", "2000000000000000", "2E8653104F3834EA"},
    {"0101010101010101", "1000000000000000", "4BD388FF6CD81D4F"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
    {"2001010101010101", "0000000000000000", "7AD16FFB79C45926"},
    {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
};

TEST(DesCryptBlock, PublishedAnswersBothDirections) {
  for (const KnownAnswer& v : kKnownAnswers) {
    SCOPED_TRACE(v.key);
    const Block key = FromHex(v.key);
    const Block plain = FromHex(v.plain);
    Block got = Crypt(plain, key, kDesEncrypt);
    EXPECT_EQ(ToHex(got.data(), 8), v.cipher);
    // In place, backwards.
    DesCryptBlock(got.data(), got.data(), key.data(), kDesDecrypt);
    EXPECT_EQ(ToHex(got.data(), 8), v.plain);
  }
}

TEST(DesCryptBlock, MatchesOpenSslOnRandomKeysAndBlocksWhateverTheParity) {
  std::mt19937_64 rng(0x5EED);
  for (int i = 0; i < 20000; ++i) {
    const Block key = RandomBlock(rng);
    const Block in = RandomBlock(rng);
    const int direction = (i % 2 == 0) ? kDesEncrypt : kDesDecrypt;
    const Block expected = OpenSslCrypt(in, key, direction);
    ASSERT_EQ(Crypt(in, key, direction), expected)
        << "key " << ToHex(key.data(), 8) << " in " << ToHex(in.data(), 8) << " dir " << direction;
    // The low bit of every key byte is a parity bit and takes no part.
    Block flipped = key;
    for (size_t j = 0; j < 8; ++j) flipped[j] ^= static_cast<uint8_t>((i >> j) & 1);
    ASSERT_EQ(Crypt(in, flipped, direction), expected) << "parity variant " << i;
  }
}

// Single-bit keys and blocks reach every table entry position in isolation.
TEST(DesCryptBlock, MatchesOpenSslOnSingleBitKeysAndBlocks) {
  for (int k = 0; k < 64; ++k) {
    for (int p = 0; p < 64; ++p) {
      Block key{};
      Block in{};
      key[k / 8] = static_cast<uint8_t>(0x80 >> (k % 8));
      in[p / 8] = static_cast<uint8_t>(0x80 >> (p % 8));
      ASSERT_EQ(Crypt(in, key, kDesEncrypt), OpenSslCrypt(in, key, kDesEncrypt)) << k << "," << p;
      ASSERT_EQ(Crypt(in, key, kDesDecrypt), OpenSslCrypt(in, key, kDesDecrypt)) << k << "," << p;
    }
  }
}

// Anything but +1 deciphers; no value walks the subkeys out of range.
TEST(DesCryptBlock, EveryDirectionOtherThanEncryptDeciphers) {
  const Block key = FromHex("133457799BBCDFF1");
  const Block cipher = FromHex("85E813540F0AB405");
  for (int direction : {-1, 0, 2, -2, 16, -16, INT_MAX, INT_MIN}) {
    EXPECT_EQ(ToHex(Crypt(cipher, key, direction).data(), 8), "0123456789ABCDEF") << direction;
  }
}

// Subkeys K1 and K16 of the worked example key. The packed form keeps the
// eight six-bit groups one per byte: groups 1, 3, 5, 7 in the even word,
// groups 2, 4, 6, 8 in the odd word, first group in the top byte.
TEST(DesSetKey, WorkedExampleSubkeys) {
  const Block key = FromHex("133457799BBCDFF1");
  DesWorkArea area;
  std::memset(&area, 0xAA, sizeof area);
  DesSetKey(key.data(), &area);
  // K1 = 000110 110000 001011 101111 111111 000111 000001 110010
  EXPECT_EQ(area.subkeys[0], 0x060B3F01u);
  EXPECT_EQ(area.subkeys[1], 0x302F0732u);
  // K16 = 110010 110011 110110 001011 000011 100001 011111 110101
  EXPECT_EQ(area.subkeys[30], 0x3236031Fu);
  EXPECT_EQ(area.subkeys[31], 0x330B2135u);
  // Every word is written, and the parity bits change nothing.
  Block flipped = key;
  for (auto& b : flipped) b ^= 1;
  DesWorkArea other;
  std::memset(&other, 0x55, sizeof other);
  DesSetKey(flipped.data(), &other);
  EXPECT_EQ(std::memcmp(&area, &other, sizeof area), 0);
}

// The work area lives in each call: threads running at once get the same
// answers as one thread alone.
TEST(DesCryptBlock, ConcurrentCallersDoNotInterfere) {
  constexpr int kThreads = 4;
  constexpr int kBlocks = 4000;
  std::array<bool, kThreads> ok{};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &ok] {
      std::mt19937_64 rng(static_cast<uint64_t>(1000 + t));
      bool all = true;
      for (int i = 0; i < kBlocks; ++i) {
        const Block key = RandomBlock(rng);
        const Block in = RandomBlock(rng);
        all = all && Crypt(in, key, kDesEncrypt) == OpenSslCrypt(in, key, kDesEncrypt);
      }
      ok[static_cast<size_t>(t)] = all;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_TRUE(ok[static_cast<size_t>(t)]) << "thread " << t;
}

// ---- Chained mode --------------------------------------------------------------

constexpr size_t kReport = 64;
using Report = std::array<uint8_t, kReport>;

Report RandomReport(std::mt19937_64& rng) {
  Report r;
  for (size_t i = 0; i < kReport; i += 8) {
    const Block b = RandomBlock(rng);
    std::memcpy(r.data() + i, b.data(), 8);
  }
  return r;
}

Block BlockAt(const Report& r, size_t index) {
  Block b;
  std::memcpy(b.data(), r.data() + 8 * index, 8);
  return b;
}

Block Xor(const Block& a, const Block& b) {
  Block out;
  for (size_t i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
  return out;
}

// The four chains rebuilt from OpenSSL block calls. The next key derives from
// the travelling (enciphered) block: the output for the host's encipher and
// the token's encipher, the input for the two decipher sides.
enum class Chain { kHostEncrypt, kHostDecrypt, kTokenDecrypt, kTokenEncrypt };

Report OpenSslChain(Chain chain, const Report& in, const Block& session) {
  const int direction =
      (chain == Chain::kHostEncrypt || chain == Chain::kHostDecrypt) ? kDesEncrypt : kDesDecrypt;
  const bool keyFromOutput = chain == Chain::kHostEncrypt || chain == Chain::kTokenEncrypt;
  Report out{};
  Block key = session;
  for (size_t i = 0; i < kReport / 8; ++i) {
    const Block o = OpenSslCrypt(BlockAt(in, i), key, direction);
    std::memcpy(out.data() + 8 * i, o.data(), 8);
    key = Xor(keyFromOutput ? o : BlockAt(in, i), session);
  }
  return out;
}

using ChainFn = void (*)(const uint8_t*, uint8_t*, const uint8_t*, uint32_t);
struct ChainCase {
  const char* name;
  Chain chain;
  ChainFn fn;
};
const ChainCase kChains[] = {
    {"ChainEncrypt", Chain::kHostEncrypt, ChainEncrypt},
    {"ChainDecrypt", Chain::kHostDecrypt, ChainDecrypt},
    {"TokenChainDecrypt", Chain::kTokenDecrypt, TokenChainDecrypt},
    {"TokenChainEncrypt", Chain::kTokenEncrypt, TokenChainEncrypt},
};

TEST(Chain, EachRoutineMatchesItsRuleBuiltFromOpenSsl) {
  std::mt19937_64 rng(2024);
  for (const ChainCase& c : kChains) {
    SCOPED_TRACE(c.name);
    for (int i = 0; i < 200; ++i) {
      const Block session = RandomBlock(rng);
      const Report in = RandomReport(rng);
      Report out{};
      c.fn(in.data(), out.data(), session.data(), kReport);
      ASSERT_EQ(out, OpenSslChain(c.chain, in, session));
    }
  }
}

TEST(Chain, EachRoutineWorksInPlace) {
  std::mt19937_64 rng(7);
  for (const ChainCase& c : kChains) {
    SCOPED_TRACE(c.name);
    const Block session = RandomBlock(rng);
    const Report in = RandomReport(rng);
    Report separate{};
    c.fn(in.data(), separate.data(), session.data(), kReport);
    Report inPlace = in;
    c.fn(inPlace.data(), inPlace.data(), session.data(), kReport);
    EXPECT_EQ(inPlace, separate);
  }
}

TEST(Chain, TokenSideUndoesHostSide) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 500; ++i) {
    const Block session = RandomBlock(rng);
    const Report plain = RandomReport(rng);
    Report wire{};
    Report back{};
    // Command: host enciphers, token reads.
    ChainEncrypt(plain.data(), wire.data(), session.data(), kReport);
    TokenChainDecrypt(wire.data(), back.data(), session.data(), kReport);
    ASSERT_EQ(back, plain);
    ChainDecrypt(wire.data(), back.data(), session.data(), kReport);
    ASSERT_NE(back, plain) << "the host's decipher is not the inverse of its encipher";
    // Response: token enciphers, host reads.
    TokenChainEncrypt(plain.data(), wire.data(), session.data(), kReport);
    ChainDecrypt(wire.data(), back.data(), session.data(), kReport);
    ASSERT_EQ(back, plain);
  }
}

// Count is rounded up to whole blocks; bytes past the last block stay as they were.
TEST(Chain, CountIsRoundedUpToWholeBlocks) {
  struct Case {
    uint32_t count;
    size_t bytesWritten;
  };
  const Case kCases[] = {{0, 0}, {1, 8}, {7, 8}, {8, 8}, {9, 16}, {16, 16}, {57, 64}, {64, 64}};
  std::mt19937_64 rng(5);
  const Block session = RandomBlock(rng);
  const Report in = RandomReport(rng);
  for (const ChainCase& c : kChains) {
    Report full{};
    c.fn(in.data(), full.data(), session.data(), kReport);
    for (const Case& k : kCases) {
      SCOPED_TRACE(std::string(c.name) + " count " + std::to_string(k.count));
      Report input = in;
      Report out;
      out.fill(0xA5);
      c.fn(input.data(), out.data(), session.data(), k.count);
      EXPECT_EQ(input, in);
      for (size_t i = 0; i < kReport; ++i) {
        ASSERT_EQ(out[i], i < k.bytesWritten ? full[i] : 0xA5) << "byte " << i;
      }
    }
  }
}

TEST(Chain, ZeroCountNeverTouchesTheBuffers) {
  const Block session = FromHex("0123456789ABCDEF");
  for (const ChainCase& c : kChains) c.fn(nullptr, nullptr, session.data(), 0);
}

TEST(Chain, FirstBlockIsPlainDesUnderTheSessionKey) {
  std::mt19937_64 rng(6);
  const Block session = RandomBlock(rng);
  const Report in = RandomReport(rng);
  Report out{};
  ChainEncrypt(in.data(), out.data(), session.data(), kReport);
  EXPECT_EQ(BlockAt(out, 0), OpenSslCrypt(BlockAt(in, 0), session, kDesEncrypt));
  ChainDecrypt(in.data(), out.data(), session.data(), kReport);
  EXPECT_EQ(BlockAt(out, 0), OpenSslCrypt(BlockAt(in, 0), session, kDesEncrypt));
}

// No initial value and no state between reports.
TEST(Chain, SamePlainReportGivesSameCipherReport) {
  std::mt19937_64 rng(8);
  const Block session = RandomBlock(rng);
  const Report plain = RandomReport(rng);
  Report first{};
  Report second{};
  ChainEncrypt(plain.data(), first.data(), session.data(), kReport);
  Report other = RandomReport(rng);
  ChainEncrypt(other.data(), other.data(), session.data(), kReport);
  ChainEncrypt(plain.data(), second.data(), session.data(), kReport);
  EXPECT_EQ(first, second);
}

TEST(Chain, ChangingPlainBlockChangesThatBlockAndAllAfter) {
  std::mt19937_64 rng(9);
  const Block session = RandomBlock(rng);
  const Report plain = RandomReport(rng);
  Report base{};
  ChainEncrypt(plain.data(), base.data(), session.data(), kReport);
  for (size_t j = 0; j < 8; ++j) {
    Report changed = plain;
    changed[8 * j + 3] ^= 0x10;
    Report out{};
    ChainEncrypt(changed.data(), out.data(), session.data(), kReport);
    for (size_t i = 0; i < 8; ++i) {
      if (i < j) {
        EXPECT_EQ(BlockAt(out, i), BlockAt(base, i)) << "changed " << j << " block " << i;
      } else {
        EXPECT_NE(BlockAt(out, i), BlockAt(base, i)) << "changed " << j << " block " << i;
      }
    }
  }
}

// A corrupted received block j garbles blocks j and j + 1 only; when only the
// low bits (the derived key's parity bits) change, block j + 1 survives too.
TEST(Chain, CorruptionInTransitStaysLocal) {
  struct Corruption {
    const char* name;
    uint8_t mask;
    bool nextBlockSurvives;
  };
  const Corruption kCorruptions[] = {{"high bit", 0x80, false},
                                     {"middle bits", 0x3C, false},
                                     {"parity bits only", 0x01, true}};
  std::mt19937_64 rng(10);
  const Block session = RandomBlock(rng);
  const Report plain = RandomReport(rng);
  Report wire{};
  TokenChainEncrypt(plain.data(), wire.data(), session.data(), kReport);
  for (const Corruption& c : kCorruptions) {
    for (size_t j = 0; j < 8; ++j) {
      SCOPED_TRACE(std::string(c.name) + " in block " + std::to_string(j));
      Report damaged = wire;
      for (size_t b = 0; b < 8; ++b) damaged[8 * j + b] ^= c.mask;
      Report out{};
      ChainDecrypt(damaged.data(), out.data(), session.data(), kReport);
      for (size_t i = 0; i < 8; ++i) {
        const bool garbled = i == j || (i == j + 1 && !c.nextBlockSurvives);
        if (garbled) {
          EXPECT_NE(BlockAt(out, i), BlockAt(plain, i)) << "block " << i;
        } else {
          EXPECT_EQ(BlockAt(out, i), BlockAt(plain, i)) << "block " << i;
        }
      }
    }
  }
}

}  // namespace
}  // namespace qk
