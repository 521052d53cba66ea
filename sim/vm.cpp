#include "sim/vm.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace qksim {
namespace {

constexpr VmOpInfo kOps[] = {
    {VmOp::kHalt, VmForm::kNone, "halt"},     {VmOp::kNop, VmForm::kNone, "nop"},
    {VmOp::kRet, VmForm::kNone, "ret"},       {VmOp::kFail, VmForm::kStatus, "fail"},
    {VmOp::kMov, VmForm::kReg2, "mov"},       {VmOp::kAdd, VmForm::kReg2, "add"},
    {VmOp::kSub, VmForm::kReg2, "sub"},       {VmOp::kMul, VmForm::kReg2, "mul"},
    {VmOp::kDivu, VmForm::kReg2, "divu"},     {VmOp::kModu, VmForm::kReg2, "modu"},
    {VmOp::kAnd, VmForm::kReg2, "and"},       {VmOp::kOr, VmForm::kReg2, "or"},
    {VmOp::kXor, VmForm::kReg2, "xor"},       {VmOp::kShl, VmForm::kReg2, "shl"},
    {VmOp::kShr, VmForm::kReg2, "shr"},       {VmOp::kCmp, VmForm::kReg2, "cmp"},
    {VmOp::kNot, VmForm::kReg1, "not"},       {VmOp::kMovi, VmForm::kRegImm, "movi"},
    {VmOp::kAddi, VmForm::kRegImm, "addi"},   {VmOp::kSubi, VmForm::kRegImm, "subi"},
    {VmOp::kMuli, VmForm::kRegImm, "muli"},   {VmOp::kDivui, VmForm::kRegImm, "divui"},
    {VmOp::kModui, VmForm::kRegImm, "modui"}, {VmOp::kAndi, VmForm::kRegImm, "andi"},
    {VmOp::kOri, VmForm::kRegImm, "ori"},     {VmOp::kXori, VmForm::kRegImm, "xori"},
    {VmOp::kShli, VmForm::kRegImm, "shli"},   {VmOp::kShri, VmForm::kRegImm, "shri"},
    {VmOp::kCmpi, VmForm::kRegImm, "cmpi"},   {VmOp::kLdb, VmForm::kMem, "ldb"},
    {VmOp::kLdw, VmForm::kMem, "ldw"},        {VmOp::kStb, VmForm::kMem, "stb"},
    {VmOp::kStw, VmForm::kMem, "stw"},        {VmOp::kPush, VmForm::kReg1, "push"},
    {VmOp::kPop, VmForm::kReg1, "pop"},       {VmOp::kOutb, VmForm::kReg1, "outb"},
    {VmOp::kOutw, VmForm::kReg1, "outw"},     {VmOp::kOutm, VmForm::kReg2, "outm"},
    {VmOp::kJmp, VmForm::kTarget, "jmp"},     {VmOp::kJeq, VmForm::kTarget, "jeq"},
    {VmOp::kJne, VmForm::kTarget, "jne"},     {VmOp::kJlo, VmForm::kTarget, "jlo"},
    {VmOp::kJhs, VmForm::kTarget, "jhs"},     {VmOp::kJhi, VmForm::kTarget, "jhi"},
    {VmOp::kJls, VmForm::kTarget, "jls"},     {VmOp::kJlt, VmForm::kTarget, "jlt"},
    {VmOp::kJge, VmForm::kTarget, "jge"},     {VmOp::kJgt, VmForm::kTarget, "jgt"},
    {VmOp::kJle, VmForm::kTarget, "jle"},     {VmOp::kCall, VmForm::kTarget, "call"},
    {VmOp::kRdf, VmForm::kReg4, "rdf"},
};

// One instruction as decoded when the program is loaded.
struct Instruction {
  VmOp op;
  uint8_t d;  // destination / first register
  uint8_t s;  // source / base register
  uint8_t t;  // third and fourth registers (four-register form only)
  uint8_t u;
  uint16_t value;  // immediate, offset, target or status word
  uint8_t length;
};

struct Program {
  std::vector<Instruction> instructions;
  std::vector<int32_t> indexAt;  // per code byte: instruction starting there, or -1
};

uint16_t ReadBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// Decodes the instruction at `at`; false when it is malformed: unknown opcode,
// cut short by the end of the code, register number out of range, a field the
// form does not use that is not zero, or a FAIL code outside the error classes.
bool DecodeAt(const uint8_t* code, size_t length, size_t at, Instruction* out) {
  const VmOpInfo* info = FindVmOp(code[at]);
  if (info == nullptr) return false;
  const size_t size = VmFormLength(info->form);
  if (size > length - at) return false;
  out->op = info->op;
  out->length = static_cast<uint8_t>(size);
  out->d = 0;
  out->s = 0;
  out->t = 0;
  out->u = 0;
  out->value = 0;
  if (size >= 2 && info->form != VmForm::kTarget && info->form != VmForm::kStatus) {
    out->d = static_cast<uint8_t>(code[at + 1] >> 4);
    out->s = static_cast<uint8_t>(code[at + 1] & 0x0F);
    if (out->d >= kVmRegisters || out->s >= kVmRegisters) return false;
    const bool usesSource =
        info->form == VmForm::kReg2 || info->form == VmForm::kMem || info->form == VmForm::kReg4;
    if (!usesSource && out->s != 0) return false;
  }
  switch (info->form) {
    case VmForm::kRegImm:
    case VmForm::kMem:
      out->value = ReadBe16(code + at + 2);
      break;
    case VmForm::kTarget:
    case VmForm::kStatus:
      out->value = ReadBe16(code + at + 1);
      break;
    case VmForm::kReg4:
      out->t = static_cast<uint8_t>(code[at + 2] >> 4);
      out->u = static_cast<uint8_t>(code[at + 2] & 0x0F);
      if (out->t >= kVmRegisters || out->u >= kVmRegisters) return false;
      break;
    default:
      break;
  }
  return info->form != VmForm::kStatus || IsProgramFailCode(out->value);
}

// Checks the header and decodes the whole code once, so that execution never
// meets a malformed instruction and jumps can be checked against real
// instruction starts.
uint16_t LoadProgram(const uint8_t* file, size_t fileLength, Program* program) {
  if (file == nullptr || fileLength < kVmHeaderSize) return kVmNotAProgram;
  if (file[0] != 'Q' || file[1] != 'K' || file[2] != 'V' || file[3] != 'M' ||
      file[4] != kVmVersion || file[5] != 0) {
    return kVmNotAProgram;
  }
  const size_t codeLength = ReadBe16(file + 6);
  // A file may be larger than its program: the rest of it is ignored.
  if (codeLength == 0 || codeLength > fileLength - kVmHeaderSize) return kVmNotAProgram;
  const uint8_t* code = file + kVmHeaderSize;
  program->indexAt.assign(codeLength, -1);
  program->instructions.clear();
  for (size_t at = 0; at < codeLength;) {
    Instruction instruction{};
    if (!DecodeAt(code, codeLength, at, &instruction)) return kVmIllegalInstruction;
    program->indexAt[at] = static_cast<int32_t>(program->instructions.size());
    program->instructions.push_back(instruction);
    at += instruction.length;
  }
  return kVmSuccess;
}

struct Flags {
  bool zero = false;
  bool negative = false;
  bool carry = false;     // carry out of an addition, borrow of a subtraction
  bool overflow = false;  // signed overflow
};

bool ConditionHolds(VmOp op, const Flags& f) {
  const bool signedLess = f.negative != f.overflow;
  switch (op) {
    case VmOp::kJmp:
      return true;
    case VmOp::kCall:
      return true;
    case VmOp::kJeq:
      return f.zero;
    case VmOp::kJne:
      return !f.zero;
    case VmOp::kJlo:
      return f.carry;
    case VmOp::kJhs:
      return !f.carry;
    case VmOp::kJhi:
      return !f.carry && !f.zero;
    case VmOp::kJls:
      return f.carry || f.zero;
    case VmOp::kJlt:
      return signedLess;
    case VmOp::kJge:
      return !signedLess;
    case VmOp::kJgt:
      return !f.zero && !signedLess;
    case VmOp::kJle:
      return f.zero || signedLess;
    default:
      return false;
  }
}

// The register-register operation an immediate form stands for.
VmOp RegisterForm(VmOp op) {
  const auto code = static_cast<uint8_t>(op);
  if (code >= 0x20 && code <= 0x2B) return static_cast<VmOp>(code - 0x10);
  return op;
}

class Machine {
 public:
  Machine(const Program& program, const VmLimits& limits, size_t memorySize, const VmFiles* files)
      : program_(program),
        budget_(limits.instructionBudget),
        memory_(memorySize, 0),
        files_(files) {}

