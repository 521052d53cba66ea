// The public records keep one binary layout on every target, 32 or 64 bits,
// in C and in C++: callers built with other compilers depend on it.
#include <gtest/gtest.h>

#include "tests/platform/abi_layout.h"

namespace {

TEST(AbiTest, CAndCxxLayoutsMatchTheFixedOffsets) {
  const AbiField cxx[] = {QK_ABI_FIELDS(QK_ABI_FIELD_ENTRY) QK_ABI_RECORDS(QK_ABI_SIZE_ENTRY)};
  size_t count = 0;
  const AbiField* c = CLayoutFields(&count);
  ASSERT_EQ(count, sizeof cxx / sizeof cxx[0]);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(cxx[i].value, cxx[i].expected) << "C++ " << cxx[i].name;
    EXPECT_EQ(c[i].value, c[i].expected) << "C " << c[i].name;
  }
  // Callers allocate count * 56 bytes and index the array themselves.
  QKContext contexts[3];
  EXPECT_EQ(reinterpret_cast<char*>(&contexts[2]) - reinterpret_cast<char*>(&contexts[0]), 2 * 56);
  EXPECT_LE(alignof(QKContext), 4u);
  EXPECT_LE(alignof(RsaPublicKey), 4u);
}

}  // namespace
