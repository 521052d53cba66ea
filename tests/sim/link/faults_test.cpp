#include "sim/link/faults.h"

#include <gtest/gtest.h>

#include <cstring>

#include "transport/des.h"

namespace qksim::link {
namespace {

TEST(FaultSpec, ParsesEveryPart) {
  struct Case {
    const char* spec;
    FaultKind kind;
    std::optional<uint32_t> arg;
    std::optional<uint32_t> times;
    uint32_t skip;
  };
  const Case cases[] = {
      {"drop", FaultKind::kDrop, std::nullopt, std::nullopt, 0},
      {"delay:300", FaultKind::kDelay, 300, std::nullopt, 0},
      {"slow:0x10@always", FaultKind::kSlow, 16, std::nullopt, 0},
      {"corrupt:5@2", FaultKind::kCorrupt, 5, 2, 0},
      {"truncate@1+3", FaultKind::kTruncate, std::nullopt, 1, 3},
      {"badoffset:1024+2", FaultKind::kBadOffset, 1024, std::nullopt, 2},
      {"badtotal:0", FaultKind::kBadTotal, 0, std::nullopt, 0},
      {"repeat:16", FaultKind::kRepeat, 16, std::nullopt, 0},
      {"cut", FaultKind::kCut, std::nullopt, std::nullopt, 0},
      {"hangup@1", FaultKind::kHangUp, std::nullopt, 1, 0},
      {"silent@3", FaultKind::kSilent, std::nullopt, 3, 0},
  };
  for (const Case& c : cases) {
    FaultRule rule;
    std::string error;
    ASSERT_TRUE(ParseFaultSpec(c.spec, &rule, &error)) << c.spec << ": " << error;
    EXPECT_EQ(rule.kind, c.kind) << c.spec;
    EXPECT_EQ(rule.arg, c.arg) << c.spec;
    EXPECT_EQ(rule.times, c.times) << c.spec;
    EXPECT_EQ(rule.skip, c.skip) << c.spec;
  }
}

TEST(FaultSpec, RefusesMalformedSpecs) {
  const char* bad[] = {
      "",            "explode",      "drop:5",       "delay",         "slow:",
      "delay:abc",   "delay:600001", "corrupt:0",    "corrupt:65",    "repeat:0",
      "repeat:17",   "badtotal:65536", "drop@0",     "drop@",         "drop@sometimes",
      "drop+x",      "drop@1+",      "delay:-5",     "delay:99999999999",
  };
  for (const char* spec : bad) {
    FaultRule rule;
    std::string error;
    EXPECT_FALSE(ParseFaultSpec(spec, &rule, &error)) << spec;
    EXPECT_FALSE(error.empty()) << spec;
  }
}

FaultRule Rule(const char* spec) {
  FaultRule rule;
  std::string error;
  EXPECT_TRUE(ParseFaultSpec(spec, &rule, &error)) << error;
  return rule;
}

TEST(FaultInjector, RulesApplyInTurnForTheirCount) {
  FaultInjector faults;
  faults.Add(Rule("drop@2+1"));
  faults.Add(Rule("corrupt"));
  std::vector<std::optional<FaultKind>> seen;
  for (int i = 0; i < 6; ++i) {
    const auto rule = faults.TakeForAnswer();
    seen.push_back(rule ? std::optional<FaultKind>(rule->kind) : std::nullopt);
  }
  const std::vector<std::optional<FaultKind>> expected = {
      std::nullopt,         FaultKind::kDrop,     FaultKind::kDrop,
      FaultKind::kCorrupt,  FaultKind::kCorrupt,  FaultKind::kCorrupt};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(faults.Count(), 1u) << "an 'always' rule stays";
  faults.Clear();
  EXPECT_FALSE(faults.TakeForAnswer());
}

TEST(FaultInjector, SilenceCountsWholeCommandsOnly) {
  FaultInjector faults;
  faults.Add(Rule("silent@2+1"));
  EXPECT_FALSE(faults.SwallowReport(true)) << "still skipping";
  EXPECT_FALSE(faults.TakeForAnswer()) << "the skipped answer goes out whole";
  EXPECT_TRUE(faults.SwallowReport(false));  // first report of a long command
  EXPECT_TRUE(faults.SwallowReport(true));
  EXPECT_TRUE(faults.SwallowReport(true));
  EXPECT_FALSE(faults.SwallowReport(true)) << "two commands were swallowed";
  EXPECT_EQ(faults.Count(), 0u);
}

// ---- Planning -------------------------------------------------------------------

// Answer reports whose plain bodies carry `size` answer bytes 0, 1, 2, ...
std::vector<Report> PlainAnswer(size_t size) {
  std::vector<Report> reports;
  for (size_t offset = 0; offset < size; offset += 58) {
    Report r{};
    const size_t chunk = std::min<size_t>(58, size - offset);
    r[1] = static_cast<uint8_t>(size >> 8);
    r[2] = static_cast<uint8_t>(size);
    r[3] = static_cast<uint8_t>(offset >> 8);
    r[4] = static_cast<uint8_t>(offset);
    r[6] = static_cast<uint8_t>(chunk);
    for (size_t i = 0; i < chunk; ++i) r[7 + i] = static_cast<uint8_t>(offset + i);
    reports.push_back(r);
  }
  return reports;
}

// Cuts the planned bytes back into reports; fails the test on a bad frame.
std::vector<Report> Reports(const std::vector<uint8_t>& bytes) {
  std::vector<Report> out;
  for (size_t at = 0; at < bytes.size(); at += 68) {
    EXPECT_LE(at + 68, bytes.size());
    if (at + 68 > bytes.size()) break;
    EXPECT_EQ(bytes[at], 'R');
    EXPECT_EQ(bytes[at + 1], 0);
    EXPECT_EQ(bytes[at + 2], 65);
    Report r;
    std::memcpy(r.data(), bytes.data() + at + 3, r.size());
    out.push_back(r);
  }
  return out;
}

std::vector<Report> AllReports(const AnswerPlan& plan) {
  std::vector<Report> out;
  for (const PlannedSend& s : plan.sends) {
    for (const Report& r : Reports(s.bytes)) out.push_back(r);
  }
  return out;
}

const AnswerCipher kPlain{true, nullptr};

TEST(PlanAnswer, HealthyAnswerGoesOutWhole) {
  const auto answer = PlainAnswer(80);
  const AnswerPlan plan = PlanAnswer(answer, nullptr, kPlain);
  ASSERT_EQ(plan.sends.size(), 1u);
  EXPECT_EQ(plan.sends[0].delayMs, 0u);
  EXPECT_EQ(AllReports(plan), answer);
  EXPECT_FALSE(plan.hangUpSender);
  EXPECT_FALSE(plan.senderOnly);
}

TEST(PlanAnswer, ShapesTheReportsAsEachKindSays) {
  const auto answer = PlainAnswer(150);  // three reports
  struct Case {
    const char* spec;
    size_t reports;
    size_t sends;
    uint32_t firstDelay;
  };
  const Case cases[] = {
      {"drop", 0, 0, 0},          {"delay:250", 3, 1, 250},  {"slow:40", 3, 3, 40},
      {"truncate", 2, 1, 0},      {"truncate:1", 1, 1, 0},   {"truncate:9", 3, 1, 0},
      {"repeat", 6, 1, 0},        {"repeat:2", 9, 1, 0},
  };
  for (const Case& c : cases) {
    const FaultRule rule = Rule(c.spec);
    const AnswerPlan plan = PlanAnswer(answer, &rule, kPlain);
    EXPECT_EQ(plan.sends.size(), c.sends) << c.spec;
    EXPECT_EQ(AllReports(plan).size(), c.reports) << c.spec;
    if (!plan.sends.empty()) {
      EXPECT_EQ(plan.sends[0].delayMs, c.firstDelay) << c.spec;
    }
    EXPECT_FALSE(plan.hangUpSender) << c.spec;
    // Whatever goes out is the token's own reports, in order.
    const auto sent = AllReports(plan);
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i], answer[i % 3]) << c.spec;
  }
}