  VmOutcome Run(const uint8_t* input, size_t inputLength) {
    if (inputLength > 0) std::copy(input, input + inputLength, memory_.begin());
    registers_[0] = static_cast<uint16_t>(inputLength);
    for (;;) {
      if (pc_ >= program_.indexAt.size() || program_.indexAt[pc_] < 0) {
        return Fail(kVmBadPointer);
      }
      if (executed_ >= budget_) return Fail(kVmBudgetExhausted);
      ++executed_;
      const Instruction& in = program_.instructions[static_cast<size_t>(program_.indexAt[pc_])];
      pc_ += in.length;
      uint16_t status = Execute(in);
      if (status == kVmSuccess) return VmOutcome{kVmSuccess, std::move(output_)};
      if (status != kContinue) return Fail(status);
    }
  }

 private:
  // Not a status word: fail codes lie in 6400..6FFF, so 0 cannot clash.
  static constexpr uint16_t kContinue = 0;

  static VmOutcome Fail(uint16_t statusWord) { return VmOutcome{statusWord, {}}; }

  uint16_t Execute(const Instruction& in) {
    uint16_t& d = registers_[in.d];
    const uint16_t s = registers_[in.s];
    switch (in.op) {
      case VmOp::kHalt:
        return kVmSuccess;
      case VmOp::kNop:
        return kContinue;
      case VmOp::kFail:
        return in.value;
      case VmOp::kRet:
        if (calls_.empty()) return kVmBadPointer;
        pc_ = calls_.back();
        calls_.pop_back();
        return kContinue;
      case VmOp::kMov:
        d = s;
        return kContinue;
      case VmOp::kMovi:
        d = in.value;
        return kContinue;
      case VmOp::kNot:
        d = SetResult(static_cast<uint16_t>(~d), false, false);
        return kContinue;
      case VmOp::kLdb:
      case VmOp::kLdw:
      case VmOp::kStb:
      case VmOp::kStw:
        return Access(in.op, d, static_cast<uint32_t>(s) + in.value);
      case VmOp::kPush:
        if (data_.size() >= kVmStackDepth) return kVmBadPointer;
        data_.push_back(d);
        return kContinue;
      case VmOp::kPop:
        if (data_.empty()) return kVmBadPointer;
        d = data_.back();
        data_.pop_back();
        return kContinue;
      case VmOp::kOutb: {
        const uint8_t byte[1] = {static_cast<uint8_t>(d & 0xFF)};
        return Emit(byte, 1);
      }
      case VmOp::kOutw: {
        const uint8_t word[2] = {static_cast<uint8_t>(d >> 8), static_cast<uint8_t>(d & 0xFF)};
        return Emit(word, 2);
      }
      case VmOp::kOutm:
        if (static_cast<size_t>(d) + s > memory_.size()) return kVmAddressOverflow;
        return Emit(memory_.data() + d, s);
      case VmOp::kRdf:
        return ReadFile(registers_[in.d], registers_[in.s], registers_[in.t], registers_[in.u]);
      case VmOp::kCall:
        if (calls_.size() >= kVmStackDepth) return kVmBadPointer;
        calls_.push_back(pc_);
        pc_ = in.value;
        return kContinue;
      default:
        break;
    }
    if (in.op >= VmOp::kJmp && in.op <= VmOp::kJle) {
      if (ConditionHolds(in.op, flags_)) pc_ = in.value;
      return kContinue;
    }
    const bool immediate = in.op >= VmOp::kMovi && in.op <= VmOp::kCmpi;
    return Arithmetic(RegisterForm(in.op), d, immediate ? in.value : s);
  }

