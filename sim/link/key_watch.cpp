#include "sim/link/key_watch.h"

#include <algorithm>

#include "include/qkrsa.h"
#include "sim/framing.h"
#include "transport/des.h"
#include "transport/maker_key.h"

namespace qksim::link {
namespace {

constexpr size_t kBlockSize = 64;               // the RSA block that carries the key
constexpr size_t kAnswerSize = kBlockSize + 2;  // block and status word
constexpr size_t kBodySize = 64;

// Reassembles a plain answer of exactly kAnswerSize bytes; false on any other shape.
bool ReassemblePlain(const std::vector<Report>& answers, std::array<uint8_t, kAnswerSize>* out) {
  size_t received = 0;
  for (const Report& r : answers) {
    const uint8_t* body = r.data() + 1;
    const ReportHeader header = ReadReportHeader(body);
    const size_t total = header.total, offset = header.offset, chunk = header.chunk;
    if (total != kAnswerSize || chunk > kChunkSize || offset + chunk > kAnswerSize) return false;
    std::copy(body + 6, body + 6 + chunk, out->begin() + static_cast<std::ptrdiff_t>(offset));
    received += chunk;
  }
  return received == kAnswerSize;
}

}  // namespace

bool KeyWatch::IsSessionKeyRequest(const Report& report) {
  return report[0] == 0 && IsPlainSessionKeyReport(report.data());
}

void KeyWatch::ObserveAnswer(const Report& request, const std::vector<Report>& answers) {
  if (!IsSessionKeyRequest(request)) return;
  known_ = false;
  std::array<uint8_t, kAnswerSize> answer{};
  if (!ReassemblePlain(answers, &answer)) return;
  if (answer[kBlockSize] != 0x90 || answer[kBlockSize + 1] != 0x00) return;
  uint8_t opened[kBlockSize];
  uint32_t openedLength = kBlockSize;
  const uint32_t rsa =
      RsaPublicBlock(opened, &openedLength, answer.data(), kBlockSize, &qk::MakerPublicKey());
  if (rsa != 0 || openedLength != kBlockSize) return;
  std::copy(opened, opened + key_.size(), key_.begin());
  known_ = true;
}

bool KeyWatch::EndsCommand(const Report& report) const {
  if (!known_ || IsSessionKeyRequest(report)) return true;
  uint8_t plain[kBodySize];
  qk::TokenChainDecrypt(report.data() + 1, plain, key_.data(), kBodySize);
  const ReportHeader header = ReadReportHeader(plain);
  return header.offset + header.chunk >= header.total;
}

}  // namespace qksim::link
