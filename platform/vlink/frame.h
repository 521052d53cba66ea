// Frames of the virtual link: type letter, 16-bit big-endian length, payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qk::platform::vlink {

constexpr size_t kFrameHeaderSize = 3;
constexpr size_t kMaxFramePayload = 1024;
constexpr uint8_t kProtocolVersion = 1;

constexpr char kFrameOpen = 'O';
constexpr char kFrameIdentity = 'I';
constexpr char kFrameRefused = 'E';
constexpr char kFrameReport = 'R';
constexpr char kFrameProof = 'P';  // TCP only: proof of the entry's secret (proof.h)

constexpr size_t kSecretSize = 32;
constexpr size_t kIdentityPayload = 7;  // version, vendor, product, feature length
constexpr size_t kRefusedPayload = 4;   // the reason, 32-bit big-endian

// Reasons a refusal gives: Windows error numbers, as the link has always
// carried them.
constexpr uint32_t kRefusedAccessDenied = 5;
constexpr uint32_t kRefusedSharingViolation = 32;

struct Frame {
  char type = 0;
  std::vector<uint8_t> payload;
};

// Appends one frame to `out`. The payload must be at most kMaxFramePayload.
void AppendFrame(char type, const uint8_t* payload, size_t size, std::vector<uint8_t>* out);

// The four frame types of the protocol.
bool IsKnownFrameType(char type);

// Cuts a byte stream from a hostile peer into frames. Holds at most one
// partial frame; a bad header puts the reader in an error state for good.
class FrameReader {
 public:
  enum class Result { kFrame, kNeedMore, kError };

  // Takes bytes as they arrive.
  void Feed(const uint8_t* data, size_t size);
  // The next complete frame, if any.
  Result Next(Frame* frame);
  // True while part of a frame has arrived but not the rest.
  bool HasPartialFrame() const { return buffer_.size() > start_ && !failed_; }
  bool Failed() const { return failed_; }

 private:
  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  bool failed_ = false;
};

}  // namespace qk::platform::vlink
