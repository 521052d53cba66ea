// The channel: session keys, the generation that tells a handle it was
// replaced, keys voided by failed exchanges, the lock. (Transactions: sharing tests.)
#include "transport/channel.h"

#include <gtest/gtest.h>

#include <memory>

#include "include/qktoken.h"
#include "tests/support/fake_device.h"
#include "transport/exchange.h"

namespace {

using qktest::Bytes;

// Two handles on one token: one fake token answers both devices, and both
// locks keep one generation.
class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override { qk::ResetTimeLimitsForTesting(); }
  void TearDown() override { qk::ResetTimeLimitsForTesting(); }

  struct Handle {
    std::shared_ptr<qktest::DeviceLog> log = std::make_shared<qktest::DeviceLog>();
    qktest::FakeDevice* device = nullptr;
    qktest::FakeMutex* lock = nullptr;
    std::unique_ptr<qk::Channel> channel;
  };
  // `responder` stands in for the shared token when given.
  Handle MakeHandle(qktest::Responder responder = nullptr) {
    Handle h;
    qktest::FakeInterface config;
    config.responder = responder ? responder : token.AsResponder();
    h.device = new qktest::FakeDevice(config, h.log, 0x100);
    h.lock = new qktest::FakeMutex;
    h.lock->generation = generation;
    h.channel = std::make_unique<qk::Channel>(h.device, h.lock);
    return h;
  }
  static qk::CommandRecord Query() {
    qk::CommandRecord record{};
    record.bytes[qk::kIns] = 0xCA;
    record.bytesToSend = 6;
    return record;
  }

  bool silent = false;  // the token stops answering commands (the key command still works)
  Bytes answer = qktest::Ok({0x2A});
  qktest::FakeToken token{[this](const Bytes&) { return silent ? Bytes{} : answer; }};
  std::shared_ptr<uint64_t> generation = std::make_shared<uint64_t>(7);
};

TEST_F(ChannelTest, AKeyAgreedElsewhereReplacesThisHandleBeforeAnythingIsSent) {
  Handle a = MakeHandle(), b = MakeHandle();
  qk::CommandRecord record = Query();
  EXPECT_EQ(a.channel->Transmit(&record), QK_E_SESSION_REPLACED) << "no key yet";
  EXPECT_TRUE(a.log->written.empty());

  ASSERT_EQ(a.channel->AgreeSessionKey(), QK_E_SUCCESS);
  EXPECT_EQ(*generation, 8u);
  record = Query();
  ASSERT_EQ(a.channel->Transmit(&record), QK_E_SUCCESS);
  EXPECT_EQ(record.bytes[6], 0x2A) << "exchanged under the key the maker block carried";

  ASSERT_EQ(b.channel->AgreeSessionKey(), QK_E_SUCCESS);
  const size_t written = a.log->written.size();
  record = Query();
  EXPECT_EQ(a.channel->Transmit(&record), QK_E_SESSION_REPLACED);
  EXPECT_EQ(a.log->written.size(), written) << "nothing sent under a void key";
  EXPECT_TRUE(a.lock->held == 0 && b.lock->held == 0);
  record = Query();
  EXPECT_EQ(b.channel->Transmit(&record), QK_E_SUCCESS);
}

// Whatever goes wrong in the key exchange, the handle is left without a key
// and the generation has moved on (the token may have started a session).
TEST_F(ChannelTest, AFailedKeyAgreementLeavesNoKey) {
  const struct {
    const char* name;
    Bytes block;
    bool silentToken;
  } cases[] = {
      {"63-byte block", Bytes(qktest::kSessionBlock, qktest::kSessionBlock + 63), false},
      {"block not below the modulus", Bytes(64, 0xFF), false},
      {"refused", {}, false},
      {"silent token", {}, true},
  };
  qk::SetTimeLimitsForTesting({100, 20, 20, 20});
  for (const auto& c : cases) {
    Handle h = MakeHandle([&](const qktest::Report&, std::deque<qktest::Report>* out) {
      if (c.silentToken) return;
      const Bytes reply = c.block.empty() ? Bytes{0x6D, 0x8C} : qktest::Ok(c.block);
      for (const auto& r : qktest::FrameAnswer(reply)) out->push_back(r);
    });
    const uint64_t before = *generation;
    EXPECT_NE(h.channel->AgreeSessionKey(), QK_E_SUCCESS) << c.name;
    EXPECT_EQ(*generation, before + 1) << c.name;
    qk::CommandRecord record = Query();
    EXPECT_EQ(h.channel->Transmit(&record), QK_E_SESSION_REPLACED) << c.name;
  }
}

// A failed exchange that wrote its command voids the key (a late answer may
// follow); one that failed before writing leaves it alone.
TEST_F(ChannelTest, AnExchangeThatFailedAfterWritingVoidsTheKey) {
  Handle h = MakeHandle();
  ASSERT_EQ(h.channel->AgreeSessionKey(), QK_E_SUCCESS);
  h.device->flushFails = true;
  qk::CommandRecord record = Query();
  EXPECT_EQ(h.channel->Transmit(&record), QK_E_FAILURE);
  h.device->flushFails = false;
  record = Query();
  ASSERT_EQ(h.channel->Transmit(&record), QK_E_SUCCESS) << "nothing was sent: the key holds";

  silent = true;
  qk::SetTimeLimitsForTesting({100, 20, 20, 20});
  record = Query();
  EXPECT_EQ(h.channel->Transmit(&record), QK_E_COMMUNICATION);
  silent = false;
  const size_t written = h.log->written.size();
  record = Query();
  EXPECT_EQ(h.channel->Transmit(&record), QK_E_SESSION_REPLACED);
  EXPECT_EQ(h.log->written.size(), written);
  ASSERT_EQ(h.channel->AgreeSessionKey(), QK_E_SUCCESS);
  record = Query();
  EXPECT_EQ(h.channel->Transmit(&record), QK_E_SUCCESS) << "a new key restores the handle";
}

TEST_F(ChannelTest, ALockThatCannotBeHadSendsNothing) {
  Handle h = MakeHandle();
  ASSERT_EQ(h.channel->AgreeSessionKey(), QK_E_SUCCESS);
  qk::SetTimeLimitsForTesting({1234, 50, 50, 50});
  const size_t written = h.log->written.size();
  h.lock->lockSucceeds = false;
  qk::CommandRecord record = Query();
  EXPECT_EQ(h.channel->Transmit(&record), QK_E_LOCK_UNAVAILABLE);
  EXPECT_EQ(h.channel->AgreeSessionKey(), QK_E_LOCK_UNAVAILABLE);
  EXPECT_EQ(h.lock->lockTimeouts.back(), 1234u);
  h.lock->lockSucceeds = true;
  h.lock->generationWorks = false;  // the generation's store cannot be read (or was replaced)
  record = Query();
  EXPECT_EQ(h.channel->Transmit(&record), QK_E_SESSION_REPLACED)
      << "the key is vouched for no more";
  EXPECT_EQ(h.log->written.size(), written);
  EXPECT_EQ(h.lock->held, 0) << "released on every path";
}

}  // namespace
