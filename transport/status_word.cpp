// The status-word table and its mapping to result codes.
#include "transport/status_word.h"

#include "include/qktoken.h"

namespace qk {

const StatusWordEntry StatusWordTable[kStatusWordCount] = {
    {0x90, 0x00, QK_E_SUCCESS, 0},
    {0x6D, 0x80, QK_E_DEV_PIN_NOT_VERIFIED, 0},
    {0x6D, 0x81, QK_E_USER_PIN_NOT_VERIFIED, 0},
    {0x6D, 0x82, QK_E_DIR_EXISTS, 0},
    {0x6D, 0x83, QK_E_PARAMETER, 0},
    {0x6D, 0x84, QK_E_UNSUPPORTED, 0},
    {0x6D, 0x85, QK_E_FILE_TYPE_MISMATCH, 0},
    {0x6D, 0x86, QK_E_RSA_FILE_FORMAT, 0},
    {0x6D, 0x87, QK_E_PARAMETER, 0},
    {0x6D, 0x88, QK_E_DIR_NOT_FOUND, 0},
    {0x6D, 0x89, QK_E_ACCESS_DENIED, 0},
    {0x6D, 0x8A, QK_E_ALREADY_INITIALIZED, 0},
    {0x6D, 0x8B, QK_E_WRONG_PIN, 0},
    {0x6D, 0x8C, QK_E_UNSUPPORTED, 0},
    {0x6A, 0x80, QK_E_PARAMETER, 0},
    {0x6A, 0x81, QK_E_UNSUPPORTED, 0},
    {0x6A, 0x82, QK_E_FILE_NOT_FOUND, 0},
    {0x6A, 0x83, QK_E_FILE_NOT_FOUND, 0},
    {0x6A, 0x84, QK_E_DIR_SPACE, 0},
    {0x6A, 0x85, QK_E_RSA_FILE_FORMAT, 0},
    {0x6A, 0x86, QK_E_PARAMETER, 0},
    {0x6A, 0x87, QK_E_PARAMETER, 0},
    {0x6A, 0x88, QK_E_PARAMETER, 0},
    {0x6A, 0x89, QK_E_FILE_EXISTS, 0},
    {0x65, 0x81, QK_E_VM_ADDRESS_OVERFLOW, 0},
    {0x65, 0x82, QK_E_VM_BAD_POINTER, 0},
    {0x65, 0xE0, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xE1, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xE2, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xE3, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xE4, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xE5, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xE6, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xE7, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xE8, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xE9, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xEA, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xEB, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xEC, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xED, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xEE, QK_E_FILE_SYSTEM, 0},
    {0x65, 0xEF, QK_E_FILE_SYSTEM, 0},
    {0x67, 0x00, QK_E_OFFSET_BEYOND_FILE, 0},
    {0x69, 0x81, QK_E_FILE_TYPE_MISMATCH, 0},
    {0x69, 0x83, QK_E_PIN_BLOCKED, 0},
};

uint32_t MapStatusWord(uint8_t sw1, uint8_t sw2) {
  // A rejected PIN carries the token's tries-left byte whole in the code.
  if (sw1 == 0x63) return QK_E_WRONG_PIN | sw2;
  for (const StatusWordEntry& row : StatusWordTable) {
    if (row.sw1 == sw1 && ((row.flags & SW_FLAG_ANY_SW2) != 0 || row.sw2 == sw2)) {
      return row.code;
    }
  }
  return static_cast<uint32_t>(sw1) << 8 | sw2;
}

}  // namespace qk
