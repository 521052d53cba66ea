// The report exchange against a scripted device: framing of commands and
// answers, hostile answer reports, time limits and the slot lock.
#include "transport/exchange.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "api/device_table.h"
#include "include/qktoken.h"
#include "tests/support/fake_device.h"
#include "transport/des.h"

namespace {

using qk::platform::IoStatus;
using qktest::Bytes;
using qktest::MakeReport;
using qktest::Report;

const uint8_t kKey[8] = {0x13, 0x57, 0x9B, 0xDF, 0x02, 0x46, 0x8A, 0xCE};

qk::CommandRecord Command(uint8_t ins, size_t dataLength) {
  qk::CommandRecord record{};
  record.bytes[qk::kIns] = ins;
  record.bytes[qk::kP1] = 0x01;
  for (size_t i = 0; i < dataLength; ++i) {
    record.bytes[qk::kData + i] = static_cast<uint8_t>(i * 7 + 3);
  }
  record.bytesToSend = static_cast<uint16_t>(6 + dataLength);
  return record;
}

bool IsLastCommandReport(const Report& plain) {
  const size_t total = static_cast<size_t>(plain[1] << 8 | plain[2]);
  const size_t offset = static_cast<size_t>(plain[3] << 8 | plain[4]);
  return offset + plain[6] >= total;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qk::ResetTimeLimitsForTesting();
    qktest::FakeInterface config;
    config.responder = [this](const Report& written, std::deque<Report>* answers) {
      if (!IsLastCommandReport(Plain(written))) return;
      for (const Report& report : script) answers->push_back(report);
    };
    device = std::make_unique<qktest::FakeDevice>(config, log, 0x100);
  }
  void TearDown() override { qk::ResetTimeLimitsForTesting(); }

  // What the device saw, deciphered unless the exchange was plain.
  Report Plain(const Report& written) const {
    if (!encrypted) return written;
    Report plain = written;
    qk::TokenChainDecrypt(written.data() + 1, plain.data() + 1, kKey, 64);
    return plain;
  }
  Report WrittenPlain(size_t i) const { return Plain(log->written.at(i)); }

  // Answer reports as the token would encipher them.
  void Answer(std::vector<Report> reports) {
    if (encrypted) qktest::EncipherAnswers(&reports, kKey);
    script = std::move(reports);
  }

  uint32_t Exchange(qk::CommandRecord* record) {
    return qk::ExchangeCommand(device.get(), record, kKey);
  }

  std::shared_ptr<qktest::DeviceLog> log = std::make_shared<qktest::DeviceLog>();
  std::unique_ptr<qktest::FakeDevice> device;
  std::vector<Report> script;
  bool encrypted = true;
};

TEST_F(ExchangeTest, HeaderOnlyCommandIsOneReport) {
  Answer(qktest::FrameAnswer(qktest::Ok()));
  auto record = Command(0xCA, 0);
  ASSERT_EQ(Exchange(&record), QK_E_SUCCESS);
  ASSERT_EQ(log->written.size(), 1u);
  const Report plain = WrittenPlain(0);
  const uint8_t head[13] = {0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x06,
                            0x00, 0xCA, 0x01, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(plain.data(), head, 13), 0);
  for (size_t i = 13; i < 65; ++i) EXPECT_EQ(plain[i], 0) << i;
  EXPECT_EQ(log->written[0][0], 0);
  EXPECT_NE(std::memcmp(log->written[0].data(), plain.data(), 65), 0) << "enciphered";
  EXPECT_EQ(log->flushes, 1);
  EXPECT_EQ(log->eventsCreated, 1);
  EXPECT_EQ(log->eventsClosed, 1);
}

TEST_F(ExchangeTest, CommandsAreCutInto58ByteChunks) {
  const struct {
    size_t bytesToSend;
    size_t reports;
    uint16_t lastOffset;
    uint8_t lastChunk;
  } cases[] = {
      {6, 1, 0, 6},       {58, 1, 0, 0x3A},  {59, 2, 0x3A, 1},
      {116, 2, 0x3A, 58}, {117, 3, 0x74, 1}, {1030, 18, 0x03DA, 44},
  };
  for (const auto& c : cases) {
    log->written.clear();
    Answer(qktest::FrameAnswer(qktest::Ok()));
    auto record = Command(0xD6, c.bytesToSend - 6);
    const qk::CommandRecord sent = record;
    ASSERT_EQ(Exchange(&record), QK_E_SUCCESS) << c.bytesToSend;
    ASSERT_EQ(log->written.size(), c.reports) << c.bytesToSend;
    Bytes reassembled;
    for (size_t i = 0; i < c.reports; ++i) {
      const Report plain = WrittenPlain(i);
      EXPECT_EQ(plain[1] << 8 | plain[2], static_cast<int>(c.bytesToSend));
      EXPECT_EQ(plain[3] << 8 | plain[4], static_cast<int>(i * 58));
      EXPECT_EQ(plain[5], 0);
      reassembled.insert(reassembled.end(), plain.begin() + 7, plain.begin() + 7 + plain[6]);
    }
    const Report last = WrittenPlain(c.reports - 1);
    EXPECT_EQ(last[3] << 8 | last[4], c.lastOffset) << c.bytesToSend;
    EXPECT_EQ(last[6], c.lastChunk) << c.bytesToSend;
    EXPECT_EQ(reassembled, Bytes(sent.bytes, sent.bytes + c.bytesToSend)) << c.bytesToSend;
  }
}

