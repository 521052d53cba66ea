#include "platform/platform.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/native.h"
#include "tests/platform/temp_dir.h"

namespace qk::platform {
namespace {

using testing::TempDir;

class ListSet : public InterfaceSet {
 public:
  explicit ListSet(std::vector<EnumStatus> statuses) : statuses_(std::move(statuses)) {}
  EnumStatus PathAt(uint32_t index, char* path, size_t capacity) override {
    if (index >= statuses_.size()) return EnumStatus::kNoMore;
    if (statuses_[index] == EnumStatus::kOk) {
      snprintf(path, capacity, "native%u", index);
    }
    return statuses_[index];
  }

 private:
  std::vector<EnumStatus> statuses_;
};

class FakeNative : public Backend {
 public:
  InterfaceSet* OpenInterfaceSet() override {
    return available ? new ListSet(statuses) : nullptr;
  }
  Device* OpenDevice(const char* path, IoMode, ShareMode, uint32_t* systemError) override {
    opened.push_back(path);
    *systemError = 1234;
    return nullptr;
  }
  bool available = true;
  std::vector<EnumStatus> statuses = {EnumStatus::kOk, EnumStatus::kOk};
  std::vector<std::string> opened;
};

class PlatformFront : public ::testing::Test {
 protected:
  void SetUp() override {
    SetNativeBackendForTesting(&native);
    chmod(dir.path().c_str(), 0700);
    for (const char* name : {"t1.sock", "t0.tcp", "ignored.txt"}) std::ofstream(dir / name);
    unsetenv("QKTOKEN_VIRTUAL_DIR");
  }
  void TearDown() override {
    SetNativeBackendForTesting(nullptr);
    SetBackendForTesting(nullptr);
    unsetenv("QKTOKEN_VIRTUAL_DIR");
  }
  std::vector<std::string> Walk() {
    std::vector<std::string> seen;
    std::unique_ptr<InterfaceSet> set(OpenInterfaceSet());
    if (!set) return {"<no set>"};
    char path[kDetailBufferSize];
    for (uint32_t i = 0; i < 16; ++i) {
      const EnumStatus status = set->PathAt(i, path, sizeof path);
      if (status == EnumStatus::kNoMore) break;
      seen.push_back(status == EnumStatus::kOk ? path : "<error>");
    }
    return seen;
  }

  FakeNative native;
  TempDir dir;
};

TEST_F(PlatformFront, VirtualTokensFollowHardwareOnlyWhenAsked) {
  EXPECT_EQ(Walk(), (std::vector<std::string>{"native0", "native1"}));
  setenv("QKTOKEN_VIRTUAL_DIR", dir.path().c_str(), 1);
  const std::string v = "qkvirtual:" + dir.path() + "/";
  EXPECT_EQ(Walk(), (std::vector<std::string>{"native0", "native1", v + "t0.tcp", v + "t1.sock"}));
  // Members that fail to read still count as hardware interfaces.
  native.statuses = {EnumStatus::kDetailUnreadable, EnumStatus::kOk};
  EXPECT_EQ(Walk(), (std::vector<std::string>{"<error>", "native1", v + "t0.tcp", v + "t1.sock"}));
  native.statuses = {};
  EXPECT_EQ(Walk(), (std::vector<std::string>{v + "t0.tcp", v + "t1.sock"}));
  // Without the native set there is no listing at all.
  native.available = false;
  EXPECT_EQ(Walk(), (std::vector<std::string>{"<no set>"}));
}

TEST_F(PlatformFront, OpenDispatchesOnThePathPrefix) {
  uint32_t error = 0;
  EXPECT_EQ(OpenDevice("native0", IoMode::kSynchronous, ShareMode::kShared, &error), nullptr);
  EXPECT_EQ(error, 1234u);
  const std::string missing = "qkvirtual:" + dir.path() + "/absent.sock";
  EXPECT_EQ(OpenDevice(missing.c_str(), IoMode::kSynchronous, ShareMode::kShared, &error), nullptr);
  EXPECT_EQ(error, kErrorFileNotFound);
  EXPECT_EQ(native.opened, std::vector<std::string>{"native0"});
}

TEST_F(PlatformFront, TestBackendReplacesEverything) {
  FakeNative replacement;
  replacement.statuses = {EnumStatus::kOk};
  SetBackendForTesting(&replacement);
  setenv("QKTOKEN_VIRTUAL_DIR", dir.path().c_str(), 1);
  EXPECT_EQ(Walk(), std::vector<std::string>{"native0"});
  uint32_t error = 0;
  OpenDevice("qkvirtual:/x.sock", IoMode::kSynchronous, ShareMode::kShared, &error);
  EXPECT_EQ(replacement.opened, std::vector<std::string>{"qkvirtual:/x.sock"});
  EXPECT_TRUE(native.opened.empty());
}

}  // namespace
}  // namespace qk::platform
