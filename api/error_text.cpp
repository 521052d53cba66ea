// Result-code texts in every form: symbolic name, English, the library's own.
// (Placeholder until the message tables land.)
#include "include/qktoken.h"

extern "C" QK_API uint32_t QK_CALL QKGetErrorText(uint32_t, uint32_t, char*, uint32_t,
                                                  uint32_t*) {
  return QK_E_UNSUPPORTED;
}
