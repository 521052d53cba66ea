// Sample programs for the token's virtual machine, assembled from the sources
// in sim/programs/ (a test checks that the bytes match the sources).
#pragma once

#include <cstdint>
#include <vector>

namespace qksim {

// add16.qasm, the default executable file 0001: two big-endian 16-bit numbers
// in, their sum (modulo 65536) out big-endian; other input lengths give 6A80.
const std::vector<uint8_t>& SampleAddProgram();
// echo.qasm: answers the input unchanged.
const std::vector<uint8_t>& SampleEchoProgram();
// reverse.qasm: answers the input bytes in reverse order.
const std::vector<uint8_t>& SampleReverseProgram();
// checksum.qasm: answers the Fletcher-16 checksum of the input (sum2, sum1).
const std::vector<uint8_t>& SampleChecksumProgram();
// readfile.qasm: input file id, offset, length (big-endian words); answers
// those bytes of a data file of the current directory (fewer at its end).
const std::vector<uint8_t>& SampleReadFileProgram();

}  // namespace qksim
