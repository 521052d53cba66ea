// Message texts checked against an independent UTF-8 -> GBK conversion, the
// status-word table row by row, and the text-length protocol.
#include "api/messages.h"

#include <gtest/gtest.h>
#if __has_include(<iconv.h>)
#include <iconv.h>
#define QK_TEST_HAVE_ICONV 1
#endif

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "include/qktoken.h"

namespace {

#if defined(QK_TEST_HAVE_ICONV)
#define REQUIRE_ICONV()
std::string ToGbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  std::string in = utf8;
  std::string out(in.size() * 2 + 4, '\0');
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = out.data();
  size_t outLeft = out.size();
  EXPECT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1)) << utf8;
  iconv_close(cd);
  out.resize(out.size() - outLeft);
  return out;
}
#else
// Without a converter (Windows cross builds) the texts are checked on the
// systems that have one.
#define REQUIRE_ICONV() GTEST_SKIP() << "no iconv here"
std::string ToGbk(const std::string& utf8) { return utf8; }
#endif

std::string Format(uint32_t code) {
  char text[256];
  std::memset(text, 0x7E, sizeof(text));
  EXPECT_EQ(QKFormatErrorMessage(code, text, 255), QK_E_SUCCESS);
  return text;
}

struct MessageRow {
  uint32_t code;
  const char* utf8;
  size_t bytes;
};

const MessageRow kMessages[] = {
    {0x00000000, "操作成功", 8},
    {0xF0000001, "设备未连接，或者被移除", 22},
    {0xF0000002, "参数错误", 8},
    {0xF0000003, "通讯错误，例如数据传输超时", 26},
    {0xF0000004, "缓冲区空间不足", 14},
    {0xF0000005, "没有找到设备列表", 16},
    {0xF0000006, "开发商口令没有验证", 18},
    {0xF0000007, "用户口令没有验证", 16},
    {0xF0000008, "RSA文件格式错误", 15},
    {0xF0000009, "目录没有找到", 12},
    {0xF000000A, "访问被拒绝", 10},
    {0xF000000B, "产品已经初始化", 14},
    {0xF000000C, "密码不正确", 10},
    {0xF000000D, "指定的目录空间大小不够", 22},
    {0xF000000E, "文件已存在", 10},
    {0xF000000F, "功能不支持或尚未建立文件系统", 28},
    {0xF0000010, "未找到指定的文件", 16},
    {0xF0000011, "卡已经被打开", 12},
    {0xF0000012, "目录已存在", 10},
    {0xF0000013, "虚拟机内存地址溢出", 18},
    {0xF0000014, "虚拟机错误的指针", 16},
    {0xF0000015, "常规文件系统错误", 16},
    {0xF0000016, "文件偏移量超出文件大小", 22},
    {0xF0000017, "文件类型不匹配", 14},
    {0xF0000018, "PIN码锁死", 9},
    {0xF0000019, "QKContext 参数错误", 18},
    {0xF000001A, "另一个程序正在使用此文件，进程无法访问", 38},
    {0xF000001B, "未知的错误", 10},
};

TEST(MessageTable, EveryTextIsTheGbkOfItsMessageWithItsByteLength) {
  REQUIRE_ICONV();
  ASSERT_EQ(std::size(kMessages), qk::kMessageCount);
  for (const MessageRow& row : kMessages) {
    const std::string gbk = ToGbk(row.utf8);
    EXPECT_EQ(gbk.size(), row.bytes) << row.utf8;
    EXPECT_EQ(std::string(qk::MessageTable[row.code & 0xFF]), gbk) << row.utf8;
    EXPECT_EQ(Format(row.code), gbk) << std::hex << row.code;
  }
}

TEST(MessageTable, TheTwoExtraTextsAreGbk) {
  REQUIRE_ICONV();
  EXPECT_EQ(std::string(qk::kUnknownErrorText), ToGbk("未知错误"));
  EXPECT_EQ(std::string(qk::kUnknownErrorText).size(), 8u);
  EXPECT_EQ(std::string(qk::kWrongPinPrefix), ToGbk("密码错误,剩余次数"));
}

TEST(FormatErrorMessage, ChoosesTheTextByTheFirstTestThatHolds) {
  REQUIRE_ICONV();
  const std::string unknown = ToGbk("未知错误");
  const std::string wrongPin = ToGbk("密码错误,剩余次数");
  const struct {
    uint32_t code;
    std::string expected;
  } cases[] = {
      {0xFFFFFFFF, unknown},
      {0xF000001C, unknown},
      {0x000000FF, unknown},
      {0xF0000C00, wrongPin + "0"},
      {0xF0000C03, wrongPin + "3"},
      {0xF0000C05, wrongPin + "5"},  // before the table: not slot 5
      {0xF0000CC3, wrongPin + "195"},
      {0xF0000CFF, wrongPin + "255"},
      {0xF0001C07, wrongPin + "7"},  // only the wrong-PIN bits are tested
      {0xFFFFFC00, wrongPin + "0"},
      {0x00006E00, ToGbk("操作成功")},  // raw status word: slot of its low byte
      {0x00006701, ToGbk("设备未连接，或者被移除")},
      {0x00006A8A, unknown},
      {0x1234561B, ToGbk("未知的错误")},
  };
  for (const auto& c : cases) EXPECT_EQ(Format(c.code), c.expected) << std::hex << c.code;
}