TEST(PlanAnswer, ConnectionFaultsHangUpTheSenderAlone) {
  const auto answer = PlainAnswer(10);
  const FaultRule cut = Rule("cut");
  const AnswerPlan cutPlan = PlanAnswer(answer, &cut, kPlain);
  ASSERT_EQ(cutPlan.sends.size(), 1u);
  EXPECT_EQ(cutPlan.sends[0].bytes.size(), 34u) << "half of a 68-byte frame";
  EXPECT_TRUE(cutPlan.senderOnly && cutPlan.hangUpSender);
  const FaultRule hangUp = Rule("hangup");
  const AnswerPlan hangPlan = PlanAnswer(answer, &hangUp, kPlain);
  EXPECT_TRUE(hangPlan.sends.empty());
  EXPECT_TRUE(hangPlan.senderOnly && hangPlan.hangUpSender);
}

TEST(PlanAnswer, CorruptInvertsOneBytePerReport) {
  const auto answer = PlainAnswer(100);
  const FaultRule rule = Rule("corrupt:7");
  const auto sent = AllReports(PlanAnswer(answer, &rule, kPlain));
  ASSERT_EQ(sent.size(), answer.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    for (size_t b = 0; b < 65; ++b) {
      EXPECT_EQ(sent[i][b], b == 7 ? answer[i][b] ^ 0xFF : answer[i][b]) << i << "/" << b;
    }
  }
}

