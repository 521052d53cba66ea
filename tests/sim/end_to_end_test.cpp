// The library's API against the simulated token, in-process.
#include <gtest/gtest.h>

#include "include/qktoken.h"
#include "tests/support/sim_backend.h"

namespace {

TEST(SimEndToEnd, SharedOpenRunsCommandsAndRefusesAnExclusiveOpener) {
  qktest::ScopedSimBackend backend;
  QKContext contexts[2] = {};
  uint32_t count = 2;
  ASSERT_EQ(QKListDevices(contexts, &count), 0u);
  ASSERT_EQ(count, 1u);
  QKOpenOptions shared = {0, 1};
  ASSERT_EQ(QKOpenDeviceShared(&contexts[0], &shared), 0u);
  EXPECT_EQ(backend->OpenHandles(0), 1u);
  const uint8_t input[] = {0x00, 0x05, 0x00, 0x08};
  uint8_t output[16] = {};
  uint32_t length = 0;
  EXPECT_EQ(QKExecute(&contexts[0], "0001", input, 4, output, sizeof output, &length),
            QK_E_USER_PIN_NOT_VERIFIED);
  ASSERT_EQ(QKVerifyPin(&contexts[0], reinterpret_cast<const uint8_t*>("60719283"), 8, QK_PIN_USER),
            0u);
  ASSERT_EQ(QKExecute(&contexts[0], "0001", input, 4, output, sizeof output, &length), 0u);
  EXPECT_EQ(length, 2u);
  EXPECT_EQ(output[1], 0x0D);
  uint32_t error = 0;
  EXPECT_EQ(
      backend->OpenDevice(qktest::SimBackend::PathOf(0).c_str(), qk::platform::IoMode::kOverlapped,
                          qk::platform::ShareMode::kExclusive, &error),
      nullptr);
  EXPECT_EQ(error, qk::platform::kErrorSharingViolation);
  QKCloseDevice(&contexts[0]);
  EXPECT_EQ(backend->OpenHandles(0), 0u);
}

}  // namespace
