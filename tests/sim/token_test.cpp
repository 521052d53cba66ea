// The token as the host sees it: plain session-key reports, enciphered
// commands in several reports, hostile reports, sessions and the trace.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "include/qkrsa.h"
#include "sim/token.h"
#include "tests/sim/sim_test_util.h"
#include "transport/des.h"
#include "transport/maker_key.h"

namespace qksimtest {
namespace {

using qksim::Report;

std::vector<Report> Reports(const Bytes& message) {
  std::vector<Report> reports;
  Report plain{};
  for (size_t offset = 0; offset < message.size(); offset += 58) {
    const size_t chunk = std::min<size_t>(58, message.size() - offset);
    plain[1] = static_cast<uint8_t>(message.size() >> 8);
    plain[2] = static_cast<uint8_t>(message.size());
    plain[3] = static_cast<uint8_t>(offset >> 8);
    plain[4] = static_cast<uint8_t>(offset);
    plain[6] = static_cast<uint8_t>(chunk);
    std::memcpy(&plain[7], message.data() + offset, chunk);
    reports.push_back(plain);
  }
  return reports;
}

// Reassembles answer reports as the host does; empty when incomplete.
Bytes Join(const std::vector<Report>& plainReports) {
  Bytes answer;
  size_t total = 0;
  for (const Report& r : plainReports) {
    total = (r[1] << 8) | r[2];
    const size_t offset = (r[3] << 8) | r[4];
    if (answer.size() < offset + r[6]) answer.resize(offset + r[6]);
    std::memcpy(answer.data() + offset, &r[7], r[6]);
  }
  return answer.size() == total ? answer : Bytes{};
}

class Host {
 public:
  explicit Host(qksim::Token* token) : token_(token), session_(token->OpenSession()) {}
  ~Host() { token_->CloseSession(session_); }

  // Runs the session-key command and opens the block with the maker's public key.
  bool OpenSession() {
    std::vector<Report> answers;
    Report request = Reports({0x00, 0x47, 0x47, 0x4B, 0x00, 0x00})[0];
    token_->HandleReport(session_, request, &answers);
    Bytes answer = Join(answers);
    if (answer.size() != 66 || answer[64] != 0x90 || answer[65] != 0x00) return false;
    uint8_t opened[64];
    uint32_t length = 64;
    if (RsaPublicBlock(opened, &length, answer.data(), 64, &qk::MakerPublicKey()) != 0) return false;
    std::memcpy(key_, opened, 8);
    return true;
  }

  std::vector<Report> SendRaw(const std::vector<Report>& reports) {
    std::vector<Report> answers;
    for (const Report& r : reports) token_->HandleReport(session_, r, &answers);
    return answers;
  }

  Reply Send(const Bytes& command) {
    std::vector<Report> enciphered;
    for (Report r : Reports(command)) {
      Report out{};
      qk::ChainEncrypt(r.data() + 1, out.data() + 1, key_, 64);
      enciphered.push_back(out);
    }
    std::vector<Report> plain;
    for (const Report& a : SendRaw(enciphered)) {
      Report p{};
      qk::ChainDecrypt(a.data() + 1, p.data() + 1, key_, 64);
      plain.push_back(p);
    }
    Bytes answer = Join(plain);
    Reply reply;
    if (answer.size() < 2) return reply;
    reply.sw = static_cast<uint16_t>((answer[answer.size() - 2] << 8) | answer.back());
    reply.data.assign(answer.begin(), answer.end() - 2);
    return reply;
  }

  uint8_t key_[8] = {};

