// qktool watch: one line (or JSON object) per token that arrives or leaves,
// until interrupted (SIGINT, SIGTERM) or --count events have been printed.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>

#include "cli.h"
#include "console.h"

namespace qktool {
namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_done{false};

// Called from an ordinary thread when the user interrupts. A cancel reaches
// only a wait in progress, so it is repeated until the main loop has seen
// the stop.
void Stop() {
  g_stop = true;
  while (!g_done) {
    QKCancelDeviceWait();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The listed tokens' paths. A token arriving or leaving while it lists can
// make a listing fail (the count changed between its two calls): it is
// tried again, and after that the last picture is kept (false).
bool TokenPaths(std::set<std::string>* paths) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    try {
      std::vector<QKContext> contexts = Session::List();
      paths->clear();
      for (QKContext& context : contexts) {
        char path[4096] = "";
        if (QKGetDevicePath(&context, path, sizeof path, nullptr) == QK_E_SUCCESS) {
          paths->insert(path);
        }
      }
      return true;
    } catch (const TokenError&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  return false;
}

std::string Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
#ifdef _WIN32
  gmtime_s(&utc, &seconds);
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace

int Watch(const Options& options) {
  uint32_t count = 0;  // 0: until interrupted
  for (size_t i = 0; i < options.args.size(); ++i) {
    if (options.args[i] == "--count" && i + 1 < options.args.size()) {
      count = ParseNumber("--count", options.args[++i], 1000000);
    } else if (options.args[i] == "--count") {
      throw UsageError("--count needs a value");
    } else {
      throw UsageError("unexpected argument '" + options.args[i] + "'");
    }
  }

  CallOnInterrupt(Stop);

  uint32_t printed = 0;
  auto emit = [&](const char* event, const std::string& path) {
    if (options.json) {
      JsonObject line;
      line.Add("event", event).Add("path", path).Add("time", Now());
      std::printf("%s\n", line.Str().c_str());
    } else {
      std::printf("%s  %s  %s\n", Now().c_str(), event, path.c_str());
    }
    std::fflush(stdout);
    if (std::string(event) != "present") ++printed;
  };

  uint32_t state = 0;
  uint32_t rc = QKWaitForDeviceChange(&state, 0);
  if (rc != QK_E_SUCCESS) throw TokenError("watch", rc);
  std::set<std::string> known;
  TokenPaths(&known);
  for (const std::string& path : known) emit("present", path);
  while (!g_stop && (count == 0 || printed < count)) {
    rc = QKWaitForDeviceChange(&state, QK_MAX_WAIT_MS);
    if (rc == QK_E_WAIT_TIMEOUT) continue;
    if (rc == QK_E_WAIT_CANCELLED) break;
    if (rc != QK_E_SUCCESS) throw TokenError("watch", rc);
    std::set<std::string> now;
    if (!TokenPaths(&now)) continue;
    for (const std::string& path : known) {
      if (now.count(path) == 0) emit("removed", path);
    }
    for (const std::string& path : now) {
      if (known.count(path) == 0) emit("arrived", path);
    }
    known = now;
  }
  g_done = true;
  return kExitOk;
}

}  // namespace qktool