  uint16_t SetResult(uint16_t value, bool carry, bool overflow) {
    flags_.zero = value == 0;
    flags_.negative = (value & 0x8000) != 0;
    flags_.carry = carry;
    flags_.overflow = overflow;
    return value;
  }

  uint16_t Arithmetic(VmOp op, uint16_t& d, uint16_t b) {
    const uint16_t a = d;
    const uint32_t sum = static_cast<uint32_t>(a) + b;
    const auto difference = static_cast<uint16_t>(a - b);
    switch (op) {
      case VmOp::kAdd:
        d = SetResult(static_cast<uint16_t>(sum), sum > 0xFFFF,
                      ((a ^ sum) & (b ^ sum) & 0x8000) != 0);
        return kContinue;
      case VmOp::kSub:
      case VmOp::kCmp: {
        const uint16_t r = SetResult(difference, a < b, ((a ^ b) & (a ^ difference) & 0x8000) != 0);
        if (op == VmOp::kSub) d = r;
        return kContinue;
      }
      case VmOp::kMul: {
        const uint32_t product = static_cast<uint32_t>(a) * b;
        d = SetResult(static_cast<uint16_t>(product & 0xFFFF), product > 0xFFFF, false);
        return kContinue;
      }
      case VmOp::kDivu:
      case VmOp::kModu:
        if (b == 0) return kVmDivideByZero;
        d = SetResult(static_cast<uint16_t>(op == VmOp::kDivu ? a / b : a % b), false, false);
        return kContinue;
      case VmOp::kAnd:
        d = SetResult(a & b, false, false);
        return kContinue;
      case VmOp::kOr:
        d = SetResult(a | b, false, false);
        return kContinue;
      case VmOp::kXor:
        d = SetResult(a ^ b, false, false);
        return kContinue;
      case VmOp::kShl:
        d = SetResult(
            static_cast<uint16_t>(b >= 16 ? 0u : (static_cast<unsigned>(a) << b) & 0xFFFFu), false,
            false);
        return kContinue;
      case VmOp::kShr:
        d = SetResult(static_cast<uint16_t>(b >= 16 ? 0u : static_cast<unsigned>(a) >> b), false,
                      false);
        return kContinue;
      default:
        return kVmIllegalInstruction;  // unreachable: the loader admits known opcodes only
    }
  }

