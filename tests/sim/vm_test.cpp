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

VmOutcome RunSource(const std::string& source, const Bytes& input = {},
                    const VmLimits& limits = {}) {
  return RunVm(Assembled(source), input, limits);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A program file around raw code bytes.
Bytes WithHeader(const Bytes& code) {
  Bytes file = {'Q',
                'K',
                'V',
                'M',
                1,
                0,
                static_cast<uint8_t>(code.size() >> 8),
                static_cast<uint8_t>(code.size() & 0xFF)};
  // Byte by byte: g++ 12 misreads a range insert into a fresh vector as an overrun.
  for (uint8_t b : code) file.push_back(b);
  return file;
}

struct OutputCase {
  const char* name;
  const char* source;
  Bytes input;
  Bytes expected;
};

TEST(VmInstructions, ProduceTheExpectedOutput) {
  const OutputCase cases[] = {
      {"add wraps", "movi r1, 0xFFFF\n movi r2, 2\n add r1, r2\n outw r1\n halt", {}, {0x00, 0x01}},
      {"sub wraps", "movi r1, 1\n subi r1, 2\n outw r1\n halt", {}, {0xFF, 0xFF}},
      {"mul keeps low word", "movi r1, 0x1234\n muli r1, 0x100\n outw r1\n halt", {}, {0x34, 0x00}},
      {"divu", "movi r1, 100\n movi r2, 7\n divu r1, r2\n outw r1\n halt", {}, {0x00, 14}},
      {"modui", "movi r1, 100\n modui r1, 7\n outw r1\n halt", {}, {0x00, 2}},
      {"and or xor",
       "movi r1, 0xF0F0\n andi r1, 0xFF00\n ori r1, 0x000F\n xori r1, 0x0101\n"
       " outw r1\n halt",
       {},
       {0xF1, 0x0E}},
      {"not", "movi r1, 0x1234\n not r1\n outw r1\n halt", {}, {0xED, 0xCB}},
      {"shl", "movi r1, 0x0F0F\n shli r1, 4\n outw r1\n halt", {}, {0xF0, 0xF0}},
      {"shr is logical", "movi r1, 0x8000\n shri r1, 15\n outw r1\n halt", {}, {0x00, 0x01}},
      {"shift of 16 or more clears",
       "movi r1, 0xFFFF\n movi r2, 16\n shl r1, r2\n outw r1\n"
       " movi r1, 0xFFFF\n shri r1, 300\n outw r1\n halt",
       {},
       {0, 0, 0, 0}},
      {"negative immediate", "movi r1, -2\n outw r1\n halt", {}, {0xFF, 0xFE}},
      {"mov copies", "movi r2, 0xBEEF\n mov r5, r2\n outw r5\n halt", {}, {0xBE, 0xEF}},
      {"words are big-endian in memory",
       "movi r1, 0x100\n movi r2, 0xABCD\n stw r2, [r1]\n ldb r3, [r1]\n outb r3\n"
       " ldb r3, [r1 + 1]\n outb r3\n halt",
       {},
       {0xAB, 0xCD}},
      {"stb stores the low byte",
       "movi r1, 0x1234\n stb r1, [r2 + 9]\n ldw r3, [r2 + 8]\n"
       " outw r3\n halt",
       {},
       {0x00, 0x34}},
      {"outb emits the low byte", "movi r1, 0x1234\n outb r1\n halt", {}, {0x34}},
      {"push and pop are last in first out",
       "movi r1, 1\n movi r2, 2\n push r1\n push r2\n pop r3\n pop r4\n outb r3\n outb r4\n halt",
       {},
       {2, 1}},
      {"call and return",
       "call twice\n call twice\n outw r1\n halt\n"
       "twice: addi r1, 2\n ret",
       {},
       {0x00, 0x04}},
      {"input at address 0, length in r0",
       "outw r0\n ldb r1, [r7 + 2]\n outb r1\n halt",
       {7, 8, 9},
       {0x00, 0x03, 9}},
      {"memory past the input is zero", "ldw r1, [r7 + 1]\n outw r1\n halt", {5}, {0, 0}},
      {"registers start at zero", "outw r1\n outw r7\n halt", {1, 2, 3}, {0, 0, 0, 0}},
      {"outm copies memory", "movi r1, 1\n movi r2, 2\n outm r1, r2\n halt", {4, 5, 6, 7}, {5, 6}},
      {"mov leaves the flags alone",
       "cmpi r1, 0\n movi r2, 5\n mov r3, r2\n ldb r4, [r7]\n jeq yes\n halt\n"
       "yes: outb r2\n halt",
       {9},
       {5}},
      {"nop does nothing", "nop\n nop\n outb r0\n halt", {}, {0}},
  };
  for (const OutputCase& c : cases) {
    const VmOutcome outcome = RunSource(c.source, c.input);
    EXPECT_EQ(outcome.statusWord, kVmSuccess) << c.name;
    EXPECT_EQ(outcome.output, c.expected) << c.name;
  }
}

// Every conditional jump after a comparison must agree with the plain
// unsigned or signed comparison it stands for.
TEST(VmInstructions, ConditionalJumpsMatchComparisons) {
  using Predicate = std::function<bool(uint16_t, uint16_t)>;
  auto s = [](uint16_t v) { return static_cast<int16_t>(v); };
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
    // One program per condition; the operands arrive as input.
    const Bytes program =
        Assembled(std::string("ldw r1, [r7]\n ldw r2, [r7 + 2]\n cmp r1, r2\n ") + condition.first +
                  " taken\n outb r7\n halt\n"
                  "taken: movi r3, 1\n outb r3\n halt");
    for (uint16_t a : values) {
      for (uint16_t b : values) {
        const Bytes input = {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a & 0xFF),
                             static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b & 0xFF)};
        const VmOutcome outcome = RunVm(program, input);
        ASSERT_EQ(outcome.statusWord, kVmSuccess);
        EXPECT_EQ(outcome.output, Bytes{condition.second(a, b) ? uint8_t{1} : uint8_t{0}})
            << condition.first << " " << a << ", " << b;
      }
    }
  }
}

