#include "sim/link/trace.h"

#include <gtest/gtest.h>

#include <string>

namespace qksim::link {
namespace {

// PIN data is blanked whatever the token left; answers and other commands are not.
TEST(TraceLine, RedactsPinDataAndParsesBack) {
  const TraceEvent verify{7, true, {0, 0x20, 0, 0, 8, 0, '1', '2', '3', '4', '5', '6', '7', '8'}};
  EXPECT_EQ(FormatTraceLine("tk", verify), "tk 7 > 002000000800****************");
  EXPECT_EQ(FormatTraceLine("tk", {7, true, {0, 0x24, 3, 0, 3, 0, 1, 'a', 0xFF}}),
            "tk 7 > 002403000300******");
  EXPECT_EQ(FormatTraceLine("tk", {1, false, {0, 0x20, 0, 0, 0, 0, 0x31}}),
            "tk 1 < 00200000000031");
  ParsedTraceLine parsed;
  const TraceEvent event{42, true, {0x00, 0xD6, 0x01, 0x00, 0x02, 0x00, 0xAB, 0xCD}};
  ASSERT_TRUE(ParseTraceLine(FormatTraceLine("token3", event), &parsed));
  EXPECT_TRUE(parsed.token == "token3" && parsed.event.session == 42u && parsed.event.fromHost);
  EXPECT_EQ(parsed.event.bytes, event.bytes);
  for (const char* bad : {"", "t 1 >", "t x > 00", "t 1 ? 00", "t 1 > 0g", "t 99999999999 > 00"}) {
    EXPECT_FALSE(ParseTraceLine(bad, &parsed)) << "'" << bad << "'";
  }
}

}  // namespace
}  // namespace qksim::link
