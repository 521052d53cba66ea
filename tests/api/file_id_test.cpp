#include "api/file_id.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseFileId, ReadsAtMostFourHexDigits) {
  const char unterminated[4] = {'1', '2', '3', '4'};
  struct Case {
    const char* text;
    uint16_t id;
  } cases[] = {{"0001", 0x0001}, {"3f00", 0x3F00}, {"1A", 0x001A}, {"ABCDE", 0xABCD},
               {"12G4", 0x0012}, {"", 0},        {"..", 0},      {unterminated, 0x1234}};
  for (const Case& c : cases) EXPECT_EQ(c.id, qk::ParseFileId(c.text));
}

}  // namespace
