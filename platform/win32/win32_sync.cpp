// Named cross-process mutexes and the system version on Windows.
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/win32/windows_sdk.h"

namespace qk::platform {
namespace {

class Win32NamedMutex final : public NamedMutex {
 public:
  explicit Win32NamedMutex(HANDLE handle) : handle_(handle) {}
  ~Win32NamedMutex() override { CloseHandle(handle_); }
  Win32NamedMutex(const Win32NamedMutex&) = delete;
  Win32NamedMutex& operator=(const Win32NamedMutex&) = delete;

  bool Lock(uint32_t timeoutMs) override {
    const DWORD waited = WaitForSingleObject(handle_, timeoutMs);
    // An owner that ended without releasing leaves the mutex abandoned; the
    // wait then hands it to us all the same, and the exchange it guards
    // starts afresh by flushing the device's input.
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }

  void Unlock() override { ReleaseMutex(handle_); }

 private:
  HANDLE handle_;
};

}  // namespace

NamedMutex* CreateNamedMutex(const char* name) {
  // Attaches to the mutex when another process created it under this name.
  HANDLE handle = CreateMutexA(nullptr, FALSE, name);
  if (handle == nullptr) return nullptr;
  auto* mutex = new (std::nothrow) Win32NamedMutex(handle);
  if (mutex == nullptr) CloseHandle(handle);
  return mutex;
}

bool GetOsVersion(uint32_t* major, uint32_t* minor) {
  OSVERSIONINFOA info;
  static_assert(sizeof info == 148, "the version record the system expects is 148 bytes");
  std::memset(&info, 0, sizeof info);
  info.dwOSVersionInfoSize = sizeof info;
  // GetVersionExA is deprecated in favour of manifest-dependent helpers, but
  // it is the one call that answers on every version the library supports.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#elif defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  const bool read = GetVersionExA(&info) != FALSE;
#if defined(_MSC_VER)
#pragma warning(pop)
#elif defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  // A failed call leaves the zeroed record: version 0.0.
  *major = info.dwMajorVersion;
  *minor = info.dwMinorVersion;
  return read;
}

// Windows has its own mutex namespaces; the api layer adds "Global\" or
// "Local\" by the system version.
const char* LockNamespace() { return ""; }

}  // namespace qk::platform
