// qktool's helpers: code texts, argument parsing, files, PINs, progress.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>

#include "cli.h"
#include "console.h"
#include "sim/assembler.h"

namespace qktool {

namespace {

std::string Text(uint32_t code, uint32_t form) {
  char text[512];
  if (QKGetErrorText(code, form, text, sizeof text, nullptr) != QK_E_SUCCESS) return "";
  return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::string CodeName(uint32_t code) { return Text(code, QK_TEXT_NAME); }

std::string CodeMessage(uint32_t code, bool native) {
  return Text(code, native ? QK_TEXT_NATIVE_UTF8 : QK_TEXT_ENGLISH);
}

std::string ErrorJson(uint32_t code, bool native) {
  char value[16];
  std::snprintf(value, sizeof value, "0x%08X", static_cast<unsigned>(code));
  JsonObject error;
  error.Add("code", value).Add("name", CodeName(code)).Add("message", CodeMessage(code, native));
  if ((code & 0xFFFFFF00u) == QK_E_WRONG_PIN) error.Add("tries_left", uint64_t{code & 0xFFu});
  return error.Str();
}

uint32_t ParseNumber(const std::string& what, const std::string& text, uint32_t max) {
  std::string digits = text;
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
    base = 16;
  }
  bool ok = !digits.empty() && digits.size() <= 10;
  for (char c : digits) {
    const unsigned char u = static_cast<unsigned char>(c);
    ok = ok && (base == 16 ? std::isxdigit(u) != 0 : std::isdigit(u) != 0);
  }
  const unsigned long long value = ok ? std::strtoull(digits.c_str(), nullptr, base) : 0;
  if (!ok || value > max) {
    throw UsageError(what + " takes a number from 0 to " + std::to_string(max) + ", not '" + text +
                     "'");
  }
  return static_cast<uint32_t>(value);
}

std::string ParseFileId(const std::string& what, const std::string& text) {
  bool ok = text.size() == 4;
  for (char c : text) ok = ok && std::isxdigit(static_cast<unsigned char>(c)) != 0;
  if (!ok) throw UsageError(what + " takes four hexadecimal digits, not '" + text + "'");
  std::string upper = text;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper == "3F00" || upper == "0000") {
    throw UsageError(what + " " + upper + " is reserved (root and parent)");
  }
  return upper;
}

std::vector<uint8_t> ParseHex(const std::string& what, const std::string& text) {
  std::string digits;
  for (char c : text) {
    if (c == ' ' || c == ':' || c == '\n' || c == '\r' || c == '\t') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      throw UsageError(what + ": '" + std::string(1, c) + "' is not a hexadecimal digit");
    }
    digits.push_back(c);
  }
  if (digits.size() % 2 != 0) throw UsageError(what + ": an odd number of hexadecimal digits");
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return bytes;
}

std::string Hex(const uint8_t* bytes, size_t length) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < length; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0xF]);
  }
  return out;
}

uint32_t ParseFileType(const std::string& text) {
  if (text == "data") return QK_FILE_DATA;
  if (text == "exec" || text == "executable") return QK_FILE_EXECUTABLE;
  if (text == "public" || text == "public-key") return QK_FILE_PUBLIC_KEY;
  if (text == "private" || text == "private-key") return QK_FILE_PRIVATE_KEY;
  const uint32_t type = ParseNumber("--type", text, 255);
  if (type == 0) throw UsageError("--type 0 is not a file type");
  return type;
}

const char* FileTypeName(uint32_t type) {
  switch (type) {
    case QK_FILE_DATA:
      return "data";
    case QK_FILE_EXECUTABLE:
      return "exec";
    case QK_FILE_PUBLIC_KEY:
      return "public";
    case QK_FILE_PRIVATE_KEY:
      return "private";
    default:
      return "other";
  }
}

