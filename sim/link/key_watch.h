// What the link can see of one connection's cipher. The token hands its
// session key over in an RSA block that the maker's public key opens; the
// link opens it the same way the host does, so that faults can rewrite the
// headers of enciphered answers and silence can count whole commands.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim/token.h"

namespace qksim::link {

class KeyWatch {
 public:
  // True for the plain report that asks for a new session key.
  static bool IsSessionKeyRequest(const Report& report);

  // Watches the token's answer to `request`: a session-key answer teaches the
  // key (or forgets it, when it cannot be opened).
  void ObserveAnswer(const Report& request, const std::vector<Report>& answers);

  bool Known() const { return known_; }
  const uint8_t* Key() const { return known_ ? key_.data() : nullptr; }

  // Whether a host report completes a command: its chunk reaches the total.
  // Without a key every report counts as one command.
  bool EndsCommand(const Report& report) const;

 private:
  bool known_ = false;
  std::array<uint8_t, 8> key_{};
};

}  // namespace qksim::link
