// The report exchange against a scripted device: framing of commands and
// answers, hostile answer reports and time limits.
#include "transport/exchange.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <tuple>

#include "include/qktoken.h"
#include "tests/support/fake_device.h"
#include "transport/des.h"

namespace {

using qktest::Bytes;
using qktest::MakeReport;
using qktest::Report;

const uint8_t kKey[8] = {0x13, 0x57, 0x9B, 0xDF, 0x02, 0x46, 0x8A, 0xCE};

qk::CommandRecord Command(uint8_t ins, size_t dataLength) {
  qk::CommandRecord record{};
  record.bytes[qk::kIns] = ins;
  record.bytes[qk::kP1] = 0x01;
  for (size_t i = 0; i < dataLength; ++i) record.bytes[6 + i] = static_cast<uint8_t>(i * 7 + 3);
  record.bytesToSend = static_cast<uint16_t>(6 + dataLength);
  return record;
}

class ExchangeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qk::ResetTimeLimitsForTesting();
    *log = qktest::DeviceLog{};
    qktest::FakeInterface config;
    // The scripted answer follows the last command report.
    config.responder = [this](const Report& written, std::deque<Report>* answers) {
      const Report p = Plain(written);
      if ((p[3] << 8 | p[4]) + p[6] < (p[1] << 8 | p[2])) return;
      for (const Report& report : script) answers->push_back(report);
    };
    device = std::make_unique<qktest::FakeDevice>(config, log, 0x100);
  }
  void TearDown() override { qk::ResetTimeLimitsForTesting(); }

  // What the device saw, deciphered unless the exchange was plain.
  Report Plain(const Report& written) const {
    Report plain = written;
    if (encrypted) qk::TokenChainDecrypt(written.data() + 1, plain.data() + 1, kKey, 64);
    return plain;
  }
  // Answer reports as the token would encipher them.
  void Answer(std::vector<Report> reports) {
    if (encrypted) qktest::EncipherAnswers(&reports, kKey);
    script = std::move(reports);
  }
  uint32_t Exchange(qk::CommandRecord* r) { return qk::ExchangeCommand(device.get(), r, kKey); }

  std::shared_ptr<qktest::DeviceLog> log = std::make_shared<qktest::DeviceLog>();
  std::unique_ptr<qktest::FakeDevice> device;
  std::vector<Report> script;
  bool encrypted = true;
};

// Chunks of 58 at offsets 0, 58, ...; all enciphered, except the session-key
// command and its answer.
TEST_F(ExchangeTest, CommandsAreCutInto58ByteChunks) {
  const std::pair<size_t, uint8_t> kCommands[] = {
      {59, 0xD6}, {1030, 0xD6}, {6, qk::kInsSessionKey}};
  for (const auto& [bytesToSend, ins] : kCommands) {
    SetUp();
    encrypted = ins != qk::kInsSessionKey;
    Answer(qktest::FrameAnswer(qktest::Ok({0xAA})));
    auto record = Command(ins, bytesToSend - 6);
    const qk::CommandRecord sent = record;
    ASSERT_EQ(Exchange(&record), QK_E_SUCCESS);
    EXPECT_EQ(record.bytes[6], 0xAA);
    ASSERT_EQ(log->written.size(), (bytesToSend + 57) / 58);
    Bytes reassembled;
    for (size_t i = 0; i < log->written.size(); ++i) {
      const Report plain = Plain(log->written[i]);
      EXPECT_EQ(log->written[i] != plain, encrypted);
      EXPECT_EQ(plain[0] | plain[5], 0);
      EXPECT_EQ(plain[1] << 8 | plain[2], static_cast<int>(bytesToSend));
      EXPECT_EQ(plain[3] << 8 | plain[4], static_cast<int>(i * 58));
      EXPECT_EQ(plain[6], std::min<size_t>(58, bytesToSend - i * 58));
      reassembled.insert(reassembled.end(), plain.begin() + 7, plain.begin() + 7 + plain[6]);
    }
    EXPECT_EQ(reassembled, Bytes(sent.bytes, sent.bytes + bytesToSend));
    EXPECT_EQ(log->flushes, 1);
  }
}

