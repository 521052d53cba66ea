#include "sim/assembler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "sim/samples.h"
#include "sim/vm.h"

namespace qksim {
namespace {

using Bytes = std::vector<uint8_t>;

// The code bytes behind the 8-byte header.
Bytes CodeOf(const std::string& source) {
  Bytes file;
  std::string error;
  EXPECT_TRUE(Assemble(source, &file, &error)) << source << ": " << error;
  if (file.size() < kVmHeaderSize) return {};
  return Bytes(file.begin() + kVmHeaderSize, file.end());
}

TEST(Assembler, EncodesEachOperandForm) {
  const struct {
    const char* source;
    Bytes code;
  } cases[] = {
      {"halt", {0x01}},
      {"ret", {0x03}},
      {"fail 0x6A80", {0x04, 0x6A, 0x80}},
      {"mov r1, r2", {0x10, 0x12}},
      {"cmp r7, r0", {0x1B, 0x70}},
      {"not r3", {0x1C, 0x30}},
      {"push r6", {0x40, 0x60}},
      {"outm r1, r0", {0x44, 0x10}},
      {"movi r7, 0x1234", {0x20, 0x70, 0x12, 0x34}},
      {"movi r1, -1", {0x20, 0x10, 0xFF, 0xFF}},
      {"movi r1, -32768", {0x20, 0x10, 0x80, 0x00}},
      {"cmpi r0, 65535", {0x2B, 0x00, 0xFF, 0xFF}},
      {"shri r2, 0b101", {0x2A, 0x20, 0x00, 0x05}},
      {"ldb r2, [r5]", {0x30, 0x25, 0x00, 0x00}},
      {"ldw r2, [r5 + 0x10]", {0x31, 0x25, 0x00, 0x10}},
      {"stw r4,[r3+258]", {0x33, 0x43, 0x01, 0x02}},
      {"jmp 7", {0x50, 0x00, 0x07}},
      {"call 0xABCD", {0x5B, 0xAB, 0xCD}},
      {"  MOVI  R1 ,\t0XFF  ", {0x20, 0x10, 0x00, 0xFF}},  // case and spacing are free
  };
  for (const auto& c : cases) EXPECT_EQ(CodeOf(c.source), c.code) << c.source;
}

TEST(Assembler, WritesTheFileHeader) {
  Bytes file;
  std::string error;
  ASSERT_TRUE(Assemble("nop\nhalt\n", &file, &error)) << error;
  EXPECT_EQ(file, (Bytes{'Q', 'K', 'V', 'M', 0x01, 0x00, 0x00, 0x02, 0x02, 0x01}));
}

TEST(Assembler, ResolvesLabelsConstantsAndComments) {
  const struct {
    const char* name;
    const char* source;
    Bytes code;
  } cases[] = {
      {"forward and backward labels",
       "start: nop\n jmp end\n jmp start\nend: halt",
       {0x02, 0x50, 0x00, 0x07, 0x50, 0x00, 0x00, 0x01}},
      {"label alone on a line", "nop\nhere:\n\n jmp here", {0x02, 0x50, 0x00, 0x01}},
      {"two labels, one place",
       "a: b: halt\n jmp b\n jmp a",
       {0x01, 0x50, 0x00, 0x00, 0x50, 0x00, 0x00}},
      {"constants", ".equ SIZE, 4\n.equ TWICE, SIZE\n movi r1, TWICE", {0x20, 0x10, 0x00, 0x04}},
      {"label as an immediate", "nop\nx: movi r1, x", {0x02, 0x20, 0x10, 0x00, 0x01}},
      {"constant as an offset", ".equ OFF, 6\n ldb r1, [r2 + OFF]", {0x30, 0x12, 0x00, 0x06}},
      {"comments and CRLF", "; header\r\n halt ; stop\r\n# note: nop\r\n", {0x01}},
      {"colon in a comment", "halt ; x: y", {0x01}},
  };
  for (const auto& c : cases) EXPECT_EQ(CodeOf(c.source), c.code) << c.name;
}

TEST(Assembler, ReportsTheFirstErrorWithItsLine) {
  const struct {
    std::string source;
    const char* expected;  // the whole message starts with this
  } cases[] = {
      {"", "line 1: the program has no instructions"},
      {"; only a comment\n", "line 2: the program has no instructions"},
      {"halt\nfrob r1", "line 2: unknown instruction 'frob'"},
      {"mov r1", "line 1: mov takes 2 operands"},
      {"halt r1", "line 1: halt takes 0 operands"},
      {"jmp", "line 1: jmp takes 1 operand"},
      {"mov r1, ", "line 1: missing operand"},
      {"mov r1, r8", "line 1: 'r8' is not a register"},
      {"push 5", "line 1: '5' is not a register"},
      {"movi r1, 65536", "line 1: '65536' is out of range"},
      {"movi r1, -32769", "line 1: '-32769' is out of range"},
      {"movi r1, 99999999999999999999999", "line 1: '99999999999999999999999' is out of range"},
      {"movi r1, 0x", "line 1: '0x' is not a number or a name"},
      {"movi r1, 12ab", "line 1: '12ab' is not a number or a name"},
      {"ldb r1, [r2 + -1]", "line 1: '-1' is out of range"},
      {"jmp -1", "line 1: '-1' is out of range"},
      {"halt\n\n jmp nowhere", "line 3: 'nowhere' is not defined"},
      {"a: halt\na: halt", "line 2: 'a' is already defined"},
      {".equ a, 1\na: halt", "line 2: 'a' is already defined"},
      {"r1: halt", "line 1: 'r1' is a register name"},
      {"ldw r1, r2", "line 1: expected a memory operand"},
      {"ldw r1, [r2 - 1]", "line 1: 'r2 - 1' is not a register"},
      {"fail 0x9000", "line 1: a fail status word must lie in 6400..6FFF"},
      {".equ X", "line 1: .equ takes a name and a value"},
      {".equ 1X, 2", "line 1: '1X' is not a valid name"},
      {".equ A, B\n.equ B, 1\nhalt", "line 1: 'B' is not defined"},
      {std::string("halt\x01"), "line 1: unexpected character"},
      {std::string("nop\n\0halt", 9), "line 2: unexpected character"},
      {".org 5", "line 1: unknown instruction '.org'"},
  };
  for (const auto& c : cases) {
    Bytes file = {0xAA};
    std::string error;
    EXPECT_FALSE(Assemble(c.source, &file, &error)) << c.source;
    EXPECT_EQ(error.rfind(c.expected, 0), 0u) << "got: " << error;
    EXPECT_TRUE(file.empty());
  }
}

TEST(Assembler, ProgramSizeIsBoundedBySixteenBitCodeOffsets) {
  std::string largest;
  for (int i = 0; i < 16383; ++i) largest += "movi r1, 1\n";  // 65532 bytes
  Bytes file;
  std::string error;
  ASSERT_TRUE(Assemble(largest + "end: jmp end\n", &file, &error)) << error;
  EXPECT_EQ(file.size(), kVmHeaderSize + 0xFFFF);
  EXPECT_EQ(file[6], 0xFF);
  EXPECT_EQ(file[7], 0xFF);
  EXPECT_FALSE(Assemble(largest + "movi r1, 1\n", &file, &error));
  EXPECT_EQ(error, "line 16384: the program is longer than 65535 bytes");
}

TEST(Assembler, SurvivesGarbage) {
  std::mt19937 random(7);
  const std::string alphabet = "rR0123456789xb[]+-,:;.# \t\nabcdefqhjmlotuvpsiz_\x01\xff";
  for (int trial = 0; trial < 3000; ++trial) {
    std::string source;
    const size_t length = random() % 120;
    for (size_t i = 0; i < length; ++i) source += alphabet[random() % alphabet.size()];
    Bytes file;
    std::string error;
    if (Assemble(source, &file, &error)) {
      // Whatever assembled must load: the assembler emits only valid code.
      const VmOutcome outcome = RunProgram(file.data(), file.size(), nullptr, 0);
      EXPECT_NE(outcome.statusWord, kVmNotAProgram) << source;
      EXPECT_NE(outcome.statusWord, kVmIllegalInstruction) << source;
    } else {
      EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
    }
  }
}

std::string ReadSample(const std::string& name) {
  std::ifstream in(std::string(QK_SAMPLE_DIR) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Assembler, EmbeddedSamplesMatchTheirSources) {
  const struct {
    const char* file;
    const Bytes& embedded;
  } samples[] = {
      {"add16.qasm", SampleAddProgram()},
      {"echo.qasm", SampleEchoProgram()},
      {"reverse.qasm", SampleReverseProgram()},
      {"checksum.qasm", SampleChecksumProgram()},
  };
  for (const auto& sample : samples) {
    const std::string source = ReadSample(sample.file);
    ASSERT_FALSE(source.empty()) << sample.file;
    Bytes file;
    std::string error;
    ASSERT_TRUE(Assemble(source, &file, &error)) << sample.file << ": " << error;
    EXPECT_EQ(file, sample.embedded) << sample.file << " changed: regenerate sim/samples.cpp";
  }
}

}  // namespace
}  // namespace qksim
