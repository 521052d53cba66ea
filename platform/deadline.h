// A point in time by which a bounded wait must end. The Windows value
// INFINITE (0xFFFFFFFF) keeps its meaning: no limit.
#pragma once

#include <chrono>
#include <cstdint>

namespace qk::platform {

constexpr uint32_t kInfiniteWait = 0xFFFFFFFFu;

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Deadline(uint32_t timeoutMs)
      : infinite_(timeoutMs == kInfiniteWait),
        end_(Clock::now() + std::chrono::milliseconds(infinite_ ? 0 : timeoutMs)) {}

  bool Infinite() const { return infinite_; }
  bool Expired() const { return !infinite_ && Clock::now() >= end_; }
  Clock::time_point End() const { return end_; }

  // Milliseconds left, rounded up so that a wait never ends early; -1 when
  // there is no limit (the poll(2) convention), 0 once expired.
  int RemainingMs() const {
    if (infinite_) return -1;
    const auto left = end_ - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
  }

 private:
  bool infinite_;
  Clock::time_point end_;
};

}  // namespace qk::platform