TEST_F(ExchangeTest, PayloadPastTheChunkKeepsWhatThePreviousReportLeft) {
  Answer(qktest::FrameAnswer(qktest::Ok()));
  auto record = Command(0xD6, 53);  // 59 bytes: 58, then 1
  const qk::CommandRecord sent = record;
  ASSERT_EQ(Exchange(&record), QK_E_SUCCESS);
  const Report second = WrittenPlain(1);
  EXPECT_EQ(second[7], sent.bytes[58]);
  for (size_t i = 1; i < 58; ++i) EXPECT_EQ(second[7 + i], sent.bytes[i]) << i;
}

TEST_F(ExchangeTest, SessionKeyCommandTravelsPlainBothWays) {
  encrypted = false;
  Answer(qktest::FrameAnswer(qktest::Ok({0xAA, 0xBB})));
  auto record = Command(qk::kInsSessionKey, 0);
  ASSERT_EQ(Exchange(&record), QK_E_SUCCESS);
  const uint8_t head[13] = {0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x06,
                            0x00, 0x47, 0x01, 0x00, 0x00, 0x00};
  EXPECT_EQ(std::memcmp(log->written[0].data(), head, 13), 0);
  EXPECT_EQ(record.responseLength, 2);
  EXPECT_EQ(record.bytes[6], 0xAA);
  EXPECT_EQ(record.bytes[7], 0xBB);
}

TEST_F(ExchangeTest, AnswersLandFromRecordByteSix) {
  // Status word only.
  Answer(qktest::FrameAnswer({0x90, 0x00}));
  auto record = Command(0xCA, 0);
  ASSERT_EQ(Exchange(&record), QK_E_SUCCESS);
  EXPECT_EQ(record.responseLength, 0);
  EXPECT_EQ(record.bytes[6], 0x90);
  EXPECT_EQ(record.bytes[7], 0x00);
  EXPECT_EQ(record.bytes[1], 0xCA) << "the header stays";
  EXPECT_EQ(record.bytesToSend, 6);

  // Two reports: 58 at offset 0 and 22 at 0x3A, ending in 6A 82.
  Bytes answer(80);
  for (size_t i = 0; i < 78; ++i) answer[i] = static_cast<uint8_t>(i + 1);
  answer[78] = 0x6A;
  answer[79] = 0x82;
  Answer(qktest::FrameAnswer(answer));
  record = Command(0xCA, 0);
  EXPECT_EQ(Exchange(&record), QK_E_FILE_NOT_FOUND);
  EXPECT_EQ(record.responseLength, 78);
  EXPECT_EQ(Bytes(record.bytes + 6, record.bytes + 86), answer);

  // A full data area: 1024 bytes in 18 reports.
  Bytes full(1024, 0x77);
  full[1022] = 0x63;
  full[1023] = 0x02;
  Answer(qktest::FrameAnswer(full));
  record = Command(0xCF, 0);
  EXPECT_EQ(Exchange(&record), QK_E_WRONG_PIN + 2);
  EXPECT_EQ(record.responseLength, 1022);
}

TEST_F(ExchangeTest, ChunksArePlacedByTheirOffset) {
  // Second half first: the record is assembled by offset, not by arrival.
  Answer({MakeReport(8, 4, 4, {0x05, 0x06, 0x90, 0x00}), MakeReport(8, 0, 4, {1, 2, 3, 4})});
  auto record = Command(0xCA, 0);
  ASSERT_EQ(Exchange(&record), QK_E_SUCCESS);
  EXPECT_EQ(record.responseLength, 6);
  EXPECT_EQ(Bytes(record.bytes + 6, record.bytes + 14), (Bytes{1, 2, 3, 4, 5, 6, 0x90, 0x00}));
}

