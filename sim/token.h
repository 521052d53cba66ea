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
  uint32_t session;            // the token's session: how many keys it has agreed
  bool fromHost;               // true: a command; false: the answer
  std::vector<uint8_t> bytes;  // command image (header + data) or answer (data + SW)
};

class TokenImpl;

class Token {
 public:
  // A fresh token with the default contents; changes are not persisted.
  Token();
  // A token backed by an image file: loaded when it exists, created from the
  // default contents when it does not. Every change is written back atomically.
  // Returns null with a message in *error when the image is unreadable or corrupt.
  static std::unique_ptr<Token> OpenImage(const std::string& path, std::string* error);
  ~Token();
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;

  // The token keeps one session, as a HID token does: it cannot tell one
  // host handle from another. The session key, the current directory and
  // the verified PINs belong to it; every session-key command starts it
  // afresh, whoever sends it.
  //
  // Consumes one report a host wrote and appends the answer reports (none
  // until a command is complete). A report the token cannot decipher under
  // the session key is lost in reassembly, unanswered.
  void HandleReport(const Report& report, std::vector<Report>* answers);

  // Receives every decrypted command and answer.
  void SetTraceSink(std::function<void(const TraceEvent&)> sink);

  // A serial number unique to this token (part of its information record).
  std::string Serial() const;

 private:
  explicit Token(std::unique_ptr<TokenImpl> impl);
  std::unique_ptr<TokenImpl> impl_;
};

}  // namespace qksim
