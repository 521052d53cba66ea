// Load: processes x threads on one token (one session, as hardware keeps),
// and two tokens from two threads; every command must get its own answer.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/link/link_server.h"
#include "tests/reliability/reliability_util.h"

namespace qktest {
namespace {

constexpr int kProcesses = 3;
constexpr int kThreadsPerProcess = 3;
constexpr int kRounds = 30;
constexpr uint32_t kFileSize = 2600;  // three chunks to write, three executes to read

// What one worker reports through its pipe.
struct Report {
  uint64_t commands = 0;
  uint32_t reopens = 0;
  uint32_t failures = 0;
  char firstFailure[200] = {};
  void Fail(const std::string& what) {
    if (failures++ == 0) std::snprintf(firstFailure, sizeof firstFailure, "%s", what.c_str());
  }
};

// Forks kProcesses workers running work(p, arrive), each Result returned by
// pipe; arrive() holds each until all have opened, so their sessions clash.
template <typename Result, typename Work>
std::vector<Result> InProcesses(Work work) {
  int ready[2], go[2];
  if (pipe(ready) != 0 || pipe(go) != 0) std::abort();
  const auto arrive = [&] {
    char c = 'r';
    if (write(ready[1], &c, 1) != 1 || read(go[0], &c, 1) != 1) _exit(3);
  };
  std::vector<std::pair<pid_t, int>> workers;  // pid, read end of its pipe
  for (int p = 0; p < kProcesses; ++p) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      const Result result = work(p, arrive);
      _exit(write(fds[1], &result, sizeof result) == static_cast<ssize_t>(sizeof result) ? 0 : 1);
    }
    close(fds[1]);
    if (pid > 0) workers.emplace_back(pid, fds[0]);
  }
  char c;
  for (size_t i = 0; i < workers.size() && read(ready[0], &c, 1) == 1; ++i) {
  }
  for (size_t i = 0; i < workers.size() && write(go[1], "g", 1) == 1; ++i) {
  }
  std::vector<Result> results;
  for (const auto& [pid, fd] : workers) {
    Result result;
    const ssize_t got = read(fd, &result, sizeof result);
    close(fd);
    waitpid(pid, nullptr, 0);
    if (got == static_cast<ssize_t>(sizeof result)) results.push_back(result);
  }
  for (int fd : {ready[0], ready[1], go[0], go[1]}) close(fd);
  EXPECT_EQ(results.size(), static_cast<size_t>(kProcesses)) << "a worker died";
  return results;
}

// One round: the thread's own file written and read back, and a sum only it
// asks for; the first failing code, or QK_E_UNKNOWN for a wrong answer.
uint32_t WorkRound(QKContext* token, uint16_t fileId, int round, uint64_t* commands) {
  const std::string id = IdText(fileId);
  Bytes pattern(kFileSize), back;  // marked with the file and the round
  for (size_t i = 0; i < kFileSize; ++i) {
    pattern[i] = static_cast<uint8_t>(i % 4 == 0 ? fileId : i % 4 == 1 ? round : i * 3);
  }
  ++*commands;
  uint32_t rc = QKStoreFile(token, id.c_str(), 0, pattern.data(), kFileSize);
  if (rc == QK_E_SUCCESS) rc = ReadWholeFile(token, fileId, kFileSize, &back, commands);
  if (rc != QK_E_SUCCESS) return rc;
  if (back != pattern) return QK_E_UNKNOWN;
  ++*commands;
  return Add(token, fileId, static_cast<uint16_t>(round * 1000 + 7)) == 0 ? QK_E_SUCCESS
                                                                          : QK_E_UNKNOWN;
}

// Every round is one transaction; a handle told its session was replaced
// reopens inside it, so open, PIN and work form one unbroken step.
void WorkInTransactions(QKContext* token, uint16_t fileId, Report* result) {
  const std::string id = IdText(fileId);
  for (int round = -1; round < kRounds; ++round) {
    if (QKBeginTransaction(token, QK_WAIT_DEFAULT) != QK_E_SUCCESS) return result->Fail("begin");
    // Round -1 makes the file (a replaced session shows the same way).
    const auto step = [&] {
      return round < 0 ? (++result->commands, QKMakeFile(token, id.c_str(), kFileSize, kDataType))
                       : WorkRound(token, fileId, round, &result->commands);
    };
    uint32_t rc = step();
    if (rc == QK_E_SESSION_REPLACED) {
      ++result->reopens;
      QKCloseDevice(token);
      rc = QKOpenDevice(token);
      if (rc == QK_E_SUCCESS) rc = VerifyDeveloper(token);
      if (rc == QK_E_SUCCESS) rc = step();
    }
    QKEndTransaction(token);
    if (rc != QK_E_SUCCESS) {
      return result->Fail(id + ", round " + std::to_string(round) + ": " + std::to_string(rc));
    }
  }
}