TEST_F(ExchangeTest, MalformedAnswerReportsEndTheExchange) {
  const Bytes sw = {0x90, 0x00};
  const struct {
    const char* name;
    std::vector<Report> reports;
  } cases[] = {
      {"offset 0x400", {MakeReport(2, 0x400, 2, sw)}},
      {"offset 0xFFFF", {MakeReport(2, 0xFFFF, 2, sw)}},
      {"chunk length 59", {MakeReport(59, 0, 59, Bytes(58, 1))}},
      {"chunk length 255", {MakeReport(255, 0, 255, Bytes(58, 1))}},
      {"chunk past the data area", {MakeReport(1024, 1000, 25, Bytes(25, 0xEE))}},
      {"short chunk past the data area", {MakeReport(20, 1020, 20, Bytes(20, 0xEE))}},
      {"total length 1", {MakeReport(1, 0, 1, sw)}},
      {"total length 0", {MakeReport(0, 0, 2, sw)}},
      {"total length 1025", {MakeReport(1025, 0, 58, Bytes(58, 1))}},
      {"no answer at all", {}},
      {"a repeated report completes the count early",
       {MakeReport(80, 0, 58, Bytes(58, 1)), MakeReport(80, 0, 58, Bytes(58, 1)),
        MakeReport(80, 58, 22, Bytes(22, 1))}},
      {"chunk runs past the announced total", {MakeReport(4, 0, 6, {1, 2, 0x90, 0x00, 0, 0})}},
      {"answer stops short", {MakeReport(100, 0, 58, Bytes(58, 1))}},
      {"babbling empty chunks", std::vector<Report>(40, MakeReport(10, 0, 0, {}))},
      {"overlapping chunks pass the data area",
       [] {
         std::vector<Report> r;
         for (int i = 0; i < 17; ++i) r.push_back(MakeReport(1024, 0, 58, Bytes(58, 1)));
         r.push_back(MakeReport(1024, 966, 58, Bytes(58, 1)));  // 18 * 58 = 1044 taken
         return r;
       }()},
  };
  for (const auto& c : cases) {
    log->eventsCreated = log->eventsClosed = 0;
    Answer(c.reports);
    auto record = Command(0xCA, 0);
    record.responseLength = 0xBEEF;
    EXPECT_EQ(Exchange(&record), QK_E_COMMUNICATION) << c.name;
    EXPECT_EQ(record.responseLength, 0xBEEF) << c.name << ": not set on failure";
    EXPECT_EQ(record.bytesToSend, 6) << c.name << ": nothing written past the data area";
    EXPECT_EQ(log->eventsClosed, log->eventsCreated) << c.name;
  }
}

TEST_F(ExchangeTest, ReadsAtMostEighteenAnswerReports) {
  std::vector<Report> ones;
  for (int i = 0; i < 40; ++i) ones.push_back(MakeReport(1024, static_cast<uint16_t>(i), 1, {1}));
  Answer(ones);
  auto record = Command(0xCA, 0);
  log->readTimeouts.clear();
  EXPECT_EQ(Exchange(&record), QK_E_COMMUNICATION);
  EXPECT_EQ(log->readTimeouts.size(), 18u);
}

TEST_F(ExchangeTest, EveryWaitIsBoundedByItsLimit) {
  qk::SetTimeLimitsForTesting({11, 22, 33, 44});
  Answer({MakeReport(60, 0, 58, Bytes(58, 1)), MakeReport(60, 58, 2, {0x90, 0x00})});
  auto record = Command(0xD6, 60);
  ASSERT_EQ(Exchange(&record), QK_E_SUCCESS);
  EXPECT_EQ(log->writeTimeouts, (std::vector<uint32_t>{22, 22}));
  EXPECT_EQ(log->readTimeouts, (std::vector<uint32_t>{33, 44}));
}

TEST_F(ExchangeTest, DeviceFailures) {
  const struct {
    const char* name;
    std::function<void(qktest::FakeDevice*)> breakIt;
    uint32_t result;
    size_t written;
  } cases[] = {
      {"flush fails", [](qktest::FakeDevice* d) { d->flushFails = true; }, QK_E_FAILURE, 0},
      {"no event", [](qktest::FakeDevice* d) { d->eventFails = true; }, QK_E_COMMUNICATION, 0},
      {"write fails", [](qktest::FakeDevice* d) { d->writeStatus = IoStatus::kFailed; },
       QK_E_COMMUNICATION, 0},
      {"write times out", [](qktest::FakeDevice* d) { d->writeStatus = IoStatus::kTimedOut; },
       QK_E_COMMUNICATION, 0},
  };
  for (const auto& c : cases) {
    *log = qktest::DeviceLog{};
    SetUp();
    Answer(qktest::FrameAnswer(qktest::Ok()));
    c.breakIt(device.get());
    auto record = Command(0xD6, 100);
    EXPECT_EQ(Exchange(&record), c.result) << c.name;
    EXPECT_EQ(log->written.size(), c.written) << c.name;
    EXPECT_EQ(log->eventsClosed, log->eventsCreated) << c.name;
    if (c.result == QK_E_FAILURE) {
      EXPECT_EQ(log->eventsCreated, 0) << c.name;
    }
  }
}

