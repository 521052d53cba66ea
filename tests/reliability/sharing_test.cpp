// Handles sharing a token over the real link: late answers, untrustworthy
// locks, DIR vs DIR/., and transactions across threads and processes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <thread>

#include "platform/linux/named_lock.h"
#include "tests/reliability/served_token.h"

namespace qktest {
namespace {

// The lock directory and file another user could tamper with.
class Sharing : public ServedToken {
 protected:
  std::string LockDirectory() const { return runtime_.path() + "/qktoken"; }
  // The lock file of the served token, named by its entry's identity.
  std::string LockFile() const {
    struct stat info;
    if (stat(server_->EntryPath().c_str(), &info) != 0) return "";
    return LockDirectory() + "/" +
           qk::platform::posixlock::IdentityLockName(info.st_dev, info.st_ino) + ".lock";
  }
};

// Catches a late answer (after its call gave up) taken for a later command's.
TEST_F(Sharing, ALateAnswerIsNeverTakenForTheNextCommands) {
  ASSERT_EQ(OpenAndVerify(&context_), QK_E_SUCCESS);
  qk::SetTimeLimitsForTesting({2000, 300, 200, 200});
  for (int settleMs : {500, 0}) {  // the late answer arrives before the reopen, or during it
    SCOPED_TRACE(settleMs);
    AddFault("delay:400@1");
    EXPECT_EQ(Add(&context_, 1, 2), QK_E_COMMUNICATION);
    const auto start = Clock::now();
    EXPECT_EQ(Add(&context_, 3, 4), QK_E_SESSION_REPLACED) << "not the 1 + 2 that comes late";
    EXPECT_LT(MillisecondsSince(start), 100);
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    // Whatever the reopen meets, no call returns another command's answer.
    int reopens = 0;
    uint32_t rc = QK_E_SESSION_REPLACED;
    while (rc != QK_E_SUCCESS && reopens++ < 5) {
      QKCloseDevice(&context_);
      rc = OpenAndVerify(&context_);
      if (rc == QK_E_SUCCESS) rc = Add(&context_, 5, 6);
      EXPECT_NE(rc, QK_E_UNKNOWN);
    }
    EXPECT_EQ(rc, QK_E_SUCCESS);
  }
}

// Catches a lock another local user could own or open up: it must fail the
// open, not let it run unlocked. (Links and FIFOs planted in place of the
// directory or the lock file: LockDirectory.LinksAndPlantedLockFilesAreRefused.)
TEST_F(Sharing, ALockDirectoryOrFileThatCannotBeTrustedFailsTheOpen) {
  ASSERT_EQ(OpenAndVerify(&context_), QK_E_SUCCESS);  // makes the directory and lock file
  QKCloseDevice(&context_);
  const std::string lockDir = LockDirectory(), lockFile = LockFile();
  struct Case {
    const char* name;
    std::function<void()> plant, undo;
  };
  const Case cases[] = {
      {"directory open to others", [&] { chmod(lockDir.c_str(), 0777); },
       [&] { chmod(lockDir.c_str(), 0700); }},
      {"lock file readable by others", [&] { chmod(lockFile.c_str(), 0644); },
       [&] { chmod(lockFile.c_str(), 0600); }},
      {"parent writable by others without the sticky bit",
       [&] { chmod(runtime_.path().c_str(), 0777); },
       [&] { chmod(runtime_.path().c_str(), 0700); }},
      {"directory of another user", [&] { (void)!chown(lockDir.c_str(), 65534, 65534); },
       [&] { (void)!chown(lockDir.c_str(), geteuid(), getegid()); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "directory of another user" && geteuid() != 0) continue;
    c.plant();
    EXPECT_EQ(OpenFirstToken(&context_), QK_E_LOCK_UNAVAILABLE);
    EXPECT_EQ(QKCloseDevice(&context_), QK_E_CONTEXT) << "the slot stayed closed";
    c.undo();
    ASSERT_EQ(OpenAndVerify(&context_), QK_E_SUCCESS);
    EXPECT_EQ(Add(&context_, 2, 2), 0u);
    QKCloseDevice(&context_);
  }
}

TEST_F(Sharing, TransactionsNestOpenInsideAndEndOnlyWhereBegun) {
  uint32_t count = 1;
  ASSERT_EQ(QKListDevices(&context_, &count), QK_E_SUCCESS);
  EXPECT_EQ(QKEndTransaction(&context_), QK_E_PARAMETER) << "none begun";
  EXPECT_EQ(QKBeginTransaction(&context_, QK_MAX_WAIT_MS + 1), QK_E_PARAMETER);
  QKContext bad = {};
  bad.slotIndex = 200;
  EXPECT_EQ(QKBeginTransaction(&bad, 0), QK_E_CONTEXT);

  // A listed token that is not open yet: open, PIN and work form one step,
  // and the handle may even be closed and opened again inside it.
  ASSERT_EQ(QKBeginTransaction(&context_, QK_WAIT_DEFAULT), QK_E_SUCCESS);
  ASSERT_EQ(QKOpenDevice(&context_), QK_E_SUCCESS);
  ASSERT_EQ(QKBeginTransaction(&context_, 10), QK_E_SUCCESS);  // nests on this thread
  ASSERT_EQ(VerifyUser(&context_), QK_E_SUCCESS);
  EXPECT_EQ(Add(&context_, 1, 1), 0u);
  uint32_t elsewhere = 0;
  std::thread([&] { elsewhere = QKEndTransaction(&context_); }).join();
  EXPECT_EQ(elsewhere, QK_E_PARAMETER) << "another thread cannot end it";
  std::thread([&] { elsewhere = QKBeginTransaction(&context_, 50); }).join();
  EXPECT_EQ(elsewhere, QK_E_LOCK_UNAVAILABLE) << "nor take the lock meanwhile";
  ASSERT_EQ(QKCloseDevice(&context_), QK_E_SUCCESS);
  ASSERT_EQ(QKOpenDevice(&context_), QK_E_SUCCESS);  // not listed again: that forgets the slot
  ASSERT_EQ(VerifyUser(&context_), QK_E_SUCCESS);
  EXPECT_EQ(Add(&context_, 2, 3), 0u);
  EXPECT_EQ(QKEndTransaction(&context_), QK_E_SUCCESS);
  EXPECT_EQ(QKEndTransaction(&context_), QK_E_SUCCESS);
  EXPECT_EQ(QKEndTransaction(&context_), QK_E_PARAMETER);
  std::thread([&] {
    elsewhere = QKBeginTransaction(&context_, 50);
    if (elsewhere == QK_E_SUCCESS) QKEndTransaction(&context_);
  }).join();
  EXPECT_EQ(elsewhere, QK_E_SUCCESS) << "free once the last End ran";
}

// DIR in one process and DIR/. in another share one lock and one session
// generation (named by the entry, not the path text); a process dying inside
// a transaction frees the lock.
TEST(SharingProcesses, OneTokenHasOneLockHoweverItsPathIsWritten) {
  TempDir dir, runtime;
  SimProcess sim(dir.path(), "");
  ASSERT_TRUE(sim.Start());
  setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
  int toChild[2], toParent[2];
  ASSERT_TRUE(pipe(toChild) == 0 && pipe(toParent) == 0);
  const auto tell = [](int fd, uint32_t value) { return write(fd, &value, 4) == 4; };
  const auto hear = [](int fd) {
    uint32_t value = 0xDEAD;
    return read(fd, &value, 4) == 4 ? value : 0xDEADu;
  };
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("QKTOKEN_VIRTUAL_DIR", (dir.path() + "/.").c_str(), 1);
    QKContext token = {};
    uint32_t count = 1;
    QKListDevices(&token, &count);
    uint32_t rc = QKBeginTransaction(&token, 2000);
    if (rc == QK_E_SUCCESS) rc = OpenAndVerify(&token);
    tell(toParent[1], rc);
    hear(toChild[0]);  // the parent tried the lock meanwhile
    tell(toParent[1], Add(&token, 7, 8));
    QKEndTransaction(&token);
    hear(toChild[0]);  // the parent opened the token meanwhile
    tell(toParent[1], Add(&token, 9, 9));
    QKBeginTransaction(&token, 2000);
    tell(toParent[1], 0);
    _exit(0);  // inside the transaction
  }
  setenv("QKTOKEN_VIRTUAL_DIR", dir.path().c_str(), 1);
  QKContext token = {};
  uint32_t count = 1;
  ASSERT_EQ(QKListDevices(&token, &count), QK_E_SUCCESS);
  ASSERT_EQ(hear(toParent[0]), QK_E_SUCCESS) << "the child's open";
  EXPECT_EQ(QKBeginTransaction(&token, 100), QK_E_LOCK_UNAVAILABLE) << "one lock for both";
  tell(toChild[1], 1);
  EXPECT_EQ(hear(toParent[0]), 0u) << "the child's transaction ran undisturbed";
  ASSERT_EQ(OpenAndVerify(&token), QK_E_SUCCESS);
  tell(toChild[1], 2);
  EXPECT_EQ(hear(toParent[0]), QK_E_SESSION_REPLACED) << "one session generation for both";
  hear(toParent[0]);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(QKBeginTransaction(&token, 1000), QK_E_SUCCESS) << "freed by the child's death";
  EXPECT_EQ(Add(&token, 1, 2), 0u);
  EXPECT_EQ(QKEndTransaction(&token), QK_E_SUCCESS);
  EXPECT_EQ(QKCloseDevice(&token), QK_E_SUCCESS);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
  unsetenv("QKTOKEN_VIRTUAL_DIR");
  unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace qktest
