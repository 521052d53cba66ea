#include "sim/assembler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/samples.h"
#include "sim/vm.h"

namespace qksim {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Assembler, EncodesOperandFormsLabelsAndConstants) {
  const struct {
    const char* source;
    Bytes code;
  } cases[] = {
      {"fail 0x6A80", {0x04, 0x6A, 0x80}},
      {"movi r1, -32768", {0x20, 0x10, 0x80, 0x00}},
      {"shri r2, 0b101", {0x2A, 0x20, 0x00, 0x05}},
      {"stw r4,[r3+258]", {0x33, 0x43, 0x01, 0x02}},
      {"call 0xABCD", {0x5B, 0xAB, 0xCD}},
      {"rdf r7, r0, r3, R4", {0x60, 0x70, 0x34}},
      {"  MOVI  R1 ,\t0XFF  ", {0x20, 0x10, 0x00, 0xFF}},  // case and spacing are free
      {"start: nop\njmp end\njmp start\nend: halt", {2, 0x50, 0, 7, 0x50, 0, 0, 1}},
      {"a: b: halt\njmp b\nhere:\n\njmp here", {0x01, 0x50, 0x00, 0x00, 0x50, 0x00, 0x04}},
      {".equ SIZE, 4\n.equ TWICE, SIZE\nmovi r1, TWICE\nldb r1, [r2 + SIZE]",
       {0x20, 0x10, 0x00, 0x04, 0x30, 0x12, 0x00, 0x04}},
      {"; header\r\n halt ; x: y\r\n# note: nop\r\n", {0x01}},
  };
  for (const auto& c : cases) {
    Bytes file;
    std::string error;
    ASSERT_TRUE(Assemble(c.source, &file, &error)) << c.source << ": " << error;
    Bytes expected = {'Q', 'K', 'V', 'M', 1, 0, 0, static_cast<uint8_t>(c.code.size())};
    for (uint8_t b : c.code) expected.push_back(b);
    EXPECT_EQ(file, expected) << c.source;
  }
}

TEST(Assembler, ReportsTheFirstErrorWithItsLine) {
  const struct {
    std::string source;
    const char* expected;  // the whole message starts with this
  } cases[] = {
      {"; only a comment\n", "line 2: the program has no instructions"},
      {"halt\nfrob r1", "line 2: unknown instruction 'frob'"},
      {"mov r1", "line 1: mov takes 2 operands"},
      {"rdf r1, r2, r8, r4", "line 1: 'r8' is not a register"},
      {"movi r1, 99999999999999999999999", "line 1: '99999999999999999999999' is out of range"},
      {"halt\n\n jmp nowhere", "line 3: 'nowhere' is not defined"},
      {".equ a, 1\na: halt", "line 2: 'a' is already defined"},
      {"fail 0x9000", "line 1: a fail status word must lie in 6400..6FFF"},
      {std::string("nop\n\0halt", 9), "line 2: unexpected character"},
  };
  for (const auto& c : cases) {
    Bytes file = {0xAA};
    std::string error;
    EXPECT_FALSE(Assemble(c.source, &file, &error)) << c.source;
    EXPECT_EQ(error.rfind(c.expected, 0), 0u) << "got: " << error;
    EXPECT_TRUE(file.empty());
  }
  std::string largest;
  for (int i = 0; i < 16383; ++i) largest += "movi r1, 1\n";  // 65532 bytes
  Bytes file;
  std::string error;
  ASSERT_TRUE(Assemble(largest + "end: jmp end\n", &file, &error)) << error;
  EXPECT_EQ(file.size(), kVmHeaderSize + 0xFFFF);
  EXPECT_FALSE(Assemble(largest + "movi r1, 1\n", &file, &error));
  EXPECT_EQ(error, "line 16384: the program is longer than 65535 bytes");
}

TEST(Assembler, EmbeddedSamplesMatchTheirSources) {
  const std::pair<const char*, const Bytes&> samples[] = {
      {"add16.qasm", SampleAddProgram()},         {"echo.qasm", SampleEchoProgram()},
      {"reverse.qasm", SampleReverseProgram()},   {"checksum.qasm", SampleChecksumProgram()},
      {"readfile.qasm", SampleReadFileProgram()},
  };
  for (const auto& [name, embedded] : samples) {
    std::ifstream in(std::string(QK_SAMPLE_DIR) + "/" + name, std::ios::binary);
    std::ostringstream source;
    source << in.rdbuf();
    Bytes file;
    std::string error;
    ASSERT_TRUE(Assemble(source.str(), &file, &error)) << name << ": " << error;
    EXPECT_EQ(file, embedded) << name << " changed: regenerate sim/samples.cpp";
  }
}

}  // namespace
}  // namespace qksim
