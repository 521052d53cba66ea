#include "platform/debug_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace qk::platform {
namespace {

struct LogTarget {
  bool enabled = false;
  FILE* file = nullptr;  // stderr, or the file named by the variable
};

const LogTarget& Target() {
  static const LogTarget target = [] {
    LogTarget t;
    const char* value = std::getenv("QKTOKEN_DEBUG");
    if (value == nullptr || *value == '\0' || std::strcmp(value, "0") == 0) return t;
    t.file = std::strcmp(value, "1") == 0 ? stderr : std::fopen(value, "a");
    t.enabled = t.file != nullptr;
    return t;
  }();
  return target;
}

}  // namespace

bool DebugLogEnabled() {
  static std::atomic<int> state{-1};  // -1: not read yet
  int known = state.load(std::memory_order_relaxed);
  if (known < 0) {
    known = Target().enabled ? 1 : 0;
    state.store(known, std::memory_order_relaxed);
  }
  return known == 1;
}

void DebugLogWrite(const char* format, ...) {
  const LogTarget& target = Target();
  if (!target.enabled) return;
  char line[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  static std::mutex guard;
  std::lock_guard<std::mutex> lock(guard);
  std::fprintf(target.file, "qktoken: %s\n", line);
  std::fflush(target.file);
}

}  // namespace qk::platform
