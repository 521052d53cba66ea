#include "sim/link/trace.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace qksim::link {
namespace {

TEST(TraceLine, RedactsPinDataWhateverTheTokenLeft) {
  struct Case {
    const char* what;
    TraceEvent event;
    const char* line;
  };
  const Case cases[] = {
      {"verify", {7, true, {0x00, 0x20, 0x00, 0x00, 0x08, 0x00, '1', '2', '3', '4', '5', '6', '7', '8'}},
       "tk 7 > 002000000800****************"},
      {"change", {7, true, {0x00, 0x24, 0x03, 0x00, 0x03, 0x00, 0x01, 'a', 0xFF}},
       "tk 7 > 002403000300******"},
      {"verify without data", {7, true, {0x00, 0x20, 0x00, 0x00, 0x00, 0x00}},
       "tk 7 > 002000000000"},
      {"other command", {1, true, {0x00, 0xCF, 0x01, 0x00, 0x04, 0x00, 0x00, 0x05}},
       "tk 1 > 00cf010004000005"},
      {"answer that looks like a verify", {1, false, {0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x31}},
       "tk 1 < 00200000000031"},
      {"empty", {4294967295u, false, {}}, "tk 4294967295 < "},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatTraceLine("tk", c.event), c.line) << c.what;
}

TEST(TraceLine, ParsesBackWhatItWrites) {
  const TraceEvent event{42, true, {0x00, 0xD6, 0x01, 0x00, 0x02, 0x00, 0xAB, 0xCD}};
  ParsedTraceLine parsed;
  ASSERT_TRUE(ParseTraceLine(FormatTraceLine("token3", event), &parsed));
  EXPECT_EQ(parsed.token, "token3");
  EXPECT_EQ(parsed.event.session, 42u);
  EXPECT_TRUE(parsed.event.fromHost);
  EXPECT_EQ(parsed.event.bytes, event.bytes);

  ASSERT_TRUE(ParseTraceLine("t 1 > 0020**", &parsed));
  EXPECT_EQ(parsed.event.bytes, (std::vector<uint8_t>{0x00, 0x20, kRedactedByte}));
}

TEST(TraceLine, RefusesOtherShapes) {
  const char* bad[] = {"",           "t",          "t 1",          "t 1 >",      "t x > 00",
                       "t 1 ? 00",   "t 1 > 0",    "t 1 > 0g",     "t 1 >00",    " 1 > 00",
                       "t 99999999999 > 00",       "t 1 > *0"};
  for (const char* line : bad) {
    ParsedTraceLine parsed;
    EXPECT_FALSE(ParseTraceLine(line, &parsed)) << "'" << line << "'";
  }
}

TEST(TraceWriter, WritesPrivateFileLineByLine) {
  std::string pattern = (std::filesystem::temp_directory_path() / "qktrace-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::string path = pattern + "/trace.txt";
  {
    std::ofstream stale(path);
    stale << "old content\n";
  }
  TraceWriter writer;
  std::string error;
  ASSERT_TRUE(writer.Open(path, &error)) << error;
  auto sink = writer.SinkFor("a");
  sink(TraceEvent{1, true, {0x00, 0xCA}});
  sink(TraceEvent{1, false, {0x90, 0x00}});
  // Written through at once: readable while the writer is still open.
  std::ifstream in(path);
  std::string first, second, third;
  std::getline(in, first);
  std::getline(in, second);
  EXPECT_EQ(first, "a 1 > 00ca");
  EXPECT_EQ(second, "a 1 < 9000");
  EXPECT_FALSE(std::getline(in, third));
  std::filesystem::remove_all(pattern);

  TraceWriter nowhere;
  EXPECT_FALSE(nowhere.Open(pattern + "/missing/dir/trace", &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);
}

}  // namespace
}  // namespace qksim::link
