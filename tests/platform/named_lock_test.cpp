#include "platform/linux/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tests/support/temp_dir.h"

namespace qk::platform::posixlock {
namespace {

using qktest::TempDir;
using Mutex = std::unique_ptr<NamedMutex>;

TEST(LockDirectory, LinksAndPlantedLockFilesAreRefusedAsUnsafe) {
  TempDir root;
  const std::string real = root / "real", link = root / "link";
  mkdir(real.c_str(), 0700);
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  std::string problem;
  const int refused = OpenLockDirectory(link + "/", &problem);
  EXPECT_LT(refused, 0);
  EXPECT_FALSE(problem.empty());
  if (refused >= 0) close(refused);
  // A lock file planted as a link or a FIFO (which must not block the open).
  ASSERT_EQ(symlink("/etc/passwd", (real + "/" + LockFileName("a")).c_str()), 0);
  ASSERT_EQ(mkfifo((real + "/" + LockFileName("b")).c_str(), 0600), 0);
  for (const char* name : {"a", "b"}) {
    LockProblem why = LockProblem::kNone;
    EXPECT_EQ(Mutex(CreateNamedMutexIn(real, name, "", &why)), nullptr) << name;
    EXPECT_EQ(why, LockProblem::kUnsafe) << name;
  }
  // A directory others may enter, or reached through a link: unsafe, not busy.
  const std::string open = root / "open";
  mkdir(open.c_str(), 0700);
  chmod(open.c_str(), 0777);
  for (const std::string& directory : {open, link}) {
    LockProblem why = LockProblem::kNone;
    EXPECT_EQ(Mutex(CreateNamedMutexIn(directory, "c", "", &why)), nullptr) << directory;
    EXPECT_EQ(why, LockProblem::kUnsafe) << directory;
  }
}

// Catches a lock location that follows the environment (so two processes of
// one user disagree) or that another user can create or own first.
TEST(LockDirectory, IsChosenFromTheUserAloneAndOnlyWhereNobodyElseReaches) {
  TempDir root;
  // A user other than root, so that the runtime and home rules apply; as
  // root the test hands the directories to that user.
  const uid_t uid = geteuid() == 0 ? 4242 : geteuid();
  const auto own = [&](const std::string& path, uid_t owner) {
    return geteuid() != 0 || chown(path.c_str(), owner, owner) == 0;
  };
  const LockRoots roots{root / "run", root / "run/user"};
  const std::string runtime = root / ("run/user/" + std::to_string(uid));
  const std::string home = root / "home/someone";
  ASSERT_EQ(system(("mkdir -p " + runtime + " " + home).c_str()), 0);
  chmod(runtime.c_str(), 0700);
  chmod(home.c_str(), 0755);
  ASSERT_TRUE(own(runtime, uid) && own(home, uid));
  const std::string inRuntime = runtime + "/qktoken", inHome = home + "/.qktoken";
  struct Case {
    const char* name;
    std::function<void()> change;
    std::string expected;  // empty: refused
    bool needsRoot;
  };
  const Case cases[] = {
      {"the runtime directory, whatever XDG_RUNTIME_DIR says",
       [] { setenv("XDG_RUNTIME_DIR", "/tmp", 1); }, inRuntime, false},
      {"runtime open to others: home", [&] { chmod(runtime.c_str(), 0755); }, inHome, false},
      {"runtime another user's: home", [&] { chmod(runtime.c_str(), 0700), own(runtime, 4343); },
       inHome, true},
      {"runtime a link to a private directory: home",
       [&] {
         rename(runtime.c_str(), (runtime + ".real").c_str());
         symlink((runtime + ".real").c_str(), runtime.c_str());
       },
       inHome, false},
      {"no runtime directory: home", [&] { unlink(runtime.c_str()); }, inHome, false},
      {"home writable by its group: refused", [&] { chmod(home.c_str(), 0775); }, "", false},
      {"home another user's: refused", [&] { chmod(home.c_str(), 0755), own(home, 4343); }, "",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.needsRoot && geteuid() != 0) continue;
    c.change();
    std::string problem;
    EXPECT_EQ(ChooseLockDirectory(uid, home, roots, &problem), c.expected);
    EXPECT_EQ(problem.empty(), !c.expected.empty()) << problem;
  }
  unsetenv("XDG_RUNTIME_DIR");
  std::string problem;
  EXPECT_EQ(ChooseLockDirectory(uid, "", roots, &problem), "") << "no home, no runtime";
  EXPECT_EQ(ChooseLockDirectory(0, home, roots, &problem), root / "run/qktoken");
  // /tmp/qktoken-UID could be made by anyone first: it is never a candidate.
  EXPECT_EQ(UserLockDirectory(&problem).rfind("/tmp", 0), std::string::npos);
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
  EXPECT_FALSE(mutex->PeekGeneration(&generation)) << "a fresh lock file holds none yet";
  ASSERT_TRUE(mutex->Lock(100));
  ASSERT_TRUE(mutex->ReadGeneration(&generation));
  uint64_t again = 0;
  ASSERT_TRUE(mutex->ReadGeneration(&again));
  EXPECT_EQ(again, generation) << "a fresh file's first value is kept";
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

// Catches a second holder let in by removing or replacing the lock file: the
// next taker locks the file now at the path, and a holder whose file went
// learns it (the generation no longer reads) instead of trusting its key.
TEST(NamedLock, ALockFileRemovedOrReplacedIsOpenedAgainAndAHolderLearnsIt) {
  TempDir root;
  const std::string name = IdentityLockName(0x10, 0x99);
  const std::string file = root / LockFileName(name);
  const auto lockedElsewhere = [&] {  // does another open file description get it?
    const int fd = open(file.c_str(), O_RDWR);
    const bool busy = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
    if (fd >= 0) close(fd);
    return busy;
  };
  Mutex mutex(CreateNamedMutexIn(root.path(), name));
  ASSERT_TRUE(mutex);
  uint64_t before = 0, after = 0;
  ASSERT_TRUE(mutex->Lock(100));
  ASSERT_TRUE(mutex->ReadGeneration(&before));
  mutex->Unlock();
  for (const char* how : {"removed", "replaced"}) {
    SCOPED_TRACE(how);
    ASSERT_EQ(unlink(file.c_str()), 0);
    if (std::string(how) == "replaced") close(open(file.c_str(), O_CREAT | O_RDWR, 0600));
    ASSERT_TRUE(mutex->Lock(100));
    EXPECT_TRUE(lockedElsewhere()) << "the file at the path is the one locked";
    ASSERT_TRUE(mutex->ReadGeneration(&after));
    EXPECT_NE(after, before) << "a new file never repeats the old generation";
    ASSERT_EQ(unlink(file.c_str()), 0);  // now while held
    EXPECT_FALSE(mutex->ReadGeneration(&after)) << "the hold excludes nobody any more";
    EXPECT_FALSE(mutex->WriteGeneration(after + 1));
    mutex->Unlock();
    ASSERT_TRUE(mutex->Lock(100));
    EXPECT_TRUE(mutex->ReadGeneration(&before)) << "taken again on a new file";
    mutex->Unlock();
  }
}

// Catches a lock kept for good when the mutex goes away on another thread
// than the one that took it (a close from another thread).
TEST(NamedLock, DestroyingTheMutexReleasesWhatItHeldWhicheverThreadTookIt) {
  TempDir root;
  Mutex mutex(CreateNamedMutexIn(root.path(), "x"));
  Mutex sibling(CreateNamedMutexIn(root.path(), "x"));  // same file, same process
  ASSERT_TRUE(mutex && sibling);
  std::thread([&] { EXPECT_TRUE(mutex->Lock(100) && mutex->Lock(100)); }).join();
  EXPECT_FALSE(sibling->Lock(50)) << "held by the thread that ended";
  mutex.reset();
  ASSERT_TRUE(sibling->Lock(50)) << "released with the mutex that held it";
  const int elsewhere = open((root / LockFileName("x")).c_str(), O_RDWR);
  EXPECT_NE(flock(elsewhere, LOCK_EX | LOCK_NB), 0) << "the sibling's hold is a real one";
  close(elsewhere);
  sibling->Unlock();
}

}  // namespace
}  // namespace qk::platform::posixlock
