// The library's view of the operating system: HID interface listing, device
// handles, report I/O and named cross-process locks.
//
// A device is what every backend can give: open, close (delete), write one
// report, read one report within a time limit, flush pending input, and the
// identity queries listing needs. How a backend waits (overlapped I/O and its
// events on Windows, poll(2) on hidraw, a socket on the virtual link) and the
// system's own error numbers stay inside that backend; what comes back is a
// DeviceStatus.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk::platform {

constexpr size_t kReportSize = 65;          // report identifier + 64 bytes
constexpr size_t kDetailBufferSize = 4096;  // largest interface path accepted by listing

// What opening a device or moving a report came to, the same on every backend.
enum class DeviceStatus {
  kOk,
  kNotFound,          // no such device, or it cannot be reached
  kAccessDenied,      // the user may not open it
  kSharingViolation,  // another opener's share mode excludes this open
  kTimedOut,          // the time limit ran out; nothing is left pending
  kGone,              // the device went away (unplugged)
  kFailed,            // any other failure
};

// A short lower-case name of `status` for debug lines.
const char* DeviceStatusText(DeviceStatus status);

enum class EnumStatus {
  kOk,                // path written
  kNoMore,            // no interface with this index
  kDetailTooLarge,    // the interface detail would exceed kDetailBufferSize
  kDetailUnreadable,  // the interface exists but its path could not be read
};

// What reading an interface's identity without opening it for use gave.
enum class IdentityStatus {
  kRead,        // the identifiers were written
  kUnreadable,  // the interface could not be queried: not the token's, as far as is known
  kAskDevice,   // the backend has no such query: open the device and ask it
};

enum class ShareMode { kShared, kExclusive };

// The present HID interfaces, in a stable order.
class InterfaceSet {
 public:
  virtual ~InterfaceSet() = default;
  // Writes the NUL-terminated path of member `index` into `path` (capacity bytes).
  virtual EnumStatus PathAt(uint32_t index, char* path, size_t capacity) = 0;
};

// An open HID interface; deleting it closes it. One report transfer at a
// time: the exchange lock serialises the exchanges on a device.
class Device {
 public:
  virtual ~Device() = default;
  // The vendor and product identifiers.
  virtual bool GetAttributes(uint16_t* vendorId, uint16_t* productId) = 0;
  // The length of the largest feature report, counting the report-identifier
  // byte (as Windows counts it); false when it cannot be read.
  virtual bool GetFeatureReportLength(uint16_t* length) = 0;
  // Discards pending input reports.
  virtual bool FlushInput() = 0;
  // Writes or reads one 65-byte report (identifier first), waiting at most
  // timeoutMs (0xFFFFFFFF: no limit). An operation that runs out is
  // cancelled before the call returns (kTimedOut).
  virtual DeviceStatus WriteReport(const uint8_t* report, uint32_t timeoutMs) = 0;
  virtual DeviceStatus ReadReport(uint8_t* report, uint32_t timeoutMs) = 0;
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
  // write in progress. Only a key agreement writes a new value (one never
  // seen before on this lock), so a value other than a handle's own always
  // means that handle's session is gone (or going).
  virtual bool PeekGeneration(uint64_t* generation) = 0;
};

// A source of devices: the native HID backend, the virtual link, or a test double.
class Backend {
 public:
  virtual ~Backend() = default;
  // Null when the set cannot be had.
  virtual InterfaceSet* OpenInterfaceSet() = 0;
  // Opens `path` for reading and writing, shared with other openers or not.
  // Null on failure, with the reason in *status.
  virtual Device* OpenDevice(const char* path, ShareMode share, DeviceStatus* status) = 0;
  // The vendor and product identifiers of the interface at `path`, read
  // without asking for read or write access, so that interfaces the user may
  // not open (keyboards, mice) are told apart from the token without an error.
  virtual IdentityStatus ReadIdentity(const char* path, uint16_t* vendorId, uint16_t* productId) {
    (void)path, (void)vendorId, (void)productId;
    return IdentityStatus::kAskDevice;
  }
};

// ---- The process's platform: native interfaces first, then virtual tokens. ----

// Null when the native set cannot be had (virtual tokens alone never fail).
InterfaceSet* OpenInterfaceSet();
Device* OpenDevice(const char* path, ShareMode share, DeviceStatus* status);
IdentityStatus ReadIdentity(const char* path, uint16_t* vendorId, uint16_t* productId);
// Creates or attaches to the named mutex. Null on failure.
NamedMutex* CreateNamedMutex(const char* name);
#ifndef _WIN32
// Why a lock could not be made.
enum class LockProblem {
  kNone,
  kUnsafe,       // no lock location that only this user can reach, or one tampered with
  kUnavailable,  // the system refused (no memory, descriptors or space)
};
// The exchange lock of the token that `device` (opened on `path`) reaches: a
// virtual token's in the token's own directory, named by its entry; any
// other's in the user's private lock directory, named by the device's
// identity when it has one, else by the path. Null when the directory or the
// file cannot be trusted or made, with the reason in *problem (when given).
NamedMutex* CreateDeviceLock(const char* path, const Device* device,
                             LockProblem* problem = nullptr);
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
