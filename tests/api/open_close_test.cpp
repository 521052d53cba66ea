// Opening and closing against a fake token that speaks the real framing and
// cipher: the session key, the information fields, the slot's state machine.
#include <cstring>

#include "api/device_table.h"
#include "api/token_info.h"
#include "tests/api/core_fixture.h"

namespace {

using qktest::Bytes;

Bytes InfoRecord() {
  Bytes info(38);
  info[0] = 0x01;
  info[1] = 0x02;
  info[2] = 0x00;
  info[3] = 0x05;
  for (int i = 0; i < 16; ++i) info[4 + i] = static_cast<uint8_t>(0x40 + i);
  for (int i = 0; i < 6; ++i) info[20 + i] = static_cast<uint8_t>(0x60 + i);
  for (int i = 0; i < 8; ++i) info[26 + i] = static_cast<uint8_t>(0x80 + i);
  info[34] = 0x10;
  info[35] = 0x27;
  return info;
}

class OpenCloseTest : public qktest::CoreTest {
 public:
  void SetUp() override {
    CoreTest::SetUp();
    backend.AddToken("\\\\?\\hid#token").responder = token.AsResponder();
    uint32_t count = 1;
    ASSERT_EQ(QKListDevices(&context, &count), QK_E_SUCCESS);
  }

  // The answers of the fake token, by instruction byte.
  Bytes Answer(const Bytes& command) {
    switch (command[1]) {
      case 0xCA:
        return infoAnswer;
      case 0xCC:
        return ccAnswer;
      default:
        return {0x6D, 0x00};
    }
  }

  qk::DeviceSlot& Slot() { return qk::GetDeviceTable().slots[0]; }
  std::vector<uint8_t> Instructions() const {
    std::vector<uint8_t> ins;
    for (const Bytes& command : token.commands) ins.push_back(command[1]);
    return ins;
  }

  Bytes infoAnswer = qktest::Ok(InfoRecord());
  Bytes ccAnswer = qktest::Ok({0x04, 0x03, 0x02, 0x01});
  qktest::FakeToken token{[this](const Bytes& command) { return Answer(command); }};
  QKContext context{};
};

TEST_F(OpenCloseTest, OpenAgreesTheKeyAndFillsTheContext) {
  context.reserved[0] = context.reserved[1] = context.reserved[2] = 0xDEADBEEF;
  context.markWord = 7;
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);

  EXPECT_EQ(Instructions(), (std::vector<uint8_t>{0x47, 0xCA, 0xCC}));
  EXPECT_EQ(std::memcmp(Slot().sessionKey, qktest::kSessionBlockKey, 8), 0);
  EXPECT_EQ(Slot().opened, 1);
  ASSERT_NE(Slot().file, nullptr);
  EXPECT_EQ(context.device, Slot().file->HandleValue());
  EXPECT_NE(context.device, 0u);

  EXPECT_EQ(context.infoWord, 5u) << "bytes 2..3 big-endian";
  const Bytes info = InfoRecord();
  EXPECT_EQ(std::memcmp(context.infoBlock, info.data() + 4, 16), 0);
  EXPECT_EQ(std::memcmp(context.infoEight, info.data() + 26, 8), 0);
  EXPECT_EQ(context.queryValue, 0x01020304u);
  EXPECT_EQ(context.markWord, 16u);
  EXPECT_EQ(context.reserved[0] | context.reserved[1] | context.reserved[2], 0u);

  ASSERT_EQ(backend.opens.size(), 2u);  // the probe at listing, then the open
  EXPECT_EQ(backend.opens[1].io, qk::platform::IoMode::kOverlapped);
  EXPECT_EQ(backend.opens[1].share, qk::platform::ShareMode::kShared);
}

TEST_F(OpenCloseTest, SessionKeyGoesPlainAndLaterCommandsEnciphered) {
  std::memset(Slot().sessionKey, 0x33, 8);  // a key left by an earlier open
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);
  const auto& written = backend.logs.back()->written;
  ASSERT_EQ(written.size(), 3u);
  const uint8_t plainSession[13] = {0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x06,
                                    0x00, 0x47, 0x47, 0x4B, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(written[0].data(), plainSession, 13), 0);
  EXPECT_EQ(written[1][0], 0) << "report identifier stays plain";
  EXPECT_NE(written[1][1], 0x00) << "0xCA report enciphered (its plain bytes 1..2 are 00 06)";
}

