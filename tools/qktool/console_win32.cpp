// The console on Windows: CONIN$/CONOUT$ with echo turned off for the
// prompt (SetConsoleMode), binary standard streams.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// (after windows.h)
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>

#include "console.h"

namespace qktool {
namespace {

// A line typed at the prompt is at most this long, whatever is kept of it:
// reading stops here even without a line end.
constexpr size_t kMaxConsoleLine = 4096;

// The console input and its mode while the prompt has echo off, for the
// Ctrl+C handler: the console outlives the process, so its echo must come
// back even when the process is ended at the prompt.
std::atomic<HANDLE> g_promptInput{nullptr};
std::atomic<DWORD> g_savedMode{0};

BOOL WINAPI RestoreEchoOnBreak(DWORD) {
  HANDLE input = g_promptInput.load();
  if (input != nullptr) SetConsoleMode(input, g_savedMode.load());
  return FALSE;  // the default handler then ends the process
}

void WriteConsoleText(HANDLE output, const char* text, size_t length) {
  DWORD written = 0;
  if (output != INVALID_HANDLE_VALUE)
    WriteFile(output, text, static_cast<DWORD>(length), &written, nullptr);
}

}  // namespace

void PrepareStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
}

bool PromptHidden(const char* prompt, size_t maxLength, std::string* line) {
  // Standard input must be the console itself, as on a terminal elsewhere: a
  // script without a PIN source fails instead of waiting for a person.
  DWORD stdinMode = 0;
  if (!GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &stdinMode)) return false;
  HANDLE input =
      CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (input == INVALID_HANDLE_VALUE) return false;
  HANDLE output =
      CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  DWORD saved = 0;
  const bool haveMode = GetConsoleMode(input, &saved) != FALSE;
  if (haveMode) {
    g_savedMode = saved;
    g_promptInput = input;
    SetConsoleCtrlHandler(RestoreEchoOnBreak, TRUE);
    SetConsoleMode(input, (saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                              ENABLE_PROCESSED_INPUT);
  }
  WriteConsoleText(output, prompt, std::char_traits<char>::length(prompt));
  WriteConsoleText(output, ": ", 2);

  line->clear();
  char buffer[256];
  bool ended = false;
  for (size_t consumed = 0; !ended && consumed < kMaxConsoleLine;) {
    DWORD got = 0;
    if (!ReadFile(input, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    consumed += got;
    for (DWORD i = 0; i < got && !ended; ++i) {
      if (buffer[i] == '\n') {
        ended = true;
      } else if (line->size() < maxLength) {
        line->push_back(buffer[i]);
      }
    }
  }
  // The console ends a line with CR LF.
  if (!line->empty() && line->back() == '\r') line->pop_back();
  SecureZeroMemory(buffer, sizeof buffer);

  if (haveMode) {
    SetConsoleMode(input, saved);
    SetConsoleCtrlHandler(RestoreEchoOnBreak, FALSE);
    g_promptInput = nullptr;
  }
  WriteConsoleText(output, "\r\n", 2);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  CloseHandle(input);
  return true;
}

}  // namespace qktool
