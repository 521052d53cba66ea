#include "sim/vm.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
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

VmOutcome RunSource(const std::string& source, const Bytes& input = {}, const VmLimits& limits = {}) {
  return RunVm(Assembled(source), input, limits);
}

// A program file around raw code bytes.
Bytes WithHeader(const Bytes& code) {
  Bytes file = {'Q', 'K', 'V', 'M', 1, 0, static_cast<uint8_t>(code.size() >> 8),
                static_cast<uint8_t>(code.size())};
  // Byte by byte: g++ 12 misreads a range insert into a fresh vector as an overrun.
  for (uint8_t b : code) file.push_back(b);
  return file;
}

TEST(VmInstructions, ProduceTheExpectedOutput) {
  const struct {
    const char* source;
    Bytes input, expected;
  } cases[] = {
      {"movi r1, 0xFFFF\n movi r2, 2\n add r1, r2\n outw r1\n halt", {}, {0x00, 0x01}},
      {"movi r1, 1\n subi r1, 2\n outw r1\n halt", {}, {0xFF, 0xFF}},
      {"movi r1, 0x1234\n muli r1, 0x100\n outw r1\n halt", {}, {0x34, 0x00}},
      {"movi r1, 100\n movi r2, 7\n divu r1, r2\n outw r1\n movi r1, 100\n modui r1, 7\n outw r1\n halt",
       {}, {0, 14, 0, 2}},
      {"movi r1, 0xF0F0\n andi r1, 0xFF00\n ori r1, 0x000F\n xori r1, 0x0101\n outw r1\n halt", {}, {0xF1, 0x0E}},
      {"movi r1, 0x1234\n not r1\n outw r1\n halt", {}, {0xED, 0xCB}},
      {"movi r1, 0x0F0F\n shli r1, 4\n outw r1\n movi r1, 0x8000\n shri r1, 15\n outw r1\n halt",
       {}, {0xF0, 0xF0, 0x00, 0x01}},
      {"movi r1, 0xFFFF\n movi r2, 16\n shl r1, r2\n outw r1\n movi r1, 0xFFFF\n shri r1, 300\n outw r1\n halt",
       {}, {0, 0, 0, 0}},
      {"movi r1, -2\n mov r5, r1\n outw r5\n halt", {}, {0xFF, 0xFE}},
      {"movi r1, 0x100\n movi r2, 0xABCD\n stw r2, [r1]\n ldb r3, [r1]\n outb r3\n ldb r3, [r1 + 1]\n outb r3\n halt",
       {}, {0xAB, 0xCD}},
      {"movi r1, 0x1234\n stb r1, [r2 + 9]\n ldw r3, [r2 + 8]\n outw r3\n outb r1\n halt", {}, {0x00, 0x34, 0x34}},
      {"movi r1, 1\n movi r2, 2\n push r1\n push r2\n pop r3\n pop r4\n outb r3\n outb r4\n halt", {}, {2, 1}},
      {"call twice\n call twice\n outw r1\n halt\ntwice: addi r1, 2\n ret", {}, {0x00, 0x04}},
      {"outw r0\n ldb r1, [r7 + 2]\n outb r1\n ldw r1, [r7 + 3]\n outw r1\n outw r2\n halt", {7, 8, 9},
       {0x00, 0x03, 9, 0, 0, 0, 0}},  // input at 0, its length in r0; the rest is zero
      {"movi r1, 1\n movi r2, 2\n outm r1, r2\n nop\n halt", {4, 5, 6, 7}, {5, 6}},
      {"cmpi r1, 0\n movi r2, 5\n mov r3, r2\n ldb r4, [r7]\n jeq yes\n halt\nyes: outb r2\n halt", {9}, {5}},
  };
  for (const auto& c : cases) {
    const VmOutcome outcome = RunSource(c.source, c.input);
    EXPECT_EQ(outcome.statusWord, kVmSuccess) << c.source;
    EXPECT_EQ(outcome.output, c.expected) << c.source;
  }
}

