// The token's command interpreter: a sequence of arbitrary command images run
// against one token state and one session, so that later commands meet the
// directories, files and PIN states earlier ones made. Every answer must fit
// the host's data area, and every state a command leaves must survive the
// image round trip that persistence relies on.
//
// Input: flags (1), then commands, each a length (2 bytes, big-endian, taken
// modulo 1041 so that lengths just outside the legal 6..1030 occur) and
// that many bytes.
//   flags bit 0: the session starts with the user PIN verified;
//   flags bit 1: the session starts with the developer PIN verified.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/input_reader.h"
#include "sim/commands.h"
#include "sim/framing.h"
#include "sim/image.h"
#include "sim/random.h"
#include "sim/state.h"

namespace {

constexpr size_t kMaxCommands = 32;
constexpr size_t kLengthModulus = qksim::kMaxCommandSize + 11;

// On-token key generation above 512 bits (INS 0x46, size code at offset 10
// other than 1) costs seconds; such commands are skipped so one input stays fast.
bool TooSlow(const std::vector<uint8_t>& command) {
  return command.size() > 10 && command[1] == 0x46 && command[10] != 0x01;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qkfuzz::InputReader in(data, size);
  const uint8_t flags = in.U8();

  qksim::Random random;
  qksim::TokenState state = qksim::DefaultState(&random);
  uint64_t epoch = 1;
  qksim::SessionState session;
  session.keyed = true;
  session.currentDirectory = state.fileSystem.RootHandle();
  if ((flags & 0x01) != 0) session.userEpoch = epoch;
  if ((flags & 0x02) != 0) session.developerEpoch = epoch;

  for (size_t i = 0; i < kMaxCommands && !in.Empty(); ++i) {
    const size_t length = in.U16() % kLengthModulus;
    const std::vector<uint8_t> command = in.Take(length);
    if (TooSlow(command)) continue;

    qksim::CommandEnvironment env{&state, &session, &random, epoch};
    const std::vector<uint8_t> answer = qksim::RunCommand(command, &env);
    if (answer.size() < 2 || answer.size() > qksim::kMaxAnswerSize) {
      qkfuzz::Fail("answer does not fit the host's data area");
    }
    // The trace copies must keep the shape of what they redact.
    if (qksim::RedactCommand(command).size() != command.size() ||
        qksim::RedactAnswer(command, answer).size() != answer.size()) {
      qkfuzz::Fail("redaction changed a length");
    }
    if (env.stateChanged) {  // the state must survive the image round trip
      const std::vector<uint8_t> image = qksim::EncodeImage(state);
      qksim::TokenState reloaded;
      std::string error;
      if (!qksim::DecodeImage(image, &reloaded, &error) || qksim::EncodeImage(reloaded) != image) {
        qkfuzz::Fail("state does not reload from its image unchanged");
      }
    }
    if (env.epochAdvanced) ++epoch;
  }
  return 0;
}
