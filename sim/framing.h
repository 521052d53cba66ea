// The token's side of the report format: reassembling commands from host
// reports and cutting answers into answer reports. Works on the 64 plain
// bytes that follow the report identifier (report bytes 1 to 64).
//
// Layout of those 64 bytes: total length (2, big-endian), offset (2,
// big-endian), one byte (0), chunk length (1), 58 payload bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qksim {

using ReportBody = std::array<uint8_t, 64>;

constexpr size_t kChunkSize = 58;
constexpr size_t kMinCommandSize = 6;     // CLA INS P1 P2 and the two length bytes
constexpr size_t kMaxCommandSize = 1030;  // header + 1024 data bytes
constexpr size_t kMaxAnswerSize = 1024;   // answer data + status word: the host's data area
constexpr size_t kMaxAnswerData = kMaxAnswerSize - 2;

// The header of a report body: bytes 0-1, 2-3 and 5. Read and written only
// here on the token's side (the fault injector and the key watch included).
struct ReportHeader {
  size_t total = 0;   // length of the whole command or answer
  size_t offset = 0;  // where this chunk goes
  size_t chunk = 0;   // payload bytes in this report
};
ReportHeader ReadReportHeader(const uint8_t* body);
// Writes the three fields, each cut to its width; byte 4 is left as it is.
void WriteReportHeader(const ReportHeader& header, uint8_t* body);

// Collects the chunks of one command. Chunks must arrive in order; anything
// else (a bad length, a gap, a total that changes) drops the partial command.
// A chunk at offset 0 always starts a new command.
class Reassembler {
 public:
  enum class Outcome { kIncomplete, kComplete, kDropped };
  Outcome Add(const ReportBody& body, std::vector<uint8_t>* command);
  void Reset();
  bool Pending() const { return total_ != 0; }

 private:
  std::vector<uint8_t> buffer_;
  size_t total_ = 0;
};

// The plain answer report bodies for `answer` (data + status word, at most
// kMaxAnswerSize bytes): chunks of 58, the rest of each payload zero.
std::vector<ReportBody> FragmentAnswer(const std::vector<uint8_t>& answer);

// True for the plain report that carries the session-key command: bytes 1 to
// 12 read 00 06 00 00 00 06 00 47 47 4B 00 00.
bool IsPlainSessionKeyReport(const uint8_t* report65);

}  // namespace qksim
