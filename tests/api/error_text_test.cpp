// QKGetErrorText: names, English and native texts of every code family, the
// native UTF-8 text against an independent UTF-8 -> GBK conversion, and the
// buffer contract (size counts the zero; nothing written when it is short).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "include/qktoken.h"
#include "tests/support/gbk.h"

namespace {

std::string Text(uint32_t code, uint32_t form) {
  char text[256];
  uint32_t needed = 0;
  const uint32_t rc = QKGetErrorText(code, form, text, sizeof text, &needed);
  EXPECT_EQ(rc, QK_E_SUCCESS) << std::hex << code;
  if (rc != QK_E_SUCCESS) return "";
  EXPECT_EQ(needed, std::strlen(text) + 1) << std::hex << code;
  return text;
}

std::string Formatted(uint32_t code) {
  char text[256] = {};
  EXPECT_EQ(QKFormatErrorMessage(code, text, 255), QK_E_SUCCESS);
  return text;
}

// One code of every family and every named code.
std::vector<uint32_t> SampleCodes() {
  std::vector<uint32_t> codes = {0,      QK_E_FAILURE, 0xF0000C00, 0xF0000C03, 0xF0000CFF, 0x6A82,
                                 0x0001, 0xFFFF,       0xF0001C07, 0xF00000FF, 0x12345678};
  for (uint32_t i = 1; i <= 0x21; ++i) codes.push_back(0xF0000000 + i);
  return codes;
}

// The named codes: 0x01..0x21.
bool IsNamed(uint32_t code) {
  return code >= 0xF0000001 && code <= 0xF0000021;
}

// Codes added after QKFormatErrorMessage's table: own native texts.
bool IsLater(uint32_t code) {
  return code >= QK_E_SESSION_REPLACED && code <= QK_E_WATCH_UNAVAILABLE;
}

}  // namespace

TEST(ErrorText, NamesEveryFamily) {
  const std::pair<uint32_t, const char*> cases[] = {
      {0, "QK_E_SUCCESS"},
      {QK_E_COMMUNICATION, "QK_E_COMMUNICATION"},
      {QK_E_UNKNOWN, "QK_E_UNKNOWN"},
      {QK_E_SESSION_REPLACED, "QK_E_SESSION_REPLACED"},
      {QK_E_LOCK_UNAVAILABLE, "QK_E_LOCK_UNAVAILABLE"},
      {QK_E_WAIT_CANCELLED, "QK_E_WAIT_CANCELLED"},
      {QK_E_WAIT_TIMEOUT, "QK_E_WAIT_TIMEOUT"},
      {QK_E_WATCH_UNAVAILABLE, "QK_E_WATCH_UNAVAILABLE"},
      {QK_E_LOCK_UNSAFE, "QK_E_LOCK_UNSAFE"},
      {0xF0000022, "0xF0000022"},  // past the named codes
      {0xF0000C00, "QK_E_WRONG_PIN+0"},
      {0xF0000CC3, "QK_E_WRONG_PIN+195"},
      {0x6A82, "SW_6A82"},
      {0x0001, "SW_0001"},
      {QK_E_FAILURE, "QK_E_FAILURE"},
      {0xF0001C07, "0xF0001C07"},  // not in the wrong-PIN range
      {0xF0000100, "0xF0000100"},
  };
  for (const auto& [code, name] : cases)
    EXPECT_EQ(Text(code, QK_TEXT_NAME), name) << std::hex << code;
}