// Flags after arithmetic: zero, carry/borrow, and signed less (negative xor
// overflow), probed with jeq, jlo and jlt.
TEST(VmInstructions, ArithmeticSetsFlags) {
  struct FlagCase {
    const char* operation;
    bool zero, carry, signedLess;
  };
  const FlagCase cases[] = {
      {"movi r1, 0x7FFF\n addi r1, 1", false, false, false},  // signed overflow
      {"movi r1, 0xFFFF\n addi r1, 1", true, true, false},    // unsigned carry
      {"movi r1, 0x8000\n addi r1, 0x8000", true, true, true},
      {"movi r1, 0x8000\n subi r1, 1", false, false, true},  // signed overflow
      {"movi r1, 0\n subi r1, 1", false, true, true},        // borrow
      {"movi r1, 5\n subi r1, 5", true, false, false},
      {"movi r1, 0x100\n muli r1, 0x100", true, true, false},             // product too wide
      {"movi r1, 0xFFFF\n addi r1, 1\n andi r1, 0", true, false, false},  // logic clears carry
      {"movi r1, 0x8000\n ori r1, 0", false, false, true},
  };
  const std::pair<const char*, bool FlagCase::*> probes[] = {
      {"jeq", &FlagCase::zero}, {"jlo", &FlagCase::carry}, {"jlt", &FlagCase::signedLess}};
  for (const FlagCase& c : cases) {
    for (const auto& probe : probes) {
      const VmOutcome outcome =
          RunSource(std::string(c.operation) + "\n " + probe.first +
                    " yes\n outb r7\n halt\nyes: movi r2, 1\n outb r2\n halt");
      ASSERT_EQ(outcome.statusWord, kVmSuccess) << c.operation;
      EXPECT_EQ(outcome.output, Bytes{c.*probe.second ? uint8_t{1} : uint8_t{0}})
          << c.operation << " / " << probe.first;
    }
  }
}

struct StatusCase {
  const char* name;
  std::string source;
  uint16_t expected;
  Bytes input;
  VmLimits limits;
};

StatusCase Case(const char* name, std::string source, uint16_t expected, Bytes input = {},
                VmLimits limits = {}) {
  return StatusCase{name, std::move(source), expected, std::move(input), limits};
}

VmLimits Memory(size_t bytes) {
  VmLimits limits;
  limits.memorySize = bytes;
  return limits;
}

