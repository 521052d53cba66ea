// The library's API against the simulated token, in-process.
#include <gtest/gtest.h>

#include <cstring>

#include "include/qktoken.h"
#include "tests/support/sim_backend.h"

namespace {

class SimEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    uint32_t count = 4;
    ASSERT_EQ(QKListDevices(contexts_, &count), 0u);
    ASSERT_EQ(count, 1u);
    ASSERT_EQ(QKOpenDevice(c_), 0u);
  }
  void TearDown() override { QKCloseDevice(c_); }
  uint32_t Verify(const char* pin, uint32_t kind) {
    return QKVerifyPin(c_, reinterpret_cast<const uint8_t*>(pin), static_cast<uint32_t>(std::strlen(pin)), kind);
  }
  uint32_t VerifyDeveloper() { return Verify("904817263590481726359048", QK_PIN_DEVELOPER); }

  qktest::ScopedSimBackend backend_;
  QKContext contexts_[4] = {};
  QKContext* c_ = &contexts_[0];
};

TEST_F(SimEndToEnd, DriverScenarioAndStatusWords) {
  const uint8_t input[] = {0x00, 0x05, 0x00, 0x08};
  uint8_t output[256] = {};
  uint32_t length = 0;
  EXPECT_EQ(QKExecute(c_, "0001", input, 4, output, sizeof output, &length), QK_E_USER_PIN_NOT_VERIFIED);
  EXPECT_EQ(Verify("00000000", QK_PIN_USER), QK_E_WRONG_PIN + 14);
  ASSERT_EQ(Verify("60719283", QK_PIN_USER), 0u);
  ASSERT_EQ(QKExecute(c_, "0001", input, 4, output, sizeof output, &length), 0u);
  ASSERT_EQ(length, 2u);
  EXPECT_EQ(output[1], 0x0D);
  EXPECT_EQ(QKMakeFile(c_, "0002", 10, 1), QK_E_DEV_PIN_NOT_VERIFIED);
  ASSERT_EQ(VerifyDeveloper(), 0u);
  EXPECT_EQ(QKMakeFile(c_, "0001", 10, 1), QK_E_FILE_EXISTS);
  EXPECT_EQ(QKSelectDir(c_, "0009"), QK_E_DIR_NOT_FOUND);
}

TEST(SimEndToEndSharing, ExclusiveOpenIsRefusedWhileAnotherHandleIsOpen) {
  qktest::ScopedSimBackend backend;
  QKContext contexts[2] = {};
  uint32_t count = 2;
  ASSERT_EQ(QKListDevices(contexts, &count), 0u);
  QKOpenOptions shared = {0, 1};
  ASSERT_EQ(QKOpenDeviceShared(&contexts[0], &shared), 0u);
  EXPECT_EQ(backend->OpenHandles(0), 1u);
  uint32_t error = 0;
  EXPECT_EQ(backend->OpenDevice(qktest::SimBackend::PathOf(0).c_str(), qk::platform::IoMode::kOverlapped,
                                qk::platform::ShareMode::kExclusive, &error), nullptr);
  EXPECT_EQ(error, qk::platform::kErrorSharingViolation);
  QKCloseDevice(&contexts[0]);
  EXPECT_EQ(backend->OpenHandles(0), 0u);
}

}  // namespace