std::vector<uint8_t> ReadFileBytes(const std::string& path, size_t maxBytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw UsageError("cannot read '" + path + "'");
  std::vector<uint8_t> bytes;
  char buffer[4096];
  while (in) {
    in.read(buffer, sizeof buffer);
    bytes.insert(bytes.end(), buffer, buffer + in.gcount());
    if (bytes.size() > maxBytes) {
      throw UsageError("'" + path + "' is larger than " + std::to_string(maxBytes) + " bytes");
    }
  }
  if (in.bad()) throw UsageError("cannot read '" + path + "'");
  return bytes;
}

std::vector<uint8_t> ReadStdinBytes(size_t maxBytes) {
  std::vector<uint8_t> bytes;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + n);
    if (bytes.size() > maxBytes) {
      throw UsageError("standard input is larger than " + std::to_string(maxBytes) + " bytes");
    }
  }
  return bytes;
}

std::vector<uint8_t> LoadProgram(const std::string& path) {
  constexpr size_t kMaxFile = 65535;
  if (!EndsWith(path, ".qasm")) {
    std::vector<uint8_t> program = ReadFileBytes(path, kMaxFile);
    if (program.empty()) throw UsageError("'" + path + "' is empty");
    return program;
  }
  const std::vector<uint8_t> source = ReadFileBytes(path, 16 * 1024 * 1024);
  std::vector<uint8_t> program;
  std::string error;
  if (!qksim::Assemble(std::string(source.begin(), source.end()), &program, &error)) {
    throw UsageError(path + ": " + error);
  }
  if (program.size() > kMaxFile)
    throw UsageError("'" + path + "' assembles to more than 65535 bytes");
  return program;
}

std::string ReadPin(const Options& options, const char* envName, const char* prompt) {
  constexpr size_t kMaxPin = 64;
  std::string pin;
  if (options.pinStdin) {
    int c;
    while ((c = std::fgetc(stdin)) != EOF && c != '\n') {
      if (pin.size() >= kMaxPin) throw UsageError("the PIN on standard input is too long");
      pin.push_back(static_cast<char>(c));
    }
    if (!pin.empty() && pin.back() == '\r') pin.pop_back();
    if (pin.empty()) throw UsageError(std::string("no ") + prompt + " on standard input");
    return pin;
  }
  if (const char* value = std::getenv(envName)) {
    if (*value != '\0') return value;
  }
  // Prompt only when standard input is a terminal: a script without a PIN
  // source fails at once instead of waiting for a person.
  if (!PromptHidden(prompt, kMaxPin, &pin)) {
    throw UsageError(std::string("no ") + prompt + ": give --pin-stdin, set " + envName +
                     ", or run on a terminal");
  }
  if (pin.empty()) throw UsageError(std::string("no ") + prompt + " given");
  return pin;
}

Progress::Progress(const Options& options, const std::string& label, size_t total, size_t chunk)
    : shown_(total > chunk &&
             (options.progress == 1 || (options.progress == -1 && StderrIsTerminal()))),
      label_(label),
      total_(total) {}

void Progress::Update(size_t done) {
  if (!shown_ || total_ == 0) return;
  const int percent = static_cast<int>(done * 100 / total_);
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  constexpr int kWidth = 30;
  const int filled = percent * kWidth / 100;
  std::fprintf(stderr, "\r%s [%s%s] %3d%% %zu/%zu bytes", label_.c_str(),
               std::string(static_cast<size_t>(filled), '#').c_str(),
               std::string(static_cast<size_t>(kWidth - filled), '.').c_str(), percent, done,
               total_);
  std::fflush(stderr);
}

void Progress::Finish() {
  if (shown_ && lastPercent_ >= 0) std::fputc('\n', stderr);
  lastPercent_ = -1;
}

JsonObject Result(const Options& options) {
  JsonObject result;
  result.Add("ok", true).Add("command", options.command);
  return result;
}

void Emit(const Options& options, const std::string& text, const JsonObject& result) {
  if (options.json) {
    std::printf("%s\n", result.Str().c_str());
  } else {
    std::fputs(text.c_str(), stdout);
  }
}

}  // namespace qktool
