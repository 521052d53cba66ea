#include "sim/link/faults.h"

#include <gtest/gtest.h>

namespace qksim::link {
namespace {

FaultRule Rule(const std::string& text) {
  FaultRule rule;
  std::string error;
  EXPECT_TRUE(ParseFaultRule(text, &rule, &error)) << text << ": " << error;
  return rule;
}

TEST(FaultRule, ParsesEveryPartAndRefusesMalformedRules) {
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

}  // namespace
}  // namespace qksim::link
