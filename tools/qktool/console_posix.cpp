// The terminal on POSIX systems: /dev/tty with ECHO cleared for the prompt.
#include <termios.h>
#include <unistd.h>

#include <cstdio>

#include "console.h"

namespace qktool {

void PrepareStandardStreams() {}

bool StderrIsTerminal() { return isatty(STDERR_FILENO) != 0; }

bool PromptHidden(const char* prompt, size_t maxLength, std::string* line) {
  std::FILE* tty = isatty(STDIN_FILENO) != 0 ? std::fopen("/dev/tty", "r+") : nullptr;
  if (tty == nullptr) return false;
  const int fd = fileno(tty);
  termios saved{};
  const bool haveTerm = tcgetattr(fd, &saved) == 0;
  if (haveTerm) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(fd, TCSAFLUSH, &quiet);
  }
  std::fprintf(tty, "%s: ", prompt);
  std::fflush(tty);
  line->clear();
  int c;
  while ((c = std::fgetc(tty)) != EOF && c != '\n' && line->size() < maxLength)
    line->push_back(static_cast<char>(c));
  if (haveTerm) tcsetattr(fd, TCSAFLUSH, &saved);
  std::fputc('\n', tty);
  std::fclose(tty);
  return true;
}

}  // namespace qktool
