// The decrypted trace of a served token: one line per command or answer,
//   TOKEN SESSION DIRECTION HEX
// where DIRECTION is '>' for a command (host to token) and '<' for an answer,
// and HEX is the bytes in lower-case hexadecimal. Secret bytes are written as
// "**": every data byte of the PIN verify (INS 0x20) and change (INS 0x24)
// commands, whatever the token itself already blanked. The lines serve for
// diagnosis and, read back with ParseTraceLine, as seeds for fuzzing.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/token.h"

namespace qksim::link {

// The byte a redacted position reads as when a line is parsed back ('*').
constexpr uint8_t kRedactedByte = 0x2A;

// One trace line, without its newline.
std::string FormatTraceLine(const std::string& token, const TraceEvent& event);

struct ParsedTraceLine {
  std::string token;
  TraceEvent event;
};
// The reverse of FormatTraceLine; "**" reads as kRedactedByte. False on a
// line of any other shape.
bool ParseTraceLine(const std::string& line, ParsedTraceLine* parsed);

// Appends lines to a file (created 0600, truncated), one flush per line so
// that the file is whole when the process dies. Thread-safe: several tokens
// may share one writer.
class TraceWriter {
 public:
  TraceWriter() = default;
  ~TraceWriter();
  TraceWriter(const TraceWriter&) = delete;
  TraceWriter& operator=(const TraceWriter&) = delete;

  bool Open(const std::string& path, std::string* error);
  void Write(const std::string& token, const TraceEvent& event);
  // A sink for Token::SetTraceSink; the writer must outlive the token's use of it.
  std::function<void(const TraceEvent&)> SinkFor(const std::string& token);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
};

}  // namespace qksim::link
