// The library's API against the simulated token, in-process.
#include <gtest/gtest.h>

#include <vector>

#include "include/qktoken.h"
#include "sim/samples.h"
#include "tests/support/pins.h"
#include "tests/support/sim_backend.h"

namespace {

// Every command call of the API against one simulated token: catches a call whose
// layout the token refuses or whose answer is parsed wrongly.
TEST(SimEndToEnd, EveryCallWorksAgainstTheToken) {
  qktest::ScopedSimBackend backend;
  QKContext token = {};
  uint32_t count = 1;
  ASSERT_EQ(QKListDevices(&token, &count), 0u);
  ASSERT_EQ(QKOpenDevice(&token), 0u);
  const auto pin = [](const char* text) { return reinterpret_cast<const uint8_t*>(text); };
  ASSERT_EQ(QKVerifyPin(&token, pin(qktest::kDeveloperPin), 24, QK_PIN_DEVELOPER), 0u);
  ASSERT_EQ(QKUpdatePin(&token, pin(qktest::kUserPin), 8, pin("11223344"), 8, QK_PIN_USER, 5), 0u);
  EXPECT_EQ(QKVerifyPin(&token, pin(qktest::kUserPin), 8, QK_PIN_USER), QK_E_WRONG_PIN + 4);
  ASSERT_EQ(QKVerifyPin(&token, pin("11223344"), 8, QK_PIN_USER), 0u);

  // A directory with a data file and the file reader, walked into by path.
  ASSERT_EQ(QKMakeDir(&token, "1000", 0x2000, QK_DIR_SUB), 0u);
  EXPECT_EQ(QKMakeDir(&token, "1000", 0x2000, QK_DIR_SUB), QK_E_DIR_EXISTS);
  ASSERT_EQ(QKSelectDir(&token, "\\1000"), 0u);
  std::vector<uint8_t> data(1500);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(QKMakeFile(&token, "0002", 1500, 1), 0u);
  ASSERT_EQ(QKStoreFile(&token, "0002", 0, data.data(), 1500), 0u);
  const auto& reader = qksim::SampleReadFileProgram();
  ASSERT_EQ(QKMakeAndStoreFile(&token, "0003", 0, reader.data(), uint32_t(reader.size()),
                               uint32_t(reader.size()), 0, 0, 2),
            0u);
  const uint8_t ask[] = {0x00, 0x02, 0x05, 0x00, 0x00, 0x10};  // file 0002, offset 1280, 16 bytes
  uint8_t got[32] = {};
  uint32_t length = 0;
  ASSERT_EQ(QKExecute(&token, "0003", ask, 6, got, sizeof got, &length), 0u);
  ASSERT_EQ(length, 16u);
  EXPECT_EQ(std::vector<uint8_t>(got, got + 16),
            std::vector<uint8_t>(data.begin() + 1280, data.begin() + 1296));
  EXPECT_EQ(QKStoreFile(&token, "0002", 1499, data.data(), 2), QK_E_OFFSET_BEYOND_FILE);

  // Key pair into two files; blocks of exactly the announced sizes.
  uint8_t pub[76], priv[180];
  uint32_t pubLength = sizeof pub, privLength = sizeof priv;
  ASSERT_EQ(
      QKGenerateRsaKeyPair(&token, 512, 0, "0010", "0011", pub, &pubLength, priv, &privLength), 0u);
  EXPECT_EQ(pubLength, 76u);
  EXPECT_EQ(privLength, 180u);

  // Control codes: an information field, the file record, and a send code.
  uint8_t record[5] = {};
  ASSERT_EQ(QKDeviceControl(&token, QK_CTRL_GET_FILE_RECORD, pin("0002"), 4, record, 5, &length),
            0u);
  EXPECT_EQ(record[2], 1);  // a data file
  uint8_t infoEight[8] = {};
  ASSERT_EQ(QKDeviceControl(&token, QK_CTRL_GET_INFO_EIGHT, nullptr, 0, infoEight, 8, &length), 0u);
  EXPECT_EQ(std::vector<uint8_t>(infoEight, infoEight + 8),
            std::vector<uint8_t>(token.infoEight, token.infoEight + 8));
  EXPECT_EQ(QKDeviceControl(&token, QK_CTRL_SEND_E7, pin("\x05"), 1, nullptr, 0, nullptr), 0u);

  // The value of the root travels with QKMakeDirEx: erase everything, make it anew.
  ASSERT_EQ(QKSelectDir(&token, "\\"), 0u);
  ASSERT_EQ(QKWipeDir(&token, nullptr), 0u);
  uint8_t value[20] = {};
  for (int i = 0; i < 16; ++i) value[4 + i] = static_cast<uint8_t>(0xA0 + i);
  ASSERT_EQ(QKMakeDirEx(&token, nullptr, 0, QK_DIR_ROOT, value), 0u);
  uint8_t block[16] = {};
  ASSERT_EQ(QKDeviceControl(&token, QK_CTRL_GET_INFO_BLOCK, nullptr, 0, block, 16, &length), 0u);
  EXPECT_EQ(block[0], 0xA0);
  EXPECT_EQ(block[15], 0);  // the last byte of the value always goes out as 0
  EXPECT_EQ(QKCloseDevice(&token), 0u);
}

}  // namespace
