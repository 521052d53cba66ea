// QKSetTimeLimits / QKGetTimeLimits: defaults, range checks, restore.
#include <gtest/gtest.h>

#include "include/qktoken.h"

namespace {

bool Same(const QKTimeLimits& a, const QKTimeLimits& b) {
  return a.lockMs == b.lockMs && a.writeMs == b.writeMs && a.firstReadMs == b.firstReadMs &&
         a.readMs == b.readMs;
}

}  // namespace

// Catches limits not kept at the extremes, or a null that does not restore the defaults.
TEST(TimeLimits, DefaultsSetAndRestore) {
  const QKTimeLimits chosen = {1, 2, QK_MAX_WAIT_MS, 400}, defaults = {60000, 5000, 60000, 5000};
  QKTimeLimits now = {};
  ASSERT_EQ(QKSetTimeLimits(&chosen), QK_E_SUCCESS);
  ASSERT_EQ(QKGetTimeLimits(&now), QK_E_SUCCESS);
  EXPECT_TRUE(Same(now, chosen));
  ASSERT_EQ(QKSetTimeLimits(nullptr), QK_E_SUCCESS);
  ASSERT_EQ(QKGetTimeLimits(&now), QK_E_SUCCESS);
  EXPECT_TRUE(Same(now, defaults));
  EXPECT_EQ(QKGetTimeLimits(nullptr), QK_E_PARAMETER);
}

// Catches a half-applied update when one field is out of range.
TEST(TimeLimits, AnyFieldOutOfRangeChangesNothing) {
  ASSERT_EQ(QKSetTimeLimits(nullptr), QK_E_SUCCESS);
  QKTimeLimits before = {}, after = {};
  ASSERT_EQ(QKGetTimeLimits(&before), QK_E_SUCCESS);
  for (int field = 0; field < 4; ++field) {
    for (uint32_t bad : {0u, QK_MAX_WAIT_MS + 1, 0xFFFFFFFFu}) {
      QKTimeLimits limits = {100, 100, 100, 100};
      uint32_t* fields[] = {&limits.lockMs, &limits.writeMs, &limits.firstReadMs, &limits.readMs};
      *fields[field] = bad;
      EXPECT_EQ(QKSetTimeLimits(&limits), QK_E_PARAMETER) << field << " " << bad;
      ASSERT_EQ(QKGetTimeLimits(&after), QK_E_SUCCESS);
      EXPECT_TRUE(Same(before, after)) << field << " " << bad;
    }
  }
}
