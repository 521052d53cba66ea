#include "platform/vlink/tcp_entry.h"

#include <gtest/gtest.h>

#include <string>

namespace qk::platform::vlink {
namespace {

TEST(TcpFile, ParsesPortAndSecretStrictly) {
  const std::string secret(64, 'a');
  TcpEndpoint endpoint;
  const std::string good = "\r\nsecret " + secret + "\r\nport 40123\r\n";
  ASSERT_TRUE(ParseTcpFile(good.data(), good.size(), &endpoint));
  EXPECT_TRUE(endpoint.port == 40123 && endpoint.secret[0] == 0xAA && endpoint.secret[31] == 0xAA);
  const std::string bad[] = {"port 40123\n", "port 65536\nsecret " + secret,
                             "port 1\nsecret " + std::string(63, 'a') + "g",
                             "port 1\nport 2\nsecret " + secret};
  for (const std::string& text : bad) {
    EXPECT_FALSE(ParseTcpFile(text.data(), text.size(), &endpoint)) << text;
  }
}

}  // namespace
}  // namespace qk::platform::vlink
