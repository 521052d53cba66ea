// PIN verification and change: layouts, and refusals before any command.
#include "tests/api/scripted_token.h"

using namespace qktest;

const Bytes kP8 = Pattern(8, 0x30), kN8 = Pattern(8, 0x60);
const Bytes kP24 = Pattern(24, 0x30), kN24 = Pattern(24, 0x60);

TEST(PinCommands, LayoutsAndRefusals) {
  const std::pair<Call, Bytes> cases[] = {  // call, command image (none: refused)
      {CALL(QKVerifyPin(c, kP8.data(), 8, QK_PIN_USER)), Cat({Hex("00 20 00 00 08 00"), kP8})},
      {CALL(QKVerifyPin(c, kP8.data(), 8, QK_PIN_DEVELOPER)), Cat({Hex("00 20 01 00 08 00"), kP8})},
      {CALL(QKUpdatePin(c, kP8.data(), 8, kN8.data(), 8, 0, 3)),
       Cat({Hex("00 24 03 00 13 00 08"), kP8, {8}, kN8, {3}})},
      {CALL(QKUpdatePin(c, kP8.data(), 8, kN8.data(), 8, 0, 256)),  // try limit capped at 255
       Cat({Hex("00 24 03 00 13 00 08"), kP8, {8}, kN8, {0xFF}})},
      {CALL(QKUpdatePin(c, kP24.data(), 24, kN24.data(), 24, 1, 0)),
       Cat({Hex("00 24 01 00 33 00 18"), kP24, {24}, kN24, {0xFF}})},
      {CALL(QKVerifyPin(c, kP24.data(), 16, 0)), {}}, {CALL(QKVerifyPin(c, kP8.data(), 8, 2)), {}},
      {CALL(QKVerifyPin(c, kP24.data(), 25, 1)), {}},
      // Each change layout carries PINs of one length; another would be cut or padded.
      {CALL(QKUpdatePin(c, kP8.data(), 8, kN24.data(), 24, 0, 3)), {}},
      {CALL(QKUpdatePin(c, kP8.data(), 8, kN8.data(), 8, 1, 3)), {}},
      {CALL(QKUpdatePin(c, kP8.data(), 8, kN8.data(), 8, 2, 3)), {}},
  };
  for (const auto& c : cases) {
    const auto& [call, image] = c;
    const auto row = &c - cases;
    ScriptedToken token;
    EXPECT_EQ(image.empty() ? QK_E_PARAMETER : QK_E_SUCCESS, call(token.context())) << row;
    EXPECT_EQ(image.empty() ? std::vector<Bytes>() : std::vector<Bytes>{image}, token.sent) << row;
  }
}
