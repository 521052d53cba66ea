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

const std::string kSamples = QK_SAMPLE_DIR;

std::string TempPath(const std::string& name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/qkasm_test_" + name;
}

// Runs the tool with `arguments`, stdout and stderr into `log`; returns the exit status.
int RunTool(const std::string& arguments, const std::string& log) {
  const std::string command = std::string(QK_ASM_TOOL) + " " + arguments + " >" + log + " 2>&1";
  const int raw = std::system(command.c_str());
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

TEST(AsmTool, WritesTheProgramFileOrPrintsHex) {
  const std::string out = TempPath("add16.bin"), log = TempPath("hex.txt");
  std::remove(out.c_str());
  ASSERT_EQ(RunTool(kSamples + "/add16.qasm -o " + out, log), 0);
  const std::vector<uint8_t>& expected = qksim::SampleAddProgram();
  EXPECT_EQ(ReadAll(out), std::string(expected.begin(), expected.end()));
  ASSERT_EQ(RunTool(kSamples + "/echo.qasm --hex", log), 0);
  EXPECT_EQ(ReadAll(log), "51 4B 56 4D 01 00 00 07 20 10 00 00 44 10 01\n");
  std::remove(out.c_str());
  std::remove(log.c_str());
}

TEST(AsmTool, ExitStatusNamesTheKindOfFailure) {
  const std::string source = TempPath("bad.qasm"), log = TempPath("err.txt");
  std::ofstream(source) << "halt\nbogus r1\n";
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
    const std::string printed = ReadAll(log);
    EXPECT_NE(printed.find(c.message), std::string::npos) << c.arguments << ": " << printed;
  }
  std::remove(source.c_str());
  std::remove(log.c_str());
}

}  // namespace
