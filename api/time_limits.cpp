// The caller's view of the exchange time limits.
#include "include/qktoken.h"
#include "transport/exchange.h"

namespace {

bool InRange(uint32_t ms) { return ms != 0 && ms <= QK_MAX_WAIT_MS; }

}  // namespace

extern "C" QK_API uint32_t QK_CALL QKSetTimeLimits(const QKTimeLimits* limits) {
  if (limits == nullptr) {
    qk::ResetTimeLimitsForTesting();
    return QK_E_SUCCESS;
  }
  if (!InRange(limits->lockMs) || !InRange(limits->writeMs) || !InRange(limits->firstReadMs) ||
      !InRange(limits->readMs)) {
    return QK_E_PARAMETER;
  }
  qk::SetTimeLimitsForTesting(
      qk::TimeLimits{limits->lockMs, limits->writeMs, limits->firstReadMs, limits->readMs});
  return QK_E_SUCCESS;
}

extern "C" QK_API uint32_t QK_CALL QKGetTimeLimits(QKTimeLimits* limits) {
  if (limits == nullptr) return QK_E_PARAMETER;
  const qk::TimeLimits now = qk::GetTimeLimits();
  limits->lockMs = now.lockMs;
  limits->writeMs = now.writeMs;
  limits->firstReadMs = now.firstReadMs;
  limits->readMs = now.readMs;
  return QK_E_SUCCESS;
}
