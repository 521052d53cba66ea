#include "platform/vlink/tcp_entry.h"

#include <string>

#include "platform/vlink/hex.h"

namespace qk::platform::vlink {
namespace {

bool ParsePort(const std::string& text, uint16_t* port) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value == 0 || value > 0xFFFF) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

bool ParseSecret(const std::string& text, uint8_t* secret) {
  if (text.size() != 2 * kSecretSize) return false;
  for (size_t i = 0; i < kSecretSize; ++i) {
    const int high = HexValue(text[2 * i]);
    const int low = HexValue(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    secret[i] = static_cast<uint8_t>(high * 16 + low);
  }
  return true;
}

}  // namespace

bool ParseTcpFile(const char* text, size_t size, TcpEndpoint* endpoint) {
  bool havePort = false;
  bool haveSecret = false;
  size_t pos = 0;
  while (pos < size) {
    size_t end = pos;
    while (end < size && text[end] != '\n') ++end;
    std::string line(text + pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    const size_t space = line.find(' ');
    if (space == std::string::npos) return false;
    const size_t valueStart = line.find_first_not_of(' ', space);
    if (valueStart == std::string::npos) return false;
    const std::string key = line.substr(0, space);
    const std::string value = line.substr(valueStart);
    if (key == "port" && !havePort) {
      if (!ParsePort(value, &endpoint->port)) return false;
      havePort = true;
    } else if (key == "secret" && !haveSecret) {
      if (!ParseSecret(value, endpoint->secret)) return false;
      haveSecret = true;
    } else {
      return false;
    }
  }
  return havePort && haveSecret;
}

}  // namespace qk::platform::vlink
