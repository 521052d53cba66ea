#include "platform/win32/win32_backend.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "platform/win32/win32_device.h"

namespace qk::platform::win32 {

Win32InterfaceSet* Win32InterfaceSet::Open() {
  GUID hidClass;
  HidD_GetHidGuid(&hidClass);
  HDEVINFO set =
      SetupDiGetClassDevsA(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return nullptr;
  auto* opened = new (std::nothrow) Win32InterfaceSet(set, hidClass);
  if (opened == nullptr) SetupDiDestroyDeviceInfoList(set);
  return opened;
}

Win32InterfaceSet::~Win32InterfaceSet() { SetupDiDestroyDeviceInfoList(set_); }

EnumStatus CopyInterfacePath(const char* text, size_t available, char* path, size_t capacity) {
  const void* end = std::memchr(text, '\0', available);
  if (end == nullptr) return EnumStatus::kDetailUnreadable;
  const size_t length = static_cast<size_t>(static_cast<const char*>(end) - text);
  if (capacity == 0 || length >= capacity) return EnumStatus::kDetailUnreadable;
  std::memcpy(path, text, length + 1);
  return EnumStatus::kOk;
}

EnumStatus Win32InterfaceSet::PathAt(uint32_t index, char* path, size_t capacity) {
  SP_DEVICE_INTERFACE_DATA member;
  std::memset(&member, 0, sizeof member);
  member.cbSize = sizeof member;
  if (!SetupDiEnumDeviceInterfaces(set_, nullptr, &hidClass_, index, &member)) {
    return EnumStatus::kNoMore;
  }

  // First ask only for the size; the call fails with "insufficient buffer"
  // by design, so only the size it reports counts.
  DWORD needed = 0;
  SetupDiGetDeviceInterfaceDetailA(set_, &member, nullptr, 0, &needed, nullptr);
  if (needed > kDetailBufferSize) return EnumStatus::kDetailTooLarge;

  // Suitably aligned for the detail record, which begins with a DWORD.
  union {
    SP_DEVICE_INTERFACE_DETAIL_DATA_A record;
    unsigned char bytes[kDetailBufferSize];
  } detail;
  std::memset(&detail, 0, sizeof detail);
  detail.record.cbSize = kDetailRecordSize;
  if (!SetupDiGetDeviceInterfaceDetailA(set_, &member, &detail.record, needed, nullptr, nullptr)) {
    return EnumStatus::kDetailUnreadable;
  }
  const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  return CopyInterfacePath(detail.record.DevicePath, sizeof detail - pathOffset, path, capacity);
}

Device* OpenPath(const char* path, IoMode io, ShareMode share, uint32_t* systemError) {
  const DWORD sharing = share == ShareMode::kShared ? (FILE_SHARE_READ | FILE_SHARE_WRITE) : 0;
  const DWORD flags = io == IoMode::kOverlapped ? FILE_FLAG_OVERLAPPED : 0;
  HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, sharing, nullptr, OPEN_EXISTING,
                              flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    if (systemError != nullptr) *systemError = GetLastError();
    return nullptr;
  }
  auto* device = new (std::nothrow) Win32Device(handle, io == IoMode::kOverlapped);
  if (device == nullptr) {
    CloseHandle(handle);
    if (systemError != nullptr) *systemError = ERROR_NOT_ENOUGH_MEMORY;
  }
  return device;
}

HANDLE OpenForQuery(const char* path) {
  return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                     nullptr);
}

IdentityStatus ReadPathIdentity(const char* path, uint16_t* vendorId, uint16_t* productId) {
  HANDLE handle = OpenForQuery(path);
  if (handle == INVALID_HANDLE_VALUE) return IdentityStatus::kUnreadable;
  Win32Device query(handle, false);  // closes the handle
  return query.GetAttributes(vendorId, productId) ? IdentityStatus::kRead
                                                  : IdentityStatus::kUnreadable;
}

}  // namespace qk::platform::win32
