// The Windows watch of attached tokens: the system's device-interface
// notifications for HID interfaces (CM_Register_Notification, looked up at
// run time: older systems and Wine may lack it) or, without them, a rescan
// of the HID interface set once a second; and a change notification on the
// virtual token directory.
#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/debug_log.h"
#include "platform/device_watch.h"
#include "platform/native.h"
#include "platform/virtual/directory.h"
#include "platform/win32/windows_sdk.h"

namespace qk::platform {
namespace {

constexpr DWORD kRescanMs = 1000;
// Directory handles given up on (the directory went, say) are kept open
// until the watch goes, for a Wait that may still use one; past this many
// the directory is no longer watched.
constexpr size_t kMaxRetired = 64;
constexpr char kTokenIdentity[] = "vid_7a5c&pid_0b21";

// The configuration manager's notification records, as the system lays them
// out (declared here: not every SDK in use has them).
constexpr DWORD kFilterDeviceInterface = 0;  // CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE
constexpr DWORD kMaxDeviceIdLength = 200;
struct NotifyFilter {
  DWORD cbSize;
  DWORD Flags;
  DWORD FilterType;
  DWORD Reserved;
  union {
    struct {
      GUID ClassGuid;
    } DeviceInterface;
    struct {
      HANDLE hTarget;
    } DeviceHandle;
    struct {
      WCHAR InstanceId[kMaxDeviceIdLength];
    } DeviceInstance;
  } u;
};
struct NotifyEventData {
  DWORD FilterType;
  DWORD Reserved;
  GUID ClassGuid;
  WCHAR SymbolicLink[1];
};
using Notification = void*;
using NotifyCallback = DWORD(CALLBACK*)(Notification, void*, DWORD, NotifyEventData*, DWORD);
using RegisterFunction = DWORD(WINAPI*)(NotifyFilter*, void*, NotifyCallback, Notification*);
using UnregisterFunction = DWORD(WINAPI*)(Notification);

// {4D1E55B2-F16F-11CF-88CB-001111000030}: the HID interface class.
const GUID kHidInterfaceClass = {
    0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

bool MentionsToken(const std::string& text) {
  std::string lower(text);
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lower.find(kTokenIdentity) != std::string::npos;
}

// The token interfaces among the native HID interfaces now: the fallback's
// picture of what is attached.
std::vector<std::string> NativeTokenPaths() {
  std::vector<std::string> paths;
  std::unique_ptr<InterfaceSet> set(NativeBackend().OpenInterfaceSet());
  if (!set) return paths;
  std::unique_ptr<char[]> path(new (std::nothrow) char[kDetailBufferSize]);
  if (!path) return paths;
  for (uint32_t index = 0; index < 1024; ++index) {
    const EnumStatus status = set->PathAt(index, path.get(), kDetailBufferSize);
    if (status == EnumStatus::kNoMore) break;
    if (status != EnumStatus::kOk) continue;
    path[kDetailBufferSize - 1] = '\0';
    if (MentionsToken(path.get())) paths.emplace_back(path.get());
  }
  return paths;
}

class EventWakeSignal final : public WakeSignal {
 public:
  EventWakeSignal() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~EventWakeSignal() override {
    if (event_ != nullptr) CloseHandle(event_);
  }
  EventWakeSignal(const EventWakeSignal&) = delete;
  EventWakeSignal& operator=(const EventWakeSignal&) = delete;
  bool Valid() const { return event_ != nullptr; }
  void Raise() override { SetEvent(event_); }
  void Clear() override { ResetEvent(event_); }
  intptr_t NativeHandle() const override { return reinterpret_cast<intptr_t>(event_); }

 private:
  HANDLE event_;
};

class Win32Watch final : public DeviceWatch {
 public:
  explicit Win32Watch(std::string virtualDir) : virtualDir_(std::move(virtualDir)) {}

  ~Win32Watch() override {
    // Waits for a callback in progress, so `this` outlives every one.
    if (notification_ != nullptr && unregister_ != nullptr) unregister_(notification_);
    if (deviceEvent_ != nullptr) CloseHandle(deviceEvent_);
    if (directory_ != INVALID_HANDLE_VALUE) FindCloseChangeNotification(directory_);
    for (HANDLE retired : retired_) FindCloseChangeNotification(retired);
  }
  Win32Watch(const Win32Watch&) = delete;
  Win32Watch& operator=(const Win32Watch&) = delete;

  bool Start() {
    deviceEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (deviceEvent_ == nullptr) return false;
    RegisterForDevices();
    if (notification_ == nullptr) known_ = NativeTokenPaths();
    WatchDirectory();
    return true;
  }

  WatchWait Wait(uint32_t timeoutMs, WakeSignal* wake) override {
    HANDLE handles[3];
    DWORD count = 0;
    if (wake != nullptr) handles[count++] = reinterpret_cast<HANDLE>(wake->NativeHandle());
    const DWORD firstSource = count;
    handles[count++] = deviceEvent_;
    const HANDLE directory = directory_.load();
    if (directory != INVALID_HANDLE_VALUE) handles[count++] = directory;
    bool timerCut = false;
    if (NeedsRescan() && timeoutMs > kRescanMs) {
      timeoutMs = kRescanMs;
      timerCut = true;
    }
    const DWORD result = WaitForMultipleObjects(count, handles, FALSE, timeoutMs);
    if (result == WAIT_TIMEOUT) return timerCut ? WatchWait::kEvents : WatchWait::kTimedOut;
    if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count) {
      return result - WAIT_OBJECT_0 < firstSource ? WatchWait::kWoken : WatchWait::kEvents;
    }
    return WatchWait::kFailed;
  }

  bool Drain() override {
    bool changed = false;
    ResetEvent(deviceEvent_);
    if (pendingDevices_.exchange(0) != 0) changed = true;
    const HANDLE directory = directory_.load();
    if (directory != INVALID_HANDLE_VALUE && WaitForSingleObject(directory, 0) == WAIT_OBJECT_0) {
      QK_DEBUG("watch: token directory %s changed", virtualDir_.c_str());
      changed = true;
      if (!FindNextChangeNotification(directory)) {
        // Another thread's Wait may be using the handle: it is closed with
        // the watch, and no later Wait takes it.
        directory_ = INVALID_HANDLE_VALUE;
        retired_.push_back(directory);
      }
    }
    if (!virtualDir_.empty() && directory_ == INVALID_HANDLE_VALUE && WatchDirectory()) {
      changed = true;  // the directory came (back): its entries are new
    }
    if (notification_ == nullptr) {
      std::vector<std::string> now = NativeTokenPaths();
      if (now != known_) {
        QK_DEBUG("watch: rescan found %u token interface(s), %u before",
                 static_cast<unsigned>(now.size()), static_cast<unsigned>(known_.size()));
        known_.swap(now);
        changed = true;
      }
    }
    return changed;
  }

 private:
  static DWORD CALLBACK OnDevice(Notification, void* context, DWORD action, NotifyEventData* data,
                                 DWORD size) {
    auto* self = static_cast<Win32Watch*>(context);
    std::string link;
    if (data != nullptr && size > offsetof(NotifyEventData, SymbolicLink)) {
      const size_t chars = (size - offsetof(NotifyEventData, SymbolicLink)) / sizeof(WCHAR);
      for (size_t i = 0; i < chars && data->SymbolicLink[i] != 0; ++i) {
        const WCHAR c = data->SymbolicLink[i];
        link.push_back(c < 0x80 ? static_cast<char>(c) : '?');
      }
    }
    // Arrival 0, removal 1; other actions concern other filter types.
    if (action <= 1 && (link.empty() || MentionsToken(link))) {
      QK_DEBUG("watch: HID interface %s %s", link.c_str(), action == 0 ? "arrived" : "removed");
      self->pendingDevices_.fetch_add(1);
      SetEvent(self->deviceEvent_);
    }
    return ERROR_SUCCESS;
  }

  void RegisterForDevices() {
    HMODULE module = LoadLibraryA("cfgmgr32.dll");
    auto* registerNotification =
        module ? reinterpret_cast<RegisterFunction>(
                     reinterpret_cast<void*>(GetProcAddress(module, "CM_Register_Notification")))
               : nullptr;
    unregister_ = module ? reinterpret_cast<UnregisterFunction>(reinterpret_cast<void*>(
                               GetProcAddress(module, "CM_Unregister_Notification")))
                         : nullptr;
    if (registerNotification == nullptr || unregister_ == nullptr) {
      QK_DEBUG("watch: no device notifications on this system; rescanning every %lu ms",
               static_cast<unsigned long>(kRescanMs));
      return;
    }
    NotifyFilter filter{};
    filter.cbSize = sizeof filter;
    filter.FilterType = kFilterDeviceInterface;
    filter.u.DeviceInterface.ClassGuid = kHidInterfaceClass;
    const DWORD result = registerNotification(&filter, this, &Win32Watch::OnDevice, &notification_);
    if (result != 0) {
      notification_ = nullptr;
      QK_DEBUG("watch: device notifications refused (%lu); rescanning every %lu ms",
               static_cast<unsigned long>(result), static_cast<unsigned long>(kRescanMs));
    } else {
      QK_DEBUG("watch: HID interface notifications registered");
      // The system calls OnDevice on a thread of its own: the library must
      // stay loaded as long as the registration lives, even past a
      // FreeLibrary of the DLL.
      HMODULE self = nullptr;
      GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCSTR>(&Win32Watch::OnDevice), &self);
    }
  }

