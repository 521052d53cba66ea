#include "api/file_id.h"

#include <gtest/gtest.h>

TEST(ParseFileId, ReadsAtMostFourHexDigits) {
  const char unterminated[4] = {'1', '2', '3', '4'};
  const std::pair<const char*, uint16_t> cases[] = {
      {"3f00", 0x3F00}, {"ABCDE", 0xABCD}, {"12G4", 0x0012}, {"", 0}, {unterminated, 0x1234}};
  for (const auto& c : cases) EXPECT_EQ(c.second, qk::ParseFileId(c.first)) << c.first[0];
}
