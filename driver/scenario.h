// The test driver's fixed scenario: list the tokens, open the first, present
// the default user PIN, run file 0001 on the numbers 5 and 8, print the answer.
#pragma once

#include <cstdint>
#include <cstdio>

#include "qktoken.h"

namespace qkdriver {

// The library calls the scenario makes; tests replace some of them.
struct DriverApi {
  uint32_t(QK_CALL* listDevices)(QKContext* contexts, uint32_t* count);
  uint32_t(QK_CALL* openDevice)(QKContext* context);
  uint32_t(QK_CALL* verifyPin)(QKContext* context, const uint8_t* pin, uint32_t pinLength,
                               uint32_t kind);
  uint32_t(QK_CALL* execute)(QKContext* context, const char* fileIdText, const uint8_t* input,
                             uint32_t inputLength, uint8_t* output, uint32_t outputCapacity,
                             uint32_t* outputLength);
  uint32_t(QK_CALL* closeDevice)(QKContext* context);
  uint32_t(QK_CALL* beginTransaction)(QKContext* context, uint32_t timeoutMs);
  uint32_t(QK_CALL* endTransaction)(QKContext* context);
};

// The library's own calls.
DriverApi LibraryApi();

// Runs the scenario, printing its one line (if any) to `out`, and returns the
// result code of the step that ended it. A listing that finds no token ends
// with QK_E_NO_DEVICE_LIST without opening anything. Everything from the open
// to the close runs in one transaction, so that drivers started together on
// one token take turns instead of replacing each other's session.
uint32_t RunScenario(const DriverApi& api, std::FILE* out);

}  // namespace qkdriver
