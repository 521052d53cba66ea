// The token's virtual machine: arbitrary program files run on arbitrary
// input. A run must end within its budget with a status word of the
// machine's own, or a program's FAIL code, and an output only on success;
// two runs of the same program on the same input must agree.
//
// Input: flags (1), program length (2, big-endian), program bytes, and the
// rest as the program's input.
//   flags bit 0: a valid header is put in front of the program bytes, so the
//                mutations go to the code rather than to the header;
//   flags bit 1: the run uses a memory size from the next two bytes and a
//                smaller budget instead of the defaults.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

#include "fuzz/input_reader.h"
#include "sim/vm.h"

namespace {

constexpr size_t kMaxInputTaken = qksim::kVmMaxInput + 16;  // a little past the limit
constexpr uint32_t kSmallBudget = 100000;
// The machine's own budget is 10^6 instructions; an input that spends it
// twice took 0.17 s, so the default limits run under this cap. The sample
// programs need a few ten thousand instructions on the largest input.
constexpr uint32_t kDefaultBudgetCap = 200000;

bool IsMachineStatus(uint16_t statusWord) {
  static const uint16_t kMachine[] = {
      qksim::kVmSuccess,        qksim::kVmAddressOverflow,    qksim::kVmBadPointer,
      qksim::kVmNotAProgram,    qksim::kVmIllegalInstruction, qksim::kVmBudgetExhausted,
      qksim::kVmOutputOverflow, qksim::kVmDivideByZero,       qksim::kVmBadInput};
  return std::find(std::begin(kMachine), std::end(kMachine), statusWord) != std::end(kMachine) ||
         qksim::IsProgramFailCode(statusWord);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qkfuzz::InputReader in(data, size);
  const uint8_t flags = in.U8();
  qksim::VmLimits limits;
  const bool ownLimits = (flags & 0x02) != 0;
  if (ownLimits) {
    limits.memorySize = in.U16();
    limits.instructionBudget = kSmallBudget;
  } else {
    limits.instructionBudget = std::min(limits.instructionBudget, kDefaultBudgetCap);
  }
  const size_t codeLength = in.U16();
  std::vector<uint8_t> program;
  if ((flags & 0x01) != 0) {
    program = {'Q',
               'K',
               'V',
               'M',
               qksim::kVmVersion,
               0,
               static_cast<uint8_t>(codeLength >> 8),
               static_cast<uint8_t>(codeLength)};
  }
  const std::vector<uint8_t> code = in.Take(codeLength);
  program.insert(program.end(), code.begin(), code.end());
  const std::vector<uint8_t> input = in.Take(kMaxInputTaken);

  // Exact-size heap copies, so a read one past either end is caught.
  const qksim::VmOutcome first =
      qksim::RunProgram(program.data(), program.size(), input.data(), input.size(), limits);
  if (!IsMachineStatus(first.statusWord)) qkfuzz::Fail("unknown status word");
  if (first.statusWord == qksim::kVmSuccess) {
    if (first.output.size() > qksim::kVmMaxOutput) qkfuzz::Fail("output past the limit");
  } else if (!first.output.empty()) {
    qkfuzz::Fail("output from a failed run");
  }
  if (input.size() > qksim::kVmMaxInput && first.statusWord != qksim::kVmBadInput &&
      first.statusWord != qksim::kVmNotAProgram &&
      first.statusWord != qksim::kVmIllegalInstruction) {
    qkfuzz::Fail("overlong input accepted");
  }

  const qksim::VmOutcome second =
      qksim::RunProgram(program.data(), program.size(), input.data(), input.size(), limits);
  if (second.statusWord != first.statusWord || second.output != first.output) {
    qkfuzz::Fail("two runs of one program disagree");
  }
  return 0;
}
