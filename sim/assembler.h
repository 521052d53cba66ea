// Assembler for the token's virtual machine: turns program text into the
// bytes of an executable file (header and code). Syntax in docs/vm.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qksim {

// On success fills *code with the whole program file and returns true. On
// failure returns false, leaves *code empty and puts one message of the form
// "line N: what is wrong" in *error (N counts from 1).
bool Assemble(const std::string& source, std::vector<uint8_t>* code, std::string* error);

}  // namespace qksim
