// A TCP entry of the token directory (a .tcp file): the loopback port a
// token listens on and the secret both sides prove they know (proof.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/vlink/frame.h"

namespace qk::platform::vlink {

// A .tcp file is a few short lines; anything longer is not one.
constexpr size_t kMaxTcpFileSize = 1024;

struct TcpEndpoint {
  uint16_t port = 0;
  uint8_t secret[kSecretSize] = {};
};

// Reads "port N" and "secret <64 hex digits>" lines (in any order, each
// once, nothing else). False on anything malformed.
bool ParseTcpFile(const char* text, size_t size, TcpEndpoint* endpoint);

}  // namespace qk::platform::vlink
