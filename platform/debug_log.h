// The library's debug log: one line wherever a call decides or fails below
// the API, for support people asking why a token "cannot be opened".
//
// Off unless QKTOKEN_DEBUG is set (1: standard error; any other value: a
// file to append to) or an application sets a callback (QKSetLogCallback).
// With the log off, each QK_DEBUG costs one relaxed atomic load and a branch.
// Lines never carry PINs, keys, session keys or command and answer bytes.
#pragma once

namespace qk::platform {

bool DebugLogEnabled();

#if defined(__GNUC__) || defined(__clang__)
void DebugLogWrite(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
void DebugLogWrite(const char* format, ...);
#endif

// Where the lines go: a callback (null restores QKTOKEN_DEBUG's choice).
using DebugLogSink = void (*)(const char* line, void* userData);
void SetDebugLogSink(DebugLogSink sink, void* userData);

// Reads QKTOKEN_DEBUG again (the library reads it once, when loaded). For tests.
void ReloadDebugLogSettingForTesting();

}  // namespace qk::platform

#define QK_DEBUG(...)                                                                  \
  do {                                                                                 \
    if (::qk::platform::DebugLogEnabled()) ::qk::platform::DebugLogWrite(__VA_ARGS__); \
  } while (0)
