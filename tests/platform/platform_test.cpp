#include "platform/platform.h"

#include <stdlib.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/native.h"
#include "tests/platform/temp_dir.h"

namespace qk::platform {
namespace {

using Strings = std::vector<std::string>;

// A native backend listing "nativeN" members with the given statuses.
class FakeNative : public Backend, public InterfaceSet {
 public:
  InterfaceSet* OpenInterfaceSet() override { return available ? new FakeNative(*this) : nullptr; }
  EnumStatus PathAt(uint32_t index, char* path, size_t capacity) override {
    if (index >= statuses.size()) return EnumStatus::kNoMore;
    if (statuses[index] == EnumStatus::kOk) snprintf(path, capacity, "native%u", index);
    return statuses[index];
  }
  Device* OpenDevice(const char* path, IoMode, ShareMode, uint32_t* systemError) override {
    opened.push_back(path);
    *systemError = 1234;
    return nullptr;
  }
  bool available = true;
  std::vector<EnumStatus> statuses = {EnumStatus::kOk, EnumStatus::kOk};
  Strings opened;
};

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
  FakeNative native;
  SetNativeBackendForTesting(&native);
  for (const char* name : {"t1.sock", "t0.tcp", "ignored.txt"}) std::ofstream(dir / name);
  unsetenv("QKTOKEN_VIRTUAL_DIR");
  EXPECT_EQ(Walk(), (Strings{"native0", "native1"}));
  setenv("QKTOKEN_VIRTUAL_DIR", dir.path().c_str(), 1);
  const std::string v = "qkvirtual:" + dir.path() + "/";
  // Members that fail to read still count as hardware interfaces.
  native.statuses = {EnumStatus::kDetailUnreadable, EnumStatus::kOk};
  EXPECT_EQ(Walk(), (Strings{"<error>", "native1", v + "t0.tcp", v + "t1.sock"}));
  native.available = false;
  EXPECT_EQ(Walk(), Strings{"<no set>"});

  uint32_t error = 0;
  EXPECT_EQ(OpenDevice("native0", IoMode::kSynchronous, ShareMode::kShared, &error), nullptr);
  EXPECT_EQ(error, 1234u);
  const std::string missing = v + "absent.sock";
  EXPECT_EQ(OpenDevice(missing.c_str(), IoMode::kSynchronous, ShareMode::kShared, &error), nullptr);
  EXPECT_EQ(error, kErrorFileNotFound);
  EXPECT_EQ(native.opened, Strings{"native0"});

  // A test backend replaces both.
  FakeNative replacement;
  replacement.statuses = {EnumStatus::kOk};
  SetBackendForTesting(&replacement);
  EXPECT_EQ(Walk(), Strings{"native0"});
  OpenDevice(missing.c_str(), IoMode::kSynchronous, ShareMode::kShared, &error);
  EXPECT_EQ(replacement.opened, Strings{missing});
  SetBackendForTesting(nullptr);
  SetNativeBackendForTesting(nullptr);
  unsetenv("QKTOKEN_VIRTUAL_DIR");
}

}  // namespace
}  // namespace qk::platform
