#include <gtest/gtest.h>

#include "tests/api/scripted_token.h"

namespace {

using namespace qktest;

TEST(GenerateRsaKeyPair, SizesChecksAndLayout) {
  struct Case {
    uint16_t bits;
    uint32_t firstIn, secondIn;
    uint32_t result;
    uint32_t firstOut, secondOut;
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
  for (const Case& c : cases) {
    ScriptedToken token;
    const Bytes answer = Pattern(928);
    token.Answer(answer);
    Bytes first(1000, 0xEE), second(1000, 0xEE);
    uint32_t firstLength = c.firstIn, secondLength = c.secondIn;
    EXPECT_EQ(c.result, QKGenerateRsaKeyPair(token.context(), c.bits, 0x01020304, "0001", "0a02",
                                             first.data(), &firstLength, second.data(),
                                             &secondLength)) << c.bits;
    EXPECT_EQ(c.firstOut, firstLength);
    EXPECT_EQ(c.secondOut, secondLength);
    if (c.result != QK_E_SUCCESS) {
      EXPECT_TRUE(token.sent().empty());
      EXPECT_EQ(Bytes(1000, 0xEE), first);
      continue;
    }
    const Bytes image = Join(Hex("00 46 00 00 0A 00 01 00 02 0A"), {c.sizeCode, 4, 1, 2, 3, 4});
    EXPECT_EQ(std::vector<Bytes>{image}, token.Images());
    EXPECT_EQ(Join(Bytes(answer.begin(), answer.begin() + c.firstOut), Bytes(1000 - c.firstOut, 0xEE)),
              first);
    EXPECT_EQ(Bytes(answer.begin() + c.firstOut, answer.begin() + c.firstOut + c.secondOut),
              Bytes(second.begin(), second.begin() + c.secondOut));
    EXPECT_EQ(0xEE, second[c.secondOut]);
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
    EXPECT_EQ(1u, token.sent().size());
    EXPECT_EQ(300u, firstLength);
    EXPECT_EQ(700u, secondLength);
  }
}

TEST(GenerateRsaKeyPair, MissingArgumentsAreRefused) {
  ScriptedToken token;
  uint32_t length = 1000;
  EXPECT_EQ(QK_E_PARAMETER, QKGenerateRsaKeyPair(token.context(), 512, 0, "0001", "0002", nullptr,
                                                 nullptr, nullptr, &length));
  EXPECT_EQ(QK_E_PARAMETER, QKGenerateRsaKeyPair(token.context(), 512, 0, "0001", "0002", nullptr,
                                                 &length, nullptr, nullptr));
  EXPECT_EQ(QK_E_PARAMETER, QKGenerateRsaKeyPair(token.context(), 512, 0, nullptr, "0002", nullptr,
                                                 &length, nullptr, &length));
  EXPECT_EQ(QK_E_CONTEXT, QKGenerateRsaKeyPair(token.closed(), 512, 0, "0001", "0002", nullptr,
                                               nullptr, nullptr, nullptr));
  EXPECT_TRUE(token.sent().empty());
}

}  // namespace
