// The public records keep one binary layout on every target, 32 or 64 bits,
// in C and in C++: callers built with other compilers depend on it.
#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <string>

#include "include/qkrsa.h"
#include "include/qktoken.h"
#include "tests/platform/abi_layout.h"

namespace {

// Expected offsets, written out from the fourteen-word context and the
// byte-array key records.
const std::map<std::string, size_t>& ExpectedLayout() {
  static const std::map<std::string, size_t> layout = {
      {"QKContext.slotIndex", 0},          {"QKContext.infoWord", 4},
      {"QKContext.device", 8},             {"QKContext.reserved", 12},
      {"QKContext.queryValue", 24},        {"QKContext.infoBlock", 28},
      {"QKContext.infoEight", 44},         {"QKContext.markWord", 52},
      {"QKOpenOptions.reserved", 0},       {"QKOpenOptions.shared", 4},
      {"RsaPublicKey.bitLength", 0},       {"RsaPublicKey.modulus", 4},
      {"RsaPublicKey.publicExponent", 132}, {"RsaPrivateKey.bitLength", 0},
      {"RsaPrivateKey.modulus", 4},        {"RsaPrivateKey.publicExponent", 132},
      {"RsaPrivateKey.privateExponent", 260}, {"RsaPrivateKey.prime1", 388},
      {"RsaPrivateKey.prime2", 452},       {"RsaPrivateKey.exponent1", 516},
      {"RsaPrivateKey.exponent2", 580},    {"RsaPrivateKey.coefficient", 644},
      {"sizeof QKContext", 56},            {"sizeof QKOpenOptions", 8},
      {"sizeof RsaPublicKey", 260},        {"sizeof RsaPrivateKey", 708},
  };
  return layout;
}

#define CXX_FIELD(type, field) {#type "." #field, offsetof(type, field)}

TEST(AbiTest, CxxLayoutMatchesTheFixedOffsets) {
  const std::map<std::string, size_t> seen = {
      CXX_FIELD(QKContext, slotIndex),      CXX_FIELD(QKContext, infoWord),
      CXX_FIELD(QKContext, device),         CXX_FIELD(QKContext, reserved),
      CXX_FIELD(QKContext, queryValue),     CXX_FIELD(QKContext, infoBlock),
      CXX_FIELD(QKContext, infoEight),      CXX_FIELD(QKContext, markWord),
      CXX_FIELD(QKOpenOptions, reserved),   CXX_FIELD(QKOpenOptions, shared),
      CXX_FIELD(RsaPublicKey, bitLength),   CXX_FIELD(RsaPublicKey, modulus),
      CXX_FIELD(RsaPublicKey, publicExponent), CXX_FIELD(RsaPrivateKey, bitLength),
      CXX_FIELD(RsaPrivateKey, modulus),    CXX_FIELD(RsaPrivateKey, publicExponent),
      CXX_FIELD(RsaPrivateKey, privateExponent), CXX_FIELD(RsaPrivateKey, prime1),
      CXX_FIELD(RsaPrivateKey, prime2),     CXX_FIELD(RsaPrivateKey, exponent1),
      CXX_FIELD(RsaPrivateKey, exponent2),  CXX_FIELD(RsaPrivateKey, coefficient),
      {"sizeof QKContext", sizeof(QKContext)},
      {"sizeof QKOpenOptions", sizeof(QKOpenOptions)},
      {"sizeof RsaPublicKey", sizeof(RsaPublicKey)},
      {"sizeof RsaPrivateKey", sizeof(RsaPrivateKey)},
  };
  EXPECT_EQ(seen, ExpectedLayout());
}

TEST(AbiTest, CLayoutMatchesTheFixedOffsets) {
  size_t count = 0;
  const AbiField* fields = CLayoutFields(&count);
  std::map<std::string, size_t> seen;
  for (size_t i = 0; i < count; ++i) seen[fields[i].name] = fields[i].value;
  EXPECT_EQ(seen, ExpectedLayout());
}

TEST(AbiTest, ArraysOfContextsHaveNoPadding) {
  // Callers allocate count * 56 bytes and index the array themselves.
  QKContext contexts[3];
  EXPECT_EQ(reinterpret_cast<const char*>(&contexts[2]) - reinterpret_cast<const char*>(&contexts[0]),
            2 * 56);
  EXPECT_LE(alignof(QKContext), 4u);
  EXPECT_LE(alignof(RsaPublicKey), 4u);
}

}  // namespace
