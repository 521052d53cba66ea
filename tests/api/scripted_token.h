// A token stand-in for command tests: routes every exchange through the
// transport's test hook, records each command record and answers from a
// script (success without data once the script runs out).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "api/device_table.h"
#include "include/qktoken.h"
#include "transport/command_record.h"
#include "transport/exchange.h"

namespace qktest {

using Bytes = std::vector<uint8_t>;

// "00 A4 3F" -> {0x00, 0xA4, 0x3F}
inline Bytes Hex(const char* text) {
  Bytes bytes;
  for (char* end = nullptr;; text = end) {
    const unsigned long value = std::strtoul(text, &end, 16);
    if (end == text) return bytes;
    bytes.push_back(static_cast<uint8_t>(value));
  }
}

inline Bytes Pattern(size_t length, unsigned seed = 1) {
  Bytes bytes(length);
  for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + seed);
  return bytes;
}

inline Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class ScriptedToken {
 public:
  static constexpr uint32_t kSlot = 5;

  ScriptedToken() {
    active() = this;
    qk::SetTransmitHookForTesting(&Hook);
    Slot(kSlot).opened = 1;
    Slot(kSlot + 1).opened = 0;
    context_.slotIndex = kSlot;
    closed_.slotIndex = kSlot + 1;
  }
  ~ScriptedToken() {
    Slot(kSlot).opened = 0;
    qk::SetTransmitHookForTesting(nullptr);
    active() = nullptr;
  }
  ScriptedToken(const ScriptedToken&) = delete;
  ScriptedToken& operator=(const ScriptedToken&) = delete;

  // Queues one answer: `data` and then 90 00 land at record byte 6, and the
  // exchange returns `code`.
  void Answer(Bytes data, uint32_t code = QK_E_SUCCESS) { script_.push_back({std::move(data), code}); }
  void Fail(uint32_t code) { Answer({}, code); }

  QKContext* context() { return &context_; }
  QKContext* closed() { return &closed_; }  // listed, not open
  const std::vector<qk::CommandRecord>& sent() const { return sent_; }
  // The bytes each command put on the wire, bytesToSend long.
  std::vector<Bytes> Images() const {
    std::vector<Bytes> images;
    for (const auto& r : sent_) images.emplace_back(r.bytes, r.bytes + r.bytesToSend);
    return images;
  }

 private:
  struct Reply {
    Bytes data;
    uint32_t code;
  };
  static ScriptedToken*& active() {
    static ScriptedToken* token = nullptr;
    return token;
  }
  static qk::DeviceSlot& Slot(uint32_t slot) { return qk::GetDeviceTable().slots[slot]; }
  static uint32_t Hook(uint32_t slot, qk::CommandRecord* record) {
    ScriptedToken& self = *active();
    if (slot != kSlot) std::abort();  // commands must go to the context's slot
    self.sent_.push_back(*record);
    Reply reply{{}, QK_E_SUCCESS};
    if (!self.script_.empty()) {
      reply = std::move(self.script_.front());
      self.script_.pop_front();
    }
    const Bytes answer = Join(reply.data, {0x90, 0x00});
    std::memcpy(record->bytes + qk::kData, answer.data(), answer.size());
    record->responseLength = static_cast<uint16_t>(reply.data.size());
    return reply.code;
  }

  std::deque<Reply> script_;
  std::vector<qk::CommandRecord> sent_;
  QKContext context_{};
  QKContext closed_{};
};

}  // namespace qktest
