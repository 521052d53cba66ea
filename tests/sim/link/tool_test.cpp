// qktoken-sim as a program: arguments, exit status, clean-up, images.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

struct Outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string output;  // stdout and stderr together
};

// Runs `arguments` (already shell-quoted) after the tool's path.
Outcome Tool(const std::string& arguments) {
  const std::string command = std::string("'") + QK_SIM_TOOL + "' " + arguments + " 2>&1";
  Outcome outcome;
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[512];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) outcome.output.append(buffer, n);
  const int status = pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return outcome;
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

TEST_F(ToolTest, RunsTheDriverAgainstASimulatedToken) {
  for (const char* transport : {"", "--tcp"}) {
    const Outcome o = Tool(std::string("run ") + transport + " -- '" + QK_DRIVER_TOOL + "'");
    EXPECT_EQ(o.status, 0) << transport << o.output;
    EXPECT_NE(o.output.find("Result: 13"), std::string::npos) << transport << o.output;
  }
}

TEST_F(ToolTest, ForwardsTheProgramsExitStatus) {
  struct Case {
    const char* program;
    int status;
  };
  const Case cases[] = {
      {"true", 0},
      {"sh -c 'exit 7'", 7},
      {"sh -c 'kill -TERM $$'", 128 + SIGTERM},
      {"/nonexistent/program", 127},
  };
  for (const Case& c : cases) {
    const Outcome o = Tool(std::string("run -- ") + c.program);
    EXPECT_EQ(o.status, c.status) << c.program << ": " << o.output;
  }
}

TEST_F(ToolTest, ServesEveryTokenInAPrivateDirectoryAndCleansUp) {
  const std::string record = dir_ + "/seen";
  // The program sees two private .tcp entries and records the directory.
  const std::string script = dir_ + "/check.sh";
  {
    std::ofstream out(script);
    out << "d=$QKTOKEN_VIRTUAL_DIR; echo \"$d\" > '" << record << "'\n"
        << "[ \"$(stat -c %a \"$d\")\" = 700 ] || exit 1\n"
        << "[ \"$(stat -c %a \"$d/tk0.tcp\")\" = 600 ] || exit 2\n"
        << "[ \"$(stat -c %a \"$d/tk1.tcp\")\" = 600 ] || exit 3\n"
        << "grep -Eq '^secret [0-9a-f]{64}$' \"$d/tk1.tcp\" || exit 4\n"
        << "grep -Eq '^port [0-9]+$' \"$d/tk0.tcp\" || exit 5\n"
        << "[ \"$(ls -A \"$d\" | wc -l)\" = 2 ] || exit 6\n";
  }
  const Outcome o = Tool("run --tokens 2 --tcp --name tk -- sh '" + script + "'");
  EXPECT_EQ(o.status, 0) << o.output;
  std::ifstream in(record);
  std::string served;
  std::getline(in, served);
  ASSERT_FALSE(served.empty());
  EXPECT_FALSE(std::filesystem::exists(served)) << "the private directory is removed";
}

TEST_F(ToolTest, BadArgumentsAreExplained) {
  struct Case {
    const char* arguments;
    const char* message;
  };
  const Case cases[] = {
      {"", "no command"},
      {"dance", "unknown command"},
      {"serve", "needs --dir"},
      {"run", "needs '-- PROGRAM"},
      {"run --tokens 0 -- true", "--tokens"},
      {"run --tokens 17 -- true", "--tokens"},
      {"run --fault explode -- true", "unknown fault kind"},
      {"run --fault delay -- true", "needs an argument"},
      {"run --vendor 12345 -- true", "--vendor"},
      {"run --product xyz -- true", "--product"},
      {"run --feature-length 70000 -- true", "--feature-length"},
      {"run --dir /tmp -- true", "unknown option"},
      {"serve --dir /tmp --bogus", "unknown option"},
      {"run --name", "needs a value"},
      {"run --name .hidden -- true", "bad token name"},
  };
  for (const Case& c : cases) {
    const Outcome o = Tool(c.arguments);
    EXPECT_NE(o.status, 0) << c.arguments;
    EXPECT_NE(o.output.find(c.message), std::string::npos) << c.arguments << ": " << o.output;
  }
}

TEST_F(ToolTest, CorruptImageIsRefusedAndLeftAlone) {
  const std::string image = dir_ + "/token.img";
  const std::string garbage = "this is not a token image\n";
  {
    std::ofstream out(image);
    out << garbage;
  }
  const Outcome o = Tool("run --image '" + image + "' -- true");
  EXPECT_NE(o.status, 0);
  EXPECT_NE(o.output.find("token image"), std::string::npos) << o.output;
  std::ifstream in(image);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), garbage);
}

TEST_F(ToolTest, ImageKeepsTheTokenBetweenRuns) {
  const std::string image = dir_ + "/token.img";
  const std::string driver = std::string(" -- '") + QK_DRIVER_TOOL + "'";
  EXPECT_EQ(Tool("run --image '" + image + "'" + driver).status, 0);
  ASSERT_TRUE(std::filesystem::exists(image));
  const Outcome again = Tool("run --image '" + image + "'" + driver);
  EXPECT_EQ(again.status, 0) << again.output;
}

TEST_F(ToolTest, TraceRecordsRedactedExchanges) {
  const std::string trace = dir_ + "/trace.txt";
  const Outcome o = Tool("run --trace '" + trace + "' -- '" + QK_DRIVER_TOOL + "'");
  ASSERT_EQ(o.status, 0) << o.output;
  std::ifstream in(trace);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("> 002000000800****************\n"), std::string::npos) << text.str();
  EXPECT_EQ(text.str().find("3630373139323833"), std::string::npos) << "the PIN in the clear";
  EXPECT_NE(text.str().find("< 000d9000\n"), std::string::npos) << text.str();
}

TEST_F(ToolTest, ServeRunsUntilTerminatedAndRemovesItsEntry) {
  const std::string served = dir_ + "/new/sub";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execl(QK_SIM_TOOL, QK_SIM_TOOL, "serve", "--dir", served.c_str(), "--name", "one",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  const std::string entry = served + "/one.sock";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!std::filesystem::exists(entry) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(std::filesystem::is_socket(entry));
  struct stat info;
  ASSERT_EQ(stat(served.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u) << "created private";
  kill(child, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(std::filesystem::exists(entry));
}

}  // namespace
