// Runs the qktoken-asm program itself: arguments, exit status, files written.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "sim/samples.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

const std::string kSamples = QK_SAMPLE_DIR, kTemp = ::testing::TempDir() + "qkasm_test_";

static std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the tool with `arguments`; returns its exit status and what it printed.
static std::pair<int, std::string> RunTool(const std::string& arguments) {
  const std::string log = kTemp + "log.txt";
  const std::string command = std::string(QK_ASM_TOOL) + " " + arguments + " >" + log + " 2>&1";
  const int raw = std::system(command.c_str());
#ifdef _WIN32
  const int status = raw;
#else
  const int status = raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
#endif
  const std::string printed = ReadAll(log);
  std::remove(log.c_str());
  return {status, printed};
}

TEST(AsmTool, WritesTheProgramOrNamesTheKindOfFailure) {
  const std::string source = kTemp + "bad.qasm", out = kTemp + "add16.bin";
  std::ofstream(source) << "halt\nbogus r1\n";
  std::remove(out.c_str());  // written afresh by the first row
  const std::tuple<std::string, int, std::string> cases[] = {  // arguments, status, output
      {kSamples + "/add16.qasm -o " + out, 0, ""},
      {kSamples + "/echo.qasm --hex", 0, "51 4B 56 4D 01 00 00 07 20 10 00 00 44 10 01\n"},
      {source + " --hex", 1, "line 2: unknown instruction 'bogus'"},
      {"", 2, "no input file"},
      {kTemp + "missing.qasm --hex", 3, "cannot read"},
  };
  for (const auto& [arguments, status, message] : cases) {
    const auto [exitStatus, printed] = RunTool(arguments);
    EXPECT_EQ(exitStatus, status) << arguments;
    EXPECT_NE(printed.find(message), std::string::npos) << arguments << ": " << printed;
    EXPECT_TRUE(status != 0 || printed == message) << arguments << ": " << printed;
  }
  const std::vector<uint8_t>& expected = qksim::SampleAddProgram();
  EXPECT_EQ(ReadAll(out), std::string(expected.begin(), expected.end()));
  std::remove(source.c_str());
  std::remove(out.c_str());
}