VmLimits Budget(uint32_t steps) {
  VmLimits limits;
  limits.instructionBudget = steps;
  return limits;
}

std::string Repeat(const std::string& line, size_t times) {
  std::string text;
  for (size_t i = 0; i < times; ++i) text += line + "\n";
  return text;
}

TEST(VmLimitsTest, RunsEndWithTheRightStatusWord) {
  const StatusCase cases[] = {
      // Memory bounds: the last byte is usable, nothing past it is.
      Case("last byte", "ldb r1, [r7 + 4095]\n stb r1, [r7 + 4095]\n halt", kVmSuccess),
      Case("word straddling the end", "ldw r1, [r7 + 4095]\n halt", kVmAddressOverflow),
      Case("store past the end", "stb r1, [r7 + 4096]\n halt", kVmAddressOverflow),
      Case("store word straddling", "stw r1, [r7 + 4095]\n halt", kVmAddressOverflow),
      Case("base plus offset does not wrap", "movi r1, 0xFFFF\n ldb r2, [r1 + 1]\n halt",
           kVmAddressOverflow, {}, Memory(0x10000)),
      Case("small memory", "ldb r1, [r7 + 16]\n halt", kVmAddressOverflow, {}, Memory(16)),
      Case("memory is capped at 64 KiB", "movi r1, 0xFFFF\n ldb r2, [r1]\n halt", kVmSuccess, {},
           Memory(1u << 20)),
      Case("outm past the end", "movi r1, 4000\n movi r2, 97\n outm r1, r2\n halt",
           kVmAddressOverflow),
      Case("outm up to the end", "movi r1, 4000\n movi r2, 96\n outm r1, r2\n halt", kVmSuccess),
      Case("input larger than memory", "halt", kVmAddressOverflow, Bytes(17), Memory(16)),
      // Code pointers and stacks.
      Case("jump past the code", "jmp 100\n halt", kVmBadPointer),
      Case("jump into an instruction", "jmp 1\n halt", kVmBadPointer),
      Case("falling off the end", "nop", kVmBadPointer),
      Case("return without a call", "ret", kVmBadPointer),
      Case("pop of an empty stack", "pop r1\n halt", kVmBadPointer),
      Case("64 pushes fit", Repeat("push r1", 64) + "halt", kVmSuccess),
      Case("65 pushes overflow", Repeat("push r1", 65) + "halt", kVmBadPointer),
      Case("runaway recursion", "f: call f", kVmBadPointer),
      Case("return to the end of the code", "call f\nf: ret", kVmBadPointer),
      // The instruction budget.
      Case("endless loop", "loop: jmp loop", kVmBudgetExhausted),
      Case("budget just enough", Repeat("nop", 9) + "halt", kVmSuccess, {}, Budget(10)),
      Case("budget one short", Repeat("nop", 10) + "halt", kVmBudgetExhausted, {}, Budget(10)),
      Case("zero budget", "halt", kVmBudgetExhausted, {}, Budget(0)),
      // Output bound.
      Case("1022 bytes of output", "movi r1, 1022\n outm r7, r1\n halt", kVmSuccess),
      Case("1023 bytes of output", "movi r1, 1023\n outm r7, r1\n halt", kVmOutputOverflow),
      Case("outb past the limit", "movi r1, 1021\n outm r7, r1\n outw r1\n halt",
           kVmOutputOverflow),
      // Arithmetic faults and the program's own refusal.
      Case("divide by zero", "movi r1, 5\n divu r1, r2\n halt", kVmDivideByZero),
      Case("modulo by zero", "movi r1, 5\n modui r1, 0\n halt", kVmDivideByZero),
      Case("fail ends with its code", "outb r1\n fail 0x6A82\n halt", 0x6A82),
      // Input bounds.
      Case("1024 bytes of input", "halt", kVmSuccess, Bytes(1024)),
      Case("1025 bytes of input", "halt", kVmBadInput, Bytes(1025)),
  };
  for (const StatusCase& c : cases) {
    const VmOutcome outcome = RunSource(c.source, c.input, c.limits);
    EXPECT_EQ(outcome.statusWord, c.expected) << c.name;
    if (outcome.statusWord != kVmSuccess) {
      EXPECT_TRUE(outcome.output.empty()) << c.name << ": a failed run answers no data";
    }
  }
}

