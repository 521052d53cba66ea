// The debug log: where QKTOKEN_DEBUG sends lines, the application's callback
// taking over and handing back, and lines that cannot be forged or overrun.
#include "platform/debug_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "include/qktoken.h"
#include "tests/support/temp_dir.h"

namespace {

using qktest::TempDir;

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Collect(const char* line, void* lines) {
  static_cast<std::vector<std::string>*>(lines)->push_back(line);
}

class DebugLogTest : public ::testing::Test {
 protected:
  void TearDown() override {
    QKSetLogCallback(nullptr, nullptr);
    unsetenv("QKTOKEN_DEBUG");
    qk::platform::ReloadDebugLogSettingForTesting();
  }
};

TEST_F(DebugLogTest, SettingChoosesStderrAFileOrNothing) {
  TempDir dir;
  const std::string file = dir / "debug.log";
  const struct {
    const char* setting;  // null: unset
    bool enabled;
    bool toStderr;
    bool toFile;
  } cases[] = {
      {nullptr, false, false, false}, {"", false, false, false},         {"0", false, false, false},
      {"1", true, true, false},       {file.c_str(), true, false, true},
  };
  for (const auto& c : cases) {
    const std::string label = c.setting ? c.setting : "(unset)";
    if (c.setting) {
      setenv("QKTOKEN_DEBUG", c.setting, 1);
    } else {
      unsetenv("QKTOKEN_DEBUG");
    }
    qk::platform::ReloadDebugLogSettingForTesting();
    EXPECT_EQ(qk::platform::DebugLogEnabled(), c.enabled) << label;
    ::testing::internal::CaptureStderr();
    QK_DEBUG("list: %s taken as slot %u", "/dev/hidraw7", 3u);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.find("list: /dev/hidraw7 taken as slot 3\n") != std::string::npos, c.toStderr)
        << label << ": " << err;
    EXPECT_EQ(err.find("qktoken[") == 0, c.toStderr) << label;
    EXPECT_EQ(ReadText(file).find("/dev/hidraw7 taken as slot 3") != std::string::npos, c.toFile)
        << label;
  }
  // The file is appended to, never truncated, by a later run.
  setenv("QKTOKEN_DEBUG", file.c_str(), 1);
  qk::platform::ReloadDebugLogSettingForTesting();
  QK_DEBUG("second line");
  const std::string text = ReadText(file);
  EXPECT_LT(text.find("taken as slot 3"), text.find("second line")) << text;
}

TEST_F(DebugLogTest, CallbackTakesOverAndHandsBack) {
  unsetenv("QKTOKEN_DEBUG");
  qk::platform::ReloadDebugLogSettingForTesting();
  std::vector<std::string> lines;
  ASSERT_EQ(QKSetLogCallback(&Collect, &lines), QK_E_SUCCESS);
  EXPECT_TRUE(qk::platform::DebugLogEnabled()) << "a callback switches the log on";
  QK_DEBUG("open: %s: %s (errno %d)", "/dev/hidraw0", "Permission denied", 13);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "open: /dev/hidraw0: Permission denied (errno 13)");

  ASSERT_EQ(QKSetLogCallback(nullptr, &lines), QK_E_SUCCESS);
  EXPECT_FALSE(qk::platform::DebugLogEnabled());
  QK_DEBUG("not delivered");
  EXPECT_EQ(lines.size(), 1u);
}

TEST_F(DebugLogTest, ControlBytesCannotForgeLinesAndLongLinesAreCut) {
  std::vector<std::string> lines;
  QKSetLogCallback(&Collect, &lines);
  // A hostile entry name with a line end and an escape sequence in it.
  QK_DEBUG("list: %s skipped", "evil.sock\nqktoken: lock: forged\x1b[2J");
  const std::string longPath(5000, 'a');
  QK_DEBUG("list: %s skipped", longPath.c_str());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "list: evil.sock?qktoken: lock: forged?[2J skipped");
  EXPECT_LT(lines[1].size(), 1024u);
  EXPECT_EQ(lines[1].substr(lines[1].size() - 3), "...");
}

}  // namespace
