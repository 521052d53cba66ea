#include "driver/exit_status.h"

namespace qkdriver {

int PosixExitStatus(uint32_t code) {
  const int lowByte = static_cast<int>(code & 0xFFu);
  if (lowByte == 0 && code != 0) return 1;
  return lowByte;
}

int WindowsExitStatus(uint32_t code) {
  // The process exit code is an unsigned 32-bit value; main returns it as int.
  return static_cast<int>(code);
}

int ExitStatusFor(uint32_t code) {
#if defined(_WIN32)
  return WindowsExitStatus(code);
#else
  return PosixExitStatus(code);
#endif
}

}  // namespace qkdriver