uint16_t Total(const Report& r) { return static_cast<uint16_t>(r[1] << 8 | r[2]); }
uint16_t Offset(const Report& r) { return static_cast<uint16_t>(r[3] << 8 | r[4]); }

TEST(PlanAnswer, LengthFaultsRewritePlainHeaders) {
  const auto answer = PlainAnswer(66);
  struct Case {
    const char* spec;
    uint16_t total[2];
    uint16_t offset[2];
  };
  const Case cases[] = {
      {"badtotal", {66 + 58, 66 + 58}, {0, 58}},
      {"badtotal:1", {1, 1}, {0, 58}},
      {"badoffset", {66, 66}, {0x400, 0x400}},
      {"badoffset:20", {66, 66}, {20, 20}},
  };
  for (const Case& c : cases) {
    const FaultRule rule = Rule(c.spec);
    const auto sent = AllReports(PlanAnswer(answer, &rule, kPlain));
    ASSERT_EQ(sent.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
      EXPECT_EQ(Total(sent[i]), c.total[i]) << c.spec;
      EXPECT_EQ(Offset(sent[i]), c.offset[i]) << c.spec;
      EXPECT_TRUE(std::equal(sent[i].begin() + 5, sent[i].end(), answer[i].begin() + 5))
          << c.spec << ": only the header changes";
    }
  }
}

TEST(PlanAnswer, LengthFaultsReachThroughTheCipherWithTheKey) {
  const uint8_t key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
  const auto plain = PlainAnswer(40);
  std::vector<Report> enciphered = plain;
  qk::TokenChainEncrypt(plain[0].data() + 1, enciphered[0].data() + 1, key, 64);

  const FaultRule rule = Rule("badoffset:0x123");
  const auto sent = AllReports(PlanAnswer(enciphered, &rule, AnswerCipher{false, key}));
  ASSERT_EQ(sent.size(), 1u);
  Report opened{};
  qk::ChainDecrypt(sent[0].data() + 1, opened.data() + 1, key, 64);  // as the host reads it
  EXPECT_EQ(Offset(opened), 0x123);
  EXPECT_EQ(Total(opened), 40);
  EXPECT_TRUE(std::equal(opened.begin() + 5, opened.end(), plain[0].begin() + 5));

  // Without the key the header cannot be aimed at: the report is spoiled instead.
  const auto blind = AllReports(PlanAnswer(enciphered, &rule, AnswerCipher{false, nullptr}));
  ASSERT_EQ(blind.size(), 1u);
  EXPECT_NE(blind[0], enciphered[0]);
}

}  // namespace
}  // namespace qksim::link
