#include "sim/assembler.h"

#include <cctype>
#include <map>

#include "sim/vm.h"

namespace qksim {
namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
bool IsNameStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_'; }
bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

bool IsName(const std::string& text) {
  if (text.empty() || !IsNameStart(text[0])) return false;
  for (char c : text) {
    if (!IsNameChar(c)) return false;
  }
  return true;
}

// r0..r7, either case; returns -1 for anything else.
int RegisterNumber(const std::string& text) {
  if (text.size() != 2 || (text[0] != 'r' && text[0] != 'R')) return -1;
  if (text[1] < '0' || text[1] >= static_cast<char>('0' + kVmRegisters)) return -1;
  return text[1] - '0';
}

std::vector<std::string> SplitOperands(const std::string& text) {
  std::vector<std::string> operands;
  if (Trim(text).empty()) return operands;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    operands.push_back(
        Trim(text.substr(start, comma == std::string::npos ? comma : comma - start)));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return operands;
}

struct Statement {
  size_t line;
  const VmOpInfo* info;
  std::vector<std::string> operands;
};

class Assembler {
 public:
  bool Run(const std::string& source, std::vector<uint8_t>* file, std::string* error) {
    const bool ok = FirstPass(source) && SecondPass(file);
    if (!ok) {
      file->clear();
      *error = error_;
    }
    return ok;
  }

 private:
  bool Fail(size_t line, const std::string& message) {
    error_ = "line " + std::to_string(line) + ": " + message;
    return false;
  }

  // Collects statements, labels and constants, and lays out the code.
  bool FirstPass(const std::string& source) {
    size_t line = 0;
    size_t start = 0;
    while (start <= source.size()) {
      ++line;
      size_t end = source.find('\n', start);
      if (end == std::string::npos) end = source.size();
      if (!ParseLine(source.substr(start, end - start), line)) return false;
      start = end + 1;
    }
    if (address_ == 0) return Fail(line, "the program has no instructions");
    return true;
  }

  bool ParseLine(std::string text, size_t line) {
    const size_t comment = text.find_first_of(";#");
    if (comment != std::string::npos) text.erase(comment);
    text = Trim(text);
    for (char c : text) {
      if (!std::isprint(static_cast<unsigned char>(c)) && !IsSpace(c)) {
        return Fail(line, "unexpected character");
      }
    }
    // Any number of labels may precede a statement.
    for (size_t colon = text.find(':'); colon != std::string::npos; colon = text.find(':')) {
      const std::string name = Trim(text.substr(0, colon));
      if (!IsName(name)) break;
      if (!Define(name, static_cast<uint16_t>(address_), line)) return false;
      text = Trim(text.substr(colon + 1));
    }
    if (text.empty()) return true;
    size_t split = 0;
    while (split < text.size() && !IsSpace(text[split])) ++split;
    const std::string word = text.substr(0, split);
    const std::vector<std::string> operands = SplitOperands(text.substr(split));
    if (word == ".equ") return DefineConstant(operands, line);
    const VmOpInfo* info = FindVmMnemonic(word);
    if (info == nullptr) return Fail(line, "unknown instruction '" + word + "'");
    address_ += VmFormLength(info->form);
    if (address_ > kVmMaxCode) {
      return Fail(line, "the program is longer than " + std::to_string(kVmMaxCode) + " bytes");
    }
    statements_.push_back(Statement{line, info, operands});
    return true;
  }

  bool Define(const std::string& name, uint16_t value, size_t line) {
    if (RegisterNumber(name) >= 0) return Fail(line, "'" + name + "' is a register name");
    if (!symbols_.emplace(name, value).second) {
      return Fail(line, "'" + name + "' is already defined");
    }
    return true;
  }

  // .equ NAME, VALUE: the value may use names defined above it.
  bool DefineConstant(const std::vector<std::string>& operands, size_t line) {
    if (operands.size() != 2) return Fail(line, ".equ takes a name and a value");
    if (!IsName(operands[0])) return Fail(line, "'" + operands[0] + "' is not a valid name");
    uint16_t value = 0;
    return Value(operands[1], line, -32768, 0xFFFF, &value) && Define(operands[0], value, line);
  }

  bool SecondPass(std::vector<uint8_t>* file) {
    file->assign({'Q', 'K', 'V', 'M', kVmVersion, 0, static_cast<uint8_t>(address_ >> 8),
                  static_cast<uint8_t>(address_ & 0xFF)});
    for (const Statement& statement : statements_) {
      if (!Encode(statement, file)) return false;
    }
    return true;
  }

