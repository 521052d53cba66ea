// The information record and the 0xCC value (layouts and field orders are
// covered through the device-control codes).
#include "api/token_info.h"

#include "tests/api/scripted_token.h"

using namespace qktest;
constexpr size_t kSize = qk::kTokenInfoSize;

TEST(TokenInfo, AShortAnswerIsTakenAsItStandsThenZeros) {
  ScriptedToken token;
  token.Answer(Pattern(20));
  Bytes info(kSize, 0x5A);
  ASSERT_EQ(qk::QueryTokenInfo(token.context(), info.data()), QK_E_SUCCESS);
  EXPECT_EQ(info, Cat({Pattern(20), {0x90, 0x00}, Bytes(kSize - 22, 0)}));
}

TEST(TokenInfo, FailuresLeaveTheOutputsUntouched) {
  const std::pair<uint32_t, uint32_t> cases[] = {  // slot word, answer
      {128, 0}, {0x105, 0}, {6, 0}, {5, QK_E_COMMUNICATION}, {5, QK_E_UNSUPPORTED}};
  for (const auto& [slotIndex, transport] : cases) {
    ScriptedToken token;  // slot 5 open, slot 6 closed
    token.Answer(Bytes(38, 0x11), transport);
    token.Answer(Hex("01 02 03 04"), transport);
    QKContext context{};
    context.slotIndex = slotIndex;
    Bytes info(kSize, 0x5A);
    uint32_t value = 0x5A5A5A5A;
    const uint32_t result = transport != 0 ? transport : QK_E_CONTEXT;
    EXPECT_EQ(qk::QueryTokenInfo(&context, info.data()), result) << slotIndex;
    EXPECT_EQ(qk::QueryValueCC(&context, &value), result) << slotIndex;
    EXPECT_EQ(token.sent.size(), transport != 0 ? 2u : 0u);
    EXPECT_TRUE(info == Bytes(kSize, 0x5A) && value == 0x5A5A5A5Au);
  }
  EXPECT_EQ(qk::QueryTokenInfo(nullptr, nullptr), QK_E_CONTEXT);
}
