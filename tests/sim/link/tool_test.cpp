// qktoken-sim as a program: arguments, exit status, images, trace.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/image.h"
#include "sim/random.h"
#include "sim/state.h"
#include "tests/sim/wrapping_image.h"
#include "tests/support/temp_dir.h"

namespace {

struct Outcome {
  int status = -1;     // exit status, or 128 + signal
  std::string output;  // stdout and stderr together
};

// Runs `arguments` (already shell-quoted) after the tool's path; with a time
// limit, under timeout(1), which exits 124 when the limit ends the tool.
Outcome Tool(const std::string& arguments, int seconds = 0) {
  Outcome outcome;
  const std::string limit = seconds > 0 ? "timeout -s KILL " + std::to_string(seconds) + " " : "";
  std::FILE* pipe = popen((limit + "'" + QK_SIM_TOOL + "' " + arguments + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return outcome;
  char buffer[512];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    outcome.output.append(buffer, n);
  const int status = pclose(pipe);
  outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (seconds > 0 && outcome.status == 128 + 9) outcome.status = 124;
  return outcome;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(temp_.path().empty()); }
  qktest::TempDir temp_;
  const std::string dir_ = temp_.path();
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
    // The run's directory goes, with the lock files the driver left there.
    EXPECT_EQ(o.output.find("could not remove"), std::string::npos)
        << c.arguments << ": " << o.output;
  }
  EXPECT_EQ(ReadText(image), garbage) << "a refused image is left alone";
  const std::string text = ReadText(trace);
  EXPECT_NE(text.find("> 002000000800****************\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("3630373139323833"), std::string::npos) << "the PIN in the clear";
  EXPECT_NE(text.find("< 000d9000\n"), std::string::npos) << text;
}

// The debug log of a whole driver run: the listing, the lock and every
// exchange are there; no PIN, in any spelling, and no long hexadecimal run
// that could be a key or a command's bytes.
TEST_F(ToolTest, DriverRunDebugLogShowsDecisionsAndNoSecret) {
  const std::string log = dir_ + "/debug.log";
  const Outcome o =
      Tool("run -- env QKTOKEN_DEBUG='" + log + "' '" + std::string(QK_DRIVER_TOOL) + "'", 120);
  ASSERT_EQ(o.status, 0) << o.output;
  const std::string text = ReadText(log);
  for (const char* part : {"list: qkvirtual:", "taken as slot 0",
                           "open: qkvirtual:", "lock: ", "held after", "exchange: instruction "}) {
    EXPECT_NE(text.find(part), std::string::npos) << part << " in:\n" << text;
  }
  for (const char* secret :
       {"60719283", "3630373139323833", "904817263590481726359048", "393034383137323633353930"}) {
    EXPECT_EQ(text.find(secret), std::string::npos) << secret;
  }
  size_t run = 0, longest = 0;
  for (char c : text) {
    run = std::isxdigit(static_cast<unsigned char>(c)) ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  EXPECT_LT(longest, 16u) << "a long hexadecimal run in the log";
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
  for (size_t at = 0; (at = o.output.find("Result: 13\n", at)) != std::string::npos; ++at)
    ++results;
  EXPECT_EQ(results, static_cast<size_t>(kDrivers)) << o.output;
}

// What the tool must refuse at once, naming the path: nothing of the token
// may leak into a file that someone else can read or that points elsewhere.
TEST_F(ToolTest, RefusesLinksFifosForeignFilesAndWrappingImages) {
  const std::string victim = dir_ + "/victim", link = dir_ + "/link", fifo = dir_ + "/fifo";
  const std::string foreign = dir_ + "/foreign", wrapping = dir_ + "/wrapping.img";
  std::ofstream(victim) << "victim\n";
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::ofstream(foreign) << "foreign\n";
  const bool root = geteuid() == 0;  // only root can give a file away
  if (root) {
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(foreign.c_str(), 0666), 0);
  }
  const std::vector<uint8_t> bytes = qksim::EncodeImage(qktest::WrappingState());
  std::ofstream(wrapping, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));

  const struct {
    const char* option;
    std::string path;
    const char* reason;
  } cases[] = {
      {"--image", link, "symbolic link"},
      {"--trace", link, "symbolic link"},
      {"--image", fifo, "FIFO"},
      {"--trace", fifo, "FIFO"},
      {"--image", foreign, "another user"},
      {"--trace", foreign, "another user"},
      {"--image", wrapping, "exceed"},
      {"--image", "/dev/null", "device"},
      {"--trace", "/dev/null", "device"},
  };
  for (const auto& c : cases) {
    if (c.path == foreign && !root) continue;
    // `timeout`: a FIFO must not hang the tool (it blocks the stop signals).
    const Outcome o = Tool(std::string("run ") + c.option + " '" + c.path + "' -- true", 10);
    EXPECT_NE(o.status, 0) << c.option << " " << c.path << ": " << o.output;
    EXPECT_NE(o.status, 124) << c.option << " " << c.path << " hung";
    EXPECT_NE(o.output.find(c.path), std::string::npos) << o.output;
    EXPECT_NE(o.output.find(c.reason), std::string::npos) << o.output;
  }
  EXPECT_EQ(ReadText(victim), "victim\n");
  EXPECT_TRUE(!root || ReadText(foreign) == "foreign\n");
}

// The image's temporary file has a fresh name: a link planted where the old
// fixed name (PATH.tmp) was receives nothing. An own trace file that others
// could read is emptied and made private before anything is written.
TEST_F(ToolTest, PlantedTemporaryLinkIsIgnoredAndTracesArePrivate) {
  const std::string victim = dir_ + "/victim", image = dir_ + "/token.img";
  const std::string trace = dir_ + "/trace.txt";
  std::ofstream(victim) << "victim\n";
  ASSERT_EQ(symlink(victim.c_str(), (image + ".tmp").c_str()), 0);
  std::ofstream(trace) << "old contents\n";
  ASSERT_EQ(chmod(trace.c_str(), 0644), 0);
  const Outcome o =
      Tool("run --image '" + image + "' --trace '" + trace + "' -- '" + QK_DRIVER_TOOL + "'", 60);
  EXPECT_EQ(o.status, 0) << o.output;
  EXPECT_EQ(ReadText(victim), "victim\n");
  struct stat info {};
  ASSERT_EQ(lstat(image.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(lstat(trace.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(ReadText(trace).find("old contents"), std::string::npos);
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == "victim" || name == "token.img" || name == "token.img.tmp" ||
                name == "trace.txt")
        << "left behind: " << name;
  }
}

}  // namespace