  bool Encode(const Statement& st, std::vector<uint8_t>* out) {
    const std::vector<std::string>& ops = st.operands;
    const size_t wanted = OperandCount(st.info->form);
    if (ops.size() != wanted) {
      return Fail(st.line, std::string(st.info->mnemonic) + " takes " + std::to_string(wanted) +
                               (wanted == 1 ? " operand" : " operands"));
    }
    for (const std::string& operand : ops) {
      if (operand.empty()) return Fail(st.line, "missing operand");
    }
    uint8_t d = 0;
    uint8_t s = 0;
    uint16_t value = 0;
    switch (st.info->form) {
      case VmForm::kNone:
        break;
      case VmForm::kReg1:
        if (!Register(ops[0], st.line, &d)) return false;
        break;
      case VmForm::kReg2:
        if (!Register(ops[0], st.line, &d) || !Register(ops[1], st.line, &s)) return false;
        break;
      case VmForm::kReg4: {
        uint8_t t = 0;
        uint8_t u = 0;
        if (!Register(ops[0], st.line, &d) || !Register(ops[1], st.line, &s) ||
            !Register(ops[2], st.line, &t) || !Register(ops[3], st.line, &u)) {
          return false;
        }
        value = static_cast<uint16_t>((t << 4) | u);  // the third byte
        break;
      }
      case VmForm::kRegImm:
        if (!Register(ops[0], st.line, &d) || !Value(ops[1], st.line, -32768, 0xFFFF, &value)) {
          return false;
        }
        break;
      case VmForm::kMem:
        if (!Register(ops[0], st.line, &d) || !MemoryOperand(ops[1], st.line, &s, &value)) {
          return false;
        }
        break;
      case VmForm::kTarget:
        if (!Value(ops[0], st.line, 0, 0xFFFF, &value)) return false;
        break;
      case VmForm::kStatus:
        if (!Value(ops[0], st.line, 0, 0xFFFF, &value)) return false;
        if (!IsProgramFailCode(value)) {
          return Fail(st.line, "a fail status word must lie in 6400..6FFF");
        }
        break;
    }
    out->push_back(static_cast<uint8_t>(st.info->op));
    if (st.info->form != VmForm::kNone && st.info->form != VmForm::kTarget &&
        st.info->form != VmForm::kStatus) {
      out->push_back(static_cast<uint8_t>((d << 4) | s));
    }
    if (st.info->form == VmForm::kReg4) {
      out->push_back(static_cast<uint8_t>(value));
    } else if (VmFormLength(st.info->form) > 2) {
      out->push_back(static_cast<uint8_t>(value >> 8));
      out->push_back(static_cast<uint8_t>(value & 0xFF));
    }
    return true;
  }

  static size_t OperandCount(VmForm form) {
    switch (form) {
      case VmForm::kNone:
        return 0;
      case VmForm::kReg1:
      case VmForm::kTarget:
      case VmForm::kStatus:
        return 1;
      case VmForm::kReg4:
        return 4;
      default:
        return 2;
    }
  }

  bool Register(const std::string& text, size_t line, uint8_t* out) {
    const int number = RegisterNumber(text);
    if (number < 0) return Fail(line, "'" + text + "' is not a register (r0..r7)");
    *out = static_cast<uint8_t>(number);
    return true;
  }

  // [rS] or [rS + offset]
  bool MemoryOperand(const std::string& text, size_t line, uint8_t* base, uint16_t* offset) {
    if (text.size() < 2 || text.front() != '[' || text.back() != ']') {
      return Fail(line, "expected a memory operand such as [r1] or [r1 + 4]");
    }
    const std::string inside = text.substr(1, text.size() - 2);
    const size_t plus = inside.find('+');
    *offset = 0;
    if (!Register(Trim(inside.substr(0, plus)), line, base)) return false;
    return plus == std::string::npos ||
           Value(Trim(inside.substr(plus + 1)), line, 0, 0xFFFF, offset);
  }

  // A number (decimal, 0x hexadecimal or 0b binary, optionally negative) or a
  // defined name, range-checked and stored as 16 bits (two's complement).
  bool Value(const std::string& text, size_t line, long min, long max, uint16_t* out) {
    long value = 0;
    if (IsName(text)) {
      const auto found = symbols_.find(text);
      if (found == symbols_.end()) return Fail(line, "'" + text + "' is not defined");
      value = found->second;
    } else if (!ParseNumber(text, &value)) {
      return Fail(line, "'" + text + "' is not a number or a name");
    }
    if (value < min || value > max) {
      return Fail(line, "'" + text + "' is out of range " + std::to_string(min) + ".." +
                            std::to_string(max));
    }
    *out = static_cast<uint16_t>(value & 0xFFFF);
    return true;
  }

  static bool ParseNumber(const std::string& text, long* out) {
    size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++at;
    unsigned radix = 10;
    if (text.size() > at + 2 && text[at] == '0' && (text[at + 1] == 'x' || text[at + 1] == 'X')) {
      radix = 16;
      at += 2;
    } else if (text.size() > at + 2 && text[at] == '0' &&
               (text[at + 1] == 'b' || text[at + 1] == 'B')) {
      radix = 2;
      at += 2;
    }
    if (at >= text.size()) return false;
    long value = 0;
    for (; at < text.size(); ++at) {
      const int digit = DigitValue(text[at]);
      if (digit < 0 || static_cast<unsigned>(digit) >= radix) return false;
      // Stop growing long before overflow; anything this big is out of range.
      if (value <= 0x1000000) value = value * static_cast<long>(radix) + digit;
    }
    *out = negative ? -value : value;
    return true;
  }

  static int DigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  std::map<std::string, uint16_t> symbols_;
  std::vector<Statement> statements_;
  size_t address_ = 0;
  std::string error_;
};

}  // namespace

bool Assemble(const std::string& source, std::vector<uint8_t>* code, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (code == nullptr) {
    *error = "line 0: no output buffer";
    return false;
  }
  Assembler assembler;
  return assembler.Run(source, code, error);
}

}  // namespace qksim
