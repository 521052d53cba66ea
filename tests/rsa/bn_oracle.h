// OpenSSL big numbers as the reference for the digit-array arithmetic, and a
// generator of operands that lean towards the digit values where carries,
// borrows and quotient corrections happen.
#ifndef QK_TESTS_RSA_BN_ORACLE_H
#define QK_TESTS_RSA_BN_ORACLE_H

#include <openssl/bn.h>
#include <stdint.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "qkrsa.h"

namespace qktest {

using Digits = std::vector<MpDigit>;

struct BnDeleter {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnDeleter>;

inline Bn NewBn() { return Bn(BN_new()); }

inline BN_CTX* Ctx() {
  static BN_CTX* ctx = BN_CTX_new();
  return ctx;
}

// Digits (least significant first) to a big number, without the code under test.
inline Bn ToBn(const MpDigit* x, size_t n) {
  std::vector<unsigned char> bytes;
  for (size_t i = n; i > 0; --i) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      bytes.push_back(static_cast<unsigned char>(x[i - 1] >> shift));
    }
  }
  return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}
inline Bn ToBn(const Digits& x) { return ToBn(x.data(), x.size()); }

// A big number to exactly n digits; the test fails loudly if it does not fit.
inline Digits FromBn(const BIGNUM* b, size_t n) {
  std::vector<unsigned char> bytes(4 * n);
  if (BN_bn2binpad(b, bytes.data(), static_cast<int>(bytes.size())) < 0) {
    return Digits(n, 0xDEADBEEFu);
  }
  Digits x(n, 0);
  for (size_t i = 0; i < n; ++i) {
    for (size_t j = 0; j < 4; ++j) {
      x[i] |= static_cast<MpDigit>(bytes[4 * n - 1 - (4 * i + j)]) << (8 * j);
    }
  }
  return x;
}

inline std::string Hex(const Digits& x) {
  Bn b = ToBn(x);
  char* s = BN_bn2hex(b.get());
  std::string out(s);
  OPENSSL_free(s);
  return out;
}

class OperandSource {
 public:
  explicit OperandSource(uint64_t seed) : rng_(seed) {}

  uint32_t Below(uint32_t limit) { return static_cast<uint32_t>(rng_() % limit); }

  // One digit, often one of the values at the edges of a digit.
  MpDigit Digit() {
    static const MpDigit kEdges[] = {0, 1, 2, 0x7FFFFFFFu, 0x80000000u, 0x80000001u,
                                     0xFFFFFFFEu, 0xFFFFFFFFu, 0x0000FFFFu, 0xFFFF0000u};
    if (Below(4) == 0) return kEdges[Below(sizeof(kEdges) / sizeof(kEdges[0]))];
    return static_cast<MpDigit>(rng_());
  }

  // n digits of which the top `significant` may be non-zero.
  Digits Number(size_t n, size_t significant) {
    Digits x(n, 0);
    for (size_t i = 0; i < significant && i < n; ++i) x[i] = Digit();
    return x;
  }
  Digits Number(size_t n) { return Number(n, n); }

 private:
  std::mt19937_64 rng_;
};

}  // namespace qktest

#endif  // QK_TESTS_RSA_BN_ORACLE_H
