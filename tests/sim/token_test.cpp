// The token as the host sees it: the plain session-key exchange and
// enciphered commands over several reports.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "include/qkrsa.h"
#include "sim/token.h"
#include "tests/sim/sim_test_util.h"
#include "transport/des.h"
#include "transport/maker_key.h"

namespace qktest {
namespace {

using qksim::Report;

std::vector<Report> Reports(const Bytes& message) {
  std::vector<Report> reports;
  for (size_t offset = 0; offset < message.size(); offset += 58) {
    const size_t chunk = std::min<size_t>(58, message.size() - offset);
    const Bytes head = Cat({{0}, Be16(message.size()), Be16(offset), Be16(chunk)});
    reports.push_back(Report{});
    std::copy(head.begin(), head.end(), reports.back().begin());
    std::memcpy(&reports.back()[7], message.data() + offset, chunk);
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
  explicit Host(qksim::Token* token) : token_(token) {}

  // Runs the session-key command and opens the block with the maker's public key.
  bool OpenSession() {
    const Bytes answer = Join(SendRaw(Reports({0x00, 0x47, 0x47, 0x4B, 0x00, 0x00})));
    if (answer.size() != 66 || answer[64] != 0x90 || answer[65] != 0x00) return false;
    uint8_t opened[64] = {};
    uint32_t length = 64;
    const uint32_t rc = RsaPublicBlock(opened, &length, answer.data(), 64, &qk::MakerPublicKey());
    std::memcpy(key_, opened, 8);
    return rc == 0;
  }
  std::vector<Report> SendRaw(const std::vector<Report>& reports) {
    std::vector<Report> answers;
    for (const Report& r : reports) token_->HandleReport(r, &answers);
    return answers;
  }
  Reply Send(const Bytes& command) {
    std::vector<Report> enciphered, plain;
    for (Report r : Reports(command)) {
      enciphered.push_back(Report{});
      qk::ChainEncrypt(r.data() + 1, enciphered.back().data() + 1, key_, 64);
    }
    for (const Report& a : SendRaw(enciphered)) {
      plain.push_back(Report{});
      qk::ChainDecrypt(a.data() + 1, plain.back().data() + 1, key_, 64);
    }
    const Bytes answer = Join(plain);
    if (answer.size() < 2) return Reply{};
    return Reply{static_cast<uint16_t>((answer[answer.size() - 2] << 8) | answer.back()),
                 Bytes(answer.begin(), answer.end() - 2)};
  }
  uint16_t VerifyDeveloper() { return Send(Cat({{0, 0x20, 1, 0, 24, 0}, Text(kDeveloperPin)})).sw; }

  uint8_t key_[8] = {};

 private:
  qksim::Token* token_;
};

const Bytes kInfo = {0x00, 0xCA, 0, 0, 0, 0};

// Catches answers before a session key, a reused key, and long commands lost in reassembly.
TEST(SimToken, SessionKeyRoundTripAndLongCommands) {
  qksim::Token token;
  Host host(&token);
  EXPECT_TRUE(host.SendRaw(Reports(kInfo)).empty()) << "no session key yet";
  ASSERT_TRUE(host.OpenSession());
  EXPECT_EQ(host.Send(kInfo).data.size(), 38u);
  uint8_t firstKey[8];
  std::memcpy(firstKey, host.key_, 8);
  ASSERT_TRUE(host.OpenSession());
  EXPECT_NE(std::memcmp(firstKey, host.key_, 8), 0) << "a fresh key for every session-key command";

  ASSERT_EQ(host.VerifyDeveloper(), 0x9000);
  ASSERT_EQ(host.Send({0, 0xE1, 0, 0, 5, 0, 0x20, 0, 0x00, 0x04, 1}).sw, 0x9000);  // 1024 bytes
  const Bytes write = Cat({{0, 0xD6, 0x20, 0, 0, 4}, Le16(4), Le16(1020), Bytes(1020, 0x5C)});
  ASSERT_EQ(write.size(), 1030u);
  EXPECT_EQ(host.Send(write).sw, 0x9000) << "the longest command, over 18 enciphered reports";
}

// A HID token cannot tell one host handle from another: it keeps one session
// (key, current directory, verified PINs) for all of them, and any handle's
// session-key command starts it afresh for every handle.
TEST(SimToken, OneSessionSharedByEveryHost) {
  qksim::Token token;
  Host first(&token), second(&token);
  ASSERT_TRUE(first.OpenSession());
  ASSERT_EQ(first.VerifyDeveloper(), 0x9000);
  ASSERT_EQ(first.Send({0, 0xE0, 0, 0, 5, 0, 0x01, 0xDF, 0x00, 0x08, 0}).sw, 0x9000);
  ASSERT_EQ(first.Send({0, 0xA4, 0x01, 0xDF, 0, 0}).sw, 0x9000);  // into DF01

  std::memcpy(second.key_, first.key_, 8);  // the same session seen from another handle
  EXPECT_EQ(second.Send({0, 0xE0, 0, 0, 5, 0, 0x02, 0xDF, 0x40, 0, 0}).sw, 0x9000)
      << "the developer PIN verified by the first handle counts for the second";

  ASSERT_TRUE(second.OpenSession());
  EXPECT_EQ(first.Send(kInfo).sw, 0) << "no answer under a replaced key";
  EXPECT_EQ(second.Send({0, 0xE0, 0, 0, 5, 0, 0x03, 0xDF, 0x40, 0, 0}).sw, 0x6D80)
      << "a new session starts with no PIN verified";
  ASSERT_EQ(second.VerifyDeveloper(), 0x9000);
  EXPECT_EQ(second.Send({0, 0xA4, 0x02, 0xDF, 0, 0}).sw, 0x6D88)
      << "and in the root again: DF02 lies inside DF01";
}

}  // namespace
}  // namespace qktest
