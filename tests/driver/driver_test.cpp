#include <gtest/gtest.h>

#include <vector>

#include "driver/exit_status.h"
#include "driver/reverse_bytes.h"

namespace {

TEST(ReverseBytes, SwapsAroundTheMiddle) {
  std::vector<std::vector<uint8_t>> in = {{}, {1}, {1, 2}, {1, 2, 3}, {1, 2, 3, 4}};
  std::vector<std::vector<uint8_t>> out = {{}, {1}, {2, 1}, {3, 2, 1}, {4, 3, 2, 1}};
  for (auto& bytes : in) qkdriver::ReverseBytes(bytes.data(), bytes.size());
  EXPECT_EQ(out, in);
}

TEST(ExitStatus, NoFailureReadsAsSuccess) {
  struct Case {
    uint32_t code;
    int posix;
  } cases[] = {{0, 0},          {0xF0000002, 2}, {0xF0000C03, 3},   {0xF0000C00, 1},
               {0x00006E00, 1}, {0xFFFFFFFF, 255}, {0xF0000005, 5}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.posix, qkdriver::PosixExitStatus(c.code)) << c.code;
    EXPECT_EQ(static_cast<int>(c.code), qkdriver::WindowsExitStatus(c.code));
    EXPECT_EQ(c.code == 0, qkdriver::ExitStatusFor(c.code) == 0);
  }
}

}  // namespace
