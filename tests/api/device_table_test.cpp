// The context check every call starts with.
#include "api/device_table.h"

#include "tests/api/core_fixture.h"

namespace {

using ContextCheckTest = qktest::CoreTest;

TEST_F(ContextCheckTest, RefusesNullOutOfRangeAndClosedSlots) {
  qk::GetDeviceTable().slots[3].opened = 1;
  qk::GetDeviceTable().slots[127].opened = 1;
  const struct {
    uint32_t slotIndex;
    bool requireOpen;
    uint32_t result;
  } cases[] = {
      {0, false, QK_E_SUCCESS},
      {127, false, QK_E_SUCCESS},
      {128, false, QK_E_CONTEXT},
      {0xFF, false, QK_E_CONTEXT},
      {0x180, false, QK_E_CONTEXT},  // low byte 0x80
      // Low byte in range but the whole word is not: the transport would
      // index past the table with it.
      {0x100, false, QK_E_CONTEXT},
      {0x103, true, QK_E_CONTEXT},
      {0xFFFFFF03, false, QK_E_CONTEXT},
      {3, true, QK_E_SUCCESS},
      {127, true, QK_E_SUCCESS},
      {4, true, QK_E_CONTEXT},
  };
  for (const auto& c : cases) {
    QKContext context{};
    context.slotIndex = c.slotIndex;
    EXPECT_EQ(qk::CheckContext(&context, c.requireOpen), c.result)
        << std::hex << c.slotIndex << " open " << c.requireOpen;
  }
  EXPECT_EQ(qk::CheckContext(nullptr, false), QK_E_CONTEXT);
  EXPECT_EQ(qk::CheckContext(nullptr, true), QK_E_CONTEXT);
}

TEST_F(ContextCheckTest, SlotOfNamesTheTableEntry) {
  QKContext context{};
  context.slotIndex = 42;
  EXPECT_EQ(&qk::SlotOf(&context), &qk::GetDeviceTable().slots[42]);
}

}  // namespace
