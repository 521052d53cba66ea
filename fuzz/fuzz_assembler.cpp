// The program assembler on arbitrary text. A failure must say where, and
// leave no code; a success must give a program file that the machine loads
// (the assembler emits only instructions the machine knows) and runs within
// its budget.
//
// Input: the program text, whole.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/input_reader.h"
#include "sim/assembler.h"
#include "sim/vm.h"

namespace {

constexpr size_t kMaxText = 16384;  // far above any real program; bounds one input's time
constexpr uint32_t kBudget = 100000;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxText) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<uint8_t> code = {0xEE};  // must be cleared on failure
  std::string error;
  if (!qksim::Assemble(text, &code, &error)) {
    if (!code.empty()) qkfuzz::Fail("failed assembly left code behind");
    if (error.compare(0, 5, "line ") != 0) qkfuzz::Fail("error message does not name a line");
    return 0;
  }
  if (code.size() < qksim::kVmHeaderSize) qkfuzz::Fail("program shorter than its header");

  static const uint8_t kInput[4] = {0x00, 0x05, 0x00, 0x08};
  qksim::VmLimits limits;
  limits.instructionBudget = kBudget;
  const qksim::VmOutcome outcome =
      qksim::RunProgram(code.data(), code.size(), kInput, sizeof kInput, limits);
  if (outcome.statusWord == qksim::kVmNotAProgram ||
      outcome.statusWord == qksim::kVmIllegalInstruction) {
    qkfuzz::Fail("assembled program does not load");
  }
  return 0;
}
