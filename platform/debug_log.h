// The library's debug log: one line per event, switched on by the
// environment variable QKTOKEN_DEBUG (1: standard error; any other value: a
// file to append to). Never log PINs, keys or command and answer payloads.
#pragma once

namespace qk::platform {

// Whether the log is on (read once per process).
bool DebugLogEnabled();

// Writes one line (printf-style; the newline is added).
void DebugLogWrite(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace qk::platform

#define QK_DEBUG(...)                                                                  \
  do {                                                                                 \
    if (::qk::platform::DebugLogEnabled()) ::qk::platform::DebugLogWrite(__VA_ARGS__); \
  } while (0)
