// The token's command interpreter: one handler per instruction byte.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/framing.h"
#include "sim/random.h"
#include "sim/state.h"

namespace qksim {

// What a token remembers about one open handle.
struct SessionState {
  bool keyed = false;  // a session key has been agreed
  std::array<uint8_t, 8> key{};
  Reassembler reassembler;
  uint32_t currentDirectory = 0;  // a directory handle; 0 = none
  // A PIN counts as verified while the stored epoch equals the token's;
  // a factory reset moves the token's epoch on and so logs every session out.
  uint64_t userEpoch = 0;
  uint64_t developerEpoch = 0;
};

struct CommandEnvironment {
  TokenState* state;
  SessionState* session;
  Random* random;
  uint64_t securityEpoch;
  bool stateChanged = false;   // set by handlers that changed `state`
  bool epochAdvanced = false;  // set by the factory reset
};

// Runs one reassembled command image (header + data) and returns the answer:
// data followed by the status word, at most kMaxAnswerSize bytes.
std::vector<uint8_t> RunCommand(const std::vector<uint8_t>& command, CommandEnvironment* env);

// Copies for the trace with secrets blanked: PIN bytes of the verify and
// change commands, and the private-key block of a key-pair answer.
std::vector<uint8_t> RedactCommand(const std::vector<uint8_t>& command);
std::vector<uint8_t> RedactAnswer(const std::vector<uint8_t>& command,
                                  const std::vector<uint8_t>& answer);

}  // namespace qksim