  // Loads and stores; words are big-endian. The address is not wrapped: an
  // access reaching past the memory's end is refused.
  uint16_t Access(VmOp op, uint16_t& reg, uint32_t address) {
    const size_t width = (op == VmOp::kLdw || op == VmOp::kStw) ? 2 : 1;
    if (address > memory_.size() || width > memory_.size() - address) {
      return kVmAddressOverflow;
    }
    uint8_t* p = memory_.data() + address;
    switch (op) {
      case VmOp::kLdb:
        reg = p[0];
        break;
      case VmOp::kLdw:
        reg = ReadBe16(p);
        break;
      case VmOp::kStb:
        p[0] = static_cast<uint8_t>(reg & 0xFF);
        break;
      default:
        p[0] = static_cast<uint8_t>(reg >> 8);
        p[1] = static_cast<uint8_t>(reg & 0xFF);
        break;
    }
    return kContinue;
  }

  // rdf: copies up to `count` bytes of file `id` from `offset` to memory at
  // `address` and leaves the number copied in `count`. Reading at or past
  // the file's end copies nothing; the copy must fit the memory like any store.
  uint16_t ReadFile(uint16_t address, uint16_t id, uint16_t offset, uint16_t& count) {
    if (files_ == nullptr) return kVmFileNotFound;
    const uint8_t* data = nullptr;
    size_t size = 0;
    const uint16_t opened = files_->Open(id, &data, &size);
    if (opened != kVmSuccess) return opened;
    const size_t available = offset < size ? size - offset : 0;
    const size_t copied = std::min<size_t>(count, available);
    if (address > memory_.size() || copied > memory_.size() - address) {
      return kVmAddressOverflow;
    }
    if (copied > 0) std::copy(data + offset, data + offset + copied, memory_.begin() + address);
    count = static_cast<uint16_t>(copied);
    return kContinue;
  }

