// The library's API against the simulated token, in-process.
#include <gtest/gtest.h>

#include <cstring>

#include "include/qktoken.h"
#include "tests/support/sim_backend.h"

namespace {

const char kUserPin[] = "60719283";
const char kDeveloperPin[] = "904817263590481726359048";

class SimEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    uint32_t count = 4;
    ASSERT_EQ(QKListDevices(contexts_, &count), 0u);
    ASSERT_EQ(count, 1u);
    ASSERT_EQ(QKOpenDevice(&contexts_[0]), 0u);
  }
  void TearDown() override { QKCloseDevice(&contexts_[0]); }

  uint32_t Verify(const char* pin, uint32_t kind) {
    return QKVerifyPin(&contexts_[0], reinterpret_cast<const uint8_t*>(pin),
                       static_cast<uint32_t>(std::strlen(pin)), kind);
  }

  qktest::ScopedSimBackend backend_;
  QKContext contexts_[4] = {};
};

TEST_F(SimEndToEnd, DriverScenario) {
  ASSERT_EQ(Verify(kUserPin, QK_PIN_USER), 0u);
  const uint8_t input[] = {0x00, 0x05, 0x00, 0x08};
  uint8_t output[256] = {};
  uint32_t length = 0;
  ASSERT_EQ(QKExecute(&contexts_[0], "0001", input, 4, output, sizeof output, &length), 0u);
  ASSERT_EQ(length, 2u);
  EXPECT_EQ(output[0], 0x00);
  EXPECT_EQ(output[1], 0x0D);
}

TEST_F(SimEndToEnd, StatusWordsReachTheCaller) {
  const uint8_t input[] = {0, 1, 0, 1};
  uint8_t output[16];
  uint32_t length = 0;
  EXPECT_EQ(QKExecute(&contexts_[0], "0001", input, 4, output, sizeof output, &length),
            QK_E_USER_PIN_NOT_VERIFIED);
  EXPECT_EQ(Verify("00000000", QK_PIN_USER), QK_E_WRONG_PIN + 14);
  EXPECT_EQ(QKMakeFile(&contexts_[0], "0002", 10, 1), QK_E_DEV_PIN_NOT_VERIFIED);
  ASSERT_EQ(Verify(kDeveloperPin, QK_PIN_DEVELOPER), 0u);
  EXPECT_EQ(QKMakeFile(&contexts_[0], "0001", 10, 1), QK_E_FILE_EXISTS);
  EXPECT_EQ(QKSelectDir(&contexts_[0], "0009"), QK_E_DIR_NOT_FOUND);
}

TEST_F(SimEndToEnd, FilesDirectoriesAndKeys) {
  QKContext* c = &contexts_[0];
  ASSERT_EQ(Verify(kDeveloperPin, QK_PIN_DEVELOPER), 0u);
  ASSERT_EQ(QKMakeDir(c, "0002", 8000, QK_DIR_SUB), 0u);
  ASSERT_EQ(QKSelectDir(c, "\\0002"), 0u);
  std::vector<uint8_t> data(2500);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(QKMakeAndStoreFile(c, "0003", 0, data.data(), 2500, 2500, 0, 0, 1), 0u);
  EXPECT_EQ(QKStoreFile(c, "0003", 2000, data.data(), 501), QK_E_OFFSET_BEYOND_FILE);
  uint8_t record[5];
  uint32_t length = 0;
  ASSERT_EQ(QKDeviceControl(c, QK_CTRL_GET_FILE_RECORD, reinterpret_cast<const uint8_t*>("0003"), 4,
                            record, sizeof record, &length), 0u);
  EXPECT_EQ(record[2], 1);
  EXPECT_EQ(record[3] | (record[4] << 8), 2500);

  uint8_t first[268], second[660];
  uint32_t firstLength = sizeof first, secondLength = sizeof second;
  ASSERT_EQ(QKGenerateRsaKeyPair(c, 1024, 0, "0010", "0011", first, &firstLength, second,
                                 &secondLength), 0u);
  EXPECT_EQ(firstLength, 140u);
  EXPECT_EQ(secondLength, 340u);
  EXPECT_EQ(first[2], 0x04) << "bit length 1024, big-endian";
  ASSERT_EQ(QKSelectDir(c, ".."), 0u);
  ASSERT_EQ(QKSelectDir(c, "0002"), 0u);
  ASSERT_EQ(QKWipeDir(c, nullptr), 0u);
  EXPECT_EQ(QKSelectDir(c, "0002"), QK_E_DIR_NOT_FOUND);
}

TEST_F(SimEndToEnd, InformationAndValue) {
  QKContext* c = &contexts_[0];
  ASSERT_EQ(Verify(kDeveloperPin, QK_PIN_DEVELOPER), 0u);
  const uint8_t value[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  ASSERT_EQ(QKDeviceControl(c, QK_CTRL_SEND_25, value, 16, nullptr, 0, nullptr), 0u);
  uint8_t block[16];
  uint32_t length = 0;
  ASSERT_EQ(QKDeviceControl(c, QK_CTRL_GET_INFO_BLOCK, nullptr, 0, block, 16, &length), 0u);
  EXPECT_EQ(block[14], 15);
  EXPECT_EQ(block[15], 0) << "the library zeroes the 16th byte";
  uint16_t word = 0;
  ASSERT_EQ(QKDeviceControl(c, QK_CTRL_GET_INFO_WORD, nullptr, 0, reinterpret_cast<uint8_t*>(&word), 2,
                            &length), 0u);
  EXPECT_EQ(word, 0x0102);
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
