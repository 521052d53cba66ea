// Opening and closing against a fake token that speaks the real framing and
// cipher: the context check, the information fields and the slot's state machine.
#include <memory>
#include <tuple>

#include "api/device_table.h"
#include "tests/api/core_fixture.h"

using qk::platform::ShareMode;
using qktest::Bytes;

class OpenCloseTest : public qktest::CoreTest {
 public:
  void SetUp() override {
    CoreTest::SetUp();
    for (size_t i = 0; i < 38; ++i) info[i] = static_cast<uint8_t>(0x40 + i);
    info[2] = 0x00, info[3] = 0x05;  // information word 5
    infoAnswer = qktest::Ok(info);
    backend.AddToken("\\\\?\\hid#token").responder = token.AsResponder();
    uint32_t count = 1;
    ASSERT_EQ(QKListDevices(&context, &count), QK_E_SUCCESS);
  }
  qk::DeviceSlot& Slot() { return qk::GetDeviceTable().slots[0]; }

  Bytes info = Bytes(38), infoAnswer, ccAnswer = qktest::Ok({0x04, 0x03, 0x02, 0x01});
  qktest::FakeToken token{[this](const Bytes& command) {
    return command[1] == 0xCA ? infoAnswer : command[1] == 0xCC ? ccAnswer : Bytes{0x6D, 0x00};
  }};
  QKContext context{};
  QKOpenOptions sharedOpen{0, 1};
};

TEST_F(OpenCloseTest, ContextCheckRefusesNullOutOfRangeAndClosedSlots) {
  qk::GetDeviceTable().slots[3].opened = 1;
  const std::tuple<uint32_t, bool, uint32_t> cases[] = {
      // slot word, must be open, result
      {127, false, QK_E_SUCCESS},
      {128, false, QK_E_CONTEXT},
      {3, true, QK_E_SUCCESS},
      {4, true, QK_E_CONTEXT},
      {0x103, true, QK_E_CONTEXT}};  // low byte in range, word not
  for (const auto& [slotIndex, requireOpen, result] : cases) {
    QKContext bad{};
    bad.slotIndex = slotIndex;
    EXPECT_EQ(qk::CheckContext(&bad, requireOpen), result) << std::hex << slotIndex;
  }
  EXPECT_TRUE(QKOpenDevice(nullptr) == QK_E_CONTEXT && QKCloseDevice(nullptr) == QK_E_CONTEXT);
  EXPECT_EQ(QKOpenDeviceShared(&context, nullptr), QK_E_PARAMETER);
}

TEST_F(OpenCloseTest, OpenFillsTheContextRefusesASecondOpenAndCloseOpenCycles) {
  backend.interfaces[0].openStatus =
      qk::platform::DeviceStatus::kSharingViolation;  // not to be had
  EXPECT_EQ(QKOpenDevice(&context), QK_E_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(QKCloseDevice(&context), QK_E_CONTEXT) << "the slot stayed closed";
  backend.interfaces[0].openStatus = qk::platform::DeviceStatus::kOk;
  context.reserved[0] = context.reserved[1] = context.reserved[2] = 0xDEADBEEF;
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);
  EXPECT_EQ(token.commands.size(), 3u) << "session key, information, 0xCC value";
  EXPECT_EQ(context.device, Slot().channel->device()->HandleValue());
  EXPECT_EQ(context.infoWord, 5u) << "bytes 2..3 big-endian";
  EXPECT_TRUE(context.queryValue == 0x01020304 && context.markWord == 16);
  EXPECT_EQ(context.reserved[0] | context.reserved[1] | context.reserved[2], 0u);
  const size_t opens = backend.opens.size();

  QKContext copy = context;
  EXPECT_EQ(QKOpenDevice(&copy), QK_E_ALREADY_OPENED);
  EXPECT_EQ(QKOpenDeviceShared(&copy, &sharedOpen), QK_E_ALREADY_OPENED);
  EXPECT_EQ(backend.opens.size(), opens) << "no further path opened";

  ASSERT_EQ(QKCloseDevice(&context), QK_E_SUCCESS);
  EXPECT_TRUE(Slot().opened == 0 && Slot().channel == nullptr);
  EXPECT_TRUE(backend.logs.back()->deleted) << "close releases the device";
  EXPECT_EQ(QKCloseDevice(&context), QK_E_CONTEXT);
  const QKOpenOptions exclusive{0xFFFFFFFF, 0};
  ASSERT_EQ(QKOpenDeviceShared(&context, &exclusive), QK_E_SUCCESS);
  EXPECT_EQ(backend.opens.back().share, ShareMode::kExclusive);
  EXPECT_EQ(backend.LiveDevices(), 1);
}

TEST_F(OpenCloseTest, FailuresAfterTheSlotIsOpenLeaveItOpen) {
  infoAnswer = {0x6A, 0x82};  // information refused
  EXPECT_EQ(QKOpenDevice(&context), QK_E_FILE_NOT_FOUND);
  EXPECT_EQ(QKCloseDevice(&context), QK_E_SUCCESS) << "the slot stayed open";
}

TEST_F(OpenCloseTest, ContextThatOutlivedItsSlotOpensThePathAnew) {
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);
  QKContext stale = context;
  // A new listing forgets the open device (the caller should have closed it).
  std::unique_ptr<qk::Channel> forgotten(Slot().channel);
  uint32_t count = 1;
  ASSERT_EQ(QKListDevices(&context, &count), QK_E_SUCCESS);
  EXPECT_EQ(QKOpenDevice(&stale), QK_E_SUCCESS) << "opened anew, not a slot without a device";
  EXPECT_NE(Slot().channel, nullptr);
}
