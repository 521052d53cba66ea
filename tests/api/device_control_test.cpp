// Device-control codes: the record each sends, the refusals before any
// command, and the one field each information code hands out.
#include <tuple>

#include "tests/api/scripted_token.h"

using namespace qktest;

template <typename T>
static Bytes HostBytes(T value) {  // the value as this machine lays it out
  return Bytes(reinterpret_cast<uint8_t*>(&value), reinterpret_cast<uint8_t*>(&value + 1));
}

static uint32_t Control(ScriptedToken& token, uint32_t code, const Bytes& input, uint8_t* output,
                        uint32_t outputSize, uint32_t* outputLength) {
  return QKDeviceControl(token.context(), code, input.data(), static_cast<uint32_t>(input.size()),
                         output, outputSize, outputLength);
}

TEST(DeviceControl, SendCodesLayoutsAndRefusals) {
  // code, input, output size, command image (none: refused before any command)
  const std::tuple<uint32_t, Bytes, uint32_t, Bytes> cases[] = {
      {QK_CTRL_MODE_1, {}, 4, Hex("00 50 01 00 00 00")},
      {QK_CTRL_MODE_2, {9}, 4, Hex("00 50 02 00 00 00")},
      {QK_CTRL_MODE_3, Hex("07 01 02 03"), 4, Hex("00 50 03 07 00 00")},
      {QK_CTRL_SEND_E7, {0xAB}, 4, Hex("00 E7 AB 00 00 00")},
      {QK_CTRL_SEND_30, Pattern(8), 4, Cat({Hex("00 30 00 00 00 00"), Pattern(8)})},
      // 0xCB alone puts the length's high byte first
      {QK_CTRL_SEND_CB, Pattern(256), 4, Cat({Hex("00 CB 00 00 01 00"), Pattern(256)})},
      {QK_CTRL_SEND_25, Hex("01 02 03"), 4, Hex("00 25 00 00 03 00 01 02 03")},
      {QK_CTRL_RUN_E3, {}, 4, Hex("00 E3 00 00 00 00")},
      {0x1A, {}, 32, {}}, {QK_CTRL_MODE_3, Pattern(3), 0, {}},
      {QK_CTRL_SEND_25, Pattern(17), 0, {}}, {QK_CTRL_SEND_E7, {}, 0, {}},
      {QK_CTRL_SEND_30, Pattern(7), 0, {}}, {QK_CTRL_SEND_CB, Pattern(257), 0, {}},
      {QK_CTRL_GET_FILE_RECORD, Hex("30 30 30"), 5, {}},
      // codes that size their output before the command
      {QK_CTRL_GET_INFO_BLOCK, {}, 15, {}}, {QK_CTRL_GET_FILE_RECORD, Hex("30 30 30 31"), 4, {}},
  };
  for (const auto& [code, input, outputSize, image] : cases) {
    ScriptedToken token;
    uint32_t length = 1234;
    uint8_t output[32] = {0xEE};
    EXPECT_EQ(image.empty() ? QK_E_PARAMETER : QK_E_SUCCESS,
              Control(token, code, input, output, outputSize, &length)) << code;
    EXPECT_EQ(image.empty() ? std::vector<Bytes>() : std::vector<Bytes>{image}, token.sent) << code;
  }
  ScriptedToken token;  // a missing buffer or input with a length is refused too
  EXPECT_EQ(QK_E_PARAMETER, QKDeviceControl(token.context(), QK_CTRL_GET_INFO_BYTE, 0, 0, 0, 8, 0));
  EXPECT_EQ(QK_E_PARAMETER, QKDeviceControl(token.context(), QK_CTRL_SEND_30, 0, 8, 0, 0, 0));
  EXPECT_EQ(QK_E_CONTEXT, QKDeviceControl(token.closed(), QK_CTRL_MODE_1, 0, 0, 0, 0, 0));
  EXPECT_TRUE(token.sent.empty());
}

TEST(DeviceControl, InformationCodesHandOutOneField) {
  Bytes info = Pattern(38);
  info[2] = 0x01, info[3] = 0x02;                                      // word 0x0102, big-endian
  info[34] = 0x10, info[35] = 0x27, info[36] = 0x00, info[37] = 0x00;  // number 10000
  const Bytes ca = Hex("00 CA 00 00 00 00");
  const struct {
    uint32_t code;
    Bytes input, answer, image, output;
  } cases[] = {
      {QK_CTRL_GET_INFO_BYTE, {}, info, ca, {info[0]}},
      {QK_CTRL_GET_INFO_EIGHT, {}, info, ca, Bytes(&info[26], &info[34])},
      {QK_CTRL_GET_INFO_NUMBER, {}, info, ca, HostBytes<uint32_t>(10000)},
      {QK_CTRL_GET_INFO_BLOCK, {}, info, ca, Bytes(&info[4], &info[20])},
      {QK_CTRL_GET_CC_VALUE, {}, Hex("04 03 02 01"), Hex("00 CC 00 00 00 00"),
       HostBytes<uint32_t>(0x01020304)},
      {QK_CTRL_GET_CD_VALUE, {}, Hex("00 01 02 03 78 56 34 12 08 09 0A 0B"),
       Hex("00 CD 00 00 00 00"), HostBytes<uint32_t>(0x12345678)},
      {QK_CTRL_GET_FILE_RECORD, Hex("61 42 30 32 46"), Hex("10 00 01"), Hex("00 CE 02 AB 00 00"),
       Cat({HostBytes<uint16_t>(0xAB02), Hex("10 00 01")})},
      {QK_CTRL_GET_INFO_WORD, {}, info, ca, HostBytes<uint16_t>(0x0102)},
  };
  for (const auto& c : cases) {
    ScriptedToken token;
    token.Answer(c.answer);
    Bytes output(20, 0xEE);
    uint32_t length = 999;
    EXPECT_EQ(QK_E_SUCCESS, Control(token, c.code, c.input, output.data(), 20, &length)) << c.code;
    EXPECT_EQ(std::vector<Bytes>{c.image}, token.sent);
    EXPECT_EQ(Cat({c.output, Bytes(20 - c.output.size(), 0xEE)}), output) << c.code;
    EXPECT_EQ(c.output.size(), length);
  }
}
