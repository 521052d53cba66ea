// What qktool needs from the terminal or console, one file per system:
// console_posix.cpp and console_win32.cpp.
#pragma once

#include <cstddef>
#include <string>

namespace qktool {

// Standard input, output and error carry bytes as they are (no line-end or
// end-of-file translation), so that binary input and output and every
// message match on every system.
void PrepareStandardStreams();

// Whether standard error is a terminal (for the progress bar).
bool StderrIsTerminal();

// When standard input is a terminal: writes "PROMPT: " to it, reads one line
// with echo off (at most maxLength characters kept, the line end dropped),
// restores the echo and ends the line. False, with nothing read, when
// standard input is not a terminal.
bool PromptHidden(const char* prompt, size_t maxLength, std::string* line);

}  // namespace qktool
