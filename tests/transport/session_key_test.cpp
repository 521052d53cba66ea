// The historical bytes of an answer-to-reset string. (The session key
// itself is tested with the channel that agrees it.)
#include "api/session.h"

#include <gtest/gtest.h>

#include <cstring>

#include "api/device_table.h"
#include "tests/support/fake_device.h"

namespace {

using qktest::Bytes;

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
