// Every link fault on multi-report exchanges (1020-byte write, 1000-byte
// answer, the open's key exchange): the call ends in time with a code, frees
// the lock, sends nothing more under a failed key, and a reopen recovers.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "api/device_table.h"
#include "api/mutex_name.h"
#include "tests/reliability/served_token.h"

namespace qktest {
namespace {

constexpr qk::TimeLimits kShortLimits{2000, 500, 300, 300};
constexpr uint16_t kDataFile = 0x0010;
constexpr uint32_t kDataSize = 1020;  // the largest single write: 18 command reports
constexpr uint16_t kLongRead = 1000;  // an answer of 18 reports

enum class Operation { kStore, kLongExecute, kOpen };
enum class Expect { kSuccess, kFailure, kClosed };  // kClosed: the link itself is gone

// The link faults, one at a time. (The plain truncate, badtotal and badoffset
// spoil an answer as ExchangeTest.MalformedAnswerReportsEndTheExchange does:
// a missing last report, a total grown by a chunk, offset 0x400.)
const struct FaultCase {
  const char* rule;
  Expect expect;
  // A late answer keeps the token busy until its last report is out: this
  // long per answer report (negative: this long once) before the next call.
  int settlePerReportMs;
  bool onlyLongAnswers;  // an answer of one report passes untouched
} kCases[] = {
    {"drop", Expect::kFailure, 0, false},
    {"silent", Expect::kFailure, 0, false},
    {"delay:450", Expect::kFailure, -500, false},
    {"delay:150", Expect::kSuccess, 0, false},
    {"slow:350", Expect::kFailure, 350, false},
    {"slow:15", Expect::kSuccess, 0, false},
    {"corrupt", Expect::kFailure, 0, false},
    {"truncate:1", Expect::kFailure, 0, true},
    {"repeat:3", Expect::kSuccess, 0, false},
    {"badtotal:1", Expect::kFailure, 0, false},
    {"badoffset:0x3ff", Expect::kFailure, 0, false},
    {"cut", Expect::kClosed, 0, false},
    {"hangup", Expect::kClosed, 0, false},
};

// Reports of each operation's spoiled answer: the status word alone, the long
// read, the 128-byte key block and the status word.
int AnswerReports(Operation op) {
  return op == Operation::kStore ? 1 : op == Operation::kOpen ? 3 : (kLongRead + 59) / 58;
}

Bytes DataPattern(uint8_t seed) {
  Bytes bytes(kDataSize);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(seed + i * 13);
  return bytes;
}

class FaultMatrix : public ServedToken, public ::testing::WithParamInterface<Operation> {
 protected:
  void SetUp() override {
    ServedToken::SetUp();
    ASSERT_EQ(OpenReady(), QK_E_SUCCESS);
    ASSERT_EQ(InstallReader(&context_), QK_E_SUCCESS);
    ASSERT_EQ(QKMakeFile(&context_, IdText(kDataFile).c_str(), kDataSize, kDataType), 0u);
    ASSERT_EQ(StoreData(0), QK_E_SUCCESS);
    QKCloseDevice(&context_);
  }
  uint32_t OpenReady() {  // lists, opens and verifies both PINs
    uint32_t rc = OpenFirstToken(&context_);
    if (rc == QK_E_SUCCESS) rc = VerifyDeveloper(&context_);
    return rc == QK_E_SUCCESS ? VerifyUser(&context_) : rc;
  }
  uint32_t StoreData(uint8_t seed) {
    const uint32_t rc =
        QKStoreFile(&context_, IdText(kDataFile).c_str(), 0, DataPattern(seed).data(), kDataSize);
    (rc == QK_E_SUCCESS ? stored_ : unsure_) = seed;  // a failed write may still have been stored
    return rc;
  }
  // The operation under test; QK_E_UNKNOWN for a success with wrong bytes.
  uint32_t RunOperation(Operation op, uint8_t seed) {
    if (op == Operation::kStore) return StoreData(seed);
    if (op == Operation::kOpen) return QKCloseDevice(&context_), QKOpenDevice(&context_);
    Bytes piece;
    const uint32_t rc = ReadWholeFile(&context_, kDataFile, kLongRead, &piece);
    if (rc != QK_E_SUCCESS) return rc;
    for (uint8_t candidate : {stored_, unsure_}) {
      const Bytes expected = DataPattern(candidate);
      if (piece == Bytes(expected.begin(), expected.begin() + kLongRead)) {
        stored_ = candidate;
        return rc;
      }
    }
    return QK_E_UNKNOWN;
  }
  bool LockIsFree() {  // another holder can take the device lock at once
    const qk::Channel* channel = qk::SlotOf(&context_).channel;
    std::unique_ptr<qk::platform::NamedMutex> lock(qk::CreateDeviceMutex(
        false, qk::SlotOf(&context_).path, channel ? channel->device() : nullptr));
    if (!lock || !lock->Lock(0)) return false;
    lock->Unlock();
    return true;
  }

