// qktoken.dll as other programs load it: every API call exported under its
// plain name (cdecl, no decoration), and callable through the export.
#include <gtest/gtest.h>

#include <cstring>

#include "include/qktoken.h"
#include "platform/win32/windows_sdk.h"

namespace {

const char* const kExports[] = {
    "QKFormatErrorMessage", "QKListDevices", "QKOpenDevice", "QKOpenDeviceShared",
    "QKCloseDevice", "QKVerifyPin", "QKUpdatePin", "QKMakeDir", "QKMakeDirEx", "QKSelectDir",
    "QKWipeDir", "QKMakeFile", "QKStoreFile", "QKMakeAndStoreFile", "QKExecute",
    "QKGenerateRsaKeyPair", "QKDeviceControl", "RsaPublicBlock", "RsaPublicDecrypt",
    "RsaPrivateBlock", "RsaPrivateEncrypt", "MpDecode", "MpEncode", "MpAdd", "MpSub",
    "MpShiftLeft", "MpShiftRight", "MpCompare", "MpIsZero", "MpDigitCount", "DigitBitCount",
    "MpBitCount", "MpCopy", "MpSetZero", "MpSetPowerOfTwo", "DigitMultiply", "DigitDivide",
    "MpAddDigitMultiple", "MpSubDigitMultiple", "MpMultiply", "MpDivide", "MpMod",
    "MpModMultiply", "MpModExp", "MpModInverse", "MpGcd", "ByteFill", "ByteCopy",
    "ByteCompare",
};

class Win32DllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dll_ = LoadLibraryA("qktoken.dll");
    ASSERT_NE(dll_, nullptr) << "qktoken.dll not next to the test program";
  }
  void TearDown() override {
    if (dll_ != nullptr) FreeLibrary(dll_);
  }
  FARPROC Find(const char* name) const { return GetProcAddress(dll_, name); }

  HMODULE dll_ = nullptr;
};

TEST_F(Win32DllTest, EveryCallIsExportedUnderItsPlainName) {
  for (const char* name : kExports) EXPECT_NE(Find(name), nullptr) << name;
}

TEST_F(Win32DllTest, ExportedCallsWorkThroughTheDllBoundary) {
  using FormatFn = uint32_t(QK_CALL*)(uint32_t, char*, uint32_t);
  auto format = reinterpret_cast<FormatFn>(reinterpret_cast<void*>(Find("QKFormatErrorMessage")));
  ASSERT_NE(format, nullptr);
  char text[256];
  std::memset(text, 0, sizeof text);
  EXPECT_EQ(format(QK_E_PARAMETER, text, sizeof text - 1), 0u);
  EXPECT_GT(std::strlen(text), 0u);

  // With no token attached the listing answers 0 tokens, not an error.
  using ListFn = uint32_t(QK_CALL*)(QKContext*, uint32_t*);
  auto list = reinterpret_cast<ListFn>(reinterpret_cast<void*>(Find("QKListDevices")));
  ASSERT_NE(list, nullptr);
  uint32_t count = 77;
  EXPECT_EQ(list(nullptr, &count), 0u);
  EXPECT_EQ(count, 0u);
}

}  // namespace