// Runs first (forks before any thread, as ThreadSanitizer requires). Catches
// answers crossing between handles and calls failing inside a transaction.
TEST(Load, ProcessesAndThreadsShareOneTokenInTransactions) {
  TempDir dir;
  SimProcess sim(dir.path(), "");
  ASSERT_TRUE(sim.Start());
  setenv("QKTOKEN_VIRTUAL_DIR", dir.path().c_str(), 1);
  QKContext token = {};
  ASSERT_EQ(OpenFirstToken(&token), QK_E_SUCCESS);
  ASSERT_EQ(VerifyDeveloper(&token), QK_E_SUCCESS);
  ASSERT_EQ(InstallReader(&token), QK_E_SUCCESS);
  ASSERT_EQ(QKCloseDevice(&token), QK_E_SUCCESS);
  const auto start = Clock::now();
  uint64_t commands = 0, reopens = 0;
  for (const Report& report : InProcesses<Report>([&](int p, auto arrive) {
         Report report, results[kThreadsPerProcess];  // one open shared by the threads
         uint32_t rc = OpenFirstToken(&token);
         if (rc == QK_E_SUCCESS) rc = VerifyDeveloper(&token);
         if (rc != QK_E_SUCCESS && rc != QK_E_SESSION_REPLACED)
           report.Fail("open " + std::to_string(rc));
         arrive();
         std::vector<std::thread> threads;
         for (int t = 0; t < kThreadsPerProcess && report.failures == 0; ++t) {
           threads.emplace_back(WorkInTransactions, &token,
                                static_cast<uint16_t>(0x1000 + p * 0x10 + t), &results[t]);
         }
         for (std::thread& t : threads) t.join();
         QKCloseDevice(&token);
         for (const Report& r : results) {
           report.commands += r.commands, report.reopens += r.reopens;
           if (r.failures > 0) report.Fail(r.firstFailure);
         }
         return report;
       })) {
    EXPECT_EQ(report.failures, 0u) << report.firstFailure;
    commands += report.commands, reopens += report.reopens;
  }
  const long long elapsed = MillisecondsSince(start);
  EXPECT_GE(commands, static_cast<uint64_t>(kProcesses * kThreadsPerProcess) * (1 + kRounds * 5));
  EXPECT_GE(reopens, static_cast<uint64_t>(kProcesses - 1)) << "the sessions replaced each other";
  std::printf(
      "[load] %d processes x %d threads in transactions: %llu commands, %llu reopens, "
      "%lld ms\n",
      kProcesses, kThreadsPerProcess, static_cast<unsigned long long>(commands),
      static_cast<unsigned long long>(reopens), elapsed);
  unsetenv("QKTOKEN_VIRTUAL_DIR");
}