TEST_F(OpenCloseTest, SecondOpenIsRefusedAndTheFirstKeepsWorking) {
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);
  QKContext copy = context;
  EXPECT_EQ(QKOpenDevice(&copy), QK_E_ALREADY_OPENED);
  QKOpenOptions options{0, 1};
  EXPECT_EQ(QKOpenDeviceShared(&copy, &options), QK_E_ALREADY_OPENED);
  EXPECT_EQ(backend.opens.size(), 2u) << "no further path opened";
  // The first opening still exchanges under the agreed key.
  uint8_t info[qk::kTokenInfoSize];
  EXPECT_EQ(qk::QueryTokenInfo(&context, info), QK_E_SUCCESS);
  EXPECT_EQ(info[3], 0x05);
}

TEST_F(OpenCloseTest, OpenCloseOpenOpensThePathAnewAndCloseTwiceIsRefused) {
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);
  ASSERT_EQ(QKCloseDevice(&context), QK_E_SUCCESS);
  EXPECT_EQ(context.device, 0u);
  EXPECT_EQ(Slot().opened, 0);
  EXPECT_EQ(Slot().file, nullptr);
  EXPECT_EQ(Slot().mutex, nullptr);
  EXPECT_TRUE(backend.logs.back()->deleted) << "close releases the device";
  EXPECT_EQ(std::memcmp(Slot().sessionKey, qktest::kSessionBlockKey, 8), 0)
      << "close keeps the key";
  EXPECT_EQ(context.markWord, 16u) << "close keeps the information fields";

  EXPECT_EQ(QKCloseDevice(&context), QK_E_CONTEXT);
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);
  EXPECT_EQ(backend.opens.size(), 3u);
  EXPECT_EQ(backend.LiveDevices(), 1);
}

TEST_F(OpenCloseTest, PathThatCannotBeOpenedLeavesTheSlotClosed) {
  backend.interfaces[0].openError = qk::platform::kErrorSharingViolation;
  EXPECT_EQ(QKOpenDevice(&context), QK_E_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Slot().opened, 0);
  EXPECT_EQ(context.device, 0u);
  EXPECT_EQ(QKCloseDevice(&context), QK_E_CONTEXT);
}

TEST_F(OpenCloseTest, FailuresAfterTheSlotIsOpenLeaveItOpen) {
  const struct {
    const char* name;
    std::function<void(OpenCloseTest*)> setUp;
    uint32_t result;
    bool infoWritten;
    uint32_t queryValue;
  } cases[] = {
      {"information refused",
       [](OpenCloseTest* t) {
         t->infoAnswer = {0x6A, 0x82};
       },
       QK_E_FILE_NOT_FOUND, false, 0},
      {"0xCC refused",
       [](OpenCloseTest* t) {
         t->ccAnswer = {0x6D, 0x00};
       },
       QK_E_SUCCESS, true, 0},
      {"information without data", [](OpenCloseTest* t) { t->infoAnswer = qktest::Ok(); },
       QK_E_SUCCESS, true, 0x01020304},
  };
  for (const auto& c : cases) {
    qktest::ResetDeviceTable();
    infoAnswer = qktest::Ok(InfoRecord());
    ccAnswer = qktest::Ok({0x04, 0x03, 0x02, 0x01});
    c.setUp(this);
    uint32_t count = 1;
    ASSERT_EQ(QKListDevices(&context, &count), QK_E_SUCCESS);
    context.markWord = 7;
    context.queryValue = 9;
    EXPECT_EQ(QKOpenDevice(&context), c.result) << c.name;
    EXPECT_EQ(Slot().opened, 1) << c.name;
    EXPECT_EQ(context.markWord, c.infoWritten ? 16u : 7u) << c.name;
    if (c.infoWritten) {
      EXPECT_EQ(context.queryValue, c.queryValue) << c.name;
    }
    EXPECT_EQ(QKCloseDevice(&context), QK_E_SUCCESS) << c.name;
  }
}

TEST_F(OpenCloseTest, AShortInformationAnswerLeavesItsStatusWordThenZeros) {
  const Bytes info = InfoRecord();
  infoAnswer = qktest::Ok(Bytes(info.begin(), info.begin() + 20));
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);
  EXPECT_EQ(context.infoWord, 5u);
  const uint8_t eight[8] = {};
  EXPECT_EQ(std::memcmp(context.infoEight, eight, 8), 0);
}

TEST_F(OpenCloseTest, SessionKeyRefusalFailsTheOpenAndKeepsTheOldKey) {
  // The token below refuses the session-key command in plain.
  backend.interfaces[0].responder = [](const qktest::Report&, std::deque<qktest::Report>* out) {
    for (const auto& r : qktest::FrameAnswer({0x6D, 0x8C})) out->push_back(r);
  };
  std::memset(Slot().sessionKey, 0x33, 8);
  EXPECT_EQ(QKOpenDevice(&context), QK_E_UNSUPPORTED);
  EXPECT_EQ(Slot().opened, 1);
  EXPECT_EQ(Slot().sessionKey[0], 0x33);
}

