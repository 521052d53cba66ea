#include "sim/assembler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/samples.h"

namespace qksim {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Assembler, EncodesOperandFormsLabelsAndConstants) {
  const struct {
    const char* source;
    Bytes code;
  } cases[] = {
      {"fail 0x6A80", {0x04, 0x6A, 0x80}},
      {"stw r4,[r3+258]", {0x33, 0x43, 0x01, 0x02}},
      {"rdf r7, r0, r3, R4", {0x60, 0x70, 0x34}},
      {"  MOVI  R1 ,\t0XFF  ", {0x20, 0x10, 0x00, 0xFF}},  // case and spacing are free
      {"start: nop\njmp end\njmp start\nend: halt", {2, 0x50, 0, 7, 0x50, 0, 0, 1}},
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
      {"rdf r1, r2, r8, r4", "line 1: 'r8' is not a register"},
      {"halt\n\n jmp nowhere", "line 3: 'nowhere' is not defined"},
      {"fail 0x9000", "line 1: a fail status word must lie in 6400..6FFF"},
  };
  for (const auto& c : cases) {
    Bytes file = {0xAA};
    std::string error;
    EXPECT_FALSE(Assemble(c.source, &file, &error)) << c.source;
    EXPECT_EQ(error.rfind(c.expected, 0), 0u) << "got: " << error;
    EXPECT_TRUE(file.empty());
  }
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
