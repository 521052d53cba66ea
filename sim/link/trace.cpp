#include "sim/link/trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/vlink/hex.h"
#include "sim/private_file.h"

namespace qksim::link {
namespace {

namespace vlink = qk::platform::vlink;

constexpr size_t kHeaderSize = 6;  // CLA INS P1 P2 and the two length bytes
constexpr uint8_t kInsVerify = 0x20;
constexpr uint8_t kInsChange = 0x24;
// A command image is at most 1030 bytes; anything much longer is not a trace line.
constexpr size_t kMaxTraceBytes = 4096;

bool IsSecret(const TraceEvent& event, size_t index) {
  if (!event.fromHost || index < kHeaderSize || event.bytes.size() <= kHeaderSize) return false;
  const uint8_t ins = event.bytes[1];
  return ins == kInsVerify || ins == kInsChange;
}

bool ParseSession(const std::string& text, uint32_t* session) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFu) return false;
  *session = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

std::string FormatTraceLine(const std::string& token, const TraceEvent& event) {
  std::string line = token + " " + std::to_string(event.session) + (event.fromHost ? " > " : " < ");
  for (size_t i = 0; i < event.bytes.size(); ++i) {
    if (IsSecret(event, i)) {
      line += "**";
    } else {
      line += vlink::Hex(&event.bytes[i], 1);
    }
  }
  return line;
}

bool ParseTraceLine(const std::string& line, ParsedTraceLine* parsed) {
  const size_t first = line.find(' ');
  if (first == std::string::npos || first == 0) return false;
  const size_t second = line.find(' ', first + 1);
  if (second == std::string::npos) return false;
  if (second + 2 > line.size() || line[second + 2] != ' ') return false;
  const char direction = line[second + 1];
  if (direction != '>' && direction != '<') return false;
  const std::string hex = line.substr(second + 3);
  if (hex.size() % 2 != 0 || hex.size() / 2 > kMaxTraceBytes) return false;

  ParsedTraceLine result;
  result.token = line.substr(0, first);
  if (!ParseSession(line.substr(first + 1, second - first - 1), &result.event.session)) {
    return false;
  }
  result.event.fromHost = direction == '>';
  for (size_t i = 0; i < hex.size(); i += 2) {
    if (hex[i] == '*' && hex[i + 1] == '*') {
      result.event.bytes.push_back(kRedactedByte);
      continue;
    }
    const int high = vlink::HexValue(hex[i]);
    const int low = vlink::HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    result.event.bytes.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  *parsed = std::move(result);
  return true;
}

TraceWriter::~TraceWriter() {
  if (file_ != nullptr) std::fclose(file_);
}

bool TraceWriter::Open(const std::string& path, std::string* error) {
  // The trace shows what a token was told: nobody else gets to read it.
  int fd = -1;
  std::string reason;
  if (!qksim::OpenOwnFileForWriting(path, &fd, &reason)) {
    *error = "cannot use trace file: " + reason;
    return false;
  }
  std::FILE* file = fdopen(fd, "w");
  if (file == nullptr) {
    *error = "cannot open trace file " + path + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = file;
  return true;
}

void TraceWriter::Write(const std::string& token, const TraceEvent& event) {
  const std::string line = FormatTraceLine(token, event) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fflush(file_);
}

std::function<void(const TraceEvent&)> TraceWriter::SinkFor(const std::string& token) {
  return [this, token](const TraceEvent& event) { Write(token, event); };
}

}  // namespace qksim::link
