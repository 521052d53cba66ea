// Key-pair generation: output sizes checked before the command, its layout,
// and how the answer is split.
#include "tests/api/scripted_token.h"

using namespace qktest;

TEST(GenerateRsaKeyPair, SizesChecksLayoutAndSplit) {
  const struct {
    uint16_t bits;
    uint32_t firstIn, secondIn, result, firstOut, secondOut;
    uint8_t sizeCode;  // 0: nothing sent
  } cases[] = {
      {512, 76, 179, QK_E_BUFFER_TOO_SMALL, 76, 180, 0},
      {1024, 500, 500, QK_E_SUCCESS, 140, 340, 0x02},
      {2048, 268, 660, QK_E_SUCCESS, 268, 660, 0x04},
      {4096, 268, 660, QK_E_PARAMETER, 268, 660, 0},
      {512, 300, 700, QK_E_DEV_PIN_NOT_VERIFIED, 300, 700, 0x01},  // the token refuses
  };
  const Bytes answer = Pattern(928);
  for (const auto& c : cases) {
    ScriptedToken token;
    token.Answer(answer, c.sizeCode != 0 ? c.result : 0);
    Bytes first(1000, 0xEE), second(1000, 0xEE);
    uint32_t firstLength = c.firstIn, secondLength = c.secondIn;
    EXPECT_EQ(c.result, QKGenerateRsaKeyPair(token.context(), c.bits, 0x01020304, "0001", "0a02",
                                             first.data(), &firstLength, second.data(),
                                             &secondLength)) << c.bits;
    EXPECT_TRUE(c.firstOut == firstLength && c.secondOut == secondLength) << c.bits;
    const Bytes image = Cat({Hex("00 46 00 00 0A 00 01 00 02 0A"), {c.sizeCode, 4, 1, 2, 3, 4}});
    EXPECT_EQ(c.sizeCode != 0 ? std::vector<Bytes>{image} : std::vector<Bytes>{}, token.sent);
    const auto at = [&](uint32_t i) { return answer.begin() + i; };
    const uint32_t a = c.result ? 0 : c.firstOut, b = c.result ? 0 : c.secondOut;
    EXPECT_EQ(Cat({Bytes(at(0), at(a)), Bytes(1000 - a, 0xEE)}), first);
    EXPECT_EQ(Cat({Bytes(at(a), at(a + b)), Bytes(1000 - b, 0xEE)}), second);
  }
}
