// Turning a result code into the driver's process exit status.
#pragma once

#include <cstdint>

namespace qkdriver {

// POSIX keeps only 8 bits of an exit status: the code's low byte, or 1 when
// that byte is 0 but the code is not (0xF0000C00 must not read as success).
int PosixExitStatus(uint32_t code);

// Windows keeps all 32 bits.
int WindowsExitStatus(uint32_t code);

// The mapping of the system the driver was built for.
int ExitStatusFor(uint32_t code);

}  // namespace qkdriver
