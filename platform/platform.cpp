// The process's platform: the native HID interfaces first, then the tokens of
// the virtual link when QKTOKEN_VIRTUAL_DIR names a directory.
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "platform/native.h"
#include "platform/platform.h"
#include "platform/virtual/directory.h"
#include "platform/virtual/virtual_device.h"

#ifdef _WIN32
#include "platform/win32/win32_backend.h"
#else
#include "platform/linux/hidraw_backend.h"
#endif

namespace qk::platform {
namespace {

// A native set that never reports its end is cut off here; listing looks at
// far fewer interfaces than this anyway.
constexpr uint32_t kMaxNativeInterfaces = 1024;

std::atomic<Backend*> g_testBackend{nullptr};
std::atomic<Backend*> g_testNativeBackend{nullptr};

Backend& ActiveNativeBackend() {
  Backend* replaced = g_testNativeBackend.load();
  return replaced != nullptr ? *replaced : NativeBackend();
}

class CombinedInterfaceSet final : public InterfaceSet {
 public:
  CombinedInterfaceSet(InterfaceSet* native, std::vector<std::string> virtualPaths)
      : native_(native), virtualPaths_(std::move(virtualPaths)) {}

  EnumStatus PathAt(uint32_t index, char* path, size_t capacity) override {
    const uint32_t nativeCount = NativeCount();
    if (index < nativeCount) return native_->PathAt(index, path, capacity);
    const size_t virtualIndex = index - nativeCount;
    if (virtualIndex >= virtualPaths_.size()) return EnumStatus::kNoMore;
    const std::string& chosen = virtualPaths_[virtualIndex];
    if (chosen.size() + 1 > capacity) return EnumStatus::kDetailUnreadable;
    std::memcpy(path, chosen.c_str(), chosen.size() + 1);
    return EnumStatus::kOk;
  }

 private:
  // The native set only says where it ends by answering kNoMore; find that
  // index once (members before it may answer anything else).
  uint32_t NativeCount() {
    if (nativeCountKnown_) return nativeCount_;
    nativeCountKnown_ = true;
    nativeCount_ = 0;
    if (!native_) return 0;
    std::unique_ptr<char[]> scratch(new (std::nothrow) char[kDetailBufferSize]);
    if (!scratch) return 0;
    while (nativeCount_ < kMaxNativeInterfaces &&
           native_->PathAt(nativeCount_, scratch.get(), kDetailBufferSize) != EnumStatus::kNoMore) {
      ++nativeCount_;
    }
    return nativeCount_;
  }

  std::unique_ptr<InterfaceSet> native_;
  std::vector<std::string> virtualPaths_;
  bool nativeCountKnown_ = false;
  uint32_t nativeCount_ = 0;
};

}  // namespace

Backend& NativeBackend() {
#ifdef _WIN32
  static win32::Win32Backend backend;
#else
  static hidraw::HidrawBackend backend;
#endif
  return backend;
}

void SetNativeBackendForTesting(Backend* backend) { g_testNativeBackend.store(backend); }

void SetBackendForTesting(Backend* backend) { g_testBackend.store(backend); }

InterfaceSet* CombineInterfaceSets(InterfaceSet* native, std::vector<std::string> virtualPaths) {
  if (virtualPaths.empty()) return native;
  auto* combined = new (std::nothrow) CombinedInterfaceSet(native, std::move(virtualPaths));
  if (combined == nullptr) delete native;
  return combined;
}

InterfaceSet* OpenInterfaceSet() {
  if (Backend* test = g_testBackend.load()) return test->OpenInterfaceSet();
  InterfaceSet* native = ActiveNativeBackend().OpenInterfaceSet();
  if (native == nullptr) return nullptr;
  return CombineInterfaceSets(native, vlink::ListVirtualTokens());
}

Device* OpenDevice(const char* path, IoMode io, ShareMode share, uint32_t* systemError) {
  if (Backend* test = g_testBackend.load()) return test->OpenDevice(path, io, share, systemError);
  if (path == nullptr) {
    *systemError = kErrorFileNotFound;
    return nullptr;
  }
  if (vlink::IsVirtualPath(path)) return vlink::OpenVirtualDevice(path, share, systemError);
  return ActiveNativeBackend().OpenDevice(path, io, share, systemError);
}

IdentityStatus ReadIdentity(const char* path, uint16_t* vendorId, uint16_t* productId) {
  if (Backend* test = g_testBackend.load()) return test->ReadIdentity(path, vendorId, productId);
  if (path == nullptr) return IdentityStatus::kUnreadable;
  // A virtual token answers only once connected.
  if (vlink::IsVirtualPath(path)) return IdentityStatus::kAskDevice;
  return ActiveNativeBackend().ReadIdentity(path, vendorId, productId);
}

}  // namespace qk::platform