  bool WatchDirectory() {
    if (virtualDir_.empty()) return false;
    if (retired_.size() >= kMaxRetired) return false;  // give up on a directory that keeps failing
    directory_ = FindFirstChangeNotificationA(
        virtualDir_.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE);
    if (directory_.load() == INVALID_HANDLE_VALUE) {
      QK_DEBUG("watch: cannot watch token directory %s (error %lu); trying every %lu ms",
               virtualDir_.c_str(), static_cast<unsigned long>(GetLastError()),
               static_cast<unsigned long>(kRescanMs));
      return false;
    }
    QK_DEBUG("watch: watching token directory %s", virtualDir_.c_str());
    return true;
  }

  bool NeedsRescan() const {
    return notification_ == nullptr ||
           (!virtualDir_.empty() && directory_.load() == INVALID_HANDLE_VALUE);
  }

  std::string virtualDir_;
  HANDLE deviceEvent_ = nullptr;
  std::atomic<HANDLE> directory_{INVALID_HANDLE_VALUE};
  std::vector<HANDLE> retired_;  // directory handles that failed, closed with the watch
  Notification notification_ = nullptr;
  UnregisterFunction unregister_ = nullptr;
  std::atomic<uint32_t> pendingDevices_{0};
  std::vector<std::string> known_;  // the rescan's last picture
};

}  // namespace

DeviceWatch* CreateDeviceWatch() {
  const char* directory = std::getenv(vlink::kDirectoryVariable);
  auto* watch = new (std::nothrow) Win32Watch(directory != nullptr ? directory : "");
  if (watch != nullptr && !watch->Start()) {
    delete watch;
    return nullptr;
  }
  return watch;
}

WakeSignal* CreateWakeSignal() {
  auto* signal = new (std::nothrow) EventWakeSignal();
  if (signal != nullptr && !signal->Valid()) {
    delete signal;
    return nullptr;
  }
  return signal;
}

}  // namespace qk::platform
