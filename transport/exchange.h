// The report exchange: one command record out, its answer back. The lock,
// the session key and the generation around it belong to the Channel.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "transport/command_record.h"

namespace qk {

// Every wait of an exchange is bounded; a wait that runs out ends the
// exchange with QK_E_COMMUNICATION.
struct TimeLimits {
  uint32_t lockMs;       // waiting for the device lock
  uint32_t writeMs;      // one report written
  uint32_t firstReadMs;  // the first answer report (the token may be computing)
  uint32_t readMs;       // each further answer report
};
TimeLimits GetTimeLimits();
void SetTimeLimitsForTesting(const TimeLimits& limits);
void ResetTimeLimitsForTesting();

// Sends `record` (bytesToSend bytes) to `device` in 65-byte reports, enciphered
// under `sessionKey` unless the INS is the session-key command, and reads the
// answer into the record from byte 6. Returns the mapped status word,
// QK_E_COMMUNICATION or QK_E_FAILURE. *wrote (when given) tells whether any
// report went out: only then can a late answer to this command still come.
uint32_t ExchangeCommand(platform::Device* device, CommandRecord* record,
                         const uint8_t* sessionKey, bool* wrote = nullptr);

}  // namespace qk