  uint8_t stored_ = 0;  // the last write known to be stored
  uint8_t unsure_ = 0;  // a failed write that may have been stored
};

TEST_P(FaultMatrix, EveryFaultEndsInTimeAndTheTokenRecovers) {
  const Operation op = GetParam();
  uint8_t seed = 1;
  for (const FaultCase& c : kCases) {
    SCOPED_TRACE(c.rule);
    ASSERT_EQ(OpenReady(), QK_E_SUCCESS);
    qk::SetTimeLimitsForTesting(kShortLimits);
    AddFault(std::string(c.rule) + "@1");

    const auto start = Clock::now();
    const uint32_t rc = RunOperation(op, ++seed);
    // The open runs several exchanges; each has its own limits.
    const int exchanges = op == Operation::kOpen ? 4 : 1;
    EXPECT_LT(MillisecondsSince(start),
              exchanges * (kShortLimits.firstReadMs + kShortLimits.readMs) + 1500);
    EXPECT_NE(rc, QK_E_UNKNOWN) << "success with wrong bytes";
    const bool passes = c.onlyLongAnswers && AnswerReports(op) == 1;
    EXPECT_EQ(rc == QK_E_SUCCESS, c.expect == Expect::kSuccess || passes) << rc;
    EXPECT_TRUE(LockIsFree());
    server_->Faults().Clear();
    const int settle = c.settlePerReportMs;
    std::this_thread::sleep_for(
        std::chrono::milliseconds(settle < 0 ? -settle : settle * (AnswerReports(op) + 1)));

    // The next call on the handle, from another thread, is turned away at
    // once after a failure (a failed open leaves nothing to call on).
    if (op != Operation::kOpen) {
      uint32_t next = QK_E_FAILURE;
      const auto nextStart = Clock::now();
      std::thread([&] { next = RunOperation(Operation::kLongExecute, 0); }).join();
      const bool failed = c.expect != Expect::kSuccess && !passes;
      EXPECT_EQ(next, failed ? QK_E_SESSION_REPLACED : QK_E_SUCCESS);
      if (failed) {
        EXPECT_LT(MillisecondsSince(nextStart), kShortLimits.readMs);
      }
    }
    // A fresh open reads the last write whole (a failed one may have landed).
    QKCloseDevice(&context_);
    ASSERT_EQ(OpenReady(), QK_E_SUCCESS);
    Bytes back;
    ASSERT_EQ(ReadWholeFile(&context_, kDataFile, kDataSize, &back), QK_E_SUCCESS);
    const bool landed = back == DataPattern(unsure_);
    EXPECT_TRUE(back == DataPattern(stored_) || landed) << "a write was stored in part";
    if (landed) stored_ = unsure_;
    QKCloseDevice(&context_);
  }
}

std::string OperationName(const ::testing::TestParamInfo<Operation>& info) {
  return info.param == Operation::kStore  ? "Store1020"
         : info.param == Operation::kOpen ? "OpenSessionKey"
                                          : "Execute1000";
}

INSTANTIATE_TEST_SUITE_P(MultiReportExchanges, FaultMatrix,
                         ::testing::Values(Operation::kStore, Operation::kLongExecute,
                                           Operation::kOpen),
                         OperationName);

}  // namespace
}  // namespace qktest
