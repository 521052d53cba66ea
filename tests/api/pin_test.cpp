#include <gtest/gtest.h>

#include <functional>

#include "tests/api/scripted_token.h"

namespace {

using namespace qktest;

const Bytes kPin8 = Pattern(8, 0x30), kNew8 = Pattern(8, 0x60);
const Bytes kPin24 = Pattern(24, 0x30), kNew24 = Pattern(24, 0x60);

TEST(PinCommands, Layouts) {
  struct Case {
    std::function<uint32_t(QKContext*)> call;
    Bytes image;
  } cases[] = {
      {[](QKContext* c) { return QKVerifyPin(c, kPin8.data(), 8, QK_PIN_USER); },
       Join(Hex("00 20 00 00 08 00"), kPin8)},
      {[](QKContext* c) { return QKVerifyPin(c, kPin8.data(), 8, QK_PIN_DEVELOPER); },
       Join(Hex("00 20 01 00 08 00"), kPin8)},
      {[](QKContext* c) { return QKVerifyPin(c, kPin24.data(), 24, QK_PIN_USER); },
       Join(Hex("00 20 00 00 18 00"), kPin24)},
      {[](QKContext* c) { return QKUpdatePin(c, kPin8.data(), 8, kNew8.data(), 8, 0, 3); },
       Join(Join(Join(Hex("00 24 03 00 13 00 08"), kPin8), Hex("08")), Join(kNew8, Hex("03")))},
      {[](QKContext* c) { return QKUpdatePin(c, kPin8.data(), 8, kNew8.data(), 8, 0, 256); },
       Join(Join(Join(Hex("00 24 03 00 13 00 08"), kPin8), Hex("08")), Join(kNew8, Hex("FF")))},
      {[](QKContext* c) { return QKUpdatePin(c, kPin24.data(), 24, kNew24.data(), 24, 1, 0); },
       Join(Join(Join(Hex("00 24 01 00 33 00 18"), kPin24), Hex("18")), Join(kNew24, Hex("FF")))},
  };
  for (const Case& c : cases) {
    ScriptedToken token;
    EXPECT_EQ(QK_E_SUCCESS, c.call(token.context()));
    EXPECT_EQ(std::vector<Bytes>{c.image}, token.Images());
  }
}

TEST(PinCommands, RefusalsSendNothing) {
  struct Case {
    std::function<uint32_t(ScriptedToken&)> call;
    uint32_t result;
  } cases[] = {
      {[](ScriptedToken& t) { return QKVerifyPin(t.closed(), nullptr, 0, 9); }, QK_E_CONTEXT},
      {[](ScriptedToken& t) { return QKVerifyPin(t.context(), kPin24.data(), 16, 0); }, QK_E_PARAMETER},
      {[](ScriptedToken& t) { return QKVerifyPin(t.context(), kPin24.data(), 25, 1); }, QK_E_PARAMETER},
      {[](ScriptedToken& t) { return QKVerifyPin(t.context(), kPin8.data(), 8, 2); }, QK_E_PARAMETER},
      {[](ScriptedToken& t) { return QKVerifyPin(t.context(), nullptr, 8, 0); }, QK_E_PARAMETER},
      {[](ScriptedToken& t) { return QKUpdatePin(t.closed(), nullptr, 0, nullptr, 0, 9, 0); },
       QK_E_CONTEXT},
      // Each change layout carries PINs of one length; another would be cut or padded.
      {[](ScriptedToken& t) { return QKUpdatePin(t.context(), kPin24.data(), 24, kNew8.data(), 8, 0, 3); },
       QK_E_PARAMETER},
      {[](ScriptedToken& t) { return QKUpdatePin(t.context(), kPin8.data(), 8, kNew24.data(), 24, 0, 3); },
       QK_E_PARAMETER},
      {[](ScriptedToken& t) { return QKUpdatePin(t.context(), kPin8.data(), 8, kNew8.data(), 8, 1, 3); },
       QK_E_PARAMETER},
      {[](ScriptedToken& t) { return QKUpdatePin(t.context(), kPin8.data(), 16, kNew8.data(), 8, 0, 3); },
       QK_E_PARAMETER},
      {[](ScriptedToken& t) { return QKUpdatePin(t.context(), kPin8.data(), 8, kNew8.data(), 8, 2, 3); },
       QK_E_PARAMETER},
      {[](ScriptedToken& t) { return QKUpdatePin(t.context(), kPin8.data(), 8, nullptr, 8, 0, 3); },
       QK_E_PARAMETER},
  };
  for (const Case& c : cases) {
    ScriptedToken token;
    EXPECT_EQ(c.result, c.call(token));
    EXPECT_TRUE(token.sent().empty());
  }
}

}  // namespace
