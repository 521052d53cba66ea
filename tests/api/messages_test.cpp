// Message texts against an independent UTF-8 -> GBK conversion, the
// status-word table, and the text-length protocol.
#include "api/messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "include/qktoken.h"
#include "tests/support/gbk.h"

static std::string Format(uint32_t code) {
  char text[256] = {};
  EXPECT_EQ(QKFormatErrorMessage(code, text, 255), QK_E_SUCCESS);
  return text;
}

// Catches a changed, missing or shifted message text.
TEST(Messages, EveryTextIsTheGbkOfItsMessage) {
  REQUIRE_ICONV();
  // Slot i holds the text of code 0xF0000000 + i (slot 0: success).
  const std::vector<const char*> rows = {"操作成功",
                                         "设备未连接，或者被移除",
                                         "参数错误",
                                         "通讯错误，例如数据传输超时",
                                         "缓冲区空间不足",
                                         "没有找到设备列表",
                                         "开发商口令没有验证",
                                         "用户口令没有验证",
                                         "RSA文件格式错误",
                                         "目录没有找到",
                                         "访问被拒绝",
                                         "产品已经初始化",
                                         "密码不正确",
                                         "指定的目录空间大小不够",
                                         "文件已存在",
                                         "功能不支持或尚未建立文件系统",
                                         "未找到指定的文件",
                                         "卡已经被打开",
                                         "目录已存在",
                                         "虚拟机内存地址溢出",
                                         "虚拟机错误的指针",
                                         "常规文件系统错误",
                                         "文件偏移量超出文件大小",
                                         "文件类型不匹配",
                                         "PIN码锁死",
                                         "QKContext 参数错误",
                                         "另一个程序正在使用此文件，进程无法访问",
                                         "未知的错误"};
  ASSERT_EQ(rows.size(), qk::kMessageCount);
  for (uint32_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(Format(i == 0 ? 0 : 0xF0000000 + i), Gbk(rows[i])) << rows[i];
  }
}

TEST(Messages, FormatChoosesTheTextByTheFirstTestThatHolds) {
  REQUIRE_ICONV();
  const std::string wrongPin = Gbk("密码错误,剩余次数");
  const std::pair<uint32_t, std::string> cases[] = {
      {0xFFFFFFFF, Gbk("未知错误")},
      {0xF0000C05, wrongPin + "5"},  // before the table
      {0xF0001C07, wrongPin + "7"},
      {0x00006E00, Gbk("操作成功")}};  // raw word: low byte
  for (const auto& c : cases) EXPECT_EQ(Format(c.first), c.second) << std::hex << c.first;
}

TEST(Messages, FormatNeedsRoomForTheWholeText) {
  char text[8];
  EXPECT_EQ(QKFormatErrorMessage(0, text, 7), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(QKFormatErrorMessage(0xF0000CFF, nullptr, 100), QK_E_PARAMETER);
}

TEST(Messages, EveryStatusWord) {
  // The token's status words with a meaning of their own (low bits of the code).
  std::map<uint32_t, uint32_t> rows = {
      {0x9000, 0x00}, {0x6D80, 0x06}, {0x6D81, 0x07},  {0x6D82, 0x12}, {0x6D83, 0x02},
      {0x6D84, 0x0F}, {0x6D85, 0x17}, {0x6D86, 0x08},  {0x6D87, 0x02}, {0x6D88, 0x09},
      {0x6D89, 0x0A}, {0x6D8A, 0x0B}, {0x6D8B, 0xC00}, {0x6D8C, 0x0F}, {0x6A80, 0x02},
      {0x6A81, 0x0F}, {0x6A82, 0x10}, {0x6A83, 0x10},  {0x6A84, 0x0D}, {0x6A85, 0x08},
      {0x6A86, 0x02}, {0x6A87, 0x02}, {0x6A88, 0x02},  {0x6A89, 0x0E}, {0x6581, 0x13},
      {0x6582, 0x14}, {0x6700, 0x16}, {0x6981, 0x17},  {0x6983, 0x18}};
  for (uint32_t sw = 0x65E0; sw <= 0x65EF; ++sw) rows[sw] = 0x15;
  // 63 xx carries the tries left whole; every other word comes back raw.
  for (uint32_t sw = 0; sw <= 0xFFFF; ++sw) {
    const auto row = rows.find(sw);
    const uint32_t expected = (sw >> 8) == 0x63   ? 0xF0000C00 | (sw & 0xFF)
                              : row == rows.end() ? sw
                              : row->second == 0  ? 0
                                                  : 0xF0000000 | row->second;
    ASSERT_EQ(qk::MapStatusWord(uint8_t(sw >> 8), uint8_t(sw)), expected) << std::hex << sw;
  }
}