// Without transactions: each call gets its own answer or is told at once
// that its session was replaced, never another's answer, never a time-out.
// A process's threads share one handle and reopen it one at a time.
TEST(Load, WithoutTransactionsEveryCallGetsItsOwnAnswerOrIsToldItWasReplaced) {
  constexpr int kCalls = 60;
  TempDir dir;
  SimProcess sim(dir.path(), "");
  ASSERT_TRUE(sim.Start());
  setenv("QKTOKEN_VIRTUAL_DIR", dir.path().c_str(), 1);
  struct Outcome {
    uint32_t right = 0, replaced = 0, wrong = 0, other = 0, lastOther = 0;
    long long slowestReplacedMs = 0;
  };
  const auto work = [&](int p, auto arrive) {
    QKContext token = {};
    std::shared_mutex handle;  // shared: a call; exclusive: a reopen
    const auto reopen = [&] {
      std::unique_lock<std::shared_mutex> alone(handle);
      QKCloseDevice(&token);
      return OpenAndVerify(&token);
    };
    reopen();
    arrive();
    Outcome outcomes[kThreadsPerProcess];
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreadsPerProcess; ++t) {
      threads.emplace_back([&, t] {
        Outcome& o = outcomes[t];
        for (int i = 0; i < kCalls; ++i) {
          const auto a = static_cast<uint16_t>(0x1000 * (p + 1) + 0x100 * t + i);
          uint32_t rc;
          Clock::time_point start;
          {
            std::shared_lock<std::shared_mutex> call(handle);
            start = Clock::now();
            rc = Add(&token, a, 1);
          }
          if (rc == 0) {
            ++o.right;
          } else if (rc == QK_E_UNKNOWN) {
            ++o.wrong;
          } else if (rc == QK_E_SESSION_REPLACED) {
            ++o.replaced;
            o.slowestReplacedMs = std::max(o.slowestReplacedMs, MillisecondsSince(start));
            reopen();
          } else {
            ++o.other, o.lastOther = rc;
          }
        }
      });
    }
    for (std::thread& t : threads) t.join();
    Outcome total;
    for (const Outcome& o : outcomes) {
      total.right += o.right, total.replaced += o.replaced, total.wrong += o.wrong;
      total.other += o.other, total.lastOther = o.other ? o.lastOther : total.lastOther;
      total.slowestReplacedMs = std::max(total.slowestReplacedMs, o.slowestReplacedMs);
    }
    QKCloseDevice(&token);
    return total;
  };
  Outcome all;
  for (const Outcome& o : InProcesses<Outcome>(work)) {
    EXPECT_EQ(o.wrong, 0u) << "an answer that was not the caller's";
    EXPECT_EQ(o.other, 0u) << "last unexpected code " << std::hex << o.lastOther;
    // A replaced handle waits for the lock at most one other exchange long.
    EXPECT_LT(o.slowestReplacedMs, 2000);
    all.right += o.right, all.replaced += o.replaced;
    all.slowestReplacedMs = std::max(all.slowestReplacedMs, o.slowestReplacedMs);
  }
  EXPECT_GT(all.right, 0u);
  EXPECT_GE(all.replaced, static_cast<uint32_t>(kProcesses - 1));
  std::printf("[load] without transactions: %u right, %u replaced, slowest replaced call %lld ms\n",
              all.right, all.replaced, all.slowestReplacedMs);
  unsetenv("QKTOKEN_VIRTUAL_DIR");
}

// Two tokens from two threads at once: each thread's answers come from its own token.
TEST(Load, TwoTokensFromTwoThreads) {
  TempDir dir;
  qksim::Token tokens[2];
  std::vector<std::unique_ptr<qksim::link::LinkServer>> servers;
  for (int i = 0; i < 2; ++i) {
    qksim::link::LinkOptions options;
    options.directory = dir.path(), options.name = "token" + std::to_string(i);
    servers.push_back(std::make_unique<qksim::link::LinkServer>(tokens[i], options));
    std::string error;
    ASSERT_TRUE(servers.back()->Start(&error)) << error;
  }
  setenv("QKTOKEN_VIRTUAL_DIR", dir.path().c_str(), 1);
  QKContext listed[2] = {};
  uint32_t count = 2;
  ASSERT_EQ(QKListDevices(listed, &count), QK_E_SUCCESS);
  ASSERT_EQ(count, 2u);
  for (QKContext& c : listed) {
    ASSERT_EQ(QKOpenDevice(&c), QK_E_SUCCESS);
    ASSERT_EQ(VerifyUser(&c), QK_E_SUCCESS);
  }
  std::atomic<int> wrong{0};
  const auto work = [&](QKContext* token, int base) {
    for (int i = 0; i < 150; ++i) wrong += Add(token, uint16_t(base + i), uint16_t(i * 3)) ? 1 : 0;
  };
  std::thread first(work, &listed[0], 0x1000), second(work, &listed[1], 0x8000);
  first.join();
  second.join();
  EXPECT_EQ(wrong.load(), 0);
  for (QKContext& c : listed) EXPECT_EQ(QKCloseDevice(&c), QK_E_SUCCESS);
  servers.clear();
  unsetenv("QKTOKEN_VIRTUAL_DIR");
}

}  // namespace
}  // namespace qktest