TEST(FormatErrorMessage, ComparesTheTextLengthWithMaxLengthAndWritesNothingWhenShort) {
  const struct {
    uint32_t code;
    uint32_t maxLength;
    uint32_t result;
  } cases[] = {
      {0, 8, QK_E_SUCCESS},
      {0, 7, QK_E_BUFFER_TOO_SMALL},
      {0, 0, QK_E_BUFFER_TOO_SMALL},
      {0xFFFFFFFF, 0, QK_E_BUFFER_TOO_SMALL},
      {0xF0000018, 9, QK_E_SUCCESS},
      {0xF0000018, 8, QK_E_BUFFER_TOO_SMALL},
      {0xF0000CFF, 20, QK_E_SUCCESS},  // 17 bytes of text and three digits
      {0xF0000CFF, 19, QK_E_BUFFER_TOO_SMALL},
      {0xF0000C09, 18, QK_E_SUCCESS},
      {0xF0000C09, 17, QK_E_BUFFER_TOO_SMALL},
  };
  for (const auto& c : cases) {
    char text[64];
    std::memset(text, 0x7E, sizeof(text));
    EXPECT_EQ(QKFormatErrorMessage(c.code, text, c.maxLength), c.result)
        << std::hex << c.code << " " << std::dec << c.maxLength;
    if (c.result == QK_E_SUCCESS) {
      EXPECT_EQ(std::strlen(text), c.maxLength) << "exactly maxLength bytes and the NUL";
      EXPECT_EQ(text[c.maxLength + 1], 0x7E) << "nothing past the NUL";
    } else {
      for (char byte : text) ASSERT_EQ(byte, 0x7E) << "nothing written";
    }
  }
}

TEST(FormatErrorMessage, NullTextWithRoomIsAParameterError) {
  EXPECT_EQ(QKFormatErrorMessage(0, nullptr, 100), QK_E_PARAMETER);
  EXPECT_EQ(QKFormatErrorMessage(0, nullptr, 0), QK_E_BUFFER_TOO_SMALL);
}

struct StatusRow {
  uint8_t sw1, sw2;
  uint32_t code;
};

TEST(MapStatusWord, EveryRowOfTheTableInOrder) {
  std::vector<StatusRow> rows = {
      {0x90, 0x00, 0x00000000}, {0x6D, 0x80, 0xF0000006}, {0x6D, 0x81, 0xF0000007},
      {0x6D, 0x82, 0xF0000012}, {0x6D, 0x83, 0xF0000002}, {0x6D, 0x84, 0xF000000F},
      {0x6D, 0x85, 0xF0000017}, {0x6D, 0x86, 0xF0000008}, {0x6D, 0x87, 0xF0000002},
      {0x6D, 0x88, 0xF0000009}, {0x6D, 0x89, 0xF000000A}, {0x6D, 0x8A, 0xF000000B},
      {0x6D, 0x8B, 0xF0000C00}, {0x6D, 0x8C, 0xF000000F}, {0x6A, 0x80, 0xF0000002},
      {0x6A, 0x81, 0xF000000F}, {0x6A, 0x82, 0xF0000010}, {0x6A, 0x83, 0xF0000010},
      {0x6A, 0x84, 0xF000000D}, {0x6A, 0x85, 0xF0000008}, {0x6A, 0x86, 0xF0000002},
      {0x6A, 0x87, 0xF0000002}, {0x6A, 0x88, 0xF0000002}, {0x6A, 0x89, 0xF000000E},
      {0x65, 0x81, 0xF0000013}, {0x65, 0x82, 0xF0000014},
  };
  for (int sw2 = 0xE0; sw2 <= 0xEF; ++sw2) {
    rows.push_back({0x65, static_cast<uint8_t>(sw2), 0xF0000015});
  }
  rows.push_back({0x67, 0x00, 0xF0000016});
  rows.push_back({0x69, 0x81, 0xF0000017});
  rows.push_back({0x69, 0x83, 0xF0000018});
  ASSERT_EQ(rows.size(), qk::kStatusWordCount);
  for (size_t i = 0; i < rows.size(); ++i) {
    const StatusRow& row = rows[i];
    EXPECT_EQ(qk::StatusWordTable[i].sw1, row.sw1) << "row " << i;
    EXPECT_EQ(qk::StatusWordTable[i].sw2, row.sw2) << "row " << i;
    EXPECT_EQ(qk::StatusWordTable[i].flags, 0u) << "row " << i;
    EXPECT_EQ(qk::MapStatusWord(row.sw1, row.sw2), row.code)
        << std::hex << int{row.sw1} << " " << int{row.sw2};
  }
}

TEST(MapStatusWord, WrongPinFamilyCarriesTheWholeSw2) {
  for (int sw2 = 0; sw2 <= 0xFF; ++sw2) {
    EXPECT_EQ(qk::MapStatusWord(0x63, static_cast<uint8_t>(sw2)),
              0xF0000C00u + static_cast<uint32_t>(sw2));
  }
}

TEST(MapStatusWord, UnmappedWordsComeBackRaw) {
  const StatusRow cases[] = {
      {0x00, 0x00, 0x00000000}, {0x6E, 0x00, 0x00006E00}, {0x67, 0x01, 0x00006701},
      {0x65, 0xDF, 0x000065DF}, {0x65, 0xF0, 0x000065F0}, {0x6A, 0x8A, 0x00006A8A},
      {0x90, 0x01, 0x00009001}, {0x6D, 0x00, 0x00006D00}, {0xFF, 0xFF, 0x0000FFFF},
      {0x69, 0x82, 0x00006982},
  };
  for (const StatusRow& c : cases) {
    EXPECT_EQ(qk::MapStatusWord(c.sw1, c.sw2), c.code) << std::hex << c.code;
  }
}

}  // namespace
