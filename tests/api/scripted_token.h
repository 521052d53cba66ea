// A token stand-in for command tests: every exchange goes through the
// transport's test hook; each command image is recorded and answered from a
// script (success without data once the script runs out).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <vector>

#include "api/device_table.h"
#include "api/transmit.h"
#include "include/qktoken.h"
#include "tests/support/hex.h"
#include "transport/command_record.h"
#include "transport/exchange.h"

namespace qktest {

using Bytes = std::vector<uint8_t>;
using Call = std::function<uint32_t(QKContext*)>;  // one library call on a context
#define CALL(...) [&](QKContext* c) { return __VA_ARGS__; }

inline Bytes Pattern(size_t length, unsigned seed = 1) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
  return bytes;
}
inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class ScriptedToken {
 public:
  static constexpr uint32_t kSlot = 5;  // open; kSlot + 1 is listed but closed
  ScriptedToken() {
    active_ = this;
    qk::SetTransmitHookForTesting(&Hook);
    qk::GetDeviceTable().slots[kSlot].opened = 1, qk::GetDeviceTable().slots[kSlot + 1].opened = 0;
    context_.slotIndex = kSlot, closed_.slotIndex = kSlot + 1;
  }
  ~ScriptedToken() {
    qk::GetDeviceTable().slots[kSlot].opened = 0;
    qk::SetTransmitHookForTesting(nullptr);
  }
  // Queues one answer: `data` then 90 00 at record byte 6; the exchange returns `code`.
  void Answer(Bytes data, uint32_t code = QK_E_SUCCESS) { script_.emplace_back(data, code); }
  void Fail(uint32_t code) { Answer({}, code); }
  QKContext* context() { return &context_; }
  QKContext* closed() { return &closed_; }
  std::vector<Bytes> sent;  // the bytesToSend bytes of each command

 private:
  static uint32_t Hook(uint32_t slot, qk::CommandRecord* record) {
    if (slot != kSlot) std::abort();  // commands must go to the context's slot
    ScriptedToken& self = *active_;
    self.sent.emplace_back(record->bytes, record->bytes + record->bytesToSend);
    std::pair<Bytes, uint32_t> reply{{}, QK_E_SUCCESS};
    if (!self.script_.empty()) reply = self.script_.front(), self.script_.pop_front();
    const Bytes answer = Cat({reply.first, {0x90, 0x00}});
    std::memcpy(record->bytes + qk::kData, answer.data(), answer.size());
    record->responseLength = static_cast<uint16_t>(reply.first.size());
    return reply.second;
  }
  static inline ScriptedToken* active_ = nullptr;
  std::deque<std::pair<Bytes, uint32_t>> script_;
  QKContext context_{}, closed_{};
};

}  // namespace qktest
