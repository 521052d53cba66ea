// The public records keep one binary layout on every target, 32 or 64 bits,
// in C and in C++: callers built with other compilers depend on it.
#include <gtest/gtest.h>

#include <cstddef>
#include <map>
#include <string>

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

TEST(AbiTest, CxxLayoutMatchesTheFixedOffsets) {
  const std::map<std::string, size_t> seen = {
      QK_ABI_FIELDS(QK_ABI_FIELD_ENTRY) QK_ABI_RECORDS(QK_ABI_SIZE_ENTRY)};
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
