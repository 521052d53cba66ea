// OpenSSL big numbers as the reference for the digit-array arithmetic, and
// operands biased towards the digit values where carries, borrows and
// quotient corrections happen.
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
inline Bn ToBn(const Digits& x) {
  std::vector<unsigned char> bytes;
  for (size_t i = 4 * x.size(); i > 0; --i) {
    bytes.push_back(static_cast<unsigned char>(x[(i - 1) / 4] >> (8 * ((i - 1) % 4))));
  }
  return Bn(BN_bin2bn(bytes.data(), static_cast<int>(bytes.size()), nullptr));
}

// A big number as n digits, in hex for readable failures; a marker if it does not fit.
inline std::string Hex(const BIGNUM* b, size_t n) {
  std::vector<unsigned char> bytes(4 * n);
  if (BN_bn2binpad(b, bytes.data(), static_cast<int>(bytes.size())) < 0) return "does not fit";
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  for (unsigned char c : bytes) s += {kDigits[c >> 4], kDigits[c & 0xF]};
  return s;
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
  // n digits of which the low `significant` may be non-zero.
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