TEST(VmLimitsTest, NullInputWithALengthIsRefused) {
  const Bytes program = Assembled("halt");
  EXPECT_EQ(RunProgram(program.data(), program.size(), nullptr, 4).statusWord, kVmBadInput);
  EXPECT_EQ(RunProgram(program.data(), program.size(), nullptr, 0).statusWord, kVmSuccess);
}

TEST(VmPrograms, MalformedFilesAreRefusedBeforeRunning) {
  const Bytes halt = WithHeader({0x01});
  auto patched = [&](size_t at, uint8_t value) {
    Bytes file = halt;
    file[at] = value;
    return file;
  };
  struct MalformedCase {
    const char* name;
    Bytes file;
    uint16_t expected;
  };
  const MalformedCase cases[] = {
      {"empty file", {}, kVmNotAProgram},
      {"short header", {'Q', 'K', 'V', 'M', 1, 0, 0}, kVmNotAProgram},
      {"wrong magic", patched(0, 'X'), kVmNotAProgram},
      {"wrong version", patched(4, 2), kVmNotAProgram},
      {"reserved flags set", patched(5, 1), kVmNotAProgram},
      {"no code", WithHeader({}), kVmNotAProgram},
      {"code length beyond the file", patched(7, 2), kVmNotAProgram},
      {"unknown opcode 00", WithHeader({0x00}), kVmIllegalInstruction},
      {"unknown opcode FF", WithHeader({0xFF}), kVmIllegalInstruction},
      {"truncated immediate", WithHeader({0x20, 0x10, 0x00}), kVmIllegalInstruction},
      {"truncated jump", WithHeader({0x01, 0x50, 0x00}), kVmIllegalInstruction},
      {"register 8", WithHeader({0x10, 0x80, 0x01}), kVmIllegalInstruction},
      {"base register 9", WithHeader({0x30, 0x19, 0x00, 0x00, 0x01}), kVmIllegalInstruction},
      {"unused field set", WithHeader({0x40, 0x12, 0x01}), kVmIllegalInstruction},
      {"fail with success", WithHeader({0x04, 0x90, 0x00}), kVmIllegalInstruction},
      // Malformed code is refused even where it would never run.
      {"bad tail behind halt", WithHeader({0x01, 0xEE}), kVmIllegalInstruction},
      {"trailing file bytes are ignored",
       [&] {
         Bytes file = halt;
         file.insert(file.end(), {0xEE, 0xEE, 0x00});
         return file;
       }(),
       kVmSuccess},
  };
  for (const MalformedCase& c : cases) {
    EXPECT_EQ(RunVm(c.file).statusWord, c.expected) << c.name;
  }
  EXPECT_EQ(RunProgram(nullptr, 12, nullptr, 0).statusWord, kVmNotAProgram);
}

// Whatever the program bytes, a run ends, answers a status word of the error
// classes or success, and answers data only on success.
TEST(VmPrograms, HostileProgramsNeverEscapeTheBounds) {
  auto check = [](const Bytes& file, const Bytes& input) {
    VmLimits limits;
    limits.instructionBudget = 5000;
    const VmOutcome outcome = RunVm(file, input, limits);
    const bool knownStatus =
        outcome.statusWord == kVmSuccess || IsProgramFailCode(outcome.statusWord);
    EXPECT_TRUE(knownStatus) << std::hex << outcome.statusWord;
    EXPECT_LE(outcome.output.size(), kVmMaxOutput);
    if (outcome.statusWord != kVmSuccess) {
      EXPECT_TRUE(outcome.output.empty());
    }
  };
  const Bytes input = {0x00, 0x05, 0x00, 0x08};
  // Every single-byte change of every sample.
  for (const Bytes* sample :
       {&SampleAddProgram(), &SampleReverseProgram(), &SampleChecksumProgram()}) {
    for (size_t at = 0; at < sample->size(); ++at) {
      for (unsigned value = 0; value < 256; ++value) {
        Bytes file = *sample;
        file[at] = static_cast<uint8_t>(value);
        check(file, input);
      }
    }
  }
  // Random code behind a valid header, built from real opcodes so that many
  // programs pass the loader and actually run.
  std::mt19937 random(20240611);
  const uint8_t opcodes[] = {0x01, 0x03, 0x10, 0x11, 0x14, 0x20, 0x21, 0x30, 0x31, 0x32,
                             0x33, 0x40, 0x41, 0x42, 0x43, 0x44, 0x50, 0x51, 0x53, 0x5B};
  for (int trial = 0; trial < 3000; ++trial) {
    Bytes code;
    const size_t length = 1 + random() % 64;
    while (code.size() < length) {
      if (random() % 3 == 0) {
        code.push_back(opcodes[random() % sizeof(opcodes)]);
      } else {
        code.push_back(static_cast<uint8_t>(random() % 8 == 0 ? random() : random() % 0x78));
      }
    }
    check(WithHeader(code), input);
  }
}

