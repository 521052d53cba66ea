#include "sim/framing.h"

#include <algorithm>
#include <cstring>

namespace qksim {
namespace {

size_t BigEndian16(const uint8_t* bytes) { return (size_t{bytes[0]} << 8) | bytes[1]; }

void PutBigEndian16(size_t value, uint8_t* bytes) {
  bytes[0] = static_cast<uint8_t>(value >> 8);
  bytes[1] = static_cast<uint8_t>(value);
}

}  // namespace

ReportHeader ReadReportHeader(const uint8_t* body) {
  ReportHeader header;
  header.total = BigEndian16(body);
  header.offset = BigEndian16(body + 2);
  header.chunk = body[5];
  return header;
}

void WriteReportHeader(const ReportHeader& header, uint8_t* body) {
  PutBigEndian16(header.total, body);
  PutBigEndian16(header.offset, body + 2);
  body[5] = static_cast<uint8_t>(header.chunk);
}

void Reassembler::Reset() {
  buffer_.clear();
  total_ = 0;
}

Reassembler::Outcome Reassembler::Add(const ReportBody& body, std::vector<uint8_t>* command) {
  const ReportHeader header = ReadReportHeader(body.data());
  const size_t total = header.total, offset = header.offset, chunk = header.chunk;
  const bool wellFormed = total >= kMinCommandSize && total <= kMaxCommandSize && chunk >= 1 &&
                          chunk <= kChunkSize && offset + chunk <= total &&
                          (offset + chunk == total || chunk == kChunkSize);
  if (!wellFormed) {
    Reset();
    return Outcome::kDropped;
  }
  if (offset == 0) {
    Reset();
    total_ = total;
  } else if (total != total_ || offset != buffer_.size()) {
    Reset();
    return Outcome::kDropped;
  }
  buffer_.insert(buffer_.end(), body.begin() + 6,
                 body.begin() + 6 + static_cast<std::ptrdiff_t>(chunk));
  if (buffer_.size() < total_) return Outcome::kIncomplete;
  *command = std::move(buffer_);
  Reset();
  return Outcome::kComplete;
}

std::vector<ReportBody> FragmentAnswer(const std::vector<uint8_t>& answer) {
  std::vector<ReportBody> bodies;
  const size_t total = std::min(answer.size(), kMaxAnswerSize);
  for (size_t offset = 0; offset < total; offset += kChunkSize) {
    ReportBody body{};
    const size_t chunk = std::min(kChunkSize, total - offset);
    WriteReportHeader(ReportHeader{total, offset, chunk}, body.data());
    std::memcpy(&body[6], answer.data() + offset, chunk);
    bodies.push_back(body);
  }
  return bodies;
}

bool IsPlainSessionKeyReport(const uint8_t* report65) {
  static const uint8_t kPattern[12] = {0x00, 0x06, 0x00, 0x00, 0x00, 0x06,
                                       0x00, 0x47, 0x47, 0x4B, 0x00, 0x00};
  return std::memcmp(report65 + 1, kPattern, sizeof kPattern) == 0;
}

}  // namespace qksim
