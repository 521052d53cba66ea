// PIN verification and change: layouts, and refusals before any command.
#include <gtest/gtest.h>

#include <functional>

#include "tests/api/scripted_token.h"

namespace {

using namespace qktest;
using Call = std::function<uint32_t(QKContext*)>;

const Bytes kPin8 = Pattern(8, 0x30), kNew8 = Pattern(8, 0x60);
const Bytes kPin24 = Pattern(24, 0x30), kNew24 = Pattern(24, 0x60);

TEST(PinCommands, Layouts) {
  const std::pair<Call, Bytes> cases[] = {
      {[](QKContext* c) { return QKVerifyPin(c, kPin8.data(), 8, QK_PIN_USER); },
       Cat({Hex("00 20 00 00 08 00"), kPin8})},
      {[](QKContext* c) { return QKVerifyPin(c, kPin8.data(), 8, QK_PIN_DEVELOPER); },
       Cat({Hex("00 20 01 00 08 00"), kPin8})},
      {[](QKContext* c) { return QKVerifyPin(c, kPin24.data(), 24, QK_PIN_USER); },
       Cat({Hex("00 20 00 00 18 00"), kPin24})},
      {[](QKContext* c) { return QKUpdatePin(c, kPin8.data(), 8, kNew8.data(), 8, 0, 3); },
       Cat({Hex("00 24 03 00 13 00 08"), kPin8, {8}, kNew8, {3}})},
      {[](QKContext* c) { return QKUpdatePin(c, kPin8.data(), 8, kNew8.data(), 8, 0, 256); },
       Cat({Hex("00 24 03 00 13 00 08"), kPin8, {8}, kNew8, {0xFF}})},
      {[](QKContext* c) { return QKUpdatePin(c, kPin24.data(), 24, kNew24.data(), 24, 1, 0); },
       Cat({Hex("00 24 01 00 33 00 18"), kPin24, {24}, kNew24, {0xFF}})},
  };
  for (const auto& [call, image] : cases) {
    ScriptedToken token;
    EXPECT_EQ(QK_E_SUCCESS, call(token.context()));
    EXPECT_EQ(std::vector<Bytes>{image}, token.sent);
  }
}

TEST(PinCommands, RefusalsSendNothing) {
  const Call cases[] = {
      [](QKContext* c) { return QKVerifyPin(c, kPin24.data(), 16, 0); },
      [](QKContext* c) { return QKVerifyPin(c, kPin24.data(), 25, 1); },
      [](QKContext* c) { return QKVerifyPin(c, kPin8.data(), 8, 2); },
      [](QKContext* c) { return QKVerifyPin(c, nullptr, 8, 0); },
      // Each change layout carries PINs of one length; another would be cut or padded.
      [](QKContext* c) { return QKUpdatePin(c, kPin24.data(), 24, kNew8.data(), 8, 0, 3); },
      [](QKContext* c) { return QKUpdatePin(c, kPin8.data(), 8, kNew24.data(), 24, 0, 3); },
      [](QKContext* c) { return QKUpdatePin(c, kPin8.data(), 8, kNew8.data(), 8, 1, 3); },
      [](QKContext* c) { return QKUpdatePin(c, kPin8.data(), 16, kNew8.data(), 8, 0, 3); },
      [](QKContext* c) { return QKUpdatePin(c, kPin8.data(), 8, kNew8.data(), 8, 2, 3); },
      [](QKContext* c) { return QKUpdatePin(c, kPin8.data(), 8, nullptr, 8, 0, 3); },
  };
  for (const Call& call : cases) {
    ScriptedToken token;
    EXPECT_EQ(QK_E_PARAMETER, call(token.context()));
    EXPECT_TRUE(token.sent.empty());
  }
  ScriptedToken token;  // a closed slot is refused before the arguments are looked at
  EXPECT_EQ(QK_E_CONTEXT, QKVerifyPin(token.closed(), nullptr, 0, 9));
  EXPECT_EQ(QK_E_CONTEXT, QKUpdatePin(token.closed(), nullptr, 0, nullptr, 0, 9, 0));
}

}  // namespace
