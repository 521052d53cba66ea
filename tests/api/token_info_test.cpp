// The information record and the 0xCC value, through a scripted transport.
#include "api/token_info.h"

#include <cstring>

#include "api/device_table.h"
#include "tests/api/core_fixture.h"
#include "transport/command_record.h"

namespace {

// What the scripted transport answers, and what it was asked.
qktest::Bytes gAnswer;
uint32_t gResult = QK_E_SUCCESS;
qk::CommandRecord gSent;
int gCalls = 0;

uint32_t ScriptedTransmit(uint32_t, qk::CommandRecord* record) {
  ++gCalls;
  gSent = *record;
  if (gResult != QK_E_SUCCESS) return gResult;
  std::memcpy(record->bytes + qk::kData, gAnswer.data(), gAnswer.size());
  record->responseLength = static_cast<uint16_t>(gAnswer.size() - 2);
  return QK_E_SUCCESS;
}

class TokenInfoTest : public qktest::CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    gResult = QK_E_SUCCESS;
    gCalls = 0;
    qk::SetTransmitHookForTesting(ScriptedTransmit);
    qk::GetDeviceTable().slots[5].opened = 1;
    context.slotIndex = 5;
  }
  QKContext context{};
};

TEST_F(TokenInfoTest, QueriesAreHeaderOnlyCommands) {
  gAnswer = qktest::Ok(qktest::Bytes(38, 0));
  uint8_t info[qk::kTokenInfoSize];
  ASSERT_EQ(qk::QueryTokenInfo(&context, info), QK_E_SUCCESS);
  const uint8_t infoCommand[6] = {0x00, 0xCA, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(gSent.bytes, infoCommand, 6), 0);
  EXPECT_EQ(gSent.bytesToSend, 6);
  uint32_t value = 0;
  ASSERT_EQ(qk::QueryValueCC(&context, &value), QK_E_SUCCESS);
  const uint8_t ccCommand[6] = {0x00, 0xCC, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(gSent.bytes, ccCommand, 6), 0);
  EXPECT_EQ(gSent.bytesToSend, 6);
}

TEST_F(TokenInfoTest, FieldByteOrders) {
  qktest::Bytes record(38, 0);
  record[0] = 0x01;
  record[1] = 0x02;
  record[2] = 0x00;
  record[3] = 0x05;
  record[34] = 0x10;
  record[35] = 0x27;
  gAnswer = qktest::Ok(record);
  uint8_t info[qk::kTokenInfoSize];
  ASSERT_EQ(qk::QueryTokenInfo(&context, info), QK_E_SUCCESS);
  EXPECT_EQ(info[qk::kInfoByteAt], 1);
  EXPECT_EQ(info[1], 2);
  EXPECT_EQ(qk::TokenInfoWord(info), 5u);
  EXPECT_EQ(qk::TokenInfoNumber(info), 10000u);

  record[2] = 0xAB;
  record[3] = 0xCD;
  record[34] = 0x78;
  record[35] = 0x56;
  record[36] = 0x34;
  record[37] = 0x12;
  gAnswer = qktest::Ok(record);
  ASSERT_EQ(qk::QueryTokenInfo(&context, info), QK_E_SUCCESS);
  EXPECT_EQ(qk::TokenInfoWord(info), 0xABCDu);
  EXPECT_EQ(qk::TokenInfoNumber(info), 0x12345678u);

  gAnswer = qktest::Ok({0x04, 0x03, 0x02, 0x01});
  uint32_t value = 0;
  ASSERT_EQ(qk::QueryValueCC(&context, &value), QK_E_SUCCESS);
  EXPECT_EQ(value, 0x01020304u);
}

TEST_F(TokenInfoTest, AShortAnswerIsTakenAsItStands) {
  qktest::Bytes data(20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
  gAnswer = qktest::Ok(data);
  uint8_t info[qk::kTokenInfoSize];
  ASSERT_EQ(qk::QueryTokenInfo(&context, info), QK_E_SUCCESS);
  EXPECT_EQ(info[19], 0xA0 + 19);
  EXPECT_EQ(info[20], 0x90);
  EXPECT_EQ(info[21], 0x00);
  for (size_t i = 22; i < qk::kTokenInfoSize; ++i) EXPECT_EQ(info[i], 0) << i;
}

TEST_F(TokenInfoTest, FailuresLeaveTheOutputsUntouched) {
  const struct {
    const char* name;
    uint32_t slotIndex;
    bool open;
    uint32_t transport;
    uint32_t result;
    int calls;
  } cases[] = {
      {"slot out of range", 128, true, QK_E_SUCCESS, QK_E_CONTEXT, 0},
      {"whole word out of range", 0x105, true, QK_E_SUCCESS, QK_E_CONTEXT, 0},
      {"slot not open", 5, false, QK_E_SUCCESS, QK_E_CONTEXT, 0},
      {"transport failure", 5, true, QK_E_COMMUNICATION, QK_E_COMMUNICATION, 1},
      {"refusing status word", 5, true, QK_E_UNSUPPORTED, QK_E_UNSUPPORTED, 1},
  };
  for (const auto& c : cases) {
    gCalls = 0;
    gResult = c.transport;
    gAnswer = qktest::Ok(qktest::Bytes(38, 0x11));
    qk::GetDeviceTable().slots[5].opened = c.open ? 1 : 0;
    context.slotIndex = c.slotIndex;
    uint8_t info[qk::kTokenInfoSize];
    std::memset(info, 0x5A, sizeof(info));
    uint32_t value = 0x5A5A5A5A;
    EXPECT_EQ(qk::QueryTokenInfo(&context, info), c.result) << c.name;
    EXPECT_EQ(qk::QueryValueCC(&context, &value), c.result) << c.name;
    EXPECT_EQ(gCalls, 2 * c.calls) << c.name;
    for (uint8_t byte : info) ASSERT_EQ(byte, 0x5A) << c.name;
    EXPECT_EQ(value, 0x5A5A5A5Au) << c.name;
  }
  EXPECT_EQ(qk::QueryTokenInfo(nullptr, nullptr), QK_E_CONTEXT);
}

}  // namespace
