// Lock names: the Windows namespace by version, backslashes turned into R,
// and names that would exceed 255 characters.
#include "api/mutex_name.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

static std::string NameOf(const std::string& prefix, const std::string& path) {
  char name[qk::kMaxMutexNameLength + 1];
  qk::BuildMutexName(prefix.c_str(), path.c_str(), name);
  return name;
}

TEST(MutexName, PrefixByWindowsVersionThenPathWithBackslashesAsR) {
  const std::pair<uint32_t, std::string> cases[] = {  // major * 100 + minor, prefix
      {410, ""}, {490, ""}, {400, "Global\\"}, {489, "Global\\"}, {510, "Global\\"},
      {600, "Local\\"}, {1000, "Local\\"}, {0, "Local\\"}, {351, "Local\\"}};
  for (const auto& [version, prefix] : cases) {
    EXPECT_EQ(qk::PrefixForVersion(version / 100, version % 100), prefix) << version;
  }
  EXPECT_EQ(NameOf("Global\\", "\\\\?\\hid#abc"), "Global\\RR?Rhid#abc");
  const std::string fits = "\\" + std::string(247, 'p');  // 7 + 248 = 255
  EXPECT_EQ(NameOf("Global\\", fits), "Global\\R" + std::string(247, 'p'));
  EXPECT_EQ(NameOf("Global\\", fits + "p").size(), 255u);
}

TEST(MutexName, LongPathsGetAHashAndTheirTailAndStayDistinct) {
  const std::string common = std::string(300, 'x') + "\\tail\\";
  std::set<std::string> names;
  for (const char* head : {"\\\\?\\hid#1", "\\\\?\\hid#2", "\\\\?\\hid#3"}) {
    const std::string name = NameOf("Local\\", head + common);
    EXPECT_EQ(name.size(), qk::kMaxMutexNameLength);
    EXPECT_EQ(name.rfind("Local\\", 0), 0u) << "keeps the prefix";
    EXPECT_EQ(name.substr(6 + 8, 1), "-");
    EXPECT_EQ(name.substr(name.size() - 20), std::string(14, 'x') + "RtailR") << "keeps the tail";
    EXPECT_EQ(name.find('\\', 6), std::string::npos);
    EXPECT_EQ(name, NameOf("Local\\", head + common)) << "same path, same name";
    names.insert(name);
  }
  EXPECT_EQ(names.size(), 3u) << "paths that differ only in their head keep distinct names";
}
