// Session-key agreement and the historical bytes of an answer-to-reset string.
#include "transport/session_key.h"

#include <gtest/gtest.h>

#include <cstring>

#include "api/device_table.h"
#include "tests/support/fake_device.h"
#include "transport/exchange.h"

namespace {

using qktest::Bytes;

// The transport's stand-in: answers the session-key command with `gAnswer`.
Bytes gAnswer;
uint32_t gResult = QK_E_SUCCESS;
qk::CommandRecord gSent;

uint32_t ScriptedTransmit(uint32_t, qk::CommandRecord* record) {
  gSent = *record;
  if (gResult != QK_E_SUCCESS) return gResult;
  std::memcpy(record->bytes + qk::kData, gAnswer.data(), gAnswer.size());
  record->responseLength = static_cast<uint16_t>(gAnswer.size() - 2);
  return QK_E_SUCCESS;
}

TEST(SessionKey, TheKeyIsTheHeadOfTheOpenedBlockAndFailuresKeepTheOldOne) {
  qktest::ResetDeviceTable();
  qk::SetTransmitHookForTesting(ScriptedTransmit);
  qk::DeviceSlot& slot = qk::GetDeviceTable().slots[4];
  slot.opened = 1;
  const Bytes block(qktest::kSessionBlock, qktest::kSessionBlock + 64), old(8, 0x33);
  const struct { const char* name; uint32_t transport; Bytes answer; uint32_t result; } cases[] = {
      {"transport failure", QK_E_COMMUNICATION, {}, QK_E_COMMUNICATION},
      {"refused", QK_E_UNSUPPORTED, {}, QK_E_UNSUPPORTED},
      {"63-byte block", 0, qktest::Ok(Bytes(block.begin(), block.end() - 1)), QK_E_COMMUNICATION},
      {"block not below the modulus", 0, qktest::Ok(Bytes(64, 0xFF)), QK_E_COMMUNICATION},
      {"the maker's block", 0, qktest::Ok(block), QK_E_SUCCESS},
  };
  QKContext context{};
  context.slotIndex = 4;
  for (const auto& c : cases) {
    std::memset(slot.sessionKey, 0x33, 8);
    gResult = c.transport;
    gAnswer = c.answer;
    EXPECT_EQ(qk::EstablishSessionKey(&context), c.result) << c.name;
    const Bytes key(slot.sessionKey, slot.sessionKey + 8);
    EXPECT_EQ(key, c.result ? old : Bytes(qktest::kSessionBlockKey, qktest::kSessionBlockKey + 8));
  }
  EXPECT_EQ(Bytes(gSent.bytes, gSent.bytes + gSent.bytesToSend),
            (Bytes{0, 0x47, 0x47, 0x4B, 0, 0}));
  context.slotIndex = 0x104u;  // out of range: nothing sent
  gSent.bytes[1] = 0;
  EXPECT_EQ(qk::EstablishSessionKey(&context), QK_E_CONTEXT);
  EXPECT_EQ(gSent.bytes[1], 0);
  qk::SetTransmitHookForTesting(nullptr);
  qktest::ResetDeviceTable();
}

// T0 and each TD give interface bytes (TA, TB, TC, TD) in the high half; T0's
// low half counts the historical bytes. Strings shorter than they announce are refused.
TEST(StoreHistoricalBytes, FindsThemBehindTheInterfaceBytes) {
  const struct { uint32_t slot; Bytes atr, historical; bool ok; } cases[] = {
      {7, {0x3B, 0x82, 0x81, 0x01, 0xAA, 0xBB}, {0xAA, 0xBB}, true},  // TD chain
      {7, {0x3B, 0xF3, 0x11, 0x22, 0x33, 0x00, 0xC1, 0xC2, 0xC3}, {0xC1, 0xC2, 0xC3}, true},
      {7, {0x3B, 0x81, 0x1F, 0x99, 0x44}, {0x44}, true},  // TD's low half ignored
      {7, {0x3B, 0x02, 0x14}, {}, false},  // missing historical byte
      {7, {0x3B, 0x70, 0x11}, {}, false},  // missing interface bytes
      {7, {0x3B, 0x80, 0x80, 0x80}, {}, false},  // TD chain running off the end
      {128, {0x3B, 0x00}, {}, false},
  };
  for (const auto& c : cases) {
    qktest::ResetDeviceTable();
    uint8_t* historical = qk::GetDeviceTable().slots[7].historical;
    std::memset(historical, 0x5A, 16);
    EXPECT_EQ(qk::StoreHistoricalBytes(c.slot, c.atr.data(), c.atr.size()), c.ok) << c.atr.size();
    Bytes expected = c.ok ? c.historical : Bytes(16, 0x5A);
    expected.resize(16, 0);
    EXPECT_EQ(Bytes(historical, historical + 16), expected) << c.atr.size();
  }
}

}  // namespace
