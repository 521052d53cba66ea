#include "sim/link/faults.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qksim::link {
namespace {

FaultRule Rule(const std::string& text) {
  FaultRule rule;
  std::string error;
  EXPECT_TRUE(ParseFaultRule(text, &rule, &error)) << text << ": " << error;
  return rule;
}

TEST(FaultSpec, ParsesEveryPartAndRefusesMalformedSpecs) {
  const FaultRule a = Rule("slow:0x10@always"), b = Rule("corrupt:5@2"), c = Rule("truncate@1+3");
  EXPECT_TRUE(a.kind == FaultKind::kSlow && a.arg == 16u && !a.times && a.skip == 0);
  EXPECT_TRUE(b.kind == FaultKind::kCorrupt && b.arg == 5u && b.times == 2u);
  EXPECT_TRUE(c.kind == FaultKind::kTruncate && !c.arg && c.times == 1u && c.skip == 3);
  for (const char* bad :
       {"", "explode", "drop:5", "delay", "delay:abc", "delay:600001", "corrupt:65", "repeat:17",
        "badtotal:65536", "drop@0", "drop@sometimes", "drop@1+", "delay:-5"}) {
    FaultRule rule;
    std::string error;
    EXPECT_FALSE(ParseFaultRule(bad, &rule, &error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(FaultInjector, RulesApplyInTurnAndSilenceCountsWholeCommands) {
  FaultInjector faults;
  faults.Add(Rule("drop@2+1"));
  faults.Add(Rule("corrupt"));
  std::vector<std::optional<FaultKind>> seen;
  for (int i = 0; i < 5; ++i) {
    const auto rule = faults.TakeForAnswer();
    seen.push_back(rule ? std::optional<FaultKind>(rule->kind) : std::nullopt);
  }
  EXPECT_EQ(seen,
            (std::vector<std::optional<FaultKind>>{std::nullopt, FaultKind::kDrop, FaultKind::kDrop,
                                                   FaultKind::kCorrupt, FaultKind::kCorrupt}));
  EXPECT_EQ(faults.Count(), 1u) << "an 'always' rule stays";
  faults.Clear();
  faults.Add(Rule("silent@2+1"));
  EXPECT_FALSE(faults.SwallowReport(true)) << "still skipping";
  EXPECT_FALSE(faults.TakeForAnswer()) << "the skipped answer goes out whole";
  EXPECT_TRUE(faults.SwallowReport(false));  // first report of a long command
  EXPECT_TRUE(faults.SwallowReport(true));
  EXPECT_TRUE(faults.SwallowReport(true));
  EXPECT_FALSE(faults.SwallowReport(true)) << "two commands were swallowed";
  EXPECT_EQ(faults.Count(), 0u);
}

// Cuts the planned frames back into reports; fails the test on a bad frame.
std::vector<Report> AllReports(const AnswerPlan& plan) {
  std::vector<Report> out;
  for (const PlannedSend& s : plan.sends) {
    EXPECT_EQ(s.bytes.size() % 68, 0u);
    for (size_t at = 0; at + 68 <= s.bytes.size(); at += 68) {
      EXPECT_TRUE(s.bytes[at] == 'R' && s.bytes[at + 1] == 0 && s.bytes[at + 2] == 65);
      out.push_back(Report{});
      std::memcpy(out.back().data(), s.bytes.data() + at + 3, 65);
    }
  }
  return out;
}

// Every fault kind once, on a two-report answer.
TEST(PlanAnswer, ShapesTheReportsAsEachKindSays) {
  std::vector<Report> answer(2);  // a 66-byte answer carrying bytes 0, 1, 2, ...
  for (size_t k = 0; k < 2; ++k) {
    answer[k] = {0, 0, 66, 0, static_cast<uint8_t>(k * 58), 0, static_cast<uint8_t>(k ? 8 : 58)};
    for (size_t i = 0; i < answer[k][6]; ++i) answer[k][7 + i] = static_cast<uint8_t>(k * 58 + i);
  }
  const AnswerCipher plain{true, nullptr};
  const struct {
    const char* rule;
    size_t sends, reports;
    uint32_t firstDelay;
    bool hangUp;
    int total, offset;  // rewritten header fields, -1 when unchanged
    int corruptAt;      // the inverted byte of every report, -1 for none
  } cases[] = {
      {"none", 1, 2, 0, false, -1, -1, -1},         {"drop", 0, 0, 0, false, -1, -1, -1},
      {"delay:250", 1, 2, 250, false, -1, -1, -1},  {"slow:40", 2, 2, 40, false, -1, -1, -1},
      {"truncate", 1, 1, 0, false, -1, -1, -1},     {"repeat:2", 1, 6, 0, false, -1, -1, -1},
      {"corrupt:7", 1, 2, 0, false, -1, -1, 7},     {"badtotal", 1, 2, 0, false, 66 + 58, -1, -1},
      {"badoffset:20", 1, 2, 0, false, -1, 20, -1}, {"hangup", 0, 0, 0, true, -1, -1, -1},
  };
  for (const auto& c : cases) {
    const bool none = std::string(c.rule) == "none";
    const FaultRule rule = none ? FaultRule{} : Rule(c.rule);
    const AnswerPlan plan = PlanAnswer(answer, none ? nullptr : &rule, plain);
    ASSERT_EQ(plan.sends.size(), c.sends) << c.rule;
    EXPECT_EQ(c.sends > 0 ? plan.sends[0].delayMs : 0u, c.firstDelay) << c.rule;
    EXPECT_EQ(plan.hangUpSender, c.hangUp) << c.rule;
    EXPECT_EQ(plan.senderOnly, c.hangUp) << c.rule;
    const auto sent = AllReports(plan);
    ASSERT_EQ(sent.size(), c.reports) << c.rule;
    for (size_t i = 0; i < sent.size(); ++i) {
      Report expected = answer[i % 2];  // the token's own reports, in order
      if (c.total >= 0) expected[1] = 0, expected[2] = static_cast<uint8_t>(c.total);
      if (c.offset >= 0) expected[3] = 0, expected[4] = static_cast<uint8_t>(c.offset);
      if (c.corruptAt >= 0) expected[static_cast<size_t>(c.corruptAt)] ^= 0xFF;
      EXPECT_EQ(sent[i], expected) << c.rule << " report " << i;
    }
  }
  const FaultRule cut = Rule("cut");
  const AnswerPlan cutPlan = PlanAnswer(answer, &cut, plain);
  ASSERT_EQ(cutPlan.sends.size(), 1u);
  EXPECT_EQ(cutPlan.sends[0].bytes.size(), 34u) << "half of a 68-byte frame";
  EXPECT_TRUE(cutPlan.senderOnly && cutPlan.hangUpSender);
}

}  // namespace
}  // namespace qksim::link
