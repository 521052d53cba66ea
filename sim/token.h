// The simulated token: consumes the 65-byte reports a host writes and produces
// the answer reports, as the hardware does. Thread-safe: one lock per token.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qksim {

using Report = std::array<uint8_t, 65>;

// What a HID device says about itself before any report is exchanged.
struct Identity {
  uint16_t vendorId = 0x7A5C;
  uint16_t productId = 0x0B21;
  uint16_t featureReportLength = 65;
};

// One decrypted command or answer, for diagnosis (PIN bytes already redacted).
struct TraceEvent {
  uint32_t session;
  bool fromHost;               // true: a command; false: the answer
  std::vector<uint8_t> bytes;  // command image (header + data) or answer (data + SW)
};

class TokenImpl;

class Token {
 public:
  using SessionId = uint32_t;

  // A fresh token with the default contents; changes are not persisted.
  Token();
  // A token backed by an image file: loaded when it exists, created from the
  // default contents when it does not. Every change is written back atomically.
  // Returns null with a message in *error when the image is unreadable or corrupt.
  static std::unique_ptr<Token> OpenImage(const std::string& path, std::string* error);
  ~Token();
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;

  // Each open handle is a session with its own session key, current
  // directory and PIN state; the file system and retry counters are shared.
  SessionId OpenSession();
  void CloseSession(SessionId session);

  // Consumes one report written by the host on `session` and appends the
  // answer reports (none until a command is complete).
  void HandleReport(SessionId session, const Report& report, std::vector<Report>* answers);

  // Receives every decrypted command and answer.
  void SetTraceSink(std::function<void(const TraceEvent&)> sink);

  // A serial number unique to this token (part of its information record).
  std::string Serial() const;

 private:
  explicit Token(std::unique_ptr<TokenImpl> impl);
  std::unique_ptr<TokenImpl> impl_;
};

}  // namespace qksim
