// QKGetDevicePath: the listed path, the size protocol, and contexts outside
// the last listing.
#include <cstring>
#include <string>

#include "include/qktoken.h"
#include "tests/api/core_fixture.h"

class DevicePathTest : public qktest::CoreTest {};

TEST_F(DevicePathTest, GivesTheListedPathWithinTheBuffer) {
  backend.AddToken("first"), backend.AddToken("/dev/hidraw7");
  QKContext contexts[2];
  uint32_t count = 2;
  ASSERT_EQ(QKListDevices(contexts, &count), QK_E_SUCCESS);

  char path[32];
  uint32_t needed = 0;
  std::memset(path, '#', sizeof path);
  // "/dev/hidraw7" is 12 characters: 13 bytes with the zero.
  EXPECT_EQ(QKGetDevicePath(&contexts[1], path, 12, &needed), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(needed, 13u);
  EXPECT_EQ(path[0], '#') << "nothing written";
  EXPECT_EQ(QKGetDevicePath(&contexts[1], nullptr, 100, &needed), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(QKGetDevicePath(&contexts[1], path, 13, nullptr), QK_E_SUCCESS);
  EXPECT_EQ(std::string(path), "/dev/hidraw7");
  EXPECT_EQ(path[13], '#');
  EXPECT_EQ(QKGetDevicePath(&contexts[0], path, sizeof path, &needed), QK_E_SUCCESS);
  EXPECT_EQ(std::string(path), "first");
  EXPECT_EQ(needed, 6u);

  // A slot beyond the listing, or no context at all (ranges: OpenCloseTest).
  QKContext stale = contexts[1];
  stale.slotIndex = 2;
  EXPECT_EQ(QKGetDevicePath(&stale, path, sizeof path, nullptr), QK_E_CONTEXT);
  EXPECT_EQ(QKGetDevicePath(nullptr, path, sizeof path, nullptr), QK_E_CONTEXT);
}
