// A virtual token's lock is named by its entry's file identity: every
// spelling of the entry's path must give the same identity, and another
// entry a different one. Runs on every host (under Wine for Windows).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/virtual/virtual_device.h"

namespace qk::platform::vlink {
namespace {

namespace fs = std::filesystem;

TEST(EntryIdentity, EverySpellingOfOneEntryNamesOneFile) {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path dir = fs::temp_directory_path() / ("qkentry-" + std::to_string(stamp));
  ASSERT_TRUE(fs::create_directory(dir));
  std::ofstream(dir / "token0.tcp") << "x";
  std::ofstream(dir / "token1.tcp") << "y";
  const std::string base = dir.string();
  const char sep = static_cast<char>(fs::path::preferred_separator);
  const std::string spellings[] = {base + sep + "token0.tcp", base + sep + "." + sep + "token0.tcp",
                                   base + sep + "." + sep + "." + sep + "token0.tcp"};

  uint64_t first[2] = {}, other[2] = {};
  ASSERT_TRUE(EntryFileIdentity(spellings[0], &first[0], &first[1]));
  for (const std::string& spelling : spellings) {
    uint64_t seen[2] = {};
    ASSERT_TRUE(EntryFileIdentity(spelling, &seen[0], &seen[1])) << spelling;
    EXPECT_TRUE(seen[0] == first[0] && seen[1] == first[1]) << spelling;
  }
  ASSERT_TRUE(EntryFileIdentity(base + sep + "token1.tcp", &other[0], &other[1]));
  EXPECT_FALSE(other[0] == first[0] && other[1] == first[1]) << "two entries, one identity";
  EXPECT_FALSE(EntryFileIdentity(base + sep + "absent.tcp", &other[0], &other[1]));

  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace qk::platform::vlink