TEST_F(OpenCloseTest, ContextThatOutlivedItsSlotOpensThePathAnew) {
  ASSERT_EQ(QKOpenDevice(&context), QK_E_SUCCESS);
  QKContext stale = context;
  // A new listing forgets the open device (the caller should have closed it).
  qk::platform::Device* forgotten = Slot().file;
  qk::platform::NamedMutex* forgottenMutex = Slot().mutex;
  uint32_t count = 1;
  QKContext fresh{};
  ASSERT_EQ(QKListDevices(&fresh, &count), QK_E_SUCCESS);
  ASSERT_EQ(Slot().file, nullptr);
  // The stale context still names a device; opening must not run the slot
  // without one.
  EXPECT_EQ(QKOpenDevice(&stale), QK_E_SUCCESS);
  EXPECT_NE(Slot().file, nullptr);
  delete forgotten;
  delete forgottenMutex;
}

TEST_F(OpenCloseTest, OpenSharedChoosesTheSharingAndNeedsItsOptions) {
  const struct {
    uint32_t shared;
    qk::platform::ShareMode mode;
  } cases[] = {{0, qk::platform::ShareMode::kExclusive},
               {1, qk::platform::ShareMode::kShared},
               {0x100, qk::platform::ShareMode::kShared}};
  for (const auto& c : cases) {
    QKOpenOptions options{0xFFFFFFFF, c.shared};
    ASSERT_EQ(QKOpenDeviceShared(&context, &options), QK_E_SUCCESS) << c.shared;
    EXPECT_EQ(backend.opens.back().share, c.mode) << c.shared;
    EXPECT_EQ(context.markWord, 16u);
    ASSERT_EQ(QKCloseDevice(&context), QK_E_SUCCESS);
  }
  EXPECT_EQ(QKOpenDeviceShared(&context, nullptr), QK_E_PARAMETER);
  EXPECT_EQ(Slot().opened, 0);
}

TEST_F(OpenCloseTest, OpenSharedFailingPathIsNotConnectedWhateverTheError) {
  for (uint32_t error : {qk::platform::kErrorSharingViolation, qk::platform::kErrorAccessDenied,
                         qk::platform::kErrorFileNotFound}) {
    backend.interfaces[0].openError = error;
    QKOpenOptions options{0, 0};
    EXPECT_EQ(QKOpenDeviceShared(&context, &options), QK_E_DEVICE_NOT_CONNECTED) << error;
    EXPECT_EQ(Slot().opened, 0);
  }
}

TEST_F(OpenCloseTest, OpenSharedHoldsTheSlotLockOnlyAroundTheFlag) {
  auto* lock = new qktest::FakeMutex;
  qk::DeviceSlot& slot = Slot();
  slot.mutex = lock;
  slot.opened = 1;
  QKOpenOptions options{0, 1};
  EXPECT_EQ(QKOpenDeviceShared(&context, &options), QK_E_ALREADY_OPENED);
  EXPECT_EQ(lock->held, 0) << "released on the refusal";
  EXPECT_EQ(lock->lockTimeouts.size(), 1u);

  // A lock that cannot be had in time neither blocks the test of the flag
  // nor gets released.
  lock->lockSucceeds = false;
  EXPECT_EQ(QKOpenDeviceShared(&context, &options), QK_E_ALREADY_OPENED);
  EXPECT_EQ(lock->unlocks, 1);
}

TEST_F(OpenCloseTest, InvalidContextsAreRefusedFirst) {
  QKOpenOptions options{0, 1};
  for (uint32_t slotIndex : {128u, 0x80u, 0xFFu, 0x100u}) {
    QKContext bad{};
    bad.slotIndex = slotIndex;
    EXPECT_EQ(QKOpenDevice(&bad), QK_E_CONTEXT) << slotIndex;
    EXPECT_EQ(QKOpenDeviceShared(&bad, &options), QK_E_CONTEXT) << slotIndex;
    EXPECT_EQ(QKCloseDevice(&bad), QK_E_CONTEXT) << slotIndex;
  }
  EXPECT_EQ(QKOpenDevice(nullptr), QK_E_CONTEXT);
  EXPECT_EQ(QKOpenDeviceShared(nullptr, &options), QK_E_CONTEXT);
  EXPECT_EQ(QKCloseDevice(nullptr), QK_E_CONTEXT);
  EXPECT_EQ(backend.opens.size(), 1u) << "only the listing probe";
}

}  // namespace