TEST(ErrorText, EveryCodeHasDistinctEnglishAndEveryNamedCodeAName) {
  for (uint32_t code : SampleCodes()) {
    const std::string english = Text(code, QK_TEXT_ENGLISH);
    EXPECT_FALSE(english.empty()) << std::hex << code;
    for (unsigned char c : english) EXPECT_LT(c, 0x80) << english;
    if (IsNamed(code)) {
      EXPECT_EQ(Text(code, QK_TEXT_NAME).rfind("QK_E_", 0), 0u) << std::hex << code;
    }
  }
  EXPECT_EQ(Text(0xF0000C03, QK_TEXT_ENGLISH), "wrong PIN, 3 tries left");
  EXPECT_EQ(Text(0x6A82, QK_TEXT_ENGLISH), "the token answered status word 6A 82");
  // Named codes have texts of their own (0x02 and 0x0C differ, etc.).
  for (uint32_t a = 1; a <= 0x21; ++a) {
    for (uint32_t b = a + 1; b <= 0x21; ++b) {
      if (!IsNamed(0xF0000000 + a) || !IsNamed(0xF0000000 + b)) continue;
      EXPECT_NE(Text(0xF0000000 + a, QK_TEXT_ENGLISH), Text(0xF0000000 + b, QK_TEXT_ENGLISH))
          << a << " " << b;
      EXPECT_NE(Text(0xF0000000 + a, QK_TEXT_NATIVE_UTF8),
                Text(0xF0000000 + b, QK_TEXT_NATIVE_UTF8))
          << a << " " << b;
    }
  }
}

TEST(ErrorText, NativeTextsAreTheGbkTextsInUtf8) {
  REQUIRE_ICONV();
  for (uint32_t code : SampleCodes()) {
    const std::string utf8 = Text(code, QK_TEXT_NATIVE_UTF8);
    const std::string gbk = Text(code, QK_TEXT_NATIVE_GBK);
    EXPECT_EQ(Gbk(utf8), gbk) << std::hex << code;
    // QKFormatErrorMessage's texts, except the codes added after its table.
    if (!IsLater(code)) {
      EXPECT_EQ(gbk, Formatted(code)) << std::hex << code;
    } else {
      EXPECT_NE(gbk, Formatted(code)) << std::hex << code;
    }
  }
  EXPECT_EQ(Text(0xF0000C05, QK_TEXT_NATIVE_UTF8), "密码错误,剩余次数5");
  EXPECT_EQ(Text(QK_E_LOCK_UNAVAILABLE, QK_TEXT_NATIVE_UTF8), "无法获得设备锁");
  EXPECT_EQ(Text(QK_E_WAIT_TIMEOUT, QK_TEXT_NATIVE_UTF8), "等待设备变化超时");
  EXPECT_EQ(Text(QK_E_LOCK_UNSAFE, QK_TEXT_NATIVE_UTF8), "设备锁目录不安全");
  EXPECT_NE(Text(QK_E_LOCK_UNSAFE, QK_TEXT_ENGLISH).find("lock directory is unsafe"),
            std::string::npos);
  EXPECT_EQ(Text(0xF0000022, QK_TEXT_NATIVE_UTF8), "未知错误");
  EXPECT_EQ(Text(0xF0000022, QK_TEXT_NATIVE_GBK), Formatted(0xF0000022));
}

TEST(ErrorText, SizeCountsTheZeroAndShortBuffersStayUntouched) {
  // "QK_E_SUCCESS" is 12 characters: 13 bytes with the zero.
  char text[32];
  uint32_t needed = 0;
  std::memset(text, '#', sizeof text);
  EXPECT_EQ(QKGetErrorText(0, QK_TEXT_NAME, text, 12, &needed), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 13u);
  EXPECT_EQ(std::string(text, sizeof text), std::string(sizeof text, '#'));
  EXPECT_EQ(QKGetErrorText(0, QK_TEXT_NAME, text, 13, nullptr), QK_E_SUCCESS);
  EXPECT_EQ(std::string(text), "QK_E_SUCCESS");
  EXPECT_EQ(text[13], '#') << "nothing past the zero";

  needed = 0;
  EXPECT_EQ(QKGetErrorText(QK_E_SHARING_VIOLATION, QK_TEXT_NATIVE_GBK, nullptr, 1000, &needed),
            QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 39u);
  EXPECT_EQ(QKGetErrorText(0, QK_TEXT_NAME, nullptr, 0, nullptr), QK_E_BUFFER_TOO_SMALL);

  needed = 77;
  EXPECT_EQ(QKGetErrorText(0, 4, text, sizeof text, &needed), QK_E_PARAMETER);
  EXPECT_EQ(needed, 77u);
  EXPECT_EQ(QKGetErrorText(0, 0xFFFFFFFF, nullptr, 0, nullptr), QK_E_PARAMETER);
}
