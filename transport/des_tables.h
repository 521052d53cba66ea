// DES constant tables (FIPS 46-3) and the fast lookup tables derived from them
// at compile time.
//
// The standard's tables are kept exactly as printed (1-based bit numbers, bit 1
// being the most significant bit of the first byte). Everything the cipher
// actually uses is computed from them by the constexpr generators below, and
// des.cpp proves at compile time that each fast permutation agrees with the
// plain bit-by-bit reading of the standard table on every single-bit input.
// All of these maps are linear over GF(2), so agreement on single bits is
// agreement everywhere.
#pragma once

// The tables keep the layout of the printed standard.
// clang-format off

#include <array>
#include <cstdint>

namespace qk {
namespace des_tables {

// ---- The standard's tables -------------------------------------------------

constexpr uint8_t kInitialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t kFinalPermutation[64] = {
    40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
    38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
    36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
    34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};

constexpr uint8_t kExpansion[48] = {
    32, 1,  2,  3,  4,  5,  4,  5,  6,  7,  8,  9,  8,  9,  10, 11,
    12, 13, 12, 13, 14, 15, 16, 17, 16, 17, 18, 19, 20, 21, 20, 21,
    22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1};

constexpr uint8_t kPermutationP[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kPermutedChoice1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kPermutedChoice2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
    23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
    44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kKeyShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// S-boxes as printed: [box][row][column].
constexpr uint8_t kSBoxes[8][4][16] = {
    {{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
     {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
     {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
     {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
    {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
     {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
     {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
     {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
    {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
     {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
     {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
     {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
    {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
     {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
     {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
     {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
    {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
     {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
     {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
     {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
    {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
     {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
     {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
     {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
    {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
     {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
     {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
     {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
    {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
     {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
     {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
     {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};

// ---- Reference permutation -------------------------------------------------

// Reads the standard's table literally: output bit i (1-based, most significant
// first, `outBits` wide) is input bit table[i-1] (1-based, `inBits` wide).
// Slow; used only to build and to check the fast tables at compile time.
constexpr uint64_t Permute(uint64_t input, int inBits, const uint8_t* table, int outBits) {
  uint64_t out = 0;
  for (int i = 0; i < outBits; ++i) {
    const uint64_t bit = (input >> (inBits - table[i])) & 1u;
    out |= bit << (outBits - 1 - i);
  }
  return out;
}

// ---- Packed layouts --------------------------------------------------------
//
// Blocks: a uint64_t loaded big-endian, so standard bit n is word bit 64 - n.
// Halves L and R: uint32_t, standard bit n of the half is word bit 32 - n.
// C and D: 28-bit values in uint32_t, register bit 1 at word bit 27.
// Round subkey: two words. The 48 subkey bits fall into eight 6-bit groups, one
// per S-box; group g is held in the low six bits of one byte, first bit most
// significant. The even word holds groups 1, 3, 5, 7 (bytes 3, 2, 1, 0), the
// odd word groups 2, 4, 6, 8. The block function forms E(R) in the same layout
// with two rotations of R (see ExpandEvenGroups / ExpandOddGroups).

constexpr uint32_t RotateLeft32(uint32_t v, int n) {
  return (v << n) | (v >> ((32 - n) & 31));
}
constexpr uint32_t RotateRight32(uint32_t v, int n) {
  return (v >> n) | (v << ((32 - n) & 31));
}

// E(R) groups 1, 3, 5, 7: group 1 is R bits 32, 1..5, which a right rotation
// by three brings to word bits 29..24; the other groups follow 8 bits apart.
constexpr uint32_t ExpandEvenGroups(uint32_t r) { return RotateRight32(r, 3); }
// E(R) groups 2, 4, 6, 8: group 2 is R bits 4..9, brought to bits 29..24 by a
// left rotation by one; group 8 (bits 28..32, 1) wraps into byte 0.
constexpr uint32_t ExpandOddGroups(uint32_t r) { return RotateLeft32(r, 1); }

// Packs a 48-bit subkey (standard bit n at word bit 48 - n) into the two words.
constexpr void PackSubkey(uint64_t k48, uint32_t* even, uint32_t* odd) {
  uint32_t e = 0;
  uint32_t o = 0;
  for (int g = 0; g < 8; ++g) {
    const uint32_t group = static_cast<uint32_t>((k48 >> (42 - 6 * g)) & 0x3F);
    const int byteShift = 24 - 8 * (g / 2);
    if (g % 2 == 0) {
      e |= group << byteShift;
    } else {
      o |= group << byteShift;
    }
  }
  *even = e;
  *odd = o;
}

// ---- Fast tables -----------------------------------------------------------

// Combined S-box and P: entry [g][x] is P applied to the 4-bit output of S-box
// g+1 for the 6-bit group x (x's most significant bit is the group's first),
// placed at the box's position in the 32-bit S output.
struct SpTable {
  uint32_t entry[8][64];
};
constexpr SpTable MakeSpTable() {
  SpTable t{};
  for (int g = 0; g < 8; ++g) {
    for (int x = 0; x < 64; ++x) {
      const int row = ((x >> 4) & 2) | (x & 1);
      const int column = (x >> 1) & 0xF;
      const uint64_t s = static_cast<uint64_t>(kSBoxes[g][row][column]) << (28 - 4 * g);
      t.entry[g][x] = static_cast<uint32_t>(Permute(s, 32, kPermutationP, 32));
    }
  }
  return t;
}

// Initial permutation. IP sends every bit of input byte j to output column
// 7 - j, in a row that depends only on the bit's place in its byte; so one
// table for byte 0, shifted left by j, serves every byte.
struct ByteSpreadTable {
  uint64_t entry[256];
};
constexpr ByteSpreadTable MakeInitialPermutationTable() {
  ByteSpreadTable t{};
  for (int v = 0; v < 256; ++v) {
    t.entry[v] = Permute(static_cast<uint64_t>(v) << 56, 64, kInitialPermutation, 64);
  }
  return t;
}

// Final permutation. FP sends every bit of input byte j to output column
// kFinalColumn[j], in row 7 - (bit place); one table for column 0 (input byte
// 4), shifted right by the column, serves every byte.
constexpr int kFinalColumn[8] = {1, 3, 5, 7, 0, 2, 4, 6};
constexpr ByteSpreadTable MakeFinalPermutationTable() {
  ByteSpreadTable t{};
  for (int v = 0; v < 256; ++v) {
    t.entry[v] = Permute(static_cast<uint64_t>(v) << 24, 64, kFinalPermutation, 64);
  }
  return t;
}

// PC-1. Bit b (0 = most significant) of key byte j lands at position
// 8b + 7 - j of the 64-bit word below for b = 0..3, and at 32 + 8(6 - b) + 7 - j
// for b = 4..6, the word being laid out (most significant first) as
//   C1..C28, D25..D28, D1..D24, 8 unused bits.
// So one table for byte 0, indexed by the byte's seven key bits and shifted
// left by j (towards the front), serves every byte; C and D are then cut out
// of the word.
struct KeySpreadTable {
  uint64_t entry[128];
};
constexpr int PermutedChoice1WordPosition(int cdIndex) {  // cdIndex 0..55
  if (cdIndex < 28) return cdIndex;                        // C
  const int d = cdIndex - 28;
  return d < 24 ? 32 + d : 28 + (d - 24);                  // D1..D24, D25..D28
}
constexpr KeySpreadTable MakePermutedChoice1Table() {
  KeySpreadTable t{};
  for (int v = 0; v < 128; ++v) {
    const uint64_t keyByte0 = static_cast<uint64_t>(v) << 57;  // parity bit clear
    const uint64_t cd = Permute(keyByte0, 64, kPermutedChoice1, 56);
    uint64_t word = 0;
    for (int i = 0; i < 56; ++i) {
      if ((cd >> (55 - i)) & 1u) word |= uint64_t{1} << (63 - PermutedChoice1WordPosition(i));
    }
    t.entry[v] = word;
  }
  return t;
}

// PC-2 on seven-bit slices of C and D. C feeds subkey groups 1-4 only and D
// groups 5-8 only, so a C entry holds the even word's top 16 bits above the
// odd word's top 16 bits, and a D entry the two words' low 16 bits likewise.
struct SubkeyTable {
  uint32_t fromC[4][128];
  uint32_t fromD[4][128];
};
constexpr SubkeyTable MakeSubkeyTable() {
  SubkeyTable t{};
  for (int slice = 0; slice < 4; ++slice) {
    for (int v = 0; v < 128; ++v) {
      const uint64_t part = static_cast<uint64_t>(v) << (21 - 7 * slice);
      uint32_t even = 0;
      uint32_t odd = 0;
      PackSubkey(Permute(part << 28, 56, kPermutedChoice2, 48), &even, &odd);
      t.fromC[slice][v] = (even & 0xFFFF0000u) | (odd >> 16);
      PackSubkey(Permute(part, 56, kPermutedChoice2, 48), &even, &odd);
      t.fromD[slice][v] = (even << 16) | (odd & 0xFFFFu);
    }
  }
  return t;
}

inline constexpr SpTable kSp = MakeSpTable();
inline constexpr ByteSpreadTable kIpSpread = MakeInitialPermutationTable();
inline constexpr ByteSpreadTable kFpSpread = MakeFinalPermutationTable();
inline constexpr KeySpreadTable kPc1Spread = MakePermutedChoice1Table();
inline constexpr SubkeyTable kPc2 = MakeSubkeyTable();

}  // namespace des_tables
}  // namespace qk
