#include "sim/vm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/assembler.h"
#include "sim/samples.h"

namespace qksim {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Assembled(const std::string& source) {
  Bytes program;
  std::string error;
  EXPECT_TRUE(Assemble(source, &program, &error)) << error;
  return program;
}

VmOutcome RunVm(const Bytes& program, const Bytes& input = {}, const VmLimits& limits = {}) {
  return RunProgram(program.data(), program.size(), input.data(), input.size(), limits);
}

VmOutcome RunSource(const std::string& source, const Bytes& input = {},
                    const VmLimits& limits = {}) {
  return RunVm(Assembled(source), input, limits);
}

// A program file around raw code bytes.
Bytes WithHeader(const Bytes& code) {
  Bytes file = {'Q', 'K', 'V', 'M', 1, 0, 0, static_cast<uint8_t>(code.size())};
  // Byte by byte: g++ 12 misreads a range insert into a fresh vector as an overrun.
  for (uint8_t b : code) file.push_back(b);
  return file;
}

TEST(VmInstructions, ProduceTheExpectedOutput) {
  const struct {
    Bytes expected, input;
    const char* source;
  } cases[] = {
      {{0x00, 0x01}, {}, "movi r1, 0xFFFF\nmovi r2, 2\nadd r1, r2\noutw r1"},
      {{0xFF, 0xFF}, {}, "movi r1, 1\nsubi r1, 2\noutw r1"},
      {{0x34, 0x00}, {}, "movi r1, 0x1234\nmuli r1, 0x100\noutw r1"},
      {{0, 14, 0, 2}, {}, "movi r1, 100\nmovi r2, 7\ndivu r1, r2\noutw r1\nmodui r1, 4\noutw r1"},
      {{0xF1, 0x0E}, {}, "movi r1, 0xF0F0\nandi r1, 0xFF00\nori r1, 0xF\nxori r1, 0x0101\noutw r1"},
      {{0xED, 0xCB}, {}, "movi r1, 0x1234\nnot r1\noutw r1"},
      {{0xF0, 0xF0, 0, 1},
       {},
       "movi r1, 0xF0F\nshli r1, 4\noutw r1\nmovi r1, 0x8000\nshri r1, 15\noutw r1"},
      {{0, 0}, {}, "movi r1, 0xFFFF\nmovi r2, 16\nshl r1, r2\noutw r1"},
      {{0xFF, 0xFE}, {}, "movi r1, -2\nmov r5, r1\noutw r5"},
      {{0xCD}, {}, "movi r1, 0x100\nmovi r2, 0xABCD\nstw r2, [r1]\nldb r3, [r1 + 1]\noutb r3"},
      {{0, 0x34}, {}, "movi r1, 0x1234\nstb r1, [r2 + 9]\nldw r3, [r2 + 8]\noutw r3"},
      {{2, 1}, {}, "movi r1, 1\nmovi r2, 2\npush r1\npush r2\npop r3\npop r4\noutb r3\noutb r4"},
      {{0, 4}, {}, "call twice\ncall twice\noutw r1\nhalt\ntwice: addi r1, 2\nret"},
      // The input sits at 0 and its length in r0; the rest of the memory is zero.
      {{0, 3, 9, 0, 0}, {7, 8, 9}, "outw r0\nldb r1, [r7 + 2]\noutb r1\nldw r1, [r7 + 3]\noutw r1"},
      {{5, 6}, {4, 5, 6, 7}, "movi r1, 1\nmovi r2, 2\noutm r1, r2\nnop"},
  };
  for (const auto& c : cases) {
    const VmOutcome outcome = RunSource(std::string(c.source) + "\nhalt", c.input);
    EXPECT_EQ(outcome.statusWord, kVmSuccess) << c.source;
    EXPECT_EQ(outcome.output, c.expected) << c.source;
  }
}

// The flags a comparison or an arithmetic operation leaves, seen by every conditional jump.
TEST(VmInstructions, ConditionalJumpsFollowTheFlags) {
  const char* jumps[] = {"jeq", "jne", "jlo", "jhs", "jhi", "jls", "jlt", "jge", "jgt", "jle"};
  const struct {
    const char* setup;
    const char* taken;  // one digit per jump above
  } cases[] = {
      {"movi r1, 1\n cmpi r1, 2", "0110011001"},
      {"movi r1, 2\n movi r2, 2\n cmp r1, r2", "1001010101"},
      {"movi r1, 0x8000\n cmpi r1, 1", "0101101001"},  // signed overflow in the subtraction
      {"movi r1, 0x7FFF\n movi r2, 0xFFFF\n cmp r1, r2", "0110010110"},
      {"movi r1, 0xFFFF\n addi r1, 1", "1010010101"},
      {"movi r1, 0x7FFF\n addi r1, 1", "0101100110"},               // signed overflow
      {"movi r1, 0\n subi r1, 1", "0110011001"},                    // borrow
      {"movi r1, 0x100\n muli r1, 0x100", "1010010101"},            // product too wide
      {"movi r1, 0xFFFF\n addi r1, 1\n andi r1, 0", "1001010101"},  // logic clears carry
  };
  for (const auto& c : cases) {
    for (size_t j = 0; j < 10; ++j) {
      const VmOutcome outcome =
          RunSource(std::string(c.setup) + "\n " + jumps[j] +
                    " yes\n outb r7\n halt\nyes: movi r2, 1\n outb r2\n halt");
      EXPECT_EQ(outcome.output, Bytes{static_cast<uint8_t>(c.taken[j] - '0')})
          << c.setup << " / " << jumps[j];
    }
  }
}

TEST(VmLimitsTest, RunsEndWithTheRightStatusWord) {
  const auto limits = [](size_t memory, uint32_t budget) {
    VmLimits l;
    l.memorySize = memory;
    l.instructionBudget = budget;
    return l;
  };
  const VmLimits plain;
  const auto repeat = [](const std::string& line, size_t times) {
    std::string text;
    for (size_t i = 0; i < times; ++i) text += line + "\n";
    return text;
  };
  const struct {
    std::string source;
    uint16_t expected;
    Bytes input;
    VmLimits limits;
  } cases[] = {
      {"ldb r1, [r7 + 4095]\n stb r1, [r7 + 4095]\n halt", kVmSuccess, {}, plain},
      {"ldw r1, [r7 + 4095]\n halt", kVmAddressOverflow, {}, plain},
      {"stb r1, [r7 + 4096]\n halt", kVmAddressOverflow, {}, plain},
      {"movi r1, 0xFFFF\n ldb r2, [r1 + 1]\n halt", kVmAddressOverflow, {}, limits(0x10000, 99)},
      {"movi r1, 0xFFFF\n ldb r2, [r1]\n halt", kVmSuccess, {}, limits(1u << 20, 99)},  // 64 KiB
      {"movi r1, 4000\n movi r2, 97\n outm r1, r2\n halt", kVmAddressOverflow, {}, plain},
      {"halt", kVmAddressOverflow, Bytes(17), limits(16, 1000)},
      {"jmp 1\n halt", kVmBadPointer, {}, plain},
      {"nop", kVmBadPointer, {}, plain},
      {"ret", kVmBadPointer, {}, plain},
      {repeat("push r1", 64) + "halt", kVmSuccess, {}, plain},
      {repeat("push r1", 65) + "halt", kVmBadPointer, {}, plain},
      {"f: call f", kVmBadPointer, {}, plain},
      {"loop: jmp loop", kVmBudgetExhausted, {}, plain},
      {repeat("nop", 9) + "halt", kVmSuccess, {}, limits(4096, 10)},
      {repeat("nop", 10) + "halt", kVmBudgetExhausted, {}, limits(4096, 10)},
      {"movi r1, 1022\n outm r7, r1\n halt", kVmSuccess, {}, plain},
      {"movi r1, 1021\n outm r7, r1\n outw r1\n halt", kVmOutputOverflow, {}, plain},
      {"movi r1, 5\n divu r1, r2\n halt", kVmDivideByZero, {}, plain},
      {"outb r1\n fail 0x6A82\n halt", 0x6A82, {}, plain},
      {"halt", kVmSuccess, Bytes(1024), plain},
      {"halt", kVmBadInput, Bytes(1025), plain},
  };
  for (const auto& c : cases) {
    const VmOutcome outcome = RunSource(c.source, c.input, c.limits);
    EXPECT_EQ(outcome.statusWord, c.expected) << c.source;
    EXPECT_TRUE(outcome.statusWord == kVmSuccess || outcome.output.empty()) << c.source;
  }
  const Bytes program = Assembled("halt");
  EXPECT_EQ(RunProgram(program.data(), program.size(), nullptr, 4).statusWord, kVmBadInput);
}

TEST(VmPrograms, MalformedFilesAreRefusedBeforeRunning) {
  const Bytes halt = WithHeader({0x01});
  const auto patched = [&](size_t at, uint8_t value) {
    Bytes file = halt;
    file[at] = value;
    return file;
  };
  const struct {
    const char* name;
    Bytes file;
    uint16_t expected;
  } cases[] = {
      {"short header", {'Q', 'K', 'V', 'M', 1, 0, 0}, kVmNotAProgram},
      {"wrong magic", patched(0, 'X'), kVmNotAProgram},
      {"reserved flags set", patched(5, 1), kVmNotAProgram},
      {"code length beyond the file", patched(7, 2), kVmNotAProgram},
      {"unknown opcode", WithHeader({0xFF}), kVmIllegalInstruction},
      {"truncated immediate", WithHeader({0x20, 0x10, 0x00}), kVmIllegalInstruction},
      {"register 8", WithHeader({0x10, 0x80, 0x01}), kVmIllegalInstruction},
      {"unused field set", WithHeader({0x40, 0x12, 0x01}), kVmIllegalInstruction},
      {"fail with success", WithHeader({0x04, 0x90, 0x00}), kVmIllegalInstruction},
      {"bad tail behind halt, never run", WithHeader({0x01, 0xEE}), kVmIllegalInstruction},
      {"trailing file bytes are ignored", Bytes{'Q', 'K', 'V', 'M', 1, 0, 0, 1, 1, 0xEE},
       kVmSuccess},
  };
  for (const auto& c : cases) EXPECT_EQ(RunVm(c.file).statusWord, c.expected) << c.name;
  EXPECT_EQ(RunProgram(nullptr, 12, nullptr, 0).statusWord, kVmNotAProgram);
}

Bytes Fletcher16(const Bytes& data) {
  unsigned sum1 = 0, sum2 = 0;
  for (uint8_t byte : data) {
    sum1 = (sum1 + byte) % 255;
    sum2 = (sum2 + sum1) % 255;
  }
  return {static_cast<uint8_t>(sum2), static_cast<uint8_t>(sum1)};
}

TEST(VmSamples, OutputsOfTheSamples) {
  const struct {
    Bytes input;
    uint16_t status;
    Bytes output;
  } adds[] = {
      {{0x00, 0x05, 0x00, 0x08}, kVmSuccess, {0x00, 0x0D}},
      {{0xFF, 0xFF, 0x00, 0x02}, kVmSuccess, {0x00, 0x01}},
      {{0x00, 0x05, 0x00}, kVmBadInput, {}},
      {{0x00, 0x05, 0x00, 0x08, 0x00}, kVmBadInput, {}},
  };
  for (const auto& c : adds) {
    const VmOutcome outcome = RunVm(SampleAddProgram(), c.input);
    EXPECT_EQ(outcome.statusWord, c.status);
    EXPECT_EQ(outcome.output, c.output);
  }
  const Bytes abcde = {'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(RunVm(SampleChecksumProgram(), abcde).output, (Bytes{0xC8, 0xF0}));
  for (size_t length : {size_t{0}, size_t{1}, size_t{300}, size_t{1022}, size_t{1024}}) {
    Bytes input(length);
    for (size_t i = 0; i < length; ++i) input[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(RunVm(SampleChecksumProgram(), input).output, Fletcher16(input)) << length;
    const Bytes ones(length, 0xFF);
    EXPECT_EQ(RunVm(SampleChecksumProgram(), ones).output, Fletcher16(ones));
    const VmOutcome echo = RunVm(SampleEchoProgram(), input);
    const VmOutcome reverse = RunVm(SampleReverseProgram(), input);
    const bool fits = length <= kVmMaxOutput;
    EXPECT_EQ(echo.output, fits ? input : Bytes{});
    EXPECT_EQ(reverse.output, fits ? Bytes(input.rbegin(), input.rend()) : Bytes{});
    EXPECT_EQ(reverse.statusWord, fits ? kVmSuccess : kVmOutputOverflow);
  }
}

}  // namespace
}  // namespace qksim
