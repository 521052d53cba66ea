// qktoken-sim as a program: arguments, exit status, images, trace.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Outcome {
  int status = -1;     // exit status, or 128 + signal
  std::string output;  // stdout and stderr together
};

// Runs `arguments` (already shell-quoted) after the tool's path.
Outcome Tool(const std::string& arguments) {
  Outcome outcome;
  std::FILE* pipe =
      popen((std::string("'") + QK_SIM_TOOL + "' " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    outcome.output.append(buffer, n);
  const int status = pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "qktool-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string dir_;
};

TEST_F(ToolTest, RunForwardsExitStatusRefusesCorruptImagesAndTraces) {
  const std::string driver = std::string(" -- '") + QK_DRIVER_TOOL + "'";
  const std::string image = dir_ + "/token.img", trace = dir_ + "/trace.txt";
  const std::string garbage = "this is not a token image\n";
  std::ofstream(image) << garbage;
  const struct {
    std::string arguments;
    int status;  // -1: any failure
    const char* output;
  } cases[] = {
      {"run" + driver, 0, "Result: 13"},
      {"run --tcp --trace '" + trace + "'" + driver, 0, "Result: 13"},
      {"run -- sh -c 'exit 7'", 7, ""},
      {"run -- /nonexistent/program", 127, ""},
      {"run --image '" + image + "' -- true", -1, "token image"},
      {"", -1, "no command"},
      {"run --fault explode -- true", -1, "unknown fault kind"},
  };
  for (const auto& c : cases) {
    const Outcome o = Tool(c.arguments);
    EXPECT_TRUE(c.status < 0 ? o.status != 0 : o.status == c.status)
        << c.arguments << ": " << o.output;
    EXPECT_NE(o.output.find(c.output), std::string::npos) << c.arguments << ": " << o.output;
  }
  EXPECT_EQ(ReadText(image), garbage) << "a refused image is left alone";
  const std::string text = ReadText(trace);
  EXPECT_NE(text.find("> 002000000800****************\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("3630373139323833"), std::string::npos) << "the PIN in the clear";
  EXPECT_NE(text.find("< 000d9000\n"), std::string::npos) << text;
}

// A token keeps one session for every handle: drivers started at the same
// moment would replace each other's session keys, and each would wait out a
// time limit for answers it cannot read. Each runs its whole sequence in one
// transaction instead, so they take turns and every one prints its result.
TEST_F(ToolTest, DriversStartedTogetherOnOneTokenEachPrintTheirResult) {
  constexpr int kDrivers = 6;
  const std::string script =
      "pids=; for i in $(seq " + std::to_string(kDrivers) +
      "); do \"$0\" & pids=\"$pids $!\"; done; s=0; for p in $pids; do wait $p || s=1; done; "
      "exit $s";
  const Outcome o = Tool("run -- sh -c '" + script + "' '" + QK_DRIVER_TOOL + "'");
  EXPECT_EQ(o.status, 0) << o.output;
  size_t results = 0;
  for (size_t at = 0; (at = o.output.find("Result: 13\n", at)) != std::string::npos; ++at) {
    ++results;
  }
  EXPECT_EQ(results, static_cast<size_t>(kDrivers)) << o.output;
}

}  // namespace
