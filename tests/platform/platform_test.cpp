#include "platform/platform.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/native.h"
#include "tests/platform/temp_dir.h"
#include "tests/support/fake_device.h"

namespace qk::platform {
namespace {

using Strings = std::vector<std::string>;

Strings Walk() {
  std::unique_ptr<InterfaceSet> set(OpenInterfaceSet());
  if (!set) return {"<no set>"};
  Strings seen;
  char path[kDetailBufferSize];
  for (uint32_t i = 0; i < 16; ++i) {
    const EnumStatus status = set->PathAt(i, path, sizeof path);
    if (status == EnumStatus::kNoMore) break;
    seen.push_back(status == EnumStatus::kOk ? path : "<error>");
  }
  return seen;
}

TEST(PlatformFront, VirtualTokensFollowHardwareAndOpensDispatchOnThePrefix) {
  testing::TempDir dir;
  qktest::FakeBackend native;
  native.AddToken("native0").openError = 1234;
  native.AddToken("native1");
  SetNativeBackendForTesting(&native);
  for (const char* name : {"t1.sock", "t0.tcp", "ignored.txt"}) std::ofstream(dir / name);
  unsetenv("QKTOKEN_VIRTUAL_DIR");
  EXPECT_EQ(Walk(), (Strings{"native0", "native1"}));
  setenv("QKTOKEN_VIRTUAL_DIR", dir.path().c_str(), 1);
  const std::string v = "qkvirtual:" + dir.path() + "/";
  // Members that fail to read still count as hardware interfaces.
  native.interfaces[0].status = EnumStatus::kDetailUnreadable;
  EXPECT_EQ(Walk(), (Strings{"<error>", "native1", v + "t0.tcp", v + "t1.sock"}));
  native.setAvailable = false;
  EXPECT_EQ(Walk(), Strings{"<no set>"});

  uint32_t error = 0;
  EXPECT_EQ(OpenDevice("native0", IoMode::kSynchronous, ShareMode::kShared, &error), nullptr);
  EXPECT_EQ(error, 1234u);
  const std::string missing = v + "absent.sock";
  EXPECT_EQ(OpenDevice(missing.c_str(), IoMode::kSynchronous, ShareMode::kShared, &error), nullptr);
  EXPECT_EQ(error, kErrorFileNotFound);
  ASSERT_EQ(native.opens.size(), 1u);
  EXPECT_EQ(native.opens[0].path, "native0");

  // A test backend replaces both.
  qktest::FakeBackend replacement;
  replacement.AddToken("native0");
  SetBackendForTesting(&replacement);
  EXPECT_EQ(Walk(), Strings{"native0"});
  OpenDevice(missing.c_str(), IoMode::kSynchronous, ShareMode::kShared, &error);
  ASSERT_EQ(replacement.opens.size(), 1u);
  EXPECT_EQ(replacement.opens[0].path, missing);
  SetBackendForTesting(nullptr);
  SetNativeBackendForTesting(nullptr);
  unsetenv("QKTOKEN_VIRTUAL_DIR");
}

}  // namespace
}  // namespace qk::platform
