// Key-pair generation: output sizes checked before the command, its layout,
// and how the answer is split.
#include <gtest/gtest.h>

#include "tests/api/scripted_token.h"

namespace {

using namespace qktest;

TEST(GenerateRsaKeyPair, SizesChecksAndLayout) {
  const struct {
    uint16_t bits;
    uint32_t firstIn, secondIn, result, firstOut, secondOut;
    uint8_t sizeCode;
  } cases[] = {
      {512, 75, 500, QK_E_BUFFER_TOO_SMALL, 76, 500, 0},
      {512, 76, 179, QK_E_BUFFER_TOO_SMALL, 76, 180, 0},
      {512, 76, 180, QK_E_SUCCESS, 76, 180, 0x01},
      {1024, 500, 500, QK_E_SUCCESS, 140, 340, 0x02},
      {2048, 268, 660, QK_E_SUCCESS, 268, 660, 0x04},
      {4096, 0, 0, QK_E_BUFFER_TOO_SMALL, 268, 0, 0},
      {4096, 268, 660, QK_E_PARAMETER, 268, 660, 0},
  };
  const Bytes answer = Pattern(928);
  for (const auto& c : cases) {
    ScriptedToken token;
    token.Answer(answer);
    Bytes first(1000, 0xEE), second(1000, 0xEE);
    uint32_t firstLength = c.firstIn, secondLength = c.secondIn;
    EXPECT_EQ(c.result, QKGenerateRsaKeyPair(token.context(), c.bits, 0x01020304, "0001", "0a02",
                                             first.data(), &firstLength, second.data(),
                                             &secondLength)) << c.bits;
    EXPECT_EQ(c.firstOut, firstLength);
    EXPECT_EQ(c.secondOut, secondLength);
    const bool ok = c.result == QK_E_SUCCESS;
    EXPECT_EQ(ok ? std::vector<Bytes>{Cat({Hex("00 46 00 00 0A 00 01 00 02 0A"),
                                           {c.sizeCode, 4, 1, 2, 3, 4}})}
                 : std::vector<Bytes>{},
              token.sent);
    const uint32_t a = ok ? c.firstOut : 0, b = ok ? c.secondOut : 0;
    const auto at = [&](uint32_t i) { return answer.begin() + i; };
    EXPECT_EQ(Cat({Bytes(at(0), at(a)), Bytes(1000 - a, 0xEE)}), first);
    EXPECT_EQ(Cat({Bytes(at(a), at(a + b)), Bytes(1000 - b, 0xEE)}), second);
  }
}

TEST(GenerateRsaKeyPair, NoBufferOrRefusalLeavesTheLengthsAlone) {
  for (uint32_t transport : {QK_E_SUCCESS, QK_E_DEV_PIN_NOT_VERIFIED}) {
    ScriptedToken token;
    token.Fail(transport);
    Bytes first(300);
    uint32_t firstLength = 300, secondLength = 700;
    EXPECT_EQ(transport, QKGenerateRsaKeyPair(token.context(), 512, 0, "0001", "0002", first.data(),
                                              &firstLength, nullptr, &secondLength));
    EXPECT_EQ(1u, token.sent.size());
    EXPECT_EQ(300u, firstLength);
    EXPECT_EQ(700u, secondLength);
  }
  ScriptedToken token;
  uint32_t n = 1000;
  EXPECT_EQ(QK_E_PARAMETER, QKGenerateRsaKeyPair(token.context(), 512, 0, "1", "2", 0, 0, 0, &n));
  EXPECT_EQ(QK_E_PARAMETER, QKGenerateRsaKeyPair(token.context(), 512, 0, "1", "2", 0, &n, 0, 0));
  EXPECT_EQ(QK_E_PARAMETER, QKGenerateRsaKeyPair(token.context(), 512, 0, 0, "2", 0, &n, 0, &n));
  EXPECT_EQ(QK_E_CONTEXT, QKGenerateRsaKeyPair(token.closed(), 512, 0, "1", "2", 0, 0, 0, 0));
  EXPECT_TRUE(token.sent.empty());
}

}  // namespace
