// The console test driver: takes no arguments, runs the fixed scenario against
// the first attached token and exits with the result code of the step that
// ended it.
#include <cstdio>

#include "driver/exit_status.h"
#include "driver/scenario.h"

int main() {
  const uint32_t code = qkdriver::RunScenario(qkdriver::LibraryApi(), stdout);
  std::fflush(stdout);
  return qkdriver::ExitStatusFor(code);
}
