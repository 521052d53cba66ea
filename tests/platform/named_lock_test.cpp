#include "platform/linux/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>

#include "tests/support/temp_dir.h"

namespace qk::platform::posixlock {
namespace {

using qktest::TempDir;
using Mutex = std::unique_ptr<NamedMutex>;

TEST(LockDirectory, LinksAndPlantedLockFilesAreRefused) {
  TempDir root;
  const std::string real = root / "real", link = root / "link";
  mkdir(real.c_str(), 0700);
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  const int refused = OpenLockDirectory(link + "/");
  EXPECT_LT(refused, 0);
  if (refused >= 0) close(refused);
  // A lock file planted as a link or a FIFO (which must not block the open).
  ASSERT_EQ(symlink("/etc/passwd", (real + "/" + LockFileName("a")).c_str()), 0);
  ASSERT_EQ(mkfifo((real + "/" + LockFileName("b")).c_str(), 0600), 0);
  EXPECT_EQ(Mutex(CreateNamedMutexIn(real, "a")), nullptr);
  EXPECT_EQ(Mutex(CreateNamedMutexIn(real, "b")), nullptr);
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

// Two users keep two lock directories, but a device node is one: the byte
// lock on the node serialises them. (A regular file stands in for the node.)
// It does not meet the share-mode flock on the same node.
TEST(NamedLock, TheNodeLockSerialisesProcessesWithDifferentLockDirectories) {
  TempDir root;
  const std::string node = root / "hidraw-standin", mine = root / "mine", theirs = root / "theirs";
  ASSERT_EQ(mkdir(mine.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(theirs.c_str(), 0700), 0);
  const int shareMode = open(node.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(shareMode, 0);
  ASSERT_EQ(flock(shareMode, LOCK_SH | LOCK_NB), 0);
  int toChild[2], toParent[2];
  ASSERT_TRUE(pipe(toChild) == 0 && pipe(toParent) == 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex* mutex = CreateNamedMutexIn(theirs, IdentityLockName(0x1F00, 0), node);
    char c = (mutex != nullptr && mutex->Lock(1000)) ? 'L' : 'F';
    _exit(write(toParent[1], &c, 1) == 1 && read(toChild[0], &c, 1) == 1 ? 0 : 2);
  }
  char c = 0;
  ASSERT_TRUE(read(toParent[0], &c, 1) == 1 && c == 'L');
  Mutex mutex(CreateNamedMutexIn(mine, IdentityLockName(0x1F00, 0), node));
  ASSERT_TRUE(mutex);
  EXPECT_FALSE(mutex->Lock(80)) << "held through the node by the other directory's process";
  ASSERT_EQ(write(toChild[1], "x", 1), 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(mutex->Lock(1000)) << "freed by the holder's end";
  mutex->Unlock();
  close(shareMode);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

// The generation lives in the lock file: another process holding the same
// lock reads what this one wrote; nobody reads or writes it without the lock
// (except the unlocked hint).
TEST(NamedLock, KeepsTheGenerationForEveryProcess) {
  TempDir root;
  Mutex mutex(CreateNamedMutexIn(root.path(), IdentityLockName(0x10, 0x2345)));
  ASSERT_TRUE(mutex);
  uint64_t generation = 99;
  EXPECT_FALSE(mutex->ReadGeneration(&generation)) << "not held";
  EXPECT_FALSE(mutex->WriteGeneration(5));
  ASSERT_TRUE(mutex->Lock(100));
  ASSERT_TRUE(mutex->ReadGeneration(&generation));
  EXPECT_EQ(generation, 0u) << "a fresh lock file";
  ASSERT_TRUE(mutex->WriteGeneration(0x0102030405060708ull));
  mutex->Unlock();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex* other = CreateNamedMutexIn(root.path(), IdentityLockName(0x10, 0x2345));
    uint64_t seen = 0;
    const bool ok = other != nullptr && other->Lock(1000) && other->ReadGeneration(&seen) &&
                    seen == 0x0102030405060708ull && other->WriteGeneration(seen + 1);
    _exit(ok ? 0 : 1);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(mutex->PeekGeneration(&generation));
  EXPECT_EQ(generation, 0x0102030405060709ull);
  struct stat info;
  ASSERT_EQ(stat((root / "dev-10-2345.lock").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "nobody else may open it";
}

}  // namespace
}  // namespace qk::platform::posixlock
