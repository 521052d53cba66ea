// Opening and closing against a fake token that speaks the real framing and
// cipher: the context check, the information fields and the slot's state machine.
#include <cstring>
#include <memory>
#include <tuple>

#include "api/device_table.h"
#include "api/token_info.h"
#include "tests/api/core_fixture.h"

using qktest::Bytes;
using qk::platform::ShareMode;

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
  const std::tuple<uint32_t, bool, uint32_t> cases[] = {  // slot word, must be open, result
      {127, false, QK_E_SUCCESS}, {128, false, QK_E_CONTEXT}, {3, true, QK_E_SUCCESS},
      {4, true, QK_E_CONTEXT},  // then: low byte in range, whole word not
      {0x100, false, QK_E_CONTEXT}, {0x103, true, QK_E_CONTEXT}, {0xFFFFFF03, false, QK_E_CONTEXT}};
  for (const auto& [slotIndex, requireOpen, result] : cases) {
    QKContext bad{};
    bad.slotIndex = slotIndex;
    EXPECT_EQ(qk::CheckContext(&bad, requireOpen), result) << std::hex << slotIndex;
  }
  QKContext bad{};
  bad.slotIndex = 0x100;
  for (QKContext* ctx : {&bad, static_cast<QKContext*>(nullptr)}) {
    EXPECT_EQ(QKOpenDevice(ctx), QK_E_CONTEXT);
    EXPECT_EQ(QKOpenDeviceShared(ctx, &sharedOpen), QK_E_CONTEXT);
    EXPECT_EQ(QKCloseDevice(ctx), QK_E_CONTEXT);
  }
  EXPECT_EQ(QKOpenDeviceShared(&context, nullptr), QK_E_PARAMETER);
  EXPECT_EQ(backend.opens.size(), 1u) << "only the listing probe";
}

TEST_F(OpenCloseTest, OpenFillsTheContextRefusesASecondOpenAndCloseOpenCycles) {
  backend.interfaces[0].openError = qk::platform::kErrorSharingViolation;  // a path not to be had
  EXPECT_EQ(QKOpenDevice(&context), QK_E_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(QKOpenDeviceShared(&context, &sharedOpen), QK_E_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(QKCloseDevice(&context), QK_E_CONTEXT) << "the slot stayed closed";
  backend.interfaces[0].openError = 0;
  context.reserved[0] = context.reserved[1] = context.reserved[2] = 0xDEADBEEF;
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);
  EXPECT_EQ(token.commands.size(), 3u) << "session key, information, 0xCC value";
  EXPECT_EQ(std::memcmp(Slot().sessionKey, qktest::kSessionBlockKey, 8), 0);
  EXPECT_EQ(context.device, Slot().file->HandleValue());
  EXPECT_EQ(context.infoWord, 5u) << "bytes 2..3 big-endian";
  EXPECT_EQ(std::memcmp(context.infoBlock, &info[4], 16), 0);
  EXPECT_EQ(std::memcmp(context.infoEight, &info[26], 8), 0);
  EXPECT_TRUE(context.queryValue == 0x01020304 && context.markWord == 16);
  EXPECT_EQ(context.reserved[0] | context.reserved[1] | context.reserved[2], 0u);
  EXPECT_EQ(backend.opens.back().io, qk::platform::IoMode::kOverlapped);
  EXPECT_EQ(backend.opens.back().share, ShareMode::kShared);
  const size_t opens = backend.opens.size();

  QKContext copy = context;
  EXPECT_EQ(QKOpenDevice(&copy), QK_E_ALREADY_OPENED);
  EXPECT_EQ(QKOpenDeviceShared(&copy, &sharedOpen), QK_E_ALREADY_OPENED);
  EXPECT_EQ(backend.opens.size(), opens) << "no further path opened";
  uint8_t record[qk::kTokenInfoSize];
  EXPECT_EQ(qk::QueryTokenInfo(&context, record), QK_E_SUCCESS) << "the first still works";

  ASSERT_EQ(QKCloseDevice(&context), QK_E_SUCCESS);
  EXPECT_EQ(context.device, 0u);
  EXPECT_TRUE(Slot().opened == 0 && Slot().file == nullptr && Slot().mutex == nullptr);
  EXPECT_TRUE(backend.logs.back()->deleted) << "close releases the device";
  EXPECT_EQ(QKCloseDevice(&context), QK_E_CONTEXT);
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);
  EXPECT_EQ(backend.LiveDevices(), 1);
}

TEST_F(OpenCloseTest, FailuresAfterTheSlotIsOpenLeaveItOpen) {
  const struct {
    Bytes info, cc;
    uint32_t result, markWord, queryValue;
  } cases[] = {
      {{0x6A, 0x82}, ccAnswer, QK_E_FILE_NOT_FOUND, 7, 9},     // information refused
      {infoAnswer, {0x6D, 0x00}, QK_E_SUCCESS, 16, 0},         // 0xCC refused
      {qktest::Ok(), ccAnswer, QK_E_SUCCESS, 16, 0x01020304},  // information without data
  };
  for (const auto& c : cases) {
    infoAnswer = c.info, ccAnswer = c.cc;
    context.markWord = 7, context.queryValue = 9;
    EXPECT_EQ(QKOpenDevice(&context), c.result) << c.markWord;
    EXPECT_TRUE(context.markWord == c.markWord && context.queryValue == c.queryValue);
    EXPECT_EQ(QKCloseDevice(&context), QK_E_SUCCESS) << "the slot stayed open";
  }
}

TEST_F(OpenCloseTest, ContextThatOutlivedItsSlotOpensThePathAnew) {
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);
  QKContext stale = context;
  // A new listing forgets the open device (the caller should have closed it).
  std::unique_ptr<qk::platform::Device> forgotten(Slot().file);
  std::unique_ptr<qk::platform::NamedMutex> forgottenMutex(Slot().mutex);
  uint32_t count = 1;
  ASSERT_EQ(QKListDevices(&context, &count), QK_E_SUCCESS);
  // The stale context still names a device; opening must not run the slot without one.
  EXPECT_EQ(QKOpenDevice(&stale), QK_E_SUCCESS);
  EXPECT_NE(Slot().file, nullptr);
}

TEST_F(OpenCloseTest, OpenSharedChoosesTheSharingAndHoldsTheLockOnlyAroundTheFlag) {
  for (uint32_t shared : {0u, 0x100u}) {
    QKOpenOptions options{0xFFFFFFFF, shared};
    ASSERT_EQ(QKOpenDeviceShared(&context, &options), QK_E_SUCCESS) << shared;
    EXPECT_EQ(backend.opens.back().share, shared ? ShareMode::kShared : ShareMode::kExclusive);
    EXPECT_EQ(context.markWord, 16u);
    ASSERT_EQ(QKCloseDevice(&context), QK_E_SUCCESS);
  }
  auto* lock = new qktest::FakeMutex;
  Slot().mutex = lock;
  Slot().opened = 1;
  EXPECT_EQ(QKOpenDeviceShared(&context, &sharedOpen), QK_E_ALREADY_OPENED);
  EXPECT_EQ(lock->held, 0) << "released on the refusal";
  EXPECT_EQ(lock->lockTimeouts.size(), 1u);
  // A lock not had in time neither blocks the test of the flag nor gets released.
  lock->lockSucceeds = false;
  EXPECT_EQ(QKOpenDeviceShared(&context, &sharedOpen), QK_E_ALREADY_OPENED);
  EXPECT_EQ(lock->unlocks, 1);
}
