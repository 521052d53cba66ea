// The debug log's switch and its one writer.
#include "platform/debug_log.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#ifdef _WIN32
#include <process.h>
#define QK_GETPID _getpid
#else
#include <unistd.h>
#define QK_GETPID getpid
#endif

namespace qk::platform {
namespace {

constexpr char kSettingVariable[] = "QKTOKEN_DEBUG";
// A line longer than this is cut (and marked so): a log line describes, it
// never carries bulk data.
constexpr size_t kLineCapacity = 512;

enum State : int { kUnknown = 0, kOff = 1, kOn = 2 };

std::atomic<int> g_state{kUnknown};

struct Sinks {
  std::mutex mutex;
  bool environmentOn = false;
  FILE* file = nullptr;  // stderr or the file QKTOKEN_DEBUG names
  bool ownsFile = false;
  DebugLogSink callback = nullptr;
  void* userData = nullptr;
};

Sinks& TheSinks() {
  static Sinks* sinks = new Sinks;  // never destroyed: logging may run during exit
  return *sinks;
}

// Caller holds the mutex.
void ReadSettingLocked(Sinks& sinks) {
  if (sinks.ownsFile && sinks.file != nullptr) std::fclose(sinks.file);
  sinks.file = nullptr;
  sinks.ownsFile = false;
  sinks.environmentOn = false;
  const char* setting = std::getenv(kSettingVariable);
  if (setting != nullptr && setting[0] != '\0' && std::strcmp(setting, "0") != 0) {
    if (std::strcmp(setting, "1") == 0) {
      sinks.file = stderr;
    } else {
      sinks.file = std::fopen(setting, "a");
      sinks.ownsFile = sinks.file != nullptr;
    }
    sinks.environmentOn = sinks.file != nullptr;
  }
}

void PublishStateLocked(const Sinks& sinks) {
  g_state.store(sinks.environmentOn || sinks.callback != nullptr ? kOn : kOff,
                std::memory_order_relaxed);
}

bool InitialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    Sinks& sinks = TheSinks();
    std::lock_guard<std::mutex> hold(sinks.mutex);
    ReadSettingLocked(sinks);
    PublishStateLocked(sinks);
  });
  return g_state.load(std::memory_order_relaxed) == kOn;
}

// Control bytes (a hostile path's newline, say) would forge or break lines.
void Sanitise(char* text) {
  for (char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) *p = '?';
  }
}

}  // namespace

bool DebugLogEnabled() {
  const int state = g_state.load(std::memory_order_relaxed);
  if (state != kUnknown) return state == kOn;
  return InitialiseOnce();
}

void DebugLogWrite(const char* format, ...) {
  char text[kLineCapacity];
  va_list arguments;
  va_start(arguments, format);
  const int written = std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (written < 0) return;
  if (static_cast<size_t>(written) >= sizeof text) std::memcpy(text + sizeof text - 4, "...", 4);
  Sanitise(text);

  Sinks& sinks = TheSinks();
  std::lock_guard<std::mutex> hold(sinks.mutex);
  if (sinks.callback != nullptr) {
    sinks.callback(text, sinks.userData);
    return;
  }
  if (!sinks.environmentOn || sinks.file == nullptr) return;
  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<milliseconds>(system_clock::now().time_since_epoch());
  const long long ms = static_cast<long long>(sinceEpoch.count());
  const long long secondOfDay = (ms / 1000) % 86400;
  std::fprintf(sinks.file, "qktoken[%ld] %02lld:%02lld:%02lld.%03lld %s\n",
               static_cast<long>(QK_GETPID()), secondOfDay / 3600, secondOfDay / 60 % 60,
               secondOfDay % 60, ms % 1000, text);
  std::fflush(sinks.file);
}

void SetDebugLogSink(DebugLogSink sink, void* userData) {
  InitialiseOnce();
  Sinks& sinks = TheSinks();
  std::lock_guard<std::mutex> hold(sinks.mutex);
  sinks.callback = sink;
  sinks.userData = sink != nullptr ? userData : nullptr;
  PublishStateLocked(sinks);
}

void ReloadDebugLogSettingForTesting() {
  InitialiseOnce();
  Sinks& sinks = TheSinks();
  std::lock_guard<std::mutex> hold(sinks.mutex);
  ReadSettingLocked(sinks);
  PublishStateLocked(sinks);
}

}  // namespace qk::platform
