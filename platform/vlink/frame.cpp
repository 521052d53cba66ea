#include "platform/vlink/frame.h"

#include <cstddef>

#include "platform/platform.h"

namespace qk::platform::vlink {

void AppendFrame(char type, const uint8_t* payload, size_t size, std::vector<uint8_t>* out) {
  out->push_back(static_cast<uint8_t>(type));
  out->push_back(static_cast<uint8_t>(size >> 8));
  out->push_back(static_cast<uint8_t>(size & 0xFF));
  out->insert(out->end(), payload, payload + size);
}

bool IsKnownFrameType(char type) {
  return type == kFrameOpen || type == kFrameIdentity || type == kFrameRefused ||
         type == kFrameReport || type == kFrameProof;
}

void FrameReader::Feed(const uint8_t* data, size_t size) {
  if (failed_) return;
  buffer_.insert(buffer_.end(), data, data + size);
}

FrameReader::Result FrameReader::Next(Frame* frame) {
  if (failed_) return Result::kError;
  if (start_ > 0) {
    // Drop what was handed out, so the buffer never holds more than one
    // partial frame and the bytes of the latest Feed.
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  const size_t available = buffer_.size();
  if (available < kFrameHeaderSize) return Result::kNeedMore;
  const uint8_t* header = buffer_.data();
  const char type = static_cast<char>(header[0]);
  const size_t length = (size_t{header[1]} << 8) | header[2];
  // Judge the header before waiting for a payload that may never fit.
  if (!IsKnownFrameType(type)) failed_ = true;
  if (length > kMaxFramePayload) failed_ = true;
  if (type == kFrameReport && length != kReportSize) failed_ = true;
  if (failed_) {
    buffer_.clear();
    start_ = 0;
    return Result::kError;
  }
  if (available < kFrameHeaderSize + length) return Result::kNeedMore;
  frame->type = type;
  frame->payload.assign(header + kFrameHeaderSize, header + kFrameHeaderSize + length);
  start_ = kFrameHeaderSize + length;
  return Result::kFrame;
}

}  // namespace qk::platform::vlink
