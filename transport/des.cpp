// DES (FIPS 46-3) on packed words, and the key-chained report cipher.
//
// The chained mode re-keys for every block, so DesCryptBlock runs the key
// schedule each time. Both halves are table driven: PC-1 is eight lookups,
// each round's subkey eight lookups of PC-2 slices, each round's f function
// eight lookups of combined S-box/P tables; IP and FP are eight lookups each.
// DesCryptBlock computes each subkey just before its round instead of storing
// the schedule first; DesSetKey fills a DesWorkArea with the same subkeys for
// callers that want them stored.

#include "transport/des.h"

#include <cstddef>

#include "transport/des_tables.h"

namespace qk {
namespace {

namespace t = des_tables;

// ---- Word helpers ------------------------------------------------------------

inline void StoreBigEndian64(uint64_t v, uint8_t* p) {
  for (int i = 7; i >= 0; --i) {
    p[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
}

inline uint32_t Rotate28(uint32_t v, int n) { return ((v << n) | (v >> (28 - n))) & 0x0FFFFFFFu; }

// ---- Permutations ------------------------------------------------------------

inline uint64_t InitialPermutation(const uint8_t* block) {
  uint64_t out = 0;
  for (int j = 0; j < 8; ++j) out |= t::kIpSpread.entry[block[j]] << j;
  return out;
}

inline uint64_t FinalPermutation(uint64_t preOutput) {
  uint64_t out = 0;
  for (int j = 0; j < 8; ++j) {
    const uint8_t byte = static_cast<uint8_t>(preOutput >> (56 - 8 * j));
    out |= t::kFpSpread.entry[byte] >> t::kFinalColumn[j];
  }
  return out;
}

struct KeyRegisters {
  uint32_t c;
  uint32_t d;
};

inline KeyRegisters PermutedChoice1(const uint8_t* key) {
  uint64_t word = 0;
  for (int j = 0; j < 8; ++j) word |= t::kPc1Spread.entry[key[j] >> 1] << j;
  const uint32_t c = static_cast<uint32_t>(word >> 36) & 0x0FFFFFFFu;
  const uint32_t d = ((static_cast<uint32_t>(word >> 8) & 0x00FFFFFFu) << 4) |
                     (static_cast<uint32_t>(word >> 32) & 0xFu);
  return {c, d};
}

// Writes the round subkey for the current C and D as its two packed words.
inline void PermutedChoice2(uint32_t c, uint32_t d, uint32_t* even, uint32_t* odd) {
  const uint32_t fromC = t::kPc2.fromC[0][c >> 21] | t::kPc2.fromC[1][(c >> 14) & 0x7F] |
                         t::kPc2.fromC[2][(c >> 7) & 0x7F] | t::kPc2.fromC[3][c & 0x7F];
  const uint32_t fromD = t::kPc2.fromD[0][d >> 21] | t::kPc2.fromD[1][(d >> 14) & 0x7F] |
                         t::kPc2.fromD[2][(d >> 7) & 0x7F] | t::kPc2.fromD[3][d & 0x7F];
  *even = (fromC & 0xFFFF0000u) | (fromD >> 16);
  *odd = (fromC << 16) | (fromD & 0xFFFFu);
}

// The cipher function f(R, K) = P(S(E(R) xor K)).
inline uint32_t RoundFunction(uint32_t r, uint32_t keyEven, uint32_t keyOdd) {
  const uint32_t even = (t::ExpandEvenGroups(r) ^ keyEven) & 0x3F3F3F3Fu;
  const uint32_t odd = (t::ExpandOddGroups(r) ^ keyOdd) & 0x3F3F3F3Fu;
  return t::kSp.entry[0][even >> 24] ^ t::kSp.entry[2][(even >> 16) & 0xFF] ^
         t::kSp.entry[4][(even >> 8) & 0xFF] ^ t::kSp.entry[6][even & 0xFF] ^
         t::kSp.entry[1][odd >> 24] ^ t::kSp.entry[3][(odd >> 16) & 0xFF] ^
         t::kSp.entry[5][(odd >> 8) & 0xFF] ^ t::kSp.entry[7][odd & 0xFF];
}

inline uint32_t Rotate28Right(uint32_t v, int n) {
  return ((v >> n) | (v << (28 - n))) & 0x0FFFFFFFu;
}

// One round with the subkey taken straight from the current C and D.
inline void KeyedRound(uint32_t c, uint32_t d, uint32_t right, uint32_t* left) {
  uint32_t even = 0;
  uint32_t odd = 0;
  PermutedChoice2(c, d, &even, &odd);
  *left ^= RoundFunction(right, even, odd);
}

// The pre-output is R16 || L16: after the even number of rounds `left` holds
// L16 and `right` R16, so the halves go out exchanged.
inline void StoreOutput(uint32_t left, uint32_t right, uint8_t* output) {
  StoreBigEndian64(FinalPermutation((static_cast<uint64_t>(right) << 32) | left), output);
}

// Enciphering walks the key schedule forwards while the rounds run, so the
// subkeys are never stored.
void EncipherWithKey(const uint8_t* input, uint8_t* output, const uint8_t* key) {
  KeyRegisters cd = PermutedChoice1(key);
  const uint64_t permuted = InitialPermutation(input);
  uint32_t left = static_cast<uint32_t>(permuted >> 32);
  uint32_t right = static_cast<uint32_t>(permuted);
  for (int round = 0; round < 16; round += 2) {
    cd.c = Rotate28(cd.c, t::kKeyShifts[round]);
    cd.d = Rotate28(cd.d, t::kKeyShifts[round]);
    KeyedRound(cd.c, cd.d, right, &left);
    cd.c = Rotate28(cd.c, t::kKeyShifts[round + 1]);
    cd.d = Rotate28(cd.d, t::kKeyShifts[round + 1]);
    KeyedRound(cd.c, cd.d, left, &right);
  }
  StoreOutput(left, right, output);
}

// The shifts add up to one full turn of C and D, so after PC-1 the registers
// already hold their round-16 value; deciphering walks the schedule backwards
// by rotating right.
void DecipherWithKey(const uint8_t* input, uint8_t* output, const uint8_t* key) {
  KeyRegisters cd = PermutedChoice1(key);
  const uint64_t permuted = InitialPermutation(input);
  uint32_t left = static_cast<uint32_t>(permuted >> 32);
  uint32_t right = static_cast<uint32_t>(permuted);
  for (int round = 15; round > 0; round -= 2) {
    KeyedRound(cd.c, cd.d, right, &left);
    cd.c = Rotate28Right(cd.c, t::kKeyShifts[round]);
    cd.d = Rotate28Right(cd.d, t::kKeyShifts[round]);
    KeyedRound(cd.c, cd.d, left, &right);
    cd.c = Rotate28Right(cd.c, t::kKeyShifts[round - 1]);
    cd.d = Rotate28Right(cd.d, t::kKeyShifts[round - 1]);
  }
  StoreOutput(left, right, output);
}

// ---- Compile-time proof of the fast permutations -----------------------------
//
// Each fast map is linear, so it equals the standard's table exactly when it
// agrees with t::Permute on every single-bit input.

constexpr bool InitialPermutationMatchesStandard() {
  for (int n = 0; n < 64; ++n) {
    const uint64_t unit = uint64_t{1} << n;
    uint64_t fast = 0;
    for (int j = 0; j < 8; ++j) {
      fast |= t::kIpSpread.entry[(unit >> (56 - 8 * j)) & 0xFF] << j;
    }
    if (fast != t::Permute(unit, 64, t::kInitialPermutation, 64)) return false;
  }
  return true;
}

constexpr bool FinalPermutationMatchesStandard() {
  for (int n = 0; n < 64; ++n) {
    const uint64_t unit = uint64_t{1} << n;
    uint64_t fast = 0;
    for (int j = 0; j < 8; ++j) {
      fast |= t::kFpSpread.entry[(unit >> (56 - 8 * j)) & 0xFF] >> t::kFinalColumn[j];
    }
    if (fast != t::Permute(unit, 64, t::kFinalPermutation, 64)) return false;
  }
  return true;
}

constexpr bool FinalUndoesInitial() {
  for (int n = 0; n < 64; ++n) {
    const uint64_t unit = uint64_t{1} << n;
    const uint64_t ip = t::Permute(unit, 64, t::kInitialPermutation, 64);
    if (t::Permute(ip, 64, t::kFinalPermutation, 64) != unit) return false;
  }
  return true;
}

constexpr bool PermutedChoice1MatchesStandard() {
  for (int n = 0; n < 64; ++n) {
    const uint64_t unit = uint64_t{1} << n;
    uint64_t word = 0;
    for (int j = 0; j < 8; ++j) {
      word |= t::kPc1Spread.entry[((unit >> (56 - 8 * j)) & 0xFF) >> 1] << j;
    }
    const uint64_t c = (word >> 36) & 0x0FFFFFFFu;
    const uint64_t d = (((word >> 8) & 0x00FFFFFFu) << 4) | ((word >> 32) & 0xFu);
    if (((c << 28) | d) != t::Permute(unit, 64, t::kPermutedChoice1, 56)) return false;
  }
  return true;
}

constexpr bool PermutedChoice2MatchesStandard() {
  for (int n = 0; n < 56; ++n) {
    const uint64_t unit = uint64_t{1} << n;
    const uint32_t c = static_cast<uint32_t>(unit >> 28);
    const uint32_t d = static_cast<uint32_t>(unit & 0x0FFFFFFFu);
    const uint32_t fromC = t::kPc2.fromC[0][c >> 21] | t::kPc2.fromC[1][(c >> 14) & 0x7F] |
                           t::kPc2.fromC[2][(c >> 7) & 0x7F] | t::kPc2.fromC[3][c & 0x7F];
    const uint32_t fromD = t::kPc2.fromD[0][d >> 21] | t::kPc2.fromD[1][(d >> 14) & 0x7F] |
                           t::kPc2.fromD[2][(d >> 7) & 0x7F] | t::kPc2.fromD[3][d & 0x7F];
    uint32_t even = 0;
    uint32_t odd = 0;
    t::PackSubkey(t::Permute(unit, 56, t::kPermutedChoice2, 48), &even, &odd);
    if (((fromC & 0xFFFF0000u) | (fromD >> 16)) != even) return false;
    if (((fromC << 16) | (fromD & 0xFFFFu)) != odd) return false;
  }
  return true;
}

// E(R) formed by the two rotations equals the standard's E in the packed
// subkey layout (the bits above each six-bit group are masked off).
constexpr bool ExpansionMatchesStandard() {
  for (int n = 0; n < 32; ++n) {
    const uint32_t unit = uint32_t{1} << n;
    uint32_t even = 0;
    uint32_t odd = 0;
    t::PackSubkey(t::Permute(unit, 32, t::kExpansion, 48), &even, &odd);
    if ((t::ExpandEvenGroups(unit) & 0x3F3F3F3Fu) != even) return false;
    if ((t::ExpandOddGroups(unit) & 0x3F3F3F3Fu) != odd) return false;
  }
  return true;
}

constexpr bool ShiftsTotalOneTurn() {
  int total = 0;
  for (uint8_t s : t::kKeyShifts) total += s;
  return total == 28;
}

static_assert(InitialPermutationMatchesStandard(), "IP table does not match the standard");
static_assert(FinalPermutationMatchesStandard(), "FP table does not match the standard");
static_assert(FinalUndoesInitial(), "FP is not the inverse of IP");
static_assert(PermutedChoice1MatchesStandard(), "PC-1 table does not match the standard");
static_assert(PermutedChoice2MatchesStandard(), "PC-2 tables do not match the standard");
static_assert(ExpansionMatchesStandard(), "E layout does not match the standard");
static_assert(ShiftsTotalOneTurn(), "key shifts must add up to one full turn of C and D");

// ---- Chained mode helpers ------------------------------------------------------

constexpr size_t kBlockSize = 8;

// ceil(count / 8) without the overflow of (count + 7) / 8 near 2^32.
inline uint32_t BlockCount(uint32_t count) { return count / 8u + (count % 8u != 0u ? 1u : 0u); }

inline void XorBlock(const uint8_t* a, const uint8_t* b, uint8_t* out) {
  for (size_t i = 0; i < kBlockSize; ++i) out[i] = static_cast<uint8_t>(a[i] ^ b[i]);
}

inline void CopyBlock(const uint8_t* from, uint8_t* to) {
  for (size_t i = 0; i < kBlockSize; ++i) to[i] = from[i];
}

}  // namespace

void DesSetKey(const uint8_t* key, DesWorkArea* area) {
  KeyRegisters cd = PermutedChoice1(key);
  for (int round = 0; round < 16; ++round) {
    cd.c = Rotate28(cd.c, t::kKeyShifts[round]);
    cd.d = Rotate28(cd.d, t::kKeyShifts[round]);
    PermutedChoice2(cd.c, cd.d, &area->subkeys[2 * round], &area->subkeys[2 * round + 1]);
  }
}

// Any direction other than kDesEncrypt deciphers: the two directions are the
// only meaningful ones, and reading every other value as "decipher" keeps the
// subkey walk inside its sixteen rounds whatever the caller passes.
void DesCryptBlock(const uint8_t* input, uint8_t* output, const uint8_t* key, int direction) {
  if (direction == kDesEncrypt) {
    EncipherWithKey(input, output, key);
  } else {
    DecipherWithKey(input, output, key);
  }
}

namespace {

// Where the next block key comes from: the block as it travels between host
// and token, which is the output when enciphering for the wire and the input
// when reading from it.
enum class ChainFrom { kOutput, kInput };

// The key-chained mode: block i under key K_i, K_0 = sessionKey and
// K_{i+1} = (travelling block i) XOR sessionKey. The next key is taken before
// the output is written, so every variant also works in place.
void RunChain(const uint8_t* input, uint8_t* output, const uint8_t* sessionKey, uint32_t count,
              int direction, ChainFrom from) {
  uint8_t blockKey[kBlockSize];
  uint8_t nextKey[kBlockSize];
  CopyBlock(sessionKey, blockKey);
  const uint32_t blocks = BlockCount(count);
  for (uint32_t i = 0; i < blocks; ++i) {
    const size_t at = static_cast<size_t>(i) * kBlockSize;
    if (from == ChainFrom::kInput) XorBlock(input + at, sessionKey, nextKey);
    DesCryptBlock(input + at, output + at, blockKey, direction);
    if (from == ChainFrom::kOutput) XorBlock(output + at, sessionKey, nextKey);
    CopyBlock(nextKey, blockKey);
  }
}

}  // namespace

void ChainEncrypt(const uint8_t* input, uint8_t* output, const uint8_t* sessionKey,
                  uint32_t count) {
  RunChain(input, output, sessionKey, count, kDesEncrypt, ChainFrom::kOutput);
}

void ChainDecrypt(const uint8_t* input, uint8_t* output, const uint8_t* sessionKey,
                  uint32_t count) {
  RunChain(input, output, sessionKey, count, kDesEncrypt, ChainFrom::kInput);
}

void TokenChainDecrypt(const uint8_t* input, uint8_t* output, const uint8_t* sessionKey,
                       uint32_t count) {
  RunChain(input, output, sessionKey, count, kDesDecrypt, ChainFrom::kInput);
}

void TokenChainEncrypt(const uint8_t* input, uint8_t* output, const uint8_t* sessionKey,
                       uint32_t count) {
  RunChain(input, output, sessionKey, count, kDesDecrypt, ChainFrom::kOutput);
}

}  // namespace qk
