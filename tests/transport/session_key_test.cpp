// Session-key agreement and the historical bytes of an answer-to-reset string.
#include "transport/session_key.h"

#include <gtest/gtest.h>

#include <cstring>

#include "api/device_table.h"
#include "tests/support/fake_device.h"
#include "transport/exchange.h"

namespace {

using qktest::Bytes;

// The transport's stand-in: answers the session-key command with `gAnswer`.
Bytes gAnswer;
uint32_t gResult = QK_E_SUCCESS;
qk::CommandRecord gSent;

uint32_t ScriptedTransmit(uint32_t, qk::CommandRecord* record) {
  gSent = *record;
  if (gResult != QK_E_SUCCESS) return gResult;
  std::memcpy(record->bytes + qk::kData, gAnswer.data(), gAnswer.size());
  record->responseLength = static_cast<uint16_t>(gAnswer.size() - 2);
  return QK_E_SUCCESS;
}

class SessionKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qktest::ResetDeviceTable();
    qk::SetTransmitHookForTesting(ScriptedTransmit);
    gResult = QK_E_SUCCESS;
    slot().opened = 1;
    std::memset(slot().sessionKey, 0x33, 8);
    context.slotIndex = 4;
  }
  void TearDown() override {
    qk::SetTransmitHookForTesting(nullptr);
    qktest::ResetDeviceTable();
  }
  static qk::DeviceSlot& slot() { return qk::GetDeviceTable().slots[4]; }
  bool KeyUnchanged() const {
    const uint8_t old[8] = {0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33};
    return std::memcmp(slot().sessionKey, old, 8) == 0;
  }
  QKContext context{};
};

TEST_F(SessionKeyTest, TheKeyIsTheHeadOfTheOpenedBlock) {
  gAnswer = qktest::Ok(Bytes(qktest::kSessionBlock, qktest::kSessionBlock + 64));
  ASSERT_EQ(qk::EstablishSessionKey(&context), QK_E_SUCCESS);
  const uint8_t command[6] = {0x00, 0x47, 0x47, 0x4B, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(gSent.bytes, command, 6), 0);
  EXPECT_EQ(gSent.bytesToSend, 6);
  EXPECT_EQ(std::memcmp(slot().sessionKey, qktest::kSessionBlockKey, 8), 0);
}

TEST_F(SessionKeyTest, FailuresKeepTheOldKey) {
  const Bytes block(qktest::kSessionBlock, qktest::kSessionBlock + 64);
  const struct {
    const char* name;
    uint32_t transport;
    Bytes answer;
    uint32_t result;
  } cases[] = {
      {"transport failure", QK_E_COMMUNICATION, {}, QK_E_COMMUNICATION},
      {"refused", QK_E_UNSUPPORTED, {}, QK_E_UNSUPPORTED},
      {"63-byte block", QK_E_SUCCESS, qktest::Ok(Bytes(block.begin(), block.end() - 1)),
       QK_E_COMMUNICATION},
      {"65-byte block", QK_E_SUCCESS, qktest::Ok([&] {
         Bytes b = block;
         b.push_back(0);
         return b;
       }()),
       QK_E_COMMUNICATION},
      {"no block", QK_E_SUCCESS, qktest::Ok(), QK_E_COMMUNICATION},
      {"block not below the modulus", QK_E_SUCCESS, qktest::Ok(Bytes(64, 0xFF)),
       QK_E_COMMUNICATION},
  };
  for (const auto& c : cases) {
    gResult = c.transport;
    gAnswer = c.answer;
    EXPECT_EQ(qk::EstablishSessionKey(&context), c.result) << c.name;
    EXPECT_TRUE(KeyUnchanged()) << c.name;
  }
}

TEST_F(SessionKeyTest, OutOfRangeContextsSendNothing) {
  for (uint32_t slotIndex : {128u, 0x1FFu, 0x104u}) {
    context.slotIndex = slotIndex;
    std::memset(&gSent, 0, sizeof(gSent));
    EXPECT_EQ(qk::EstablishSessionKey(&context), QK_E_CONTEXT) << slotIndex;
    EXPECT_EQ(gSent.bytes[1], 0) << slotIndex;
  }
  EXPECT_EQ(qk::EstablishSessionKey(nullptr), QK_E_CONTEXT);
}

TEST(StoreHistoricalBytes, FindsTheHistoricalBytesBehindTheInterfaceBytes) {
  const struct {
    const char* name;
    Bytes atr;
    Bytes historical;
  } cases[] = {
      {"no interface bytes", {0x3B, 0x02, 0x14, 0x50}, {0x14, 0x50}},
      {"TD chain without TA/TB/TC", {0x3B, 0x82, 0x81, 0x01, 0xAA, 0xBB}, {0xAA, 0xBB}},
      {"T0 zero", {0x3B, 0x00}, {}},
      {"TA TB TC then TD",
       {0x3B, 0xF3, 0x11, 0x22, 0x33, 0x00, 0xC1, 0xC2, 0xC3},
       {0xC1, 0xC2, 0xC3}},
      {"TD low half ignored", {0x3B, 0x81, 0x1F, 0x99, 0x44}, {0x44}},
      {"fifteen bytes",
       [] {
         Bytes b = {0x3B, 0x0F};
         for (int i = 0; i < 15; ++i) b.push_back(static_cast<uint8_t>(0xE0 + i));
         return b;
       }(),
       [] {
         Bytes b;
         for (int i = 0; i < 15; ++i) b.push_back(static_cast<uint8_t>(0xE0 + i));
         return b;
       }()},
  };
  for (const auto& c : cases) {
    qktest::ResetDeviceTable();
    uint8_t* historical = qk::GetDeviceTable().slots[7].historical;
    std::memset(historical, 0x5A, 16);
    ASSERT_TRUE(qk::StoreHistoricalBytes(7, c.atr.data(), c.atr.size())) << c.name;
    Bytes expected = c.historical;
    expected.resize(16, 0);
    EXPECT_EQ(Bytes(historical, historical + 16), expected) << c.name;
  }
}

TEST(StoreHistoricalBytes, RefusesStringsShorterThanTheyAnnounceAndBadSlots) {
  const struct {
    const char* name;
    uint32_t slot;
    Bytes atr;
  } cases[] = {
      {"missing historical byte", 7, {0x3B, 0x02, 0x14}},
      {"missing TD", 7, {0x3B, 0x80}},
      {"missing interface bytes", 7, {0x3B, 0x70, 0x11}},
      {"TD chain running off the end", 7, {0x3B, 0x80, 0x80, 0x80}},
      {"only the initial character", 7, {0x3B}},
      {"slot 128", 128, {0x3B, 0x00}},
  };
  for (const auto& c : cases) {
    qktest::ResetDeviceTable();
    uint8_t* historical = qk::GetDeviceTable().slots[7].historical;
    std::memset(historical, 0x5A, 16);
    EXPECT_FALSE(qk::StoreHistoricalBytes(c.slot, c.atr.data(), c.atr.size())) << c.name;
    EXPECT_EQ(historical[0], 0x5A) << c.name;
  }
}

}  // namespace
