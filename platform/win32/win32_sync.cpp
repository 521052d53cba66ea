// Named cross-process mutexes and the system version on Windows.
#include <cstdint>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "platform/win32/windows_sdk.h"

namespace qk::platform {
namespace {

// The generation lives in a small named section beside the mutex, shared by
// every process that attaches to the same name.
constexpr char kGenerationSuffix[] = "-generation";

class Win32NamedMutex final : public NamedMutex {
 public:
  Win32NamedMutex(HANDLE mutex, HANDLE section, volatile uint64_t* generation)
      : mutex_(mutex), section_(section), generation_(generation) {}
  ~Win32NamedMutex() override {
    UnmapViewOfFile(const_cast<uint64_t*>(generation_));
    CloseHandle(section_);
    CloseHandle(mutex_);
  }
  Win32NamedMutex(const Win32NamedMutex&) = delete;
  Win32NamedMutex& operator=(const Win32NamedMutex&) = delete;

  bool Lock(uint32_t timeoutMs) override {
    const DWORD waited = WaitForSingleObject(mutex_, timeoutMs);
    if (waited == WAIT_OBJECT_0) {
      ++depth_;
      return true;
    }
    // An owner that ended without releasing leaves the mutex abandoned; the
    // wait hands it over all the same. What that owner was doing is not
    // known (it may have agreed a key the generation does not show yet), so
    // the generation is advanced: every handle's session counts as replaced.
    if (waited == WAIT_ABANDONED) {
      ++depth_;
      *generation_ = *generation_ + 1;
      return true;
    }
    return false;
  }

  void Unlock() override {
    if (depth_ > 0) --depth_;
    ReleaseMutex(mutex_);
  }

  bool ReadGeneration(uint64_t* generation) override {
    if (depth_ == 0) return false;
    *generation = *generation_;
    return true;
  }
  bool WriteGeneration(uint64_t generation) override {
    if (depth_ == 0) return false;
    *generation_ = generation;
    return true;
  }
  bool PeekGeneration(uint64_t* generation) override {
    *generation = *generation_;
    return true;
  }

 private:
  HANDLE mutex_;
  HANDLE section_;
  volatile uint64_t* generation_;
  // Locks taken through this object and not yet released. Only the owning
  // thread changes it (the mutex is owned by one thread at a time), so a
  // thread that holds nothing never reads the generation.
  uint32_t depth_ = 0;
};

}  // namespace

NamedMutex* CreateNamedMutex(const char* name) {
  // Attaches to the mutex when another process created it under this name.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  if (mutex == nullptr) return nullptr;
  char sectionName[300];
  const size_t length = std::strlen(name);
  if (length + sizeof kGenerationSuffix > sizeof sectionName) {
    CloseHandle(mutex);
    return nullptr;
  }
  std::memcpy(sectionName, name, length);
  std::memcpy(sectionName + length, kGenerationSuffix, sizeof kGenerationSuffix);
  // A fresh section is zero-filled: generation 0.
  HANDLE section = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(uint64_t), sectionName);
  void* view = section != nullptr
                   ? MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(uint64_t))
                   : nullptr;
  if (view == nullptr) {
    if (section != nullptr) CloseHandle(section);
    CloseHandle(mutex);
    return nullptr;
  }
  auto* lock =
      new (std::nothrow) Win32NamedMutex(mutex, section, static_cast<volatile uint64_t*>(view));
  if (lock == nullptr) {
    UnmapViewOfFile(view);
    CloseHandle(section);
    CloseHandle(mutex);
  }
  return lock;
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
