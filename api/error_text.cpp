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

#include "api/native_texts.h"
#include "include/qktoken.h"

namespace qk {
namespace {

struct CodeText {
  const char* name;
  const char* english;
};

// Indexed by the low byte of the code: slot 0 is success, slot n is 0xF0000000 + n.
const CodeText kNamed[] = {
    {"QK_E_SUCCESS", "success"},
    {"QK_E_DEVICE_NOT_CONNECTED", "the token is not connected, or was removed"},
    {"QK_E_PARAMETER", "invalid parameter"},
    {"QK_E_COMMUNICATION", "communication error, such as a time-out while exchanging data"},
    {"QK_E_BUFFER_TOO_SMALL", "the buffer is too small"},
    {"QK_E_NO_DEVICE_LIST", "the list of devices could not be read"},
    {"QK_E_DEV_PIN_NOT_VERIFIED", "the developer PIN has not been verified"},
    {"QK_E_USER_PIN_NOT_VERIFIED", "the user PIN has not been verified"},
    {"QK_E_RSA_FILE_FORMAT", "RSA file format error"},
    {"QK_E_DIR_NOT_FOUND", "directory not found"},
    {"QK_E_ACCESS_DENIED", "access denied"},
    {"QK_E_ALREADY_INITIALIZED", "the token is already initialised"},
    {"QK_E_INCORRECT_PIN", "incorrect PIN"},
    {"QK_E_DIR_SPACE", "not enough space in the directory"},
    {"QK_E_FILE_EXISTS", "the file already exists"},
    {"QK_E_UNSUPPORTED", "not supported, or the token has no file system yet"},
    {"QK_E_FILE_NOT_FOUND", "file not found"},
    {"QK_E_ALREADY_OPENED", "the token is already open"},
    {"QK_E_DIR_EXISTS", "the directory already exists"},
    {"QK_E_VM_ADDRESS_OVERFLOW", "the token's program addressed memory out of range"},
    {"QK_E_VM_BAD_POINTER", "the token's program used a bad pointer"},
    {"QK_E_FILE_SYSTEM", "file-system error in the token"},
    {"QK_E_OFFSET_BEYOND_FILE", "offset beyond the end of the file"},
    {"QK_E_FILE_TYPE_MISMATCH", "the file's type does not allow this"},
    {"QK_E_PIN_BLOCKED", "the PIN is blocked"},
    {"QK_E_CONTEXT", "invalid QKContext: not listed, or not open"},
    {"QK_E_SHARING_VIOLATION", "another program is using the token"},
    {"QK_E_UNKNOWN", "unknown error"},
    {"QK_E_SESSION_REPLACED",
     "another handle to the token started a new session; close and open the token again"},
    {"QK_E_LOCK_UNAVAILABLE", "the token's exchange lock could not be had in time"},
    {"QK_E_LOCK_UNSAFE",
     "the token's lock directory is unsafe: another user could reach or replace it"},
    {"QK_E_WAIT_CANCELLED", "the wait for a device change was cancelled"},
    {"QK_E_WAIT_TIMEOUT", "no device change within the time limit"},
    {"QK_E_WATCH_UNAVAILABLE", "the attached devices cannot be watched on this system"},
};
constexpr uint32_t kNamedCount = sizeof(kNamed) / sizeof(kNamed[0]);
// QKFormatErrorMessage's table ends before these slots.
constexpr uint32_t kFirstLaterCode = kFormatMessageCount;

static_assert(kNamedCount == kNativeTextCount, "every named code has a native text");

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
    std::snprintf(out, kTextCapacity, "%s", kNativeTexts[code & 0xFFu].utf8);
  } else if (code == QK_E_FAILURE) {
    std::snprintf(out, kTextCapacity, "%s", kUnknownErrorText.utf8);
  } else if ((code & QK_E_WRONG_PIN) == QK_E_WRONG_PIN) {
    std::snprintf(out, kTextCapacity, "%s%u", kWrongPinPrefix.utf8,
                  static_cast<unsigned>(code & 0xFFu));
  } else if ((code & 0xFFu) < kFirstLaterCode) {
    std::snprintf(out, kTextCapacity, "%s", kNativeTexts[code & 0xFFu].utf8);
  } else {
    std::snprintf(out, kTextCapacity, "%s", kUnknownErrorText.utf8);
  }
}

void ComposeNativeGbk(uint32_t code, char* out) {
  if (IsLaterCode(code)) {
    std::snprintf(out, kTextCapacity, "%s", kNativeTexts[code & 0xFFu].gbk);
  } else if (QKFormatErrorMessage(code, out, kTextCapacity - 1) != QK_E_SUCCESS) {
    out[0] = '\0';  // every text fits; kept for safety
  }
}

}  // namespace
}  // namespace qk

using namespace qk;

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
