// qktoken.dll as other programs load it: every call exported under its plain
// name (cdecl, no decoration), and callable through the export.
#include <gtest/gtest.h>

#include <cstring>

#include "include/qktoken.h"
#include "platform/win32/windows_sdk.h"

namespace {

TEST(Win32DllTest, EveryCallIsExportedUnderItsPlainNameAndWorks) {
  HMODULE dll = LoadLibraryA("qktoken.dll");
  ASSERT_NE(dll, nullptr) << "qktoken.dll not next to the test program";
  for (const char* name : {
           "QKFormatErrorMessage", "QKListDevices", "QKOpenDevice", "QKOpenDeviceShared",
           "QKCloseDevice", "QKVerifyPin", "QKUpdatePin", "QKMakeDir", "QKMakeDirEx",
           "QKSelectDir", "QKWipeDir", "QKMakeFile", "QKStoreFile", "QKMakeAndStoreFile",
           "QKExecute", "QKGenerateRsaKeyPair", "QKDeviceControl", "RsaPublicBlock",
           "RsaPublicDecrypt", "RsaPrivateBlock", "RsaPrivateEncrypt", "MpDecode", "MpEncode",
           "MpAdd", "MpSub", "MpShiftLeft", "MpShiftRight", "MpCompare", "MpIsZero",
           "MpDigitCount", "DigitBitCount", "MpBitCount", "MpCopy", "MpSetZero",
           "MpSetPowerOfTwo", "DigitMultiply", "DigitDivide", "MpAddDigitMultiple",
           "MpSubDigitMultiple", "MpMultiply", "MpDivide", "MpMod", "MpModMultiply", "MpModExp",
           "MpModInverse", "MpGcd", "ByteFill", "ByteCopy", "ByteCompare",
           "QKWaitForDeviceChange", "QKCancelDeviceWait", "QKSetLogCallback"}) {
    EXPECT_NE(GetProcAddress(dll, name), nullptr) << name;
  }
  const auto find = [dll](const char* name) {  // via void*: no function-type cast warning
    return reinterpret_cast<void*>(GetProcAddress(dll, name));
  };
  using FormatFn = uint32_t(QK_CALL*)(uint32_t, char*, uint32_t);
  using ListFn = uint32_t(QK_CALL*)(QKContext*, uint32_t*);
  auto format = reinterpret_cast<FormatFn>(find("QKFormatErrorMessage"));
  auto list = reinterpret_cast<ListFn>(find("QKListDevices"));
  ASSERT_TRUE(format != nullptr && list != nullptr);
  char text[256] = {};
  EXPECT_EQ(format(QK_E_PARAMETER, text, sizeof text - 1), 0u);
  EXPECT_GT(std::strlen(text), 0u);
  // With no token attached the listing answers 0 tokens, not an error.
  uint32_t count = 77;
  EXPECT_TRUE(list(nullptr, &count) == 0 && count == 0);
  // The device watch starts inside the DLL: a first wait returns a state at once.
  using WaitFn = uint32_t(QK_CALL*)(uint32_t*, uint32_t);
  auto wait = reinterpret_cast<WaitFn>(find("QKWaitForDeviceChange"));
  ASSERT_NE(wait, nullptr);
  uint32_t state = 0;
  EXPECT_EQ(wait(&state, 0), 0u);
  EXPECT_NE(state, 0u);
  EXPECT_EQ(wait(&state, 50), QK_E_WAIT_TIMEOUT);
  FreeLibrary(dll);
}

}  // namespace
