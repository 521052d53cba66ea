// Named mutexes and the system version on Windows.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/win32/windows_sdk.h"
#include "tests/platform/win32_test_pipe.h"

namespace qk::platform {
namespace {

using win32::testing::UniqueName;

// Holds `mutex` on a thread of its own until released, so that the test
// thread contends with it (a Windows mutex is recursive for its owner).
class OtherThreadHolds {
 public:
  explicit OtherThreadHolds(NamedMutex* mutex) {
    HANDLE locked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    release_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread([=] {
      mutex->Lock(INFINITE);
      SetEvent(locked);
      WaitForSingleObject(release_, INFINITE);
      mutex->Unlock();
    });
    WaitForSingleObject(locked, INFINITE);
    CloseHandle(locked);
  }
  ~OtherThreadHolds() {
    SetEvent(release_);
    thread_.join();
    CloseHandle(release_);
  }

 private:
  HANDLE release_;
  std::thread thread_;
};

TEST(Win32SyncTest, OneNameIsOneMutexAcrossHandles) {
  const std::string name = "Local\\" + UniqueName("qk-mutex");
  std::unique_ptr<NamedMutex> first(CreateNamedMutex(name.c_str()));
  std::unique_ptr<NamedMutex> second(CreateNamedMutex(name.c_str()));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  {
    OtherThreadHolds holder(first.get());
    EXPECT_FALSE(second->Lock(50)) << "the second handle does not share the first's lock";
  }
  EXPECT_TRUE(second->Lock(1000));
  second->Unlock();
}

TEST(Win32SyncTest, MutexLeftByAnOwnerThatEndedIsAcquired) {
  const std::string name = "Local\\" + UniqueName("qk-abandoned");
  std::unique_ptr<NamedMutex> mutex(CreateNamedMutex(name.c_str()));
  ASSERT_NE(mutex, nullptr);
  std::thread([&] { ASSERT_TRUE(mutex->Lock(1000)); }).join();  // never unlocked
  EXPECT_TRUE(mutex->Lock(1000)) << "an abandoned mutex would block every later exchange";
  mutex->Unlock();
}

TEST(Win32SyncTest, NamesAsTheLibraryBuildsThemAreAccepted) {
  // Device paths with their backslashes turned into R, under each prefix.
  const std::string tail = UniqueName("RR?Rhid#vid_7a5c&pid_0b21#7&1a2b3c&0&0000#{4d1e55b2}");
  for (const char* prefix : {"", "Local\\", "Global\\"}) {
    std::unique_ptr<NamedMutex> mutex(CreateNamedMutex((prefix + tail).c_str()));
    EXPECT_NE(mutex, nullptr) << "prefix '" << prefix << "'";
  }
}

TEST(Win32SyncTest, UncreatableMutexIsReportedAsNull) {
  // A backslash outside the known namespaces names nothing the system can make.
  EXPECT_EQ(CreateNamedMutex(("NoSuchNamespace\\" + UniqueName("qk")).c_str()), nullptr);
}

TEST(Win32SyncTest, SystemVersionIsReadable) {
  uint32_t major = 0, minor = 99;
  EXPECT_TRUE(GetOsVersion(&major, &minor));
  EXPECT_GE(major, 4u);
  EXPECT_LT(minor, 100u);
  // The api layer adds the system's own namespace prefix.
  EXPECT_STREQ(LockNamespace(), "");
}

}  // namespace
}  // namespace qk::platform
