// Listing and path opening of the Win32 backend.
#include "platform/win32/win32_backend.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "tests/platform/win32_test_pipe.h"

namespace qk::platform::win32 {
namespace {

using testing::UniqueName;

TEST(Win32BackendTest, DetailRecordSizeIsWhatTheSetupServicesAccept) {
  // The services reject any other value: 5 where the record is byte-packed
  // (32-bit), 8 on 64-bit.
  EXPECT_EQ(kDetailRecordSize, sizeof(void*) == 4 ? 5u : 8u);
}

TEST(Win32BackendTest, InterfacePathsAreCopiedWholeOrNotAtAll) {
  struct Case {
    const char* name;
    const char* text;
    size_t available;
    size_t capacity;
    EnumStatus status;
  };
  static const char kPath[] = "\\\\?\\hid#vid_7a5c&pid_0b21";  // 25 characters
  const Case cases[] = {
      {"fits with room", kPath, sizeof kPath, 273, EnumStatus::kOk},
      {"fits exactly", kPath, sizeof kPath, sizeof kPath, EnumStatus::kOk},
      {"one byte short", kPath, sizeof kPath, sizeof kPath - 1, EnumStatus::kDetailUnreadable},
      {"no terminator in the record", kPath, sizeof kPath - 1, 273,
       EnumStatus::kDetailUnreadable},
      {"no room at all", kPath, sizeof kPath, 0, EnumStatus::kDetailUnreadable},
      {"empty path", "", 1, 4, EnumStatus::kOk},
  };
  for (const Case& c : cases) {
    char path[300];
    std::memset(path, 'x', sizeof path);
    EXPECT_EQ(CopyInterfacePath(c.text, c.available, path, c.capacity), c.status) << c.name;
    if (c.status == EnumStatus::kOk) {
      EXPECT_STREQ(path, c.text) << c.name;
    } else {
      EXPECT_EQ(path[0], 'x') << c.name << ": a refused path must not be half written";
    }
    EXPECT_EQ(path[c.capacity], 'x') << c.name << ": wrote past the capacity";
  }
}

TEST(Win32BackendTest, WalkingTheHidInterfacesEndsAndYieldsTerminatedPaths) {
  std::unique_ptr<InterfaceSet> set(Win32InterfaceSet::Open());
  ASSERT_NE(set, nullptr) << "the HID interface set should always be available";
  uint32_t index = 0;
  for (; index < 128; ++index) {
    char path[kDetailBufferSize];
    std::memset(path, 'x', sizeof path);
    const EnumStatus status = set->PathAt(index, path, sizeof path);
    if (status == EnumStatus::kNoMore) break;
    if (status == EnumStatus::kOk) {
      EXPECT_LT(std::strlen(path), sizeof path);
    }
  }
  EXPECT_LT(index, 128u) << "the walk did not end";
  char path[8];
  EXPECT_EQ(set->PathAt(100000, path, sizeof path), EnumStatus::kNoMore);
}

// A scratch file standing in for a device path: sharing rules and error
// numbers are the file system's, the same as for a HID interface.
class ScratchFile {
 public:
  ScratchFile() {
    char directory[MAX_PATH];
    GetTempPathA(MAX_PATH, directory);
    path_ = std::string(directory) + UniqueName("qk-share") + ".tmp";
    HANDLE h = CreateFileA(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  ~ScratchFile() { DeleteFileA(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

TEST(Win32BackendTest, SecondOpenObeysTheFirstOpenersSharing) {
  struct Case {
    ShareMode first;
    ShareMode second;
    bool opens;
  };
  const Case cases[] = {
      {ShareMode::kShared, ShareMode::kShared, true},
      {ShareMode::kShared, ShareMode::kExclusive, false},
      {ShareMode::kExclusive, ShareMode::kShared, false},
      {ShareMode::kExclusive, ShareMode::kExclusive, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "first exclusive " << (c.first == ShareMode::kExclusive)
                                      << ", second exclusive "
                                      << (c.second == ShareMode::kExclusive));
    ScratchFile file;
    uint32_t error = 0;
    std::unique_ptr<Device> holder(OpenPath(file.path(), IoMode::kOverlapped, c.first, &error));
    ASSERT_NE(holder, nullptr) << "error " << error;
    error = 0;
    std::unique_ptr<Device> second(OpenPath(file.path(), IoMode::kSynchronous, c.second, &error));
    EXPECT_EQ(second != nullptr, c.opens);
    if (!c.opens) {
      EXPECT_EQ(error, kErrorSharingViolation);
    }
    // Closing the holder ends its claim.
    second.reset();
    holder.reset();
    std::unique_ptr<Device> after(OpenPath(file.path(), IoMode::kSynchronous,
                                           ShareMode::kExclusive, &error));
    EXPECT_NE(after, nullptr) << "the first open's handle was not closed";
  }
}

TEST(Win32BackendTest, FailedOpensReportTheSystemError) {
  ScratchFile file;
  const std::string missing = std::string(file.path()) + ".missing";
  char directory[MAX_PATH];
  GetTempPathA(MAX_PATH, directory);
  struct Case {
    const char* name;
    const char* path;
    uint32_t error;
  };
  const Case cases[] = {
      {"missing path", missing.c_str(), kErrorFileNotFound},
      // A directory cannot be opened as a device: access denied.
      {"directory", directory, kErrorAccessDenied},
  };
  for (const Case& c : cases) {
    uint32_t error = 0;
    EXPECT_EQ(OpenPath(c.path, IoMode::kSynchronous, ShareMode::kShared, &error), nullptr)
        << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
}

}  // namespace
}  // namespace qk::platform::win32
