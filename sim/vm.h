// The token's bytecode virtual machine: runs an executable file's program on
// an input and answers its output and a status word. Everything in the
// program bytes and the input is treated as hostile: every access is bounded,
// every run ends within the instruction budget. See docs/vm.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qksim {

struct VmOutcome {
  uint16_t statusWord;          // 0x9000 on success
  std::vector<uint8_t> output;  // empty unless statusWord is 0x9000
};

// Status words a run can end with (besides a program's own FAIL code).
constexpr uint16_t kVmSuccess = 0x9000;
constexpr uint16_t kVmAddressOverflow = 0x6581;  // access beyond the memory
constexpr uint16_t kVmBadPointer = 0x6582;       // bad code pointer or stack
constexpr uint16_t kVmNotAProgram = 0x65E0;      // header wrong
constexpr uint16_t kVmIllegalInstruction = 0x65E1;
constexpr uint16_t kVmBudgetExhausted = 0x65E2;
constexpr uint16_t kVmOutputOverflow = 0x65E3;
constexpr uint16_t kVmDivideByZero = 0x65E4;
constexpr uint16_t kVmBadInput = 0x6A80;      // input longer than allowed
constexpr uint16_t kVmFileNotFound = 0x6A82;  // rdf: no such file (or no file access)
constexpr uint16_t kVmNotADataFile = 0x6981;  // rdf: a directory, program or key file

// Fixed sizes of the machine and its program files.
constexpr size_t kVmMaxInput = 1024;
constexpr size_t kVmMaxOutput = 1022;  // the token adds the 2-byte status word
constexpr size_t kVmHeaderSize = 8;    // "QKVM", version, flags, code length
constexpr uint8_t kVmVersion = 1;
constexpr size_t kVmMaxCode = 0xFFFF;
constexpr size_t kVmRegisters = 8;
constexpr size_t kVmStackDepth = 64;  // each of the call and data stacks
constexpr size_t kVmMaxMemory = 0x10000;

struct VmLimits {
  size_t memorySize = 4096;              // clamped to kVmMaxMemory
  uint32_t instructionBudget = 1000000;  // instructions executed at most
};

VmOutcome RunProgram(const uint8_t* code, size_t codeLength, const uint8_t* input,
                     size_t inputLength);
VmOutcome RunProgram(const uint8_t* code, size_t codeLength, const uint8_t* input,
                     size_t inputLength, const VmLimits& limits);

// What a running program may read of the token's files: the `rdf`
// instruction asks for a file of the current directory by identifier.
class VmFiles {
 public:
  virtual ~VmFiles() = default;
  // kVmSuccess with the file's bytes in *data and *size (valid for the rest
  // of the run), kVmFileNotFound, or kVmNotADataFile.
  virtual uint16_t Open(uint16_t id, const uint8_t** data, size_t* size) const = 0;
};

// As above, with file access for `rdf`; null `files` makes every `rdf`
// answer kVmFileNotFound.
VmOutcome RunProgram(const uint8_t* code, size_t codeLength, const uint8_t* input,
                     size_t inputLength, const VmLimits& limits, const VmFiles* files);

// ---- Instruction set, shared by the machine and the assembler -------------

enum class VmOp : uint8_t {
  kHalt = 0x01,
  kNop = 0x02,
  kRet = 0x03,
  kFail = 0x04,
  kMov = 0x10,
  kAdd,
  kSub,
  kMul,
  kDivu,
  kModu,
  kAnd,
  kOr,
  kXor,
  kShl,
  kShr,
  kCmp,
  kNot,
  kMovi = 0x20,
  kAddi,
  kSubi,
  kMuli,
  kDivui,
  kModui,
  kAndi,
  kOri,
  kXori,
  kShli,
  kShri,
  kCmpi,
  kLdb = 0x30,
  kLdw,
  kStb,
  kStw,
  kPush = 0x40,
  kPop,
  kOutb,
  kOutw,
  kOutm,
  kJmp = 0x50,
  kJeq,
  kJne,
  kJlo,
  kJhs,
  kJhi,
  kJls,
  kJlt,
  kJge,
  kJgt,
  kJle,
  kCall,
  kRdf = 0x60,
};

// How an instruction's operands are laid out after its opcode byte.
enum class VmForm : uint8_t {
  kNone,    // op                                  (1 byte)
  kReg1,    // op, d<<4                            (2 bytes)
  kReg2,    // op, d<<4 | s                        (2 bytes)
  kRegImm,  // op, d<<4, imm16 big-endian          (4 bytes)
  kMem,     // op, d<<4 | s, offset16 big-endian   (4 bytes)
  kTarget,  // op, code offset16 big-endian        (3 bytes)
  kStatus,  // op, status word big-endian          (3 bytes)
  kReg4,    // op, a<<4 | b, c<<4 | d              (3 bytes)
};

struct VmOpInfo {
  VmOp op;
  VmForm form;
  const char* mnemonic;  // lower case
};

size_t VmFormLength(VmForm form);
// Null for a byte that is no opcode.
const VmOpInfo* FindVmOp(uint8_t opcode);
// Case-insensitive; null for an unknown mnemonic.
const VmOpInfo* FindVmMnemonic(const std::string& mnemonic);
// A program may end itself with a status word of the error classes 64..6F.
bool IsProgramFailCode(uint16_t statusWord);

}  // namespace qksim
