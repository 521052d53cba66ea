// Message texts against an independent UTF-8 -> GBK conversion, the
// status-word table row by row, and the text-length protocol.
#include "api/messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "include/qktoken.h"

#if __has_include(<iconv.h>)
#include <iconv.h>
#define REQUIRE_ICONV()
#else  // Windows cross builds: the texts are checked where a converter exists
#define REQUIRE_ICONV() GTEST_SKIP() << "no iconv here"
#endif

namespace {

std::string Gbk(const std::string& utf8) {
  std::string out(utf8.size() * 2 + 4, '\0');
#if __has_include(<iconv.h>)
  iconv_t cd = iconv_open("GBK", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "no GBK converter";
    return "";
  }
  std::string in = utf8;
  char *inPtr = in.data(), *outPtr = out.data();
  size_t inLeft = in.size(), outLeft = out.size();
  EXPECT_NE(iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft), static_cast<size_t>(-1)) << utf8;
  iconv_close(cd);
  out.resize(out.size() - outLeft);
#endif
  return out;
}

std::string Format(uint32_t code) {
  char text[256];
  std::memset(text, 0x7E, sizeof(text));
  EXPECT_EQ(QKFormatErrorMessage(code, text, 255), QK_E_SUCCESS);
  return text;
}

TEST(Messages, EveryTextIsTheGbkOfItsMessageWithItsByteLength) {
  REQUIRE_ICONV();
  // Slot i holds the text of code 0xF0000000 + i (slot 0: success).
  const std::vector<std::pair<const char*, size_t>> rows = {
      {"操作成功", 8}, {"设备未连接，或者被移除", 22}, {"参数错误", 8},
      {"通讯错误，例如数据传输超时", 26}, {"缓冲区空间不足", 14}, {"没有找到设备列表", 16},
      {"开发商口令没有验证", 18}, {"用户口令没有验证", 16}, {"RSA文件格式错误", 15},
      {"目录没有找到", 12}, {"访问被拒绝", 10}, {"产品已经初始化", 14}, {"密码不正确", 10},
      {"指定的目录空间大小不够", 22}, {"文件已存在", 10}, {"功能不支持或尚未建立文件系统", 28},
      {"未找到指定的文件", 16}, {"卡已经被打开", 12}, {"目录已存在", 10},
      {"虚拟机内存地址溢出", 18}, {"虚拟机错误的指针", 16}, {"常规文件系统错误", 16},
      {"文件偏移量超出文件大小", 22}, {"文件类型不匹配", 14}, {"PIN码锁死", 9},
      {"QKContext 参数错误", 18}, {"另一个程序正在使用此文件，进程无法访问", 38}, {"未知的错误", 10}};
  ASSERT_EQ(rows.size(), qk::kMessageCount);
  for (uint32_t i = 0; i < rows.size(); ++i) {
    const std::string gbk = Gbk(rows[i].first);
    EXPECT_EQ(gbk.size(), rows[i].second) << rows[i].first;
    EXPECT_EQ(Format(i == 0 ? 0 : 0xF0000000 + i), gbk) << rows[i].first;
  }
}

TEST(Messages, FormatChoosesTheTextByTheFirstTestThatHolds) {
  REQUIRE_ICONV();
  const std::string unknown = Gbk("未知错误"), wrongPin = Gbk("密码错误,剩余次数");
  EXPECT_EQ(unknown.size(), 8u);
  const std::pair<uint32_t, std::string> cases[] = {
      {0xFFFFFFFF, unknown}, {0xF000001C, unknown}, {0x00006A8A, unknown},
      {0xF0000C00, wrongPin + "0"}, {0xF0000C05, wrongPin + "5"},  // before the table: not slot 5
      {0xF0000CFF, wrongPin + "255"}, {0xF0001C07, wrongPin + "7"},  // only the wrong-PIN bits
      {0x00006E00, Gbk("操作成功")},  // raw status word: the slot of its low byte
      {0x1234561B, Gbk("未知的错误")}};
  for (const auto& c : cases) EXPECT_EQ(Format(c.first), c.second) << std::hex << c.first;
}

