// Handles sharing a token over the real link: late answers, untrustworthy
// locks, DIR vs DIR/., and transactions across threads and processes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include "platform/linux/named_lock.h"
#include "tests/reliability/served_token.h"

namespace qktest {
namespace {

// Another process of this user reaching the served token: this test
// program run afresh (a forked copy would share this process's locks),
// which runs ChildProcess.Role alone. Its exit status: 0 when `role`
// succeeded within a second.
int RunChildProcess(const char* role) {
  const pid_t child = fork();
  if (child == 0) {
    setenv("QK_CHILD_ROLE", role, 1);
    execl("/proc/self/exe", "child", "--gtest_filter=ChildProcess.Role", nullptr);
    _exit(127);
  }
  int status = -1;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(ChildProcess, Role) {
  const char* role = std::getenv("QK_CHILD_ROLE");
  if (role == nullptr) GTEST_SKIP() << "run by RunChildProcess only";
  QKContext token = {};
  uint32_t count = 1;
  uint32_t rc = QKListDevices(&token, &count);
  if (rc == QK_E_SUCCESS && std::string(role) == "transaction")
    rc = QKBeginTransaction(&token, 1000);
  if (rc == QK_E_SUCCESS) rc = OpenAndVerify(&token);
  if (rc == QK_E_SUCCESS) rc = Add(&token, 1, 1);
  _exit(rc == QK_E_SUCCESS ? 0 : 1);
}

// The served token's lock file, which another user could try to plant or
// replace: beside the token's entry.
class Sharing : public ServedToken {
 protected:
  std::string LockFile() const { return dir_.path() + "/.token0.sock.lock"; }
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
// open as unsafe (not as busy), not let it run unlocked. (Links and FIFOs
// planted in place of the lock file: LockDirectory.LinksAndPlantedLockFilesAreRefused.)
TEST_F(Sharing, ALockFileThatCannotBeTrustedFailsTheOpenAsUnsafe) {
  ASSERT_EQ(OpenAndVerify(&context_), QK_E_SUCCESS);  // makes the lock file
  QKCloseDevice(&context_);
  const std::string lockFile = LockFile();
  struct Case {
    const char* name;
    std::function<void()> plant;
  };
  const Case cases[] = {
      {"readable by others", [&] { chmod(lockFile.c_str(), 0644); }},
      {"another user's", [&] { (void)!chown(lockFile.c_str(), 65534, 65534); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "another user's" && geteuid() != 0) continue;
    c.plant();
    EXPECT_EQ(OpenFirstToken(&context_), QK_E_LOCK_UNSAFE);
    EXPECT_EQ(QKCloseDevice(&context_), QK_E_CONTEXT) << "the slot stayed closed";
    unlink(lockFile.c_str());
    ASSERT_EQ(OpenAndVerify(&context_), QK_E_SUCCESS);
    EXPECT_EQ(Add(&context_, 2, 2), 0u);
    QKCloseDevice(&context_);
  }
}

// Catches a second holder let in by a removed lock file going unnoticed by
// the first: its next call must say at once that its session went, not
// wait out the first-read limit on a key the token no longer has.
TEST_F(Sharing, AHolderWhoseLockFileWasRemovedLearnsAtOnceThatItsSessionWent) {
  qk::SetTimeLimitsForTesting({2000, 1000, 3000, 1000});
  uint32_t count = 1;
  ASSERT_EQ(QKListDevices(&context_, &count), QK_E_SUCCESS);
  ASSERT_EQ(QKBeginTransaction(&context_, 1000), QK_E_SUCCESS);
  ASSERT_EQ(OpenAndVerify(&context_), QK_E_SUCCESS);
  ASSERT_EQ(unlink(LockFile().c_str()), 0);  // a cleaner, a logout, rm -rf
  ASSERT_EQ(RunChildProcess("open"), 0) << "another process opened meanwhile";
  const auto start = Clock::now();
  EXPECT_EQ(Add(&context_, 1, 1), QK_E_SESSION_REPLACED);
  EXPECT_LT(MillisecondsSince(start), 200);
  EXPECT_EQ(QKCloseDevice(&context_), QK_E_SUCCESS);
  EXPECT_EQ(QKEndTransaction(&context_), QK_E_SUCCESS);
  ASSERT_EQ(OpenAndVerify(&context_), QK_E_SUCCESS) << "a new lock file, a new session";
  EXPECT_EQ(Add(&context_, 1, 1), 0u);
}

// Catches a lock that outlives QKCloseDevice because another thread began
// the transaction: another process must get the token within a second.
TEST_F(Sharing, CloseFromAnotherThreadReleasesTheTransactionsLock) {
  uint32_t count = 1;
  ASSERT_EQ(QKListDevices(&context_, &count), QK_E_SUCCESS);
  std::thread([&] {
    ASSERT_EQ(QKBeginTransaction(&context_, 1000), QK_E_SUCCESS);
    ASSERT_EQ(OpenAndVerify(&context_), QK_E_SUCCESS);
  }).join();
  ASSERT_EQ(QKCloseDevice(&context_), QK_E_SUCCESS);
  EXPECT_EQ(RunChildProcess("transaction"), 0) << "another process gets the token within a second";
  EXPECT_EQ(QKEndTransaction(&context_), QK_E_PARAMETER) << "nothing left to end";
  ASSERT_EQ(OpenAndVerify(&context_), QK_E_SUCCESS) << "nor held in this process";
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

// DIR in one process and DIR/. in another, with different environments,
// share one lock and one session generation (kept beside the entry, not in
// a directory the environment picks); a process dying inside a transaction
// frees the lock.
TEST(SharingProcesses, OneTokenHasOneLockHoweverItsPathIsWritten) {
  TempDir dir, runtime;
  SimProcess sim(dir.path(), "");
  ASSERT_TRUE(sim.Start());
  unsetenv("XDG_RUNTIME_DIR");  // the child has one: the lock must not depend on it
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
    setenv("XDG_RUNTIME_DIR", runtime.path().c_str(), 1);
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