TEST(VmSamples, Add16AddsTwoBigEndianWords) {
  const struct {
    Bytes input;
    uint16_t status;
    Bytes output;
  } cases[] = {
      {{0x00, 0x05, 0x00, 0x08}, kVmSuccess, {0x00, 0x0D}},
      {{0xFF, 0xFF, 0x00, 0x02}, kVmSuccess, {0x00, 0x01}},
      {{0x7F, 0xFF, 0x00, 0x01}, kVmSuccess, {0x80, 0x00}},
      {{0x12, 0x34, 0x43, 0x21}, kVmSuccess, {0x55, 0x55}},
      {{}, kVmBadInput, {}},
      {{0x00, 0x05, 0x00}, kVmBadInput, {}},
      {{0x00, 0x05, 0x00, 0x08, 0x00}, kVmBadInput, {}},
  };
  for (const auto& c : cases) {
    const VmOutcome outcome = RunVm(SampleAddProgram(), c.input);
    EXPECT_EQ(outcome.statusWord, c.status);
    EXPECT_EQ(outcome.output, c.output);
  }
}

Bytes Counting(size_t length) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

TEST(VmSamples, EchoAndReverse) {
  for (size_t length : {size_t{0}, size_t{1}, size_t{5}, size_t{1022}}) {
    const Bytes input = Counting(length);
    const VmOutcome echo = RunVm(SampleEchoProgram(), input);
    EXPECT_EQ(echo.statusWord, kVmSuccess);
    EXPECT_EQ(echo.output, input);
    const VmOutcome reverse = RunVm(SampleReverseProgram(), input);
    EXPECT_EQ(reverse.statusWord, kVmSuccess);
    EXPECT_EQ(reverse.output, Bytes(input.rbegin(), input.rend()));
  }
  // An answer may not exceed 1022 bytes.
  EXPECT_EQ(RunVm(SampleEchoProgram(), Counting(1023)).statusWord, kVmOutputOverflow);
  EXPECT_EQ(RunVm(SampleReverseProgram(), Counting(1024)).statusWord, kVmOutputOverflow);
}

Bytes Fletcher16(const Bytes& data) {
  unsigned sum1 = 0;
  unsigned sum2 = 0;
  for (uint8_t byte : data) {
    sum1 = (sum1 + byte) % 255;
    sum2 = (sum2 + sum1) % 255;
  }
  return {static_cast<uint8_t>(sum2), static_cast<uint8_t>(sum1)};
}

TEST(VmSamples, ChecksumIsFletcher16) {
  EXPECT_EQ(RunVm(SampleChecksumProgram(), Text("abcde")).output, (Bytes{0xC8, 0xF0}));
  EXPECT_EQ(RunVm(SampleChecksumProgram(), Text("abcdef")).output, (Bytes{0x20, 0x57}));
  EXPECT_EQ(RunVm(SampleChecksumProgram(), Text("abcdefgh")).output, (Bytes{0x06, 0x27}));
  for (size_t length : {size_t{0}, size_t{300}, size_t{1024}}) {
    Bytes input(length, 0xFF);  // the worst case for the running sums
    EXPECT_EQ(RunVm(SampleChecksumProgram(), input).output, Fletcher16(input)) << length;
    input = Counting(length);
    EXPECT_EQ(RunVm(SampleChecksumProgram(), input).output, Fletcher16(input)) << length;
  }
}

}  // namespace
}  // namespace qksim
