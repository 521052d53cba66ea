// QKSetLogCallback: the debug log's lines to the application.
#include "include/qktoken.h"
#include "platform/debug_log.h"

// QK_CALL is cdecl, the default convention of every target, so the caller's
// function is the platform's sink type as it stands. Set under the log's
// lock: a line being delivered finishes with the callback it started with.
extern "C" QK_API uint32_t QK_CALL QKSetLogCallback(QKLogCallback callback, void* userData) {
  qk::platform::SetDebugLogSink(callback, userData);
  return QK_E_SUCCESS;
}