TEST_F(ExchangeTest, RecordsThatCannotBeACommandAreRefused) {
  for (uint16_t bytesToSend : {uint16_t{0}, uint16_t{5}, uint16_t{1031}, uint16_t{0xFFFF}}) {
    auto record = Command(0xD6, 0);
    record.bytesToSend = bytesToSend;
    EXPECT_EQ(Exchange(&record), QK_E_PARAMETER) << bytesToSend;
  }
  EXPECT_TRUE(log->written.empty());
  auto record = Command(0xCA, 0);
  EXPECT_EQ(qk::ExchangeCommand(nullptr, &record, kKey), QK_E_COMMUNICATION);
}

// ---- TransmitLocked ----

class TransmitLockedTest : public ExchangeTest {
 protected:
  void SetUp() override {
    ExchangeTest::SetUp();
    qktest::ResetDeviceTable();
    slot().file = device.release();
    slot().mutex = lock = new qktest::FakeMutex;
    std::memcpy(slot().sessionKey, kKey, 8);
    slot().opened = 1;
  }
  void TearDown() override {
    qktest::ResetDeviceTable();
    qk::SetTransmitHookForTesting(nullptr);
    ExchangeTest::TearDown();
  }
  static qk::DeviceSlot& slot() { return qk::GetDeviceTable().slots[9]; }
  qktest::FakeMutex* lock = nullptr;
};

TEST_F(TransmitLockedTest, HoldsTheSlotLockForOneExchange) {
  qk::SetTimeLimitsForTesting({1234, 50, 50, 50});
  Answer(qktest::FrameAnswer(qktest::Ok({0x01})));
  auto record = Command(0xCA, 0);
  EXPECT_EQ(qk::TransmitLocked(9, &record), QK_E_SUCCESS);
  EXPECT_EQ(record.bytes[6], 0x01) << "exchanged under the slot's key";
  EXPECT_EQ(lock->lockTimeouts, (std::vector<uint32_t>{1234}));
  EXPECT_EQ(lock->held, 0);
  EXPECT_EQ(lock->unlocks, 1);

  script.clear();  // the token falls silent: released all the same
  EXPECT_EQ(qk::TransmitLocked(9, &record), QK_E_COMMUNICATION);
  EXPECT_EQ(lock->held, 0);
}

TEST_F(TransmitLockedTest, ALockThatCannotBeHadEndsTheCallUntouched) {
  lock->lockSucceeds = false;
  Answer(qktest::FrameAnswer(qktest::Ok()));
  auto record = Command(0xCA, 0);
  EXPECT_EQ(qk::TransmitLocked(9, &record), QK_E_COMMUNICATION);
  EXPECT_TRUE(log->written.empty());
  EXPECT_EQ(lock->unlocks, 0);
}

TEST_F(TransmitLockedTest, ASlotWithoutALockStillExchanges) {
  delete slot().mutex;
  slot().mutex = nullptr;
  Answer(qktest::FrameAnswer(qktest::Ok()));
  auto record = Command(0xCA, 0);
  EXPECT_EQ(qk::TransmitLocked(9, &record), QK_E_SUCCESS);
}

TEST_F(TransmitLockedTest, SlotsWithoutADeviceOrOutOfRangeDoNotExchange) {
  auto record = Command(0xCA, 0);
  EXPECT_EQ(qk::TransmitLocked(10, &record), QK_E_COMMUNICATION) << "no device in the slot";
  EXPECT_EQ(qk::TransmitLocked(128, &record), QK_E_CONTEXT);
  EXPECT_EQ(qk::TransmitLocked(0x109, &record), QK_E_CONTEXT);
}

uint32_t HookAnswering(uint32_t slotIndex, qk::CommandRecord* record) {
  record->bytes[6] = static_cast<uint8_t>(slotIndex);
  return 0x1234;
}

TEST_F(TransmitLockedTest, TheHookReplacesTheTransport) {
  qk::SetTransmitHookForTesting(HookAnswering);
  auto record = Command(0xCA, 0);
  EXPECT_EQ(qk::TransmitLocked(9, &record), 0x1234u);
  EXPECT_EQ(record.bytes[6], 9);
  EXPECT_TRUE(lock->lockTimeouts.empty());
  qk::SetTransmitHookForTesting(nullptr);
  Answer(qktest::FrameAnswer(qktest::Ok()));
  EXPECT_EQ(qk::TransmitLocked(9, &record), QK_E_SUCCESS);
}

}  // namespace
