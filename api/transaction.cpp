// Transactions: the token's exchange lock held across calls.
// (Placeholder until the shared-session channel lands.)
#include "include/qktoken.h"

extern "C" QK_API uint32_t QK_CALL QKBeginTransaction(QKContext*, uint32_t) {
  return QK_E_UNSUPPORTED;
}

extern "C" QK_API uint32_t QK_CALL QKEndTransaction(QKContext*) { return QK_E_UNSUPPORTED; }