TEST(Messages, FormatNeedsRoomForTheWholeTextAndWritesNothingOtherwise) {
  const struct {
    uint32_t code, maxLength, result;
  } cases[] = {{0, 8, QK_E_SUCCESS},           {0, 7, QK_E_BUFFER_TOO_SMALL},
               {0, 0, QK_E_BUFFER_TOO_SMALL},  {0xF0000CFF, 20, QK_E_SUCCESS},
               {0xF0000CFF, 19, QK_E_BUFFER_TOO_SMALL}, {0xF0000C09, 18, QK_E_SUCCESS},
               {0xF0000C09, 17, QK_E_BUFFER_TOO_SMALL}};
  for (const auto& c : cases) {
    char text[64];
    std::memset(text, 0x7E, sizeof(text));
    EXPECT_EQ(QKFormatErrorMessage(c.code, text, c.maxLength), c.result) << std::hex << c.code;
    const size_t written = c.result == QK_E_SUCCESS ? c.maxLength + 1 : 0;
    EXPECT_TRUE(written == 0 || std::strlen(text) == c.maxLength) << std::hex << c.code;
    for (size_t i = written; i < sizeof(text); ++i) ASSERT_EQ(text[i], 0x7E) << i;
  }
  EXPECT_EQ(QKFormatErrorMessage(0, nullptr, 100), QK_E_PARAMETER);
  EXPECT_EQ(QKFormatErrorMessage(0, nullptr, 0), QK_E_BUFFER_TOO_SMALL);
}

TEST(Messages, StatusWordTableInOrder) {
  std::vector<std::pair<uint16_t, uint32_t>> rows = {
      {0x9000, 0},          {0x6D80, 0xF0000006}, {0x6D81, 0xF0000007}, {0x6D82, 0xF0000012},
      {0x6D83, 0xF0000002}, {0x6D84, 0xF000000F}, {0x6D85, 0xF0000017}, {0x6D86, 0xF0000008},
      {0x6D87, 0xF0000002}, {0x6D88, 0xF0000009}, {0x6D89, 0xF000000A}, {0x6D8A, 0xF000000B},
      {0x6D8B, 0xF0000C00}, {0x6D8C, 0xF000000F}, {0x6A80, 0xF0000002}, {0x6A81, 0xF000000F},
      {0x6A82, 0xF0000010}, {0x6A83, 0xF0000010}, {0x6A84, 0xF000000D}, {0x6A85, 0xF0000008},
      {0x6A86, 0xF0000002}, {0x6A87, 0xF0000002}, {0x6A88, 0xF0000002}, {0x6A89, 0xF000000E},
      {0x6581, 0xF0000013}, {0x6582, 0xF0000014}};
  for (uint16_t sw = 0x65E0; sw <= 0x65EF; ++sw) rows.push_back({sw, 0xF0000015});
  rows.insert(rows.end(), {{0x6700, 0xF0000016}, {0x6981, 0xF0000017}, {0x6983, 0xF0000018}});
  ASSERT_EQ(rows.size(), qk::kStatusWordCount);
  for (size_t i = 0; i < rows.size(); ++i) {
    const auto [sw, code] = rows[i];
    EXPECT_EQ(qk::StatusWordTable[i].sw1 << 8 | qk::StatusWordTable[i].sw2, sw) << "row " << i;
    EXPECT_EQ(qk::StatusWordTable[i].flags, 0u) << "row " << i;
    EXPECT_EQ(qk::MapStatusWord(uint8_t(sw >> 8), uint8_t(sw)), code) << std::hex << sw;
  }
}

TEST(Messages, WrongPinFamilyCarriesSw2AndUnmappedWordsComeBackRaw) {
  for (uint32_t sw2 = 0; sw2 <= 0xFF; ++sw2) {
    EXPECT_EQ(qk::MapStatusWord(0x63, uint8_t(sw2)), 0xF0000C00u + sw2);
  }
  for (uint32_t sw : {0u, 0x6E00u, 0x6701u, 0x65DFu, 0x65F0u, 0x6A8Au, 0x9001u, 0x6D00u, 0x6982u}) {
    EXPECT_EQ(qk::MapStatusWord(uint8_t(sw >> 8), uint8_t(sw)), sw) << std::hex << sw;
  }
}

}  // namespace
