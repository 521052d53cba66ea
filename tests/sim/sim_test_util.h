// Drives the token's command interpreter directly, without reports or cipher.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/commands.h"
#include "sim/state.h"
#include "tests/support/pins.h"

namespace qktest {

using Bytes = std::vector<uint8_t>;

struct Reply {
  uint16_t sw = 0;
  Bytes data;
};

inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes Le16(size_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
inline Bytes Be16(size_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }
inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class Interpreter {
 public:
  Interpreter() : state(qksim::DefaultState(&random)) {
    session.currentDirectory = state.fileSystem.RootHandle();
  }

  Reply Send(uint8_t ins, uint8_t p1 = 0, uint8_t p2 = 0, const Bytes& data = {}) {
    const Bytes image = Cat({{0, ins, p1, p2}, Le16(data.size()), data});
    qksim::CommandEnvironment env{&state, &session, &random, epoch};
    const Bytes answer = qksim::RunCommand(image, &env);
    lastChanged = env.stateChanged;
    if (env.epochAdvanced) ++epoch;
    return Reply{static_cast<uint16_t>((answer[answer.size() - 2] << 8) | answer.back()),
                 Bytes(answer.begin(), answer.end() - 2)};
  }
  // Commands naming a file or directory in P1 (low byte) and P2.
  Reply SendId(uint8_t ins, uint16_t id, const Bytes& data = {}) {
    return Send(ins, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), data);
  }
  uint16_t VerifyUser(const std::string& pin = kUserPin) { return Send(0x20, 0, 0, Text(pin)).sw; }
  uint16_t VerifyDeveloper() { return Send(0x20, 1, 0, Text(kDeveloperPin)).sw; }
  uint16_t Select(uint16_t id) { return SendId(0xA4, id).sw; }
  uint16_t MakeDir(uint16_t id, uint32_t size) {
    return Send(0xE0, 0, 0, Cat({Le16(id), Le16(size), {static_cast<uint8_t>(size >> 16)}})).sw;
  }
  uint16_t MakeFile(uint16_t id, uint32_t size, uint8_t type) {
    return Send(0xE1, 5, 0, Cat({Le16(id), Le16(size), {type}})).sw;
  }
  uint16_t Write(uint16_t id, uint32_t offset, const Bytes& bytes) {
    return SendId(0xD6, id, Cat({Le16(offset), Le16(bytes.size()), bytes})).sw;
  }
  Reply Execute(uint16_t id, const Bytes& input) { return SendId(0xCF, id, input); }

  qksim::Random random;
  qksim::TokenState state;
  qksim::SessionState session;
  uint64_t epoch = 1;
  bool lastChanged = false;
};

}  // namespace qktest