// Every conditional jump after a comparison agrees with the comparison it stands for.
TEST(VmInstructions, ConditionalJumpsMatchComparisons) {
  using Predicate = std::function<bool(uint16_t, uint16_t)>;
  const auto s = [](uint16_t v) { return static_cast<int16_t>(v); };
  const std::pair<const char*, Predicate> conditions[] = {
      {"jeq", [](uint16_t a, uint16_t b) { return a == b; }},
      {"jne", [](uint16_t a, uint16_t b) { return a != b; }},
      {"jlo", [](uint16_t a, uint16_t b) { return a < b; }},
      {"jhs", [](uint16_t a, uint16_t b) { return a >= b; }},
      {"jhi", [](uint16_t a, uint16_t b) { return a > b; }},
      {"jls", [](uint16_t a, uint16_t b) { return a <= b; }},
      {"jlt", [s](uint16_t a, uint16_t b) { return s(a) < s(b); }},
      {"jge", [s](uint16_t a, uint16_t b) { return s(a) >= s(b); }},
      {"jgt", [s](uint16_t a, uint16_t b) { return s(a) > s(b); }},
      {"jle", [s](uint16_t a, uint16_t b) { return s(a) <= s(b); }},
  };
  const uint16_t values[] = {0, 1, 2, 0x7FFE, 0x7FFF, 0x8000, 0x8001, 0xFFFE, 0xFFFF};
  for (const auto& condition : conditions) {
    const Bytes program = Assembled(std::string("ldw r1, [r7]\n ldw r2, [r7 + 2]\n cmp r1, r2\n ") +
                                    condition.first + " taken\n outb r7\n halt\ntaken: movi r3, 1\n outb r3\n halt");
    for (uint16_t a : values) {
      for (uint16_t b : values) {
        const Bytes input = {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                             static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)};
        EXPECT_EQ(RunVm(program, input).output, Bytes{condition.second(a, b) ? uint8_t{1} : uint8_t{0}})
            << condition.first << " " << a << ", " << b;
      }
    }
  }
}

