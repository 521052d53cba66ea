// Lock names: the Windows namespace by version, backslashes turned into R,
// and names that would exceed 255 characters.
#include "api/mutex_name.h"

#include <gtest/gtest.h>

#include <string>

static std::string NameOf(const std::string& prefix, const std::string& path) {
  char name[qk::kMaxMutexNameLength + 1];
  qk::BuildMutexName(prefix.c_str(), path.c_str(), name);
  return name;
}

TEST(MutexName, PrefixByWindowsVersionThenPathWithBackslashesAsR) {
  const std::pair<uint32_t, std::string> cases[] = {  // major * 100 + minor, prefix
      {410, ""}, {400, "Global\\"}, {510, "Global\\"}, {600, "Local\\"}};
  for (const auto& [version, prefix] : cases) {
    EXPECT_EQ(qk::PrefixForVersion(version / 100, version % 100), prefix) << version;
  }
  EXPECT_EQ(NameOf("Global\\", "\\\\?\\hid#abc"), "Global\\RR?Rhid#abc");
}

TEST(MutexName, LongPathsKeepPrefixAndTailAndStayDistinct) {
  const std::string tail = std::string(300, 'x') + "\\tail\\";
  const std::string one = NameOf("Local\\", "\\\\?\\hid#1" + tail);
  EXPECT_EQ(one.size(), qk::kMaxMutexNameLength);
  EXPECT_EQ(one.rfind("Local\\", 0), 0u);
  EXPECT_EQ(one.substr(one.size() - 20), std::string(14, 'x') + "RtailR");
  EXPECT_NE(one, NameOf("Local\\", "\\\\?\\hid#2" + tail)) << "heads that differ stay distinct";
}

// A virtual token's lock is named by its entry's identity, never by how its
// path was written: both numbers in full, so distinct identities never share one.
TEST(MutexName, IdentityNamesCarryBothNumbersInFull) {
  char name[qk::kMaxMutexNameLength + 1];
  qk::BuildIdentityMutexName("Local\\", 0x0123456789ABCDEFull, 0xFEDCBA9876543210ull, name);
  EXPECT_STREQ(name, "Local\\qktoken-0123456789ABCDEF-FEDCBA9876543210");
}
