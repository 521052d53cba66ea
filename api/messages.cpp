// Message texts (GBK bytes, code page 936).
#include "api/messages.h"

#include <cstring>

#include "include/qktoken.h"

namespace qk {

// Written as escaped bytes so the texts do not depend on the source or
// execution character set. The comment beside each gives the text itself.
// clang-format off
const char* const MessageTable[kMessageCount] = {
    "\xB2\xD9\xD7\xF7\xB3\xC9\xB9\xA6",  // 操作成功
    "\xC9\xE8\xB1\xB8\xCE\xB4\xC1\xAC\xBD\xD3\xA3\xAC\xBB\xF2\xD5\xDF\xB1\xBB\xD2\xC6\xB3\xFD",  // 设备未连接，或者被移除
    "\xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3",  // 参数错误
    "\xCD\xA8\xD1\xB6\xB4\xED\xCE\xF3\xA3\xAC\xC0\xFD\xC8\xE7\xCA\xFD\xBE\xDD\xB4\xAB\xCA\xE4\xB3"
    "\xAC\xCA\xB1",  // 通讯错误，例如数据传输超时
    "\xBB\xBA\xB3\xE5\xC7\xF8\xBF\xD5\xBC\xE4\xB2\xBB\xD7\xE3",  // 缓冲区空间不足
    "\xC3\xBB\xD3\xD0\xD5\xD2\xB5\xBD\xC9\xE8\xB1\xB8\xC1\xD0\xB1\xED",  // 没有找到设备列表
    "\xBF\xAA\xB7\xA2\xC9\xCC\xBF\xDA\xC1\xEE\xC3\xBB\xD3\xD0\xD1\xE9\xD6\xA4",  // 开发商口令没有验证
    "\xD3\xC3\xBB\xA7\xBF\xDA\xC1\xEE\xC3\xBB\xD3\xD0\xD1\xE9\xD6\xA4",  // 用户口令没有验证
    "RSA\xCE\xC4\xBC\xFE\xB8\xF1\xCA\xBD\xB4\xED\xCE\xF3",  // RSA文件格式错误
    "\xC4\xBF\xC2\xBC\xC3\xBB\xD3\xD0\xD5\xD2\xB5\xBD",  // 目录没有找到
    "\xB7\xC3\xCE\xCA\xB1\xBB\xBE\xDC\xBE\xF8",  // 访问被拒绝
    "\xB2\xFA\xC6\xB7\xD2\xD1\xBE\xAD\xB3\xF5\xCA\xBC\xBB\xAF",  // 产品已经初始化
    "\xC3\xDC\xC2\xEB\xB2\xBB\xD5\xFD\xC8\xB7",  // 密码不正确
    "\xD6\xB8\xB6\xA8\xB5\xC4\xC4\xBF\xC2\xBC\xBF\xD5\xBC\xE4\xB4\xF3\xD0\xA1\xB2\xBB\xB9\xBB",  // 指定的目录空间大小不够
    "\xCE\xC4\xBC\xFE\xD2\xD1\xB4\xE6\xD4\xDA",  // 文件已存在
    "\xB9\xA6\xC4\xDC\xB2\xBB\xD6\xA7\xB3\xD6\xBB\xF2\xC9\xD0\xCE\xB4\xBD\xA8\xC1\xA2\xCE\xC4\xBC"
    "\xFE\xCF\xB5\xCD\xB3",  // 功能不支持或尚未建立文件系统
    "\xCE\xB4\xD5\xD2\xB5\xBD\xD6\xB8\xB6\xA8\xB5\xC4\xCE\xC4\xBC\xFE",  // 未找到指定的文件
    "\xBF\xA8\xD2\xD1\xBE\xAD\xB1\xBB\xB4\xF2\xBF\xAA",  // 卡已经被打开
    "\xC4\xBF\xC2\xBC\xD2\xD1\xB4\xE6\xD4\xDA",  // 目录已存在
    "\xD0\xE9\xC4\xE2\xBB\xFA\xC4\xDA\xB4\xE6\xB5\xD8\xD6\xB7\xD2\xE7\xB3\xF6",  // 虚拟机内存地址溢出
    "\xD0\xE9\xC4\xE2\xBB\xFA\xB4\xED\xCE\xF3\xB5\xC4\xD6\xB8\xD5\xEB",  // 虚拟机错误的指针
    "\xB3\xA3\xB9\xE6\xCE\xC4\xBC\xFE\xCF\xB5\xCD\xB3\xB4\xED\xCE\xF3",  // 常规文件系统错误
    "\xCE\xC4\xBC\xFE\xC6\xAB\xD2\xC6\xC1\xBF\xB3\xAC\xB3\xF6\xCE\xC4\xBC\xFE\xB4\xF3\xD0\xA1",  // 文件偏移量超出文件大小
    "\xCE\xC4\xBC\xFE\xC0\xE0\xD0\xCD\xB2\xBB\xC6\xA5\xC5\xE4",  // 文件类型不匹配
    "PIN\xC2\xEB\xCB\xF8\xCB\xC0",  // PIN码锁死
    "QKContext \xB2\xCE\xCA\xFD\xB4\xED\xCE\xF3",  // QKContext 参数错误
    "\xC1\xED\xD2\xBB\xB8\xF6\xB3\xCC\xD0\xF2\xD5\xFD\xD4\xDA\xCA\xB9\xD3\xC3\xB4\xCB\xCE\xC4\xBC"
    "\xFE\xA3\xAC\xBD\xF8\xB3\xCC\xCE\xDE\xB7\xA8\xB7\xC3\xCE\xCA",  // 另一个程序正在使用此文件，进程无法访问
    "\xCE\xB4\xD6\xAA\xB5\xC4\xB4\xED\xCE\xF3",  // 未知的错误
};

const char kWrongPinPrefix[] = "\xC3\xDC\xC2\xEB\xB4\xED\xCE\xF3,\xCA\xA3\xD3\xE0\xB4\xCE\xCA\xFD";  // 密码错误,剩余次数
const char kUnknownErrorText[] = "\xCE\xB4\xD6\xAA\xB4\xED\xCE\xF3";  // 未知错误
// clang-format on

namespace {

constexpr size_t kWorkingBufferSize = 256;

// Appends the decimal digits of `value` (no leading zeros) at `out`; returns the count.
size_t AppendDecimal(uint32_t value, char* out) {
  char digits[10];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = 0; i < count; ++i) out[i] = digits[count - 1 - i];
  return count;
}

// Composes the text for `code` into `buffer`; returns its length in bytes.
size_t ComposeMessage(uint32_t code, char (&buffer)[kWorkingBufferSize]) {
  const char* text = kUnknownErrorText;
  if (code == QK_E_FAILURE) {
    text = kUnknownErrorText;
  } else if ((code & QK_E_WRONG_PIN) == QK_E_WRONG_PIN) {
    size_t length = sizeof(kWrongPinPrefix) - 1;
    std::memcpy(buffer, kWrongPinPrefix, length);
    length += AppendDecimal(code & 0xFFu, buffer + length);
    buffer[length] = '\0';
    return length;
  } else if ((code & 0xFFu) < kMessageCount) {
    text = MessageTable[code & 0xFFu];
  }
  const size_t length = std::strlen(text);
  std::memcpy(buffer, text, length + 1);
  return length;
}

}  // namespace
}  // namespace qk

extern "C" QK_API uint32_t QK_CALL QKFormatErrorMessage(uint32_t code, char* text,
                                                        uint32_t maxLength) {
  char buffer[qk::kWorkingBufferSize];
  const size_t length = qk::ComposeMessage(code, buffer);
  if (length > maxLength) return QK_E_BUFFER_TOO_SMALL;
  // A null buffer with room claimed cannot take the text.
  if (text == nullptr) return QK_E_PARAMETER;
  std::memcpy(text, buffer, length + 1);
  return QK_E_SUCCESS;
}
