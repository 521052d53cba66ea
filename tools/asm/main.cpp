// qktoken-asm: assembles a virtual-machine program for the simulated token.
//
//   qktoken-asm IN.qasm -o OUT.bin     write the program file
//   qktoken-asm IN.qasm --hex          print its bytes in hexadecimal
//
// Exit status: 0 success, 1 assembly error, 2 usage error, 3 file error.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "sim/assembler.h"

namespace {

constexpr int kExitAssembly = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFile = 3;

// Source files are small; anything larger is certainly not a program.
constexpr std::streamsize kMaxSourceBytes = 16 * 1024 * 1024;

const char kUsage[] =
    "usage: qktoken-asm IN.qasm [-o OUT.bin] [--hex]\n"
    "  -o OUT.bin  write the assembled program file\n"
    "  --hex       print the program's bytes in hexadecimal\n"
    "exit status: 0 success, 1 assembly error, 2 usage error, 3 file error\n";

int Usage(const char* message) {
  std::cerr << "qktoken-asm: " << message << "\n" << kUsage;
  return kExitUsage;
}

bool ReadSource(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  if (!in.good() && !in.eof()) return false;
  *text = buffer.str();
  return static_cast<std::streamsize>(text->size()) <= kMaxSourceBytes;
}

bool WriteProgram(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

void PrintHex(const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::printf("%02X%s", bytes[i], (i % 16 == 15 || i + 1 == bytes.size()) ? "\n" : " ");
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string input;
  std::string output;
  bool hex = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-o") {
      if (i + 1 >= argc) return Usage("-o needs a file name");
      if (!output.empty()) return Usage("-o given twice");
      output = argv[++i];
    } else if (arg == "--hex") {
      hex = true;
    } else if (arg == "-h" || arg == "--help") {
      std::cout << "qktoken-asm: assembles a program for the token's virtual machine\n" << kUsage;
      return 0;
    } else if (!arg.empty() && arg[0] == '-') {
      return Usage(("unknown option " + arg).c_str());
    } else if (!input.empty()) {
      return Usage("only one input file may be given");
    } else {
      input = arg;
    }
  }
  if (input.empty()) return Usage("no input file");
  if (output.empty() && !hex) return Usage("nothing to do: give -o OUT.bin or --hex");

  std::string source;
  if (!ReadSource(input, &source)) {
    std::cerr << "qktoken-asm: cannot read " << input << "\n";
    return kExitFile;
  }
  std::vector<uint8_t> program;
  std::string error;
  if (!qksim::Assemble(source, &program, &error)) {
    std::cerr << input << ": " << error << "\n";
    return kExitAssembly;
  }
  if (!output.empty() && !WriteProgram(output, program)) {
    std::cerr << "qktoken-asm: cannot write " << output << "\n";
    return kExitFile;
  }
  if (hex) PrintHex(program);
  return 0;
}
