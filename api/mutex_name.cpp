// Lock names for device paths.
#include "api/mutex_name.h"

#include <cstring>

#include "include/qktoken.h"
#include "transport/exchange.h"

namespace qk {

const char* PrefixForVersion(uint32_t major, uint32_t minor) {
  if (major == 4) return (minor == 10 || minor == 90) ? "" : "Global\\";
  if (major == 5) return "Global\\";
  return "Local\\";
}

const char* MutexNamespacePrefix() {
#if defined(_WIN32)
  uint32_t major = 0;
  uint32_t minor = 0;
  // A version that cannot be read stays 0.0, which the table maps to "Local\".
  if (!platform::GetOsVersion(&major, &minor)) major = minor = 0;
  return PrefixForVersion(major, minor);
#else
  return platform::LockNamespace();
#endif
}

namespace {

char ConvertedChar(char c) { return c == '\\' ? 'R' : c; }

// FNV-1a of the path as it appears in names (backslashes already 'R'):
// fixed and unseeded, so every process derives the same value.
uint32_t HashConvertedPath(const char* path, size_t length) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < length; ++i) {
    hash ^= static_cast<uint8_t>(ConvertedChar(path[i]));
    hash *= 16777619u;
  }
  return hash;
}

void WriteHex8(uint32_t value, char* out) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (int i = 7; i >= 0; --i) {
    out[i] = kDigits[value & 0xFu];
    value >>= 4;
  }
}

}  // namespace

void BuildMutexName(const char* prefix, const char* path, char* name) {
  const size_t prefixLength = std::strlen(prefix);
  const size_t pathLength = std::strlen(path);
  // A prefix that alone fills the name (never the case for the real ones)
  // is cut, so the name stays within bounds.
  const size_t keptPrefix = prefixLength < kMaxMutexNameLength ? prefixLength : kMaxMutexNameLength;
  std::memcpy(name, prefix, keptPrefix);
  size_t length = keptPrefix;

  const char* tail = path;
  size_t tailLength = pathLength;
  if (keptPrefix + pathLength > kMaxMutexNameLength) {
    constexpr size_t kHashPart = 9;  // eight hex digits and '-'
    const size_t room = kMaxMutexNameLength - keptPrefix;
    if (room >= kHashPart) {
      WriteHex8(HashConvertedPath(path, pathLength), name + length);
      name[length + 8] = '-';
      length += kHashPart;
    }
    tailLength = kMaxMutexNameLength - length;
    tail = path + (pathLength - tailLength);
  }
  for (size_t i = 0; i < tailLength; ++i) name[length++] = ConvertedChar(tail[i]);
  name[length] = '\0';
}

void BuildIdentityMutexName(const char* prefix, uint64_t fileSystem, uint64_t fileId, char* name) {
  char identity[] = "qktoken-0000000000000000-0000000000000000";
  constexpr size_t kFirstAt = 8, kSecondAt = 25;
  WriteHex8(static_cast<uint32_t>(fileSystem >> 32), identity + kFirstAt);
  WriteHex8(static_cast<uint32_t>(fileSystem), identity + kFirstAt + 8);
  WriteHex8(static_cast<uint32_t>(fileId >> 32), identity + kSecondAt);
  WriteHex8(static_cast<uint32_t>(fileId), identity + kSecondAt + 8);
  BuildMutexName(prefix, identity, name);
}

platform::NamedMutex* CreateDeviceMutex(bool initialOwner, const char* path,
                                        const platform::Device* device, uint32_t* result) {
  if (result != nullptr) *result = QK_E_LOCK_UNAVAILABLE;
#if defined(_WIN32)
  char name[kMaxMutexNameLength + 1];
  uint64_t fileSystem = 0;
  uint64_t fileId = 0;
  if (device != nullptr && device->TokenIdentity(&fileSystem, &fileId)) {
    BuildIdentityMutexName(MutexNamespacePrefix(), fileSystem, fileId, name);
  } else {
    BuildMutexName(MutexNamespacePrefix(), path, name);
  }
  platform::NamedMutex* mutex = platform::CreateNamedMutex(name);
#else
  platform::LockProblem problem = platform::LockProblem::kNone;
  platform::NamedMutex* mutex = platform::CreateDeviceLock(path, device, &problem);
  if (result != nullptr && problem == platform::LockProblem::kUnsafe) *result = QK_E_LOCK_UNSAFE;
#endif
  if (mutex != nullptr && result != nullptr) *result = QK_E_SUCCESS;
  if (mutex != nullptr && initialOwner) mutex->Lock(GetTimeLimits().lockMs);
  return mutex;
}

}  // namespace qk