// Answers land from record byte 6, assembled by offset, not by arrival.
TEST_F(ExchangeTest, AnswersInOneOrMoreReports) {
  Bytes two(80), full(1024, 0x77);  // two reports ending in 6A 82; eighteen ending in 63 02
  for (size_t i = 0; i < 78; ++i) two[i] = static_cast<uint8_t>(i + 1);
  two[78] = 0x6A, two[79] = 0x82, full[1022] = 0x63, full[1023] = 0x02;
  const struct {
    std::vector<Report> reports;
    uint32_t result;
    Bytes data;
  } cases[] = {
      {qktest::FrameAnswer(two), QK_E_FILE_NOT_FOUND, two},
      {qktest::FrameAnswer(full), QK_E_WRONG_PIN + 2, full},
      {{MakeReport(8, 4, 4, {5, 6, 0x90, 0x00}), MakeReport(8, 0, 4, {1, 2, 3, 4})},
       QK_E_SUCCESS,
       {1, 2, 3, 4, 5, 6, 0x90, 0x00}},
  };
  for (const auto& c : cases) {
    Answer(c.reports);
    auto record = Command(0xCA, 0);
    EXPECT_EQ(Exchange(&record), c.result) << c.data.size();
    EXPECT_EQ(record.responseLength, c.data.size() - 2);
    EXPECT_EQ(Bytes(record.bytes + 6, record.bytes + 6 + c.data.size()), c.data);
    EXPECT_EQ(record.bytesToSend, 6);
  }
}

TEST_F(ExchangeTest, MalformedAnswerReportsEndTheExchange) {
  const Bytes sw = {0x90, 0x00}, ones(58, 1);
  std::vector<Report> overlapping(17, MakeReport(1024, 0, 58, ones));
  overlapping.push_back(MakeReport(1024, 966, 58, ones));  // 18 * 58 = 1044 taken
  const struct {
    const char* name;
    std::vector<Report> reports;
  } cases[] = {
      {"offset 0x400", {MakeReport(2, 0x400, 2, sw)}},
      {"chunk past the data area", {MakeReport(1024, 1000, 25, Bytes(25, 0xEE))}},
      {"a repeated report completes the count early",
       {MakeReport(80, 0, 58, ones), MakeReport(80, 0, 58, ones), MakeReport(80, 58, 22, ones)}},
      {"chunk runs past the announced total", {MakeReport(4, 0, 6, {1, 2, 0x90, 0x00, 0, 0})}},
      {"answer stops short", {MakeReport(100, 0, 58, ones)}},
      {"overlapping chunks pass the data area", overlapping},
      // Report 1 announces 120 and brings 58 bytes at 60; report 2 announces
      // 60 and brings the last 2: no answer the token sent.
      {"totals change within one answer",
       {MakeReport(120, 60, 58, ones), MakeReport(60, 0, 2, sw)}},
      {"a later report announces more", {MakeReport(60, 0, 58, ones), MakeReport(62, 58, 2, sw)}},
  };
  for (const auto& c : cases) {
    Answer(c.reports);
    auto record = Command(0xCA, 0);
    record.responseLength = 0xBEEF;
    EXPECT_EQ(Exchange(&record), QK_E_COMMUNICATION) << c.name;
    EXPECT_EQ(record.responseLength, 0xBEEF) << c.name << ": not set on failure";
    EXPECT_EQ(record.bytesToSend, 6) << c.name << ": nothing written past the data area";
  }
}

// The first answer report may take long, the others not; at most 18 are read
// (a babbling token is cut off).
TEST_F(ExchangeTest, EveryWaitIsBoundedByItsLimit) {
  qk::SetTimeLimitsForTesting({11, 22, 33, 44});
  Answer({MakeReport(60, 0, 58, Bytes(58, 1)), MakeReport(60, 58, 2, {0x90, 0x00})});
  auto record = Command(0xD6, 60);
  ASSERT_EQ(Exchange(&record), QK_E_SUCCESS);
  EXPECT_EQ(log->writeTimeouts, (std::vector<uint32_t>{22, 22}));
  EXPECT_EQ(log->readTimeouts, (std::vector<uint32_t>{33, 44}));
  std::vector<Report> ones;
  for (uint16_t i = 0; i < 40; ++i) ones.push_back(MakeReport(1024, i, 1, {1}));
  Answer(ones);
  log->readTimeouts.clear();
  EXPECT_EQ(Exchange(&record), QK_E_COMMUNICATION);
  EXPECT_EQ(log->readTimeouts.size(), 18u);
}

}  // namespace
