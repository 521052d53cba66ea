// Result-code texts in every form: the symbolic name, an English text, and the
// library's own (Chinese) text in UTF-8 or GBK.
//
// Families, in the order they are tested:
//   0xFFFFFFFF                  QK_E_FAILURE
//   0xF0000C00 .. 0xF0000CFF    QK_E_WRONG_PIN+n (n = tries left)
//   0x00000000, 0xF0000001 ..   the named codes
//   0x00000001 .. 0x0000FFFF    SW_XXXX, a status word the library does not map
//   anything else               its value, "0xXXXXXXXX"
// The native forms follow QKFormatErrorMessage for every code, except the
// codes added after its table (QK_E_SESSION_REPLACED and later),
// which get texts of their own here while QKFormatErrorMessage keeps
// answering its unknown-code text for them.
#include <cstdio>
#include <cstring>

#include "include/qktoken.h"

namespace {

struct CodeText {
  const char* name;
  const char* english;
  const char* nativeUtf8;
};

// Indexed by the low byte of the code: slot 0 is success, slot n is 0xF0000000 + n.
// UTF-8 literals keep the texts independent of the execution character set.
const CodeText kNamed[] = {
    {"QK_E_SUCCESS", "success", u8"操作成功"},
    {"QK_E_DEVICE_NOT_CONNECTED", "the token is not connected, or was removed",
     u8"设备未连接，或者被移除"},
    {"QK_E_PARAMETER", "invalid parameter", u8"参数错误"},
    {"QK_E_COMMUNICATION", "communication error, such as a time-out while exchanging data",
     u8"通讯错误，例如数据传输超时"},
    {"QK_E_BUFFER_TOO_SMALL", "the buffer is too small", u8"缓冲区空间不足"},
    {"QK_E_NO_DEVICE_LIST", "the list of devices could not be read", u8"没有找到设备列表"},
    {"QK_E_DEV_PIN_NOT_VERIFIED", "the developer PIN has not been verified",
     u8"开发商口令没有验证"},
    {"QK_E_USER_PIN_NOT_VERIFIED", "the user PIN has not been verified", u8"用户口令没有验证"},
    {"QK_E_RSA_FILE_FORMAT", "RSA file format error", u8"RSA文件格式错误"},
    {"QK_E_DIR_NOT_FOUND", "directory not found", u8"目录没有找到"},
    {"QK_E_ACCESS_DENIED", "access denied", u8"访问被拒绝"},
    {"QK_E_ALREADY_INITIALIZED", "the token is already initialised", u8"产品已经初始化"},
    {"QK_E_INCORRECT_PIN", "incorrect PIN", u8"密码不正确"},
    {"QK_E_DIR_SPACE", "not enough space in the directory", u8"指定的目录空间大小不够"},
    {"QK_E_FILE_EXISTS", "the file already exists", u8"文件已存在"},
    {"QK_E_UNSUPPORTED", "not supported, or the token has no file system yet",
     u8"功能不支持或尚未建立文件系统"},
    {"QK_E_FILE_NOT_FOUND", "file not found", u8"未找到指定的文件"},
    {"QK_E_ALREADY_OPENED", "the token is already open", u8"卡已经被打开"},
    {"QK_E_DIR_EXISTS", "the directory already exists", u8"目录已存在"},
    {"QK_E_VM_ADDRESS_OVERFLOW", "the token's program addressed memory out of range",
     u8"虚拟机内存地址溢出"},
    {"QK_E_VM_BAD_POINTER", "the token's program used a bad pointer", u8"虚拟机错误的指针"},
    {"QK_E_FILE_SYSTEM", "file-system error in the token", u8"常规文件系统错误"},
    {"QK_E_OFFSET_BEYOND_FILE", "offset beyond the end of the file", u8"文件偏移量超出文件大小"},
    {"QK_E_FILE_TYPE_MISMATCH", "the file's type does not allow this", u8"文件类型不匹配"},
    {"QK_E_PIN_BLOCKED", "the PIN is blocked", u8"PIN码锁死"},
    {"QK_E_CONTEXT", "invalid QKContext: not listed, or not open", u8"QKContext 参数错误"},
    {"QK_E_SHARING_VIOLATION", "another program is using the token",
     u8"另一个程序正在使用此文件，进程无法访问"},
    {"QK_E_UNKNOWN", "unknown error", u8"未知的错误"},
    {"QK_E_SESSION_REPLACED",
     "another handle to the token started a new session; close and open the token again",
     u8"会话已被替换，请重新打开设备"},
    {"QK_E_LOCK_UNAVAILABLE", "the token's exchange lock could not be had in time",
     u8"无法获得设备锁"},
    {"QK_E_LOCK_UNSAFE",
     "the token's lock directory is unsafe: another user could reach or replace it",
     u8"设备锁目录不安全"},
    {"QK_E_WAIT_CANCELLED", "the wait for a device change was cancelled", u8"等待设备变化已取消"},
    {"QK_E_WAIT_TIMEOUT", "no device change within the time limit", u8"等待设备变化超时"},
    {"QK_E_WATCH_UNAVAILABLE", "the attached devices cannot be watched on this system",
     u8"无法监视设备的插拔"},
};
constexpr uint32_t kNamedCount = sizeof(kNamed) / sizeof(kNamed[0]);
// QKFormatErrorMessage's table ends before these slots.
constexpr uint32_t kFirstLaterCode = 0x1C;

// GBK of the later codes' native texts (the comments give the text).
// clang-format off
const char* const kLaterGbk[] = {
    "\xBB\xE1\xBB\xB0\xD2\xD1\xB1\xBB\xCC\xE6\xBB\xBB\xA3\xAC\xC7\xEB\xD6\xD8\xD0\xC2\xB4\xF2\xBF"
    "\xAA\xC9\xE8\xB1\xB8",  // 会话已被替换，请重新打开设备
    "\xCE\xDE\xB7\xA8\xBB\xF1\xB5\xC3\xC9\xE8\xB1\xB8\xCB\xF8",  // 无法获得设备锁
    "\xC9\xE8\xB1\xB8\xCB\xF8\xC4\xBF\xC2\xBC\xB2\xBB\xB0\xB2\xC8\xAB",  // 设备锁目录不安全
    "\xB5\xC8\xB4\xFD\xC9\xE8\xB1\xB8\xB1\xE4\xBB\xAF\xD2\xD1\xC8\xA1\xCF\xFB",  // 等待设备变化已取消
    "\xB5\xC8\xB4\xFD\xC9\xE8\xB1\xB8\xB1\xE4\xBB\xAF\xB3\xAC\xCA\xB1",  // 等待设备变化超时
    "\xCE\xDE\xB7\xA8\xBC\xE0\xCA\xD3\xC9\xE8\xB1\xB8\xB5\xC4\xB2\xE5\xB0\xCE",  // 无法监视设备的插拔
};
// clang-format on

const char kWrongPinUtf8[] = u8"密码错误,剩余次数";
const char kUnknownUtf8[] = u8"未知错误";

constexpr size_t kTextCapacity = 256;

bool IsWrongPin(uint32_t code) { return (code & 0xFFFFFF00u) == QK_E_WRONG_PIN; }

// The named slot of `code`, or -1.
int NamedSlot(uint32_t code) {
  if (code == QK_E_SUCCESS) return 0;
  if ((code & 0xFFFFFF00u) == 0xF0000000u && (code & 0xFFu) != 0 && (code & 0xFFu) < kNamedCount &&
      kNamed[code & 0xFFu].name != nullptr) {
    return static_cast<int>(code & 0xFFu);
  }
  return -1;
}

void ComposeName(uint32_t code, char* out) {
  const int slot = NamedSlot(code);
  if (code == QK_E_FAILURE) {
    std::snprintf(out, kTextCapacity, "QK_E_FAILURE");
  } else if (IsWrongPin(code)) {
    std::snprintf(out, kTextCapacity, "QK_E_WRONG_PIN+%u", static_cast<unsigned>(code & 0xFFu));
  } else if (slot >= 0) {
    std::snprintf(out, kTextCapacity, "%s", kNamed[slot].name);
  } else if (code < 0x10000u) {
    std::snprintf(out, kTextCapacity, "SW_%04X", static_cast<unsigned>(code));
  } else {
    std::snprintf(out, kTextCapacity, "0x%08X", static_cast<unsigned>(code));
  }
}

void ComposeEnglish(uint32_t code, char* out) {
  const int slot = NamedSlot(code);
  if (code == QK_E_FAILURE) {
    std::snprintf(out, kTextCapacity, "transport failure: the token's input could not be flushed");
  } else if (IsWrongPin(code)) {
    std::snprintf(out, kTextCapacity, "wrong PIN, %u tries left",
                  static_cast<unsigned>(code & 0xFFu));
  } else if (slot >= 0) {
    std::snprintf(out, kTextCapacity, "%s", kNamed[slot].english);
  } else if (code < 0x10000u) {
    std::snprintf(out, kTextCapacity, "the token answered status word %02X %02X",
                  static_cast<unsigned>(code >> 8), static_cast<unsigned>(code & 0xFFu));
  } else {
    std::snprintf(out, kTextCapacity, "unknown result code 0x%08X", static_cast<unsigned>(code));
  }
}

bool IsLaterCode(uint32_t code) {
  return (code & 0xFFFFFF00u) == 0xF0000000u && (code & 0xFFu) >= kFirstLaterCode &&
         (code & 0xFFu) < kNamedCount && kNamed[code & 0xFFu].name != nullptr;
}

// The same choice QKFormatErrorMessage makes, in UTF-8.
void ComposeNativeUtf8(uint32_t code, char* out) {
  if (IsLaterCode(code)) {
    std::snprintf(out, kTextCapacity, "%s", kNamed[code & 0xFFu].nativeUtf8);
  } else if (code == QK_E_FAILURE) {
    std::snprintf(out, kTextCapacity, "%s", kUnknownUtf8);
  } else if ((code & QK_E_WRONG_PIN) == QK_E_WRONG_PIN) {
    std::snprintf(out, kTextCapacity, "%s%u", kWrongPinUtf8, static_cast<unsigned>(code & 0xFFu));
  } else if ((code & 0xFFu) < kFirstLaterCode) {
    std::snprintf(out, kTextCapacity, "%s", kNamed[code & 0xFFu].nativeUtf8);
  } else {
    std::snprintf(out, kTextCapacity, "%s", kUnknownUtf8);
  }
}

void ComposeNativeGbk(uint32_t code, char* out) {
  if (IsLaterCode(code)) {
    std::snprintf(out, kTextCapacity, "%s", kLaterGbk[(code & 0xFFu) - kFirstLaterCode]);
  } else if (QKFormatErrorMessage(code, out, kTextCapacity - 1) != QK_E_SUCCESS) {
    out[0] = '\0';  // every text fits; kept for safety
  }
}

}  // namespace

extern "C" QK_API uint32_t QK_CALL QKGetErrorText(uint32_t code, uint32_t form, char* text,
                                                  uint32_t size, uint32_t* needed) {
  char composed[kTextCapacity] = {};
  switch (form) {
    case QK_TEXT_NAME:
      ComposeName(code, composed);
      break;
    case QK_TEXT_ENGLISH:
      ComposeEnglish(code, composed);
      break;
    case QK_TEXT_NATIVE_UTF8:
      ComposeNativeUtf8(code, composed);
      break;
    case QK_TEXT_NATIVE_GBK:
      ComposeNativeGbk(code, composed);
      break;
    default:
      return QK_E_PARAMETER;
  }
  const uint32_t required = static_cast<uint32_t>(std::strlen(composed)) + 1;
  if (text == nullptr || size < required) {
    if (needed != nullptr) *needed = required;
    return QK_E_BUFFER_TOO_SMALL;
  }
  std::memcpy(text, composed, required);
  if (needed != nullptr) *needed = required;
  return QK_E_SUCCESS;
}
