#include "sim/vm.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/assembler.h"
#include "sim/samples.h"

namespace qksim {
namespace {

using Bytes = std::vector<uint8_t>;

VmOutcome RunVm(const Bytes& program, const Bytes& input = {}, const VmLimits& limits = {}) {
  return RunProgram(program.data(), program.size(), input.data(), input.size(), limits);
}

VmOutcome RunSource(const std::string& source, const Bytes& input = {},
                    const VmLimits& limits = {}) {
  Bytes program;
  std::string error;
  EXPECT_TRUE(Assemble(source, &program, &error)) << error;
  return RunVm(program, input, limits);
}

TEST(VmInstructions, ProduceTheExpectedOutput) {
  const struct {
    Bytes expected, input;
    const char* source;
  } cases[] = {
      {{0x00, 0x01}, {}, "movi r1, 0xFFFF\nmovi r2, 2\nadd r1, r2\noutw r1"},
      {{0, 14, 0, 2}, {}, "movi r1, 100\nmovi r2, 7\ndivu r1, r2\noutw r1\nmodui r1, 4\noutw r1"},
      {{0xCD}, {}, "movi r1, 0x100\nmovi r2, 0xABCD\nstw r2, [r1]\nldb r3, [r1 + 1]\noutb r3"},
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
      {"movi r1, 0x8000\n cmpi r1, 1", "0101101001"},  // signed overflow in the subtraction
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
      {"halt", kVmAddressOverflow, Bytes(17), limits(16, 1000)},
      {repeat("push r1", 65) + "halt", kVmBadPointer, {}, plain},
      {"loop: jmp loop", kVmBudgetExhausted, {}, plain},
      {repeat("nop", 9) + "halt", kVmSuccess, {}, limits(4096, 10)},
      {repeat("nop", 10) + "halt", kVmBudgetExhausted, {}, limits(4096, 10)},
      {"movi r1, 1022\n outm r7, r1\n halt", kVmSuccess, {}, plain},
      {"movi r1, 1021\n outm r7, r1\n outw r1\n halt", kVmOutputOverflow, {}, plain},
      {"halt", kVmBadInput, Bytes(1025), plain},
  };
  for (const auto& c : cases) {
    const VmOutcome outcome = RunSource(c.source, c.input, c.limits);
    EXPECT_EQ(outcome.statusWord, c.expected) << c.source;
    EXPECT_TRUE(outcome.statusWord == kVmSuccess || outcome.output.empty()) << c.source;
  }
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
  EXPECT_EQ(RunVm(SampleAddProgram(), {0, 5, 0, 8}).output, (Bytes{0x00, 0x0D}));
  EXPECT_EQ(RunVm(SampleAddProgram(), {0, 5, 0, 8, 0}).statusWord, kVmBadInput);
  const Bytes abcde = {'a', 'b', 'c', 'd', 'e'};
  EXPECT_EQ(RunVm(SampleChecksumProgram(), abcde).output, (Bytes{0xC8, 0xF0}));
  for (size_t length : {size_t{1022}, size_t{1024}}) {
    Bytes input(length);
    for (size_t i = 0; i < length; ++i) input[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(RunVm(SampleChecksumProgram(), input).output, Fletcher16(input)) << length;
    const VmOutcome reverse = RunVm(SampleReverseProgram(), input);
    const bool fits = length <= kVmMaxOutput;
    EXPECT_EQ(reverse.output, fits ? Bytes(input.rbegin(), input.rend()) : Bytes{});
    EXPECT_EQ(reverse.statusWord, fits ? kVmSuccess : kVmOutputOverflow);
  }
}

}  // namespace
}  // namespace qksim
