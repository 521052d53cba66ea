#include "platform/linux/named_lock.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include "tests/platform/temp_dir.h"

namespace qk::platform::posixlock {
namespace {

using testing::TempDir;
using std::chrono::milliseconds;

TEST(LockFileName, MapsEachNameToOneSafeFile) {
  const struct {
    const char* name;
    const char* file;
  } cases[] = {
      {"/dev/hidraw0", "_dev_hidraw0.lock"},
      {"/dev/a_b", "_dev_a%5Fb.lock"},  // distinct from /dev/a/b
      {"/dev/a/b", "_dev_a_b.lock"},
      {"..", "%2E..lock"},
      {"Local\\RR?Rhid#abc", "Local%5CRR%3FRhid%23abc.lock"},
      {"qkvirtual:/run/t 1.sock", "qkvirtual%3A_run_t%201.sock.lock"},
      {"", ".lock"},
  };
  for (const auto& c : cases) EXPECT_EQ(LockFileName(c.name), c.file) << c.name;
}

TEST(LockFileName, LongNamesStayShortAndDistinct) {
  const std::string base(400, 'p');
  std::set<std::string> files;
  for (const char* tail : {"a", "b", "/a", "_a"}) {
    const std::string file = LockFileName(base + tail);
    EXPECT_LE(file.size(), 255u);
    EXPECT_EQ(file.find('/'), std::string::npos);
    files.insert(file);
  }
  EXPECT_EQ(files.size(), 4u);
}

TEST(LockDirectory, CreatedSharedAndSticky) {
  TempDir root;
  const std::string dir = root / "locks";
  const int fd = OpenLockDirectory(dir + "/");
  ASSERT_GE(fd, 0);
  close(fd);
  struct stat info;
  ASSERT_EQ(lstat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 01777u);
}

TEST(LockDirectory, RefusesUnsafePlaces) {
  TempDir root;
  const std::string real = root / "real";
  mkdir(real.c_str(), 0700);
  const std::string link = root / "link";
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  const std::string file = root / "file";
  std::ofstream(file).put('x');
  const std::string open = root / "open";
  mkdir(open.c_str(), 0777);
  chmod(open.c_str(), 0777);  // writable by all, no sticky bit
  for (const std::string& place : {link, link + "/", file, open}) {
    const int fd = OpenLockDirectory(place);
    EXPECT_LT(fd, 0) << place;
    if (fd >= 0) close(fd);
  }
  const int fd = OpenLockDirectory(real);
  EXPECT_GE(fd, 0);
  if (fd >= 0) close(fd);
}

TEST(NamedLock, RefusesPlantedLockFiles) {
  TempDir root;
  const std::string dir = root / "locks";
  mkdir(dir.c_str(), 0700);
  ASSERT_EQ(symlink("/etc/passwd", (dir + "/" + LockFileName("a")).c_str()), 0);
  ASSERT_EQ(mkfifo((dir + "/" + LockFileName("b")).c_str(), 0600), 0);
  EXPECT_EQ(CreateNamedMutexIn(dir, "a"), nullptr);
  EXPECT_EQ(CreateNamedMutexIn(dir, "b"), nullptr);  // and does not block on the FIFO
}

struct LockPair {
  TempDir root;
  std::unique_ptr<NamedMutex> first{CreateNamedMutexIn(root.path(), "/dev/hidraw0")};
  std::unique_ptr<NamedMutex> second{CreateNamedMutexIn(root.path(), "/dev/hidraw0")};
};

bool LockOnOtherThread(NamedMutex& mutex, uint32_t timeoutMs, bool unlockAfter = true) {
  bool locked = false;
  std::thread([&] {
    locked = mutex.Lock(timeoutMs);
    if (locked && unlockAfter) mutex.Unlock();
  }).join();
  return locked;
}

TEST(NamedLock, ThreadsOfOneProcessTakeTurns) {
  LockPair p;
  ASSERT_TRUE(p.first && p.second);
  ASSERT_TRUE(p.first->Lock(1000));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(LockOnOtherThread(*p.second, 60));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(55));
  p.first->Unlock();
  EXPECT_TRUE(LockOnOtherThread(*p.second, 1000));
}

TEST(NamedLock, OwnedByThreadLikeAWindowsMutex) {
  LockPair p;
  ASSERT_TRUE(p.first->Lock(1000));
  ASSERT_TRUE(p.second->Lock(0));  // same thread, same name: taken again
  p.first->Unlock();
  EXPECT_FALSE(LockOnOtherThread(*p.first, 20));  // still held once
  // A thread that does not own it cannot release it.
  std::thread([&] { p.first->Unlock(); }).join();
  EXPECT_FALSE(LockOnOtherThread(*p.first, 20));
  p.second->Unlock();
  EXPECT_TRUE(LockOnOtherThread(*p.first, 1000));
  p.first->Unlock();  // not held: ignored
  EXPECT_TRUE(LockOnOtherThread(*p.first, 1000));
}

TEST(NamedLock, WaiterGetsLockWhenReleased) {
  LockPair p;
  ASSERT_TRUE(p.first->Lock(1000));
  std::atomic<bool> locked{false};
  std::thread waiter([&] {
    locked = p.second->Lock(5000);
    if (locked) p.second->Unlock();
  });
  std::this_thread::sleep_for(milliseconds(30));
  p.first->Unlock();
  waiter.join();
  EXPECT_TRUE(locked);
}

TEST(NamedLock, ExcludesOtherProcesses) {
  TempDir root;
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex* mutex = CreateNamedMutexIn(root.path(), "/dev/hidraw3");
    char c = (mutex != nullptr && mutex->Lock(1000)) ? 'L' : 'F';
    if (write(toParent[1], &c, 1) != 1) _exit(2);
    if (read(toChild[0], &c, 1) != 1) _exit(3);
    _exit(0);  // ending the process releases the lock
  }
  char c = 0;
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  ASSERT_EQ(c, 'L');
  std::unique_ptr<NamedMutex> mutex(CreateNamedMutexIn(root.path(), "/dev/hidraw3"));
  ASSERT_TRUE(mutex);
  EXPECT_FALSE(mutex->Lock(80));
  // A different name is a different lock.
  std::unique_ptr<NamedMutex> other(CreateNamedMutexIn(root.path(), "/dev/hidraw4"));
  EXPECT_TRUE(other->Lock(0));
  other->Unlock();
  ASSERT_EQ(write(toChild[1], "x", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(mutex->Lock(1000));
  mutex->Unlock();
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

TEST(NamedLock, PublicEntryUsesTheLockNamespace) {
  const std::string ns = LockNamespace();
  ASSERT_FALSE(ns.empty());
  EXPECT_EQ(ns.back(), '/');
  std::unique_ptr<NamedMutex> mutex(CreateNamedMutex((ns + "/dev/qk-platform-test").c_str()));
  ASSERT_TRUE(mutex);
  EXPECT_TRUE(mutex->Lock(1000));
  mutex->Unlock();
  struct stat info;
  EXPECT_EQ(lstat((ns + LockFileName("/dev/qk-platform-test")).c_str(), &info), 0);
}

TEST(OsVersion, NotWindows) {
  uint32_t major = 7, minor = 7;
  EXPECT_FALSE(GetOsVersion(&major, &minor));
  EXPECT_EQ(major, 0u);
  EXPECT_EQ(minor, 0u);
}

}  // namespace
}  // namespace qk::platform::posixlock