  uint16_t Emit(const uint8_t* bytes, size_t count) {
    if (count > kVmMaxOutput - output_.size()) return kVmOutputOverflow;
    output_.insert(output_.end(), bytes, bytes + count);
    return kContinue;
  }

  const Program& program_;
  const uint32_t budget_;
  std::vector<uint8_t> memory_;
  std::array<uint16_t, kVmRegisters> registers_{};
  Flags flags_;
  size_t pc_ = 0;
  uint32_t executed_ = 0;
  std::vector<size_t> calls_;
  std::vector<uint16_t> data_;
  std::vector<uint8_t> output_;
  const VmFiles* files_;
};

}  // namespace

size_t VmFormLength(VmForm form) {
  switch (form) {
    case VmForm::kNone:
      return 1;
    case VmForm::kReg1:
    case VmForm::kReg2:
      return 2;
    case VmForm::kTarget:
    case VmForm::kStatus:
    case VmForm::kReg4:
      return 3;
    case VmForm::kRegImm:
    case VmForm::kMem:
      return 4;
  }
  return 1;
}

const VmOpInfo* FindVmOp(uint8_t opcode) {
  for (const VmOpInfo& info : kOps) {
    if (static_cast<uint8_t>(info.op) == opcode) return &info;
  }
  return nullptr;
}

const VmOpInfo* FindVmMnemonic(const std::string& mnemonic) {
  std::string lower(mnemonic);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const VmOpInfo& info : kOps) {
    if (lower == info.mnemonic) return &info;
  }
  return nullptr;
}

bool IsProgramFailCode(uint16_t statusWord) {
  const unsigned sw1 = statusWord >> 8;
  return sw1 >= 0x64 && sw1 <= 0x6F;
}

VmOutcome RunProgram(const uint8_t* code, size_t codeLength, const uint8_t* input,
                     size_t inputLength) {
  return RunProgram(code, codeLength, input, inputLength, VmLimits{});
}

VmOutcome RunProgram(const uint8_t* code, size_t codeLength, const uint8_t* input,
                     size_t inputLength, const VmLimits& limits) {
  return RunProgram(code, codeLength, input, inputLength, limits, nullptr);
}

VmOutcome RunProgram(const uint8_t* code, size_t codeLength, const uint8_t* input,
                     size_t inputLength, const VmLimits& limits, const VmFiles* files) {
  Program program;
  const uint16_t loaded = LoadProgram(code, codeLength, &program);
  if (loaded != kVmSuccess) return VmOutcome{loaded, {}};
  if (inputLength > kVmMaxInput || (input == nullptr && inputLength > 0)) {
    return VmOutcome{kVmBadInput, {}};
  }
  const size_t memorySize = std::min(limits.memorySize, kVmMaxMemory);
  if (inputLength > memorySize) return VmOutcome{kVmAddressOverflow, {}};
  Machine machine(program, limits, memorySize, files);
  return machine.Run(input, inputLength);
}

}  // namespace qksim
