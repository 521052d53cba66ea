#include "platform/linux/named_lock.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "tests/platform/temp_dir.h"

namespace qk::platform::posixlock {
namespace {

using testing::TempDir;
using Mutex = std::unique_ptr<NamedMutex>;

TEST(LockFileName, EachNameGetsOneSafeDistinctFile) {
  const struct { std::string name, file; } cases[] = {
      {"/dev/hidraw0", "_dev_hidraw0.lock"},
      {"/dev/a_b", "_dev_a%5Fb.lock"},  // distinct from /dev/a/b
      {"/dev/a/b", "_dev_a_b.lock"},
      {"..", "%2E..lock"},
      {"Local\\RR?Rhid#abc", "Local%5CRR%3FRhid%23abc.lock"},
  };
  for (const auto& c : cases) EXPECT_EQ(LockFileName(c.name), c.file) << c.name;
  std::set<std::string> files;
  for (const char* tail : {"a", "b", "/a", "_a"}) {
    const std::string file = LockFileName(std::string(400, 'p') + tail);
    EXPECT_LE(file.size(), 255u);
    EXPECT_EQ(file.find('/'), std::string::npos);
    files.insert(file);
  }
  EXPECT_EQ(files.size(), 4u);
}

TEST(LockDirectory, CreatedStickyAndUnsafePlacesOrPlantedFilesRefused) {
  TempDir root;
  const int fd = OpenLockDirectory(root / "locks/");
  ASSERT_GE(fd, 0);
  close(fd);
  struct stat info;
  ASSERT_EQ(lstat((root / "locks").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 01777u);

  const std::string real = root / "real", link = root / "link", file = root / "file";
  const std::string open = root / "open";
  mkdir(real.c_str(), 0700);
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  std::ofstream(file).put('x');
  mkdir(open.c_str(), 0777);
  chmod(open.c_str(), 0777);  // writable by all, no sticky bit
  for (const std::string& place : {link, link + "/", file, open}) {
    const int refused = OpenLockDirectory(place);
    EXPECT_LT(refused, 0) << place;
    if (refused >= 0) close(refused);
  }
  // A lock file planted as a link or a FIFO (which must not block the open).
  ASSERT_EQ(symlink("/etc/passwd", (real + "/" + LockFileName("a")).c_str()), 0);
  ASSERT_EQ(mkfifo((real + "/" + LockFileName("b")).c_str(), 0600), 0);
  EXPECT_EQ(Mutex(CreateNamedMutexIn(real, "a")), nullptr);
  EXPECT_EQ(Mutex(CreateNamedMutexIn(real, "b")), nullptr);
}

bool LockOnOtherThread(NamedMutex& mutex, uint32_t timeoutMs) {
  bool locked = false;
  std::thread([&] {
    if ((locked = mutex.Lock(timeoutMs))) mutex.Unlock();
  }).join();
  return locked;
}

TEST(NamedLock, ThreadsTakeTurnsAndOwnershipIsPerThread) {
  TempDir root;
  Mutex first(CreateNamedMutexIn(root.path(), "/dev/hidraw0"));
  Mutex second(CreateNamedMutexIn(root.path(), "/dev/hidraw0"));
  ASSERT_TRUE(first && second);
  ASSERT_TRUE(first->Lock(1000));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(LockOnOtherThread(*second, 60));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(55));
  // Like a Windows mutex: the owner may take it again, others cannot release it.
  ASSERT_TRUE(second->Lock(0));
  first->Unlock();
  EXPECT_FALSE(LockOnOtherThread(*first, 20));
  std::thread([&] { first->Unlock(); }).join();
  EXPECT_FALSE(LockOnOtherThread(*first, 20));
  second->Unlock();
  EXPECT_TRUE(LockOnOtherThread(*first, 1000));
}

TEST(NamedLock, ExcludesOtherProcesses) {
  TempDir root;
  int toChild[2], toParent[2];
  ASSERT_TRUE(pipe(toChild) == 0 && pipe(toParent) == 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex* mutex = CreateNamedMutexIn(root.path(), "/dev/hidraw3");
    char c = (mutex != nullptr && mutex->Lock(1000)) ? 'L' : 'F';
    _exit(write(toParent[1], &c, 1) == 1 && read(toChild[0], &c, 1) == 1 ? 0 : 2);  // unlocks
  }
  char c = 0;
  ASSERT_TRUE(read(toParent[0], &c, 1) == 1 && c == 'L');
  Mutex mutex(CreateNamedMutexIn(root.path(), "/dev/hidraw3"));
  Mutex other(CreateNamedMutexIn(root.path(), "/dev/hidraw4"));
  ASSERT_TRUE(mutex && other);
  EXPECT_FALSE(mutex->Lock(80));
  EXPECT_TRUE(other->Lock(0));  // a different name is a different lock
  other->Unlock();
  ASSERT_EQ(write(toChild[1], "x", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(mutex->Lock(1000));
  mutex->Unlock();
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

}  // namespace
}  // namespace qk::platform::posixlock
