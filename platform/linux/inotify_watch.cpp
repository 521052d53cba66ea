#include "platform/linux/inotify_watch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "platform/debug_log.h"
#include "platform/linux/hidraw_backend.h"
#include "platform/linux/sysfs_identity.h"
#include "platform/virtual/directory.h"

namespace qk::platform {
namespace hidraw {
namespace {

constexpr uint32_t kDeviceMask =
    IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
// A .tcp entry is written after it is made: its closing counts too.
constexpr uint32_t kVirtualMask = kDeviceMask | IN_CLOSE_WRITE;
constexpr uint32_t kLostMask = IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT;
// One Drain reads at most this many buffers; the rest waits for the next.
constexpr int kMaxReadsPerDrain = 64;

bool IsHidrawName(const char* name) {
  if (std::strncmp(name, "hidraw", 6) != 0 || name[6] == '\0') return false;
  for (const char* p = name + 6; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
  }
  return std::strlen(name + 6) <= 6;
}

}  // namespace

InotifyWatch::InotifyWatch(WatchConfig config) : config_(std::move(config)) {}

InotifyWatch::~InotifyWatch() {
  if (fd_ >= 0) close(fd_);
}

bool InotifyWatch::Start() {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) {
    QK_DEBUG("watch: inotify unavailable (errno %d)", errno);
    return false;
  }
  std::vector<std::string> names;
  if (ListHidrawNamesOf(config_.sysfsRoot, config_.vendorId, config_.productId, &names)) {
    tokens_.insert(names.begin(), names.end());
  }
  WatchDevices();
  WatchVirtual();
  return true;
}

bool InotifyWatch::WatchDevices() {
  devWatch_ = inotify_add_watch(fd_, config_.devRoot.c_str(), kDeviceMask | IN_ONLYDIR);
  if (devWatch_ < 0) {
    QK_DEBUG("watch: cannot watch %s (errno %d); rescanning every %u ms", config_.devRoot.c_str(),
             errno, config_.rescanMs);
    return false;
  }
  QK_DEBUG("watch: watching %s for hidraw nodes", config_.devRoot.c_str());
  return true;
}

bool InotifyWatch::WatchVirtual() {
  if (config_.virtualDir.empty()) return false;
  virtualWatch_ = inotify_add_watch(fd_, config_.virtualDir.c_str(), kVirtualMask | IN_ONLYDIR);
  if (virtualWatch_ < 0) {
    QK_DEBUG("watch: cannot watch token directory %s (errno %d); trying every %u ms",
             config_.virtualDir.c_str(), errno, config_.rescanMs);
    return false;
  }
  QK_DEBUG("watch: watching token directory %s", config_.virtualDir.c_str());
  return true;
}

bool InotifyWatch::NeedsRescan() const {
  return devWatch_ < 0 || (!config_.virtualDir.empty() && virtualWatch_ < 0);
}

bool InotifyWatch::IsTokenNode(const std::string& name, bool* readable) const {
  HidIdentity identity;
  *readable = ReadHidIdentity(config_.sysfsRoot, name, &identity);
  return *readable && identity.vendorId == config_.vendorId &&
         identity.productId == config_.productId;
}

// The set of token nodes, compared with what was known: used while the
// device directory cannot be watched (and to resynchronise after a lost event).
bool InotifyWatch::RescanDevices() {
  std::vector<std::string> names;
  if (!ListHidrawNamesOf(config_.sysfsRoot, config_.vendorId, config_.productId, &names)) {
    return false;
  }
  std::set<std::string> now(names.begin(), names.end());
  const bool changed = now != tokens_;
  tokens_.swap(now);
  return changed;
}

bool InotifyWatch::OnDeviceEvent(uint32_t mask, const char* name) {
  if (!IsHidrawName(name)) return false;
  const std::string node(name);
  if (mask & (IN_DELETE | IN_MOVED_FROM)) {
    const bool wasToken = tokens_.erase(node) != 0;
    QK_DEBUG("watch: %s/%s removed%s", config_.devRoot.c_str(), name,
             wasToken ? " (a token)" : " (not a token: ignored)");
    return wasToken;
  }
  bool readable = false;
  const bool token = IsTokenNode(node, &readable);
  const char* what = (mask & IN_ATTRIB) ? "changed permissions" : "appeared";
  if (token) {
    tokens_.insert(node);
    QK_DEBUG("watch: %s/%s %s (a token)", config_.devRoot.c_str(), name, what);
    return true;
  }
  if (!readable) {
    // Gone again before it could be read, or an identity that cannot be
    // read: report it rather than miss a token that came and went.
    const bool report = (mask & IN_ATTRIB) == 0 || tokens_.count(node) != 0;
    tokens_.erase(node);
    QK_DEBUG("watch: %s/%s %s; identity unreadable (%s)", config_.devRoot.c_str(), name, what,
             report ? "counted as a change" : "ignored");
    return report;
  }
  QK_DEBUG("watch: %s/%s %s (not a token: ignored)", config_.devRoot.c_str(), name, what);
  return false;
}

bool InotifyWatch::Drain() {
  if (fd_ < 0) return false;
  bool changed = false;
  alignas(inotify_event) char buffer[4096];
  for (int reads = 0; reads < kMaxReadsPerDrain; ++reads) {
    const ssize_t got = read(fd_, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size_t at = 0;
    while (at + sizeof(inotify_event) <= static_cast<size_t>(got)) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      const size_t size = sizeof(inotify_event) + event->len;
      if (at + size > static_cast<size_t>(got)) break;
      at += size;
      const char* name = event->len > 0 ? event->name : "";
      if (event->mask & IN_Q_OVERFLOW) {
        QK_DEBUG("watch: event queue overflowed; counted as a change");
        changed = true;
        RescanDevices();
        continue;
      }
      if (event->wd == devWatch_ && devWatch_ >= 0) {
        if (event->mask & kLostMask) {
          QK_DEBUG("watch: %s is no longer watched", config_.devRoot.c_str());
          devWatch_ = -1;
          changed = true;
        } else {
          changed = OnDeviceEvent(event->mask, name) || changed;
        }
      } else if (event->wd == virtualWatch_ && virtualWatch_ >= 0) {
        if (event->mask & kLostMask) {
          QK_DEBUG("watch: token directory %s is no longer watched", config_.virtualDir.c_str());
          virtualWatch_ = -1;
          changed = true;
        } else if (vlink::KindOfName(name) != vlink::EntryKind::kNone) {
          QK_DEBUG("watch: token entry %s changed (mask 0x%x)", name,
                   static_cast<unsigned>(event->mask));
          changed = true;
        }
      }
    }
  }
  if (devWatch_ < 0) {
    if (RescanDevices()) changed = true;
    WatchDevices();
  }
  if (!config_.virtualDir.empty() && virtualWatch_ < 0 && WatchVirtual()) {
    changed = true;  // the directory came (back): its entries are new
  }
  return changed;
}

WatchWait InotifyWatch::Wait(uint32_t timeoutMs, WakeSignal* wake) {
  if (fd_ < 0) return WatchWait::kFailed;
  bool timerCut = false;
  if (NeedsRescan() && timeoutMs > config_.rescanMs) {
    timeoutMs = config_.rescanMs;
    timerCut = true;
  }
  pollfd fds[2] = {{fd_, POLLIN, 0}, {-1, POLLIN, 0}};
  if (wake != nullptr) fds[1].fd = static_cast<int>(wake->NativeHandle());
  int ready;
  do {
    ready = poll(fds, 2, static_cast<int>(timeoutMs));
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return WatchWait::kFailed;
  if (fds[1].revents != 0) return WatchWait::kWoken;
  if (fds[0].revents != 0) return WatchWait::kEvents;
  return timerCut ? WatchWait::kEvents : WatchWait::kTimedOut;
}

EventWakeSignal::EventWakeSignal() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

EventWakeSignal::~EventWakeSignal() {
  if (fd_ >= 0) close(fd_);
}

void EventWakeSignal::Raise() {
  const uint64_t one = 1;
  ssize_t n;
  do {
    n = write(fd_, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

void EventWakeSignal::Clear() {
  uint64_t value = 0;
  ssize_t n;
  do {
    n = read(fd_, &value, sizeof value);
  } while (n < 0 && errno == EINTR);
}

}  // namespace hidraw

DeviceWatch* CreateDeviceWatch() {
  hidraw::WatchConfig config;
  const char* directory = std::getenv(vlink::kDirectoryVariable);
  if (directory != nullptr) config.virtualDir = directory;
  auto* watch = new (std::nothrow) hidraw::InotifyWatch(std::move(config));
  if (watch != nullptr && !watch->Start()) {
    delete watch;
    return nullptr;
  }
  return watch;
}

WakeSignal* CreateWakeSignal() {
  auto* signal = new (std::nothrow) hidraw::EventWakeSignal();
  if (signal != nullptr && !signal->Valid()) {
    delete signal;
    return nullptr;
  }
  return signal;
}

}  // namespace qk::platform