// Flags after arithmetic: zero, carry/borrow, and signed less, probed with jeq, jlo and jlt.
TEST(VmInstructions, ArithmeticSetsFlags) {
  const struct {
    const char* operation;
    bool flags[3];  // zero, carry, signed less
  } cases[] = {
      {"movi r1, 0x7FFF\n addi r1, 1", {false, false, false}},  // signed overflow
      {"movi r1, 0xFFFF\n addi r1, 1", {true, true, false}},
      {"movi r1, 0x8000\n subi r1, 1", {false, false, true}},   // signed overflow
      {"movi r1, 0\n subi r1, 1", {false, true, true}},         // borrow
      {"movi r1, 0x100\n muli r1, 0x100", {true, true, false}},  // product too wide
      {"movi r1, 0xFFFF\n addi r1, 1\n andi r1, 0", {true, false, false}},  // logic clears carry
  };
  const char* probes[] = {"jeq", "jlo", "jlt"};
  for (const auto& c : cases) {
    for (int p = 0; p < 3; ++p) {
      const VmOutcome outcome = RunSource(std::string(c.operation) + "\n " + probes[p] +
                                          " yes\n outb r7\n halt\nyes: movi r2, 1\n outb r2\n halt");
      EXPECT_EQ(outcome.output, Bytes{c.flags[p] ? uint8_t{1} : uint8_t{0}}) << c.operation << " / " << probes[p];
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
      {"movi r1, 0xFFFF\n ldb r2, [r1 + 1]\n halt", kVmAddressOverflow, {}, limits(0x10000, 1000)},
      {"movi r1, 0xFFFF\n ldb r2, [r1]\n halt", kVmSuccess, {}, limits(1u << 20, 1000)},  // capped at 64 KiB
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
    if (outcome.statusWord != kVmSuccess) { EXPECT_TRUE(outcome.output.empty()) << c.source << ": no data"; }
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
      {"trailing file bytes are ignored", [&] { Bytes f = halt; f.push_back(0xEE); return f; }(), kVmSuccess},
  };
  for (const auto& c : cases) EXPECT_EQ(RunVm(c.file).statusWord, c.expected) << c.name;
  EXPECT_EQ(RunProgram(nullptr, 12, nullptr, 0).statusWord, kVmNotAProgram);
}

// Whatever the program bytes, a run ends with success or an error status word,
// and answers data only on success.
TEST(VmPrograms, HostileProgramsNeverEscapeTheBounds) {
  const Bytes input = {0x00, 0x05, 0x00, 0x08};
  const auto check = [&](const Bytes& file) {
    VmLimits limits;
    limits.instructionBudget = 5000;
    const VmOutcome outcome = RunVm(file, input, limits);
    EXPECT_TRUE(outcome.statusWord == kVmSuccess || IsProgramFailCode(outcome.statusWord))
        << std::hex << outcome.statusWord;
    EXPECT_LE(outcome.output.size(), kVmMaxOutput);
    if (outcome.statusWord != kVmSuccess) { EXPECT_TRUE(outcome.output.empty()); }
  };
  for (const Bytes* sample : {&SampleAddProgram(), &SampleReverseProgram(), &SampleChecksumProgram()}) {
    for (size_t at = 0; at < sample->size(); ++at) {  // every single-byte change
      for (unsigned value = 0; value < 256; ++value) {
        Bytes file = *sample;
        file[at] = static_cast<uint8_t>(value);
        check(file);
      }
    }
  }
  // Random code built from real opcodes, so that many programs load and run.
  std::mt19937 random(20240611);
  const uint8_t opcodes[] = {0x01, 0x03, 0x10, 0x11, 0x14, 0x20, 0x21, 0x30, 0x31, 0x32,
                             0x33, 0x40, 0x41, 0x42, 0x43, 0x44, 0x50, 0x51, 0x53, 0x5B};
  for (int trial = 0; trial < 3000; ++trial) {
    Bytes code;
    for (size_t length = 1 + random() % 64; code.size() < length;) {
      code.push_back(random() % 3 == 0 ? opcodes[random() % sizeof(opcodes)]
                                       : static_cast<uint8_t>(random() % 8 == 0 ? random() : random() % 0x78));
    }
    check(WithHeader(code));
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
  const struct {
    Bytes input;
    uint16_t status;
    Bytes output;
  } adds[] = {
      {{0x00, 0x05, 0x00, 0x08}, kVmSuccess, {0x00, 0x0D}},
      {{0xFF, 0xFF, 0x00, 0x02}, kVmSuccess, {0x00, 0x01}},
      {{0x12, 0x34, 0x43, 0x21}, kVmSuccess, {0x55, 0x55}},
      {{0x00, 0x05, 0x00}, kVmBadInput, {}},
      {{0x00, 0x05, 0x00, 0x08, 0x00}, kVmBadInput, {}},
  };
  for (const auto& c : adds) {
    const VmOutcome outcome = RunVm(SampleAddProgram(), c.input);
    EXPECT_EQ(outcome.statusWord, c.status);
    EXPECT_EQ(outcome.output, c.output);
  }
  const std::string abcde = "abcde";
  EXPECT_EQ(RunVm(SampleChecksumProgram(), Bytes(abcde.begin(), abcde.end())).output, (Bytes{0xC8, 0xF0}));
  for (size_t length : {size_t{0}, size_t{1}, size_t{300}, size_t{1022}, size_t{1024}}) {
    Bytes input(length);
    for (size_t i = 0; i < length; ++i) input[i] = static_cast<uint8_t>(i * 7 + 3);
    EXPECT_EQ(RunVm(SampleChecksumProgram(), input).output, Fletcher16(input)) << length;
    EXPECT_EQ(RunVm(SampleChecksumProgram(), Bytes(length, 0xFF)).output, Fletcher16(Bytes(length, 0xFF)));
    const VmOutcome echo = RunVm(SampleEchoProgram(), input), reverse = RunVm(SampleReverseProgram(), input);
    if (length <= kVmMaxOutput) {
      EXPECT_EQ(echo.output, input);
      EXPECT_EQ(reverse.output, Bytes(input.rbegin(), input.rend()));
    } else {
      EXPECT_EQ(echo.statusWord, kVmOutputOverflow);
      EXPECT_EQ(reverse.statusWord, kVmOutputOverflow);
    }
  }
}

}  // namespace
}  // namespace qksim
