#include <gtest/gtest.h>

#include <cstring>

#include "tests/api/scripted_token.h"

namespace {

using namespace qktest;

template <typename T>
Bytes HostBytes(T value) {
  Bytes bytes(sizeof(T));
  std::memcpy(bytes.data(), &value, sizeof(T));
  return bytes;
}

uint32_t Control(ScriptedToken& token, uint32_t code, const Bytes& input, uint8_t* output,
                 uint32_t outputSize, uint32_t* outputLength) {
  return QKDeviceControl(token.context(), code, input.data(), static_cast<uint32_t>(input.size()),
                         output, outputSize, outputLength);
}

TEST(DeviceControl, SendCodesLayouts) {
  const Bytes many = Pattern(256);
  const Bytes fewer(many.begin(), many.end() - 1);
  struct Case {
    uint32_t code;
    Bytes input;
    Bytes image;
  } cases[] = {
      {QK_CTRL_MODE_1, {}, Hex("00 50 01 00 00 00")},
      {QK_CTRL_MODE_2, {9}, Hex("00 50 02 00 00 00")},
      {QK_CTRL_MODE_3, Hex("07 01 02 03"), Hex("00 50 03 07 00 00")},
      {QK_CTRL_SEND_E7, {0xAB}, Hex("00 E7 AB 00 00 00")},
      {QK_CTRL_SEND_30, Pattern(8), Join(Hex("00 30 00 00 00 00"), Pattern(8))},
      {QK_CTRL_SEND_CB, many, Join(Hex("00 CB 00 00 01 00"), many)},  // length high byte first
      {QK_CTRL_SEND_CB, fewer, Join(Hex("00 CB 00 00 00 FF"), fewer)},
      {QK_CTRL_SEND_25, Hex("01 02 03"), Hex("00 25 00 00 03 00 01 02 03")},
      {QK_CTRL_RUN_E3, {}, Hex("00 E3 00 00 00 00")},
  };
  for (const Case& c : cases) {
    ScriptedToken token;
    uint32_t length = 1234;
    uint8_t output[4] = {0xEE};
    EXPECT_EQ(QK_E_SUCCESS, Control(token, c.code, c.input, output, 4, &length)) << c.code;
    EXPECT_EQ(std::vector<Bytes>{c.image}, token.Images()) << c.code;
    EXPECT_EQ(1234u, length);  // send codes write no output
    EXPECT_EQ(0xEE, output[0]);
  }
}

TEST(DeviceControl, RefusalsSendNothing) {
  struct Case {
    uint32_t code;
    Bytes input;
    uint32_t outputSize;
  } cases[] = {
      {0x00, {}, 32}, {0x04, {}, 32}, {0x1A, {}, 32}, {0x20, {}, 32}, {0x32, {}, 32},
      {QK_CTRL_MODE_3, Pattern(3), 0},          {QK_CTRL_SEND_25, {}, 0},
      {QK_CTRL_SEND_25, Pattern(17), 0},        {QK_CTRL_SEND_E7, {}, 0},
      {QK_CTRL_SEND_30, Pattern(7), 0},         {QK_CTRL_SEND_CB, {}, 0},
      {QK_CTRL_SEND_CB, Pattern(257), 0},       {QK_CTRL_GET_FILE_RECORD, Hex("30 30 30"), 5},
      // codes that size their output before the command
      {QK_CTRL_GET_INFO_BLOCK, {}, 15},         {QK_CTRL_GET_INFO_SIX, {}, 5},
      {QK_CTRL_GET_CD_VALUE, {}, 3},            {QK_CTRL_GET_FILE_RECORD, Hex("30 30 30 31"), 4},
  };
  for (const Case& c : cases) {
    ScriptedToken token;
    uint8_t output[32];
    EXPECT_EQ(QK_E_PARAMETER, Control(token, c.code, c.input, output, c.outputSize, nullptr))
        << c.code;
    EXPECT_TRUE(token.sent().empty()) << c.code;
    EXPECT_EQ(QK_E_CONTEXT, QKDeviceControl(token.closed(), c.code, nullptr, 0, nullptr, 0, nullptr));
  }
  ScriptedToken token;  // a missing buffer or input with a length is refused too
  EXPECT_EQ(QK_E_PARAMETER, QKDeviceControl(token.context(), QK_CTRL_GET_INFO_BYTE, nullptr, 0, nullptr, 8, nullptr));
  EXPECT_EQ(QK_E_PARAMETER, QKDeviceControl(token.context(), QK_CTRL_SEND_30, nullptr, 8, nullptr, 0, nullptr));
  EXPECT_EQ(QK_E_PARAMETER, QKDeviceControl(token.context(), QK_CTRL_SEND_CB, nullptr, 8, nullptr, 0, nullptr));
  EXPECT_TRUE(token.sent().empty());
}

TEST(DeviceControl, InformationCodesHandOutOneField) {
  Bytes info = Pattern(38);
  info[2] = 0x01, info[3] = 0x02;                                    // infoWord 0x0102
  info[34] = 0x10, info[35] = 0x27, info[36] = 0x00, info[37] = 0x00;  // infoNumber 10000
  struct Case {
    uint32_t code;
    Bytes input, answer;
    Bytes image;
    Bytes output;
    uint32_t tooSmall;  // an output size refused only after the command
  } cases[] = {
      {QK_CTRL_GET_INFO_BYTE, {}, info, Hex("00 CA 00 00 00 00"), {info[0]}, 0},
      {QK_CTRL_GET_INFO_EIGHT, {}, info, Hex("00 CA 00 00 00 00"), Bytes(&info[26], &info[34]), 7},
      {QK_CTRL_GET_INFO_NUMBER, {}, info, Hex("00 CA 00 00 00 00"), HostBytes<uint32_t>(10000), 3},
      {QK_CTRL_GET_INFO_BLOCK, {}, info, Hex("00 CA 00 00 00 00"), Bytes(&info[4], &info[20]), 99},
      {QK_CTRL_GET_CC_VALUE, {}, Hex("04 03 02 01"), Hex("00 CC 00 00 00 00"),
       HostBytes<uint32_t>(0x01020304), 3},
      {QK_CTRL_GET_INFO_SIX, {}, info, Hex("00 CA 00 00 00 00"), Bytes(&info[20], &info[26]), 99},
      {QK_CTRL_GET_CD_VALUE, {}, Hex("00 01 02 03 78 56 34 12 08 09 0A 0B"),
       Hex("00 CD 00 00 00 00"), HostBytes<uint32_t>(0x12345678), 99},
      {QK_CTRL_GET_FILE_RECORD, Hex("61 42 30 32 46"), Hex("10 00 01"), Hex("00 CE 02 AB 00 00"),
       Join(HostBytes<uint16_t>(0xAB02), Hex("10 00 01")), 99},
      {QK_CTRL_GET_INFO_WORD, {}, info, Hex("00 CA 00 00 00 00"), HostBytes<uint16_t>(0x0102), 1},
  };
  for (const Case& c : cases) {
    for (bool withLength : {true, false}) {  // the length word is optional
      ScriptedToken token;
      token.Answer(c.answer);
      Bytes output(20, 0xEE);
      uint32_t length = 999;
      EXPECT_EQ(QK_E_SUCCESS, Control(token, c.code, c.input, output.data(), 20,
                                      withLength ? &length : nullptr)) << c.code;
      EXPECT_EQ(std::vector<Bytes>{c.image}, token.Images());
      EXPECT_EQ(Join(c.output, Bytes(20 - c.output.size(), 0xEE)), output) << c.code;
      EXPECT_EQ(withLength ? c.output.size() : 999u, length);
    }
    if (c.tooSmall == 99) continue;
    for (uint32_t transport : {QK_E_SUCCESS, QK_E_UNSUPPORTED}) {
      ScriptedToken token;  // short output or refused query: sent, but nothing written
      token.Answer(c.answer, transport);
      Bytes output(20, 0xEE);
      uint32_t length = 999;
      const uint32_t size = transport == QK_E_SUCCESS ? c.tooSmall : 20;
      EXPECT_EQ(transport == QK_E_SUCCESS ? QK_E_PARAMETER : transport,
                Control(token, c.code, c.input, output.data(), size, &length)) << c.code;
      EXPECT_EQ(1u, token.sent().size());
      EXPECT_EQ(Bytes(20, 0xEE), output);
      EXPECT_EQ(999u, length);
    }
  }
}

}  // namespace
