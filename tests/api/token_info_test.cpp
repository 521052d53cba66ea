// The information record and the 0xCC value (layouts and field orders are
// covered through the device-control codes).
#include "api/token_info.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/api/scripted_token.h"

namespace {

using namespace qktest;
constexpr size_t kSize = qk::kTokenInfoSize;

TEST(TokenInfo, AShortAnswerIsTakenAsItStandsThenZeros) {
  ScriptedToken token;
  token.Answer(Pattern(20));
  uint8_t info[kSize];
  std::memset(info, 0x5A, kSize);
  ASSERT_EQ(qk::QueryTokenInfo(token.context(), info), QK_E_SUCCESS);
  EXPECT_EQ(Bytes(info, info + kSize), Cat({Pattern(20), {0x90, 0x00}, Bytes(kSize - 22, 0)}));
}

TEST(TokenInfo, FailuresLeaveTheOutputsUntouched) {
  const struct {
    uint32_t slotIndex, transport, result;
  } cases[] = {{128, 0, QK_E_CONTEXT},
               {0x105, 0, QK_E_CONTEXT},
               {6, 0, QK_E_CONTEXT},
               {5, QK_E_COMMUNICATION, QK_E_COMMUNICATION},
               {5, QK_E_UNSUPPORTED, QK_E_UNSUPPORTED}};
  for (const auto& c : cases) {
    ScriptedToken token;  // slot 5 open, slot 6 closed
    token.Answer(Bytes(38, 0x11), c.transport);
    token.Answer(Hex("01 02 03 04"), c.transport);
    QKContext context{};
    context.slotIndex = c.slotIndex;
    uint8_t info[kSize];
    std::memset(info, 0x5A, kSize);
    uint32_t value = 0x5A5A5A5A;
    EXPECT_EQ(qk::QueryTokenInfo(&context, info), c.result) << c.slotIndex;
    EXPECT_EQ(qk::QueryValueCC(&context, &value), c.result) << c.slotIndex;
    EXPECT_EQ(token.sent.size(), c.result == QK_E_CONTEXT ? 0u : 2u);
    EXPECT_EQ(Bytes(info, info + kSize), Bytes(kSize, 0x5A));
    EXPECT_EQ(value, 0x5A5A5A5Au);
  }
  EXPECT_EQ(qk::QueryTokenInfo(nullptr, nullptr), QK_E_CONTEXT);
}

}  // namespace
