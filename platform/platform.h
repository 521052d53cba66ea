// The library's view of the operating system: HID interface listing, device
// handles, report I/O and named cross-process locks.
//
// Each operation maps one to one onto the Windows calls of the Win32 backend;
// the hidraw backend and the virtual link give the same meaning on other
// systems. Error numbers are Windows system error numbers on every backend.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk::platform {

constexpr size_t kReportSize = 65;          // report identifier + 64 bytes
constexpr size_t kDetailBufferSize = 4096;  // largest interface path accepted by listing

// GetLastError values that listing distinguishes.
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorSharingViolation = 32;

enum class EnumStatus {
  kOk,                // path written
  kNoMore,            // no interface with this index
  kDetailTooLarge,    // the interface detail would exceed kDetailBufferSize
  kDetailUnreadable,  // the interface exists but its path could not be read
};

enum class IoStatus { kOk, kFailed, kTimedOut };

// What reading an interface's identity without opening it for use gave.
enum class IdentityStatus {
  kRead,        // the identifiers were written
  kUnreadable,  // the interface could not be queried: not the token's, as far as is known
  kAskDevice,   // the backend has no such query: open the device and ask it
};

enum class IoMode { kSynchronous, kOverlapped };  // probing vs. use
enum class ShareMode { kShared, kExclusive };

// The present HID interfaces, in a stable order (SetupDiGetClassDevsA set).
class InterfaceSet {
 public:
  virtual ~InterfaceSet() = default;
  // Writes the NUL-terminated path of member `index` into `path` (capacity bytes).
  virtual EnumStatus PathAt(uint32_t index, char* path, size_t capacity) = 0;
};

// One I/O wait object per exchange (the manual-reset event on Windows).
struct IoEvent;

// An open HID interface (CreateFileA handle).
class Device {
 public:
  virtual ~Device() = default;
  // HidD_GetAttributes.
  virtual bool GetAttributes(uint16_t* vendorId, uint16_t* productId) = 0;
  // HidD_GetPreparsedData + HidP_GetCaps + HidD_FreePreparsedData; false when any
  // of them fails. The length counts the report-identifier byte, as Windows does.
  virtual bool GetFeatureReportLength(uint16_t* length) = 0;
  // HidD_FlushQueue: discard pending input reports.
  virtual bool FlushInput() = 0;
  // CreateEventA / CloseHandle of the exchange's event. Null on failure.
  virtual IoEvent* CreateIoEvent() = 0;
  virtual void CloseIoEvent(IoEvent* event) = 0;
  // Overlapped WriteFile / ReadFile of one 65-byte report, waited for at most
  // timeoutMs. A timed-out operation is cancelled before returning.
  virtual IoStatus WriteReport(IoEvent* event, const uint8_t* report, uint32_t timeoutMs) = 0;
  virtual IoStatus ReadReport(IoEvent* event, uint8_t* report, uint32_t timeoutMs) = 0;
  // A non-zero 32-bit value that names this handle (QKContext.device).
  virtual uint32_t HandleValue() const = 0;
  // What names the token itself, however its path was spelled: the device
  // number of a device node, or the file system and inode of a virtual
  // token's entry. False when the device has no such identity.
  virtual bool TokenIdentity(uint64_t* first, uint64_t* second) const {
    (void)first, (void)second;
    return false;
  }
};

// A named mutex shared by every process that uses the same name (CreateMutexA),
// owned by a thread and taken recursively, with the token's session
// generation kept beside it: a 64-bit count that every process sharing the
// lock reads and writes, only while holding it.
class NamedMutex {
 public:
  virtual ~NamedMutex() = default;
  // WaitForSingleObject; false when the wait timed out or failed.
  virtual bool Lock(uint32_t timeoutMs) = 0;
  // ReleaseMutex.
  virtual void Unlock() = 0;
  // The session generation; false when it cannot be read or written. Only
  // while the calling thread holds the lock.
  virtual bool ReadGeneration(uint64_t* generation) = 0;
  virtual bool WriteGeneration(uint64_t generation) = 0;
  // The generation read without the lock: only a hint, possibly torn by a
  // write in progress. Generations only grow, and only a key agreement
  // writes one, so a value other than a handle's own always means that
  // handle's session is gone (or going).
  virtual bool PeekGeneration(uint64_t* generation) = 0;
};

// A source of devices: the native HID backend, the virtual link, or a test double.
class Backend {
 public:
  virtual ~Backend() = default;
  // Null when the set cannot be had.
  virtual InterfaceSet* OpenInterfaceSet() = 0;
  // Null on failure, with the Windows error number in *systemError.
  virtual Device* OpenDevice(const char* path, IoMode io, ShareMode share,
                             uint32_t* systemError) = 0;
  // The vendor and product identifiers of the interface at `path`, read
  // without asking for read or write access (CreateFileA with no access,
  // HidD_GetAttributes), so that interfaces the user may not open (keyboards,
  // mice) are told apart from the token without an error.
  virtual IdentityStatus ReadIdentity(const char* path, uint16_t* vendorId, uint16_t* productId) {
    (void)path, (void)vendorId, (void)productId;
    return IdentityStatus::kAskDevice;
  }
};

// ---- The process's platform: native interfaces first, then virtual tokens. ----

// Null when the native set cannot be had (virtual tokens alone never fail).
InterfaceSet* OpenInterfaceSet();
Device* OpenDevice(const char* path, IoMode io, ShareMode share, uint32_t* systemError);
IdentityStatus ReadIdentity(const char* path, uint16_t* vendorId, uint16_t* productId);
// Creates or attaches to the named mutex. Null on failure.
NamedMutex* CreateNamedMutex(const char* name);
#ifndef _WIN32
// The exchange lock of the token that `device` (opened on `path`) reaches:
// a lock file in the user's private lock directory, named by the device's
// identity when it has one, else by the path. Null when the directory or
// the file cannot be trusted or made.
NamedMutex* CreateDeviceLock(const char* path, const Device* device);
#endif
// GetVersionExA; false (and 0.0) when the version cannot be read or the
// system is not Windows.
bool GetOsVersion(uint32_t* major, uint32_t* minor);
// The text in front of lock names: empty on Windows (the api layer adds the
// namespace by the system version) and elsewhere (locks are files in the
// user's private lock directory, CreateDeviceLock).
const char* LockNamespace();

// Replaces every backend (native and virtual) with `backend`; null restores
// the real ones. For tests.
void SetBackendForTesting(Backend* backend);

}  // namespace qk::platform
