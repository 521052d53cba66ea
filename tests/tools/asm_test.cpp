// Runs the qktoken-asm program itself: arguments, exit status, files written.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sim/samples.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace {

const std::string kTool = QK_ASM_TOOL;
const std::string kSamples = QK_SAMPLE_DIR;

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/qkasm_test_" + name;
}

// Runs the tool with `arguments`, stdout and stderr into `captured`; returns the exit status.
int RunTool(const std::string& arguments, const std::string& captured) {
  const int raw = std::system((kTool + " " + arguments + " >" + captured + " 2>&1").c_str());
#ifdef _WIN32
  return raw;
#else
  return raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(AsmTool, WritesTheProgramFile) {
  const std::string out = TempPath("add16.bin");
  std::remove(out.c_str());
  ASSERT_EQ(RunTool(kSamples + "/add16.qasm -o " + out, TempPath("log")), 0);
  const std::string written = ReadAll(out);
  const std::vector<uint8_t>& expected = qksim::SampleAddProgram();
  EXPECT_EQ(std::vector<uint8_t>(written.begin(), written.end()), expected);
  std::remove(out.c_str());
}

TEST(AsmTool, PrintsHex) {
  const std::string log = TempPath("hex.txt");
  ASSERT_EQ(RunTool(kSamples + "/echo.qasm --hex", log), 0);
  EXPECT_EQ(ReadAll(log), "51 4B 56 4D 01 00 00 07 20 10 00 00 44 10 01\n");
}

TEST(AsmTool, ExitStatusNamesTheKindOfFailure) {
  const std::string source = TempPath("bad.qasm");
  std::ofstream(source) << "halt\nbogus r1\n";
  const std::string log = TempPath("err.txt");
  const struct {
    std::string arguments;
    int status;
    std::string message;
  } cases[] = {
      {source + " --hex", 1, "line 2: unknown instruction 'bogus'"},
      {"", 2, "no input file"},
      {kSamples + "/add16.qasm", 2, "nothing to do"},
      {kSamples + "/add16.qasm -o", 2, "-o needs a file name"},
      {kSamples + "/add16.qasm --bogus", 2, "unknown option --bogus"},
      {TempPath("missing.qasm") + " --hex", 3, "cannot read"},
      {kSamples + "/add16.qasm -o " + TempPath("no/such/dir/x.bin"), 3, "cannot write"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RunTool(c.arguments, log), c.status) << c.arguments;
    EXPECT_NE(ReadAll(log).find(c.message), std::string::npos)
        << c.arguments << ": " << ReadAll(log);
  }
  std::remove(source.c_str());
  std::remove(log.c_str());
}

}  // namespace
