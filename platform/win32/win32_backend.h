// The native Windows backend: the present HID interfaces from the device
// setup services, and device paths opened with CreateFileA.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "platform/win32/windows_sdk.h"

namespace qk::platform::win32 {

// The value the detail record's size field must hold: the size of the fixed
// part as the setup services define it (5 bytes on 32-bit Windows, where the
// record is byte-packed; 8 on 64-bit).
constexpr DWORD kDetailRecordSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);

// The set of present HID interfaces (SetupDiGetClassDevsA); destroyed with
// the object.
class Win32InterfaceSet final : public InterfaceSet {
 public:
  // Null when the set cannot be had.
  static Win32InterfaceSet* Open();
  ~Win32InterfaceSet() override;
  Win32InterfaceSet(const Win32InterfaceSet&) = delete;
  Win32InterfaceSet& operator=(const Win32InterfaceSet&) = delete;

  EnumStatus PathAt(uint32_t index, char* path, size_t capacity) override;

 private:
  Win32InterfaceSet(HDEVINFO set, const GUID& hidClass) : set_(set), hidClass_(hidClass) {}
  HDEVINFO set_;
  GUID hidClass_;
};

// Copies the NUL-terminated path that starts at `text` (at most `available`
// bytes readable) into `path`. kDetailUnreadable when the text has no
// terminator within `available` bytes or does not fit `capacity` whole: a
// shortened path would name another device.
EnumStatus CopyInterfacePath(const char* text, size_t available, char* path, size_t capacity);

// Opens `path`: GENERIC_READ | GENERIC_WRITE, shared for reading and writing
// or exclusive, OPEN_EXISTING, overlapped or not. Null on failure with
// GetLastError in *systemError.
Device* OpenPath(const char* path, IoMode io, ShareMode share, uint32_t* systemError);

// Opens `path` with no access at all, shared for reading and writing: enough
// for the HID queries, allowed where a read/write open is not (an interface
// the system keeps for itself, one another process holds exclusively).
// INVALID_HANDLE_VALUE on failure.
HANDLE OpenForQuery(const char* path);

// HidD_GetAttributes on a handle from OpenForQuery.
IdentityStatus ReadPathIdentity(const char* path, uint16_t* vendorId, uint16_t* productId);

class Win32Backend final : public Backend {
 public:
  InterfaceSet* OpenInterfaceSet() override { return Win32InterfaceSet::Open(); }
  Device* OpenDevice(const char* path, IoMode io, ShareMode share, uint32_t* systemError) override {
    return OpenPath(path, io, share, systemError);
  }
  IdentityStatus ReadIdentity(const char* path, uint16_t* vendorId, uint16_t* productId) override {
    return ReadPathIdentity(path, vendorId, productId);
  }
};

}  // namespace qk::platform::win32