 private:
  qksim::Token* token_;
  qksim::Token::SessionId session_;
};

TEST(SimToken, SessionKeyOpensWithTheLibrarysPublicKeyAndCarriesCommands) {
  qksim::Token token;
  Host host(&token);
  ASSERT_TRUE(host.OpenSession());
  Reply info = host.Send({0x00, 0xCA, 0, 0, 0, 0});
  EXPECT_EQ(info.sw, 0x9000);
  EXPECT_EQ(info.data.size(), 38u);

  uint8_t firstKey[8];
  std::memcpy(firstKey, host.key_, 8);
  ASSERT_TRUE(host.OpenSession());
  EXPECT_NE(std::memcmp(firstKey, host.key_, 8), 0) << "a fresh key for every session-key command";
  EXPECT_EQ(host.Send({0x00, 0xCA, 0, 0, 0, 0}).sw, 0x9000);
}

TEST(SimToken, LongCommandsSpanManyReports) {
  qksim::Token token;
  Host host(&token);
  ASSERT_TRUE(host.OpenSession());
  Bytes verify = Cat({{0, 0x20, 1, 0, 24, 0}, Text(kDeveloperPin)});
  ASSERT_EQ(host.Send(verify).sw, 0x9000);
  ASSERT_EQ(host.Send({0, 0xE1, 0, 0, 5, 0, 0x20, 0, 0x00, 0x04, 1}).sw, 0x9000);  // 1024-byte file
  Bytes write = Cat({{0, 0xD6, 0x20, 0, 0, 4}, Le16(4), Le16(1020), Bytes(1020, 0x5C)});
  ASSERT_EQ(write.size(), 1030u);
  EXPECT_EQ(host.Send(write).sw, 0x9000);
  Bytes tooFar = Cat({{0, 0xD6, 0x20, 0, 0, 4}, Le16(5), Le16(1020), Bytes(1020, 0x5C)});
  EXPECT_EQ(host.Send(tooFar).sw, 0x6700);
}

TEST(SimToken, ReportsItCannotReadGetNoAnswer) {
  qksim::Token token;
  Host host(&token);
  Report command = Reports({0x00, 0xCA, 0, 0, 0, 0})[0];
  EXPECT_TRUE(host.SendRaw({command}).empty()) << "no session key yet";
  ASSERT_TRUE(host.OpenSession());
  Report wrongId = Reports({0x00, 0x47, 0x47, 0x4B, 0x00, 0x00})[0];
  wrongId[0] = 1;
  EXPECT_TRUE(host.SendRaw({wrongId}).empty()) << "report identifier must be 0";
  Report garbage;
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 37 + 1);
  garbage[0] = 0;
  for (int i = 0; i < 200; ++i) {
    garbage[1 + i % 64] ^= static_cast<uint8_t>(i);
    host.SendRaw({garbage});
  }
  EXPECT_EQ(host.Send({0x00, 0xCA, 0, 0, 0, 0}).sw, 0x9000) << "garbage leaves the session usable";
}

TEST(SimToken, SessionsKeepTheirOwnKeysAndPinsButShareTheFiles) {
  qksim::Token token;
  Host a(&token), b(&token);
  ASSERT_TRUE(a.OpenSession());
  ASSERT_TRUE(b.OpenSession());
  ASSERT_EQ(a.Send(Cat({{0, 0x20, 1, 0, 24, 0}, Text(kDeveloperPin)})).sw, 0x9000);
  ASSERT_EQ(a.Send({0, 0xE1, 0, 0, 5, 0, 0x30, 0, 4, 0, 1}).sw, 0x9000);
  EXPECT_EQ(b.Send({0, 0xE1, 0, 0, 5, 0, 0x31, 0, 4, 0, 1}).sw, 0x6D80) << "PIN state is per session";
  EXPECT_EQ(b.Send({0, 0xCE, 0x30, 0, 0, 0}).data, (Bytes{1, 4, 0})) << "files are shared";
  std::memcpy(b.key_, a.key_, 8);
  EXPECT_EQ(b.Send({0x00, 0xCA, 0, 0, 0, 0}).sw, 0) << "another session's key is useless";
}

TEST(SimToken, TraceShowsCommandsWithoutPins) {
  qksim::Token token;
  std::vector<qksim::TraceEvent> events;
  token.SetTraceSink([&](const qksim::TraceEvent& e) { events.push_back(e); });
  Host host(&token);
  ASSERT_TRUE(host.OpenSession());
  ASSERT_EQ(host.Send(Cat({{0, 0x20, 0, 0, 8, 0}, Text(kUserPin)})).sw, 0x9000);
  ASSERT_EQ(events.size(), 4u);
  EXPECT_TRUE(events[2].fromHost);
  EXPECT_EQ(events[2].bytes, Cat({{0, 0x20, 0, 0, 8, 0}, Bytes(8, '*')}));
  EXPECT_EQ(events[3].bytes, (Bytes{0x90, 0x00}));
}

TEST(SimToken, ChangesAreStoredBeforeTheAnswerAndSurviveARestart) {
  const std::string path = std::string(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "/tmp") +
                           "/qksim_restart_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".img";
  std::remove(path.c_str());
  std::string error;
  {
    auto token = qksim::Token::OpenImage(path, &error);
    ASSERT_NE(token, nullptr) << error;
    Host host(token.get());
    ASSERT_TRUE(host.OpenSession());
    ASSERT_EQ(host.Send(Cat({{0, 0x20, 1, 0, 24, 0}, Text(kDeveloperPin)})).sw, 0x9000);
    ASSERT_EQ(host.Send({0, 0xE1, 0, 0, 5, 0, 0x44, 0, 3, 0, 1}).sw, 0x9000);
    ASSERT_EQ(host.Send(Cat({{0, 0x20, 0, 0, 8, 0}, Text("00000000")})).sw, 0x630E);
  }
  auto token = qksim::Token::OpenImage(path, &error);
  ASSERT_NE(token, nullptr) << error;
  Host host(token.get());
  ASSERT_TRUE(host.OpenSession());
  EXPECT_EQ(host.Send({0, 0xCE, 0x44, 0, 0, 0}).data, (Bytes{1, 3, 0}));
  EXPECT_EQ(host.Send({0, 0xCD, 0, 0, 0, 0}).data.at(10), 14) << "the spent try is remembered";
  std::remove(path.c_str());
}

}  // namespace
}  // namespace qksimtest
