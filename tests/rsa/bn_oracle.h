// OpenSSL big numbers as the reference for the digit-array arithmetic, and
// operands biased towards the digit values where carries, borrows and
// quotient corrections happen.
#pragma once

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
inline Bn ToBn(const Digits& x) {
  Bn b = NewBn();
  for (size_t i = x.size(); i-- > 0;) BN_lshift(b.get(), b.get(), 32), BN_add_word(b.get(), x[i]);
  return b;
}

// A big number as n digits, in hex for readable failures; a marker if it does not fit.
inline std::string Hex(const BIGNUM* b, size_t n) {
  if (BN_num_bytes(b) > static_cast<int>(4 * n)) return "does not fit";
  char* hex = BN_bn2hex(b);
  const std::string s = std::string(8 * n, '0') + hex;
  OPENSSL_free(hex);
  return s.substr(s.size() - 8 * n);
}
inline std::string Hex(const Digits& x) { return Hex(ToBn(x).get(), x.size()); }

class OperandSource {
 public:
  explicit OperandSource(uint64_t seed) : rng_(seed) {}
  uint32_t Below(uint32_t limit) { return static_cast<uint32_t>(rng_() % limit); }
  // One digit, often one of the values at the edges of a digit.
  MpDigit Digit() {
    static const MpDigit kEdges[] = {0, 1, 2, 0x7FFFFFFFu, 0x80000000u, 0x80000001u,
                                     0xFFFFFFFEu, 0xFFFFFFFFu, 0x0000FFFFu, 0xFFFF0000u};
    return Below(4) == 0 ? kEdges[Below(10)] : static_cast<MpDigit>(rng_());
  }
  // n digits of which the low `significant` (all by default) may be non-zero.
  Digits Number(size_t n, size_t significant = SIZE_MAX) {
    Digits x(n, 0);
    for (size_t i = 0; i < significant && i < n; ++i) x[i] = Digit();
    return x;
  }

 private:
  std::mt19937_64 rng_;
};

}  // namespace qktest
