// Load: several processes with several threads each on one simulated token,
// and two tokens used from two threads at once. Every command must get its
// own answer: the right status, length and bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/link/link_server.h"
#include "tests/reliability/reliability_util.h"

namespace qkrel {
namespace {

constexpr int kProcesses = 3;
constexpr int kThreadsPerProcess = 3;
constexpr int kRounds = 30;
constexpr uint32_t kFileSize = 2600;  // three chunks to write, three executes to read

// What one worker reports through its pipe.
struct Report {
  uint64_t commands = 0;
  uint32_t failures = 0;
  char firstFailure[200] = {};
  void Fail(const std::string& what) {
    if (failures++ == 0) std::snprintf(firstFailure, sizeof firstFailure, "%s", what.c_str());
  }
};

// The adder's answer to a + b, checked; false for another caller's sum.
bool AddsUp(QKContext* token, uint16_t a, uint16_t b) {
  const uint8_t input[4] = {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                            static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)};
  uint8_t sum[8] = {};
  uint32_t length = 0;
  const auto expected = static_cast<uint16_t>(a + b);
  return QKExecute(token, "0001", input, 4, sum, 8, &length) == QK_E_SUCCESS && length == 2 &&
         sum[0] == (expected >> 8) && sum[1] == (expected & 0xFF);
}

// One thread's work: its own file, written whole and read back through the
// readfile program, and sums from the adder whose inputs only it uses.
void WorkOnOwnFile(QKContext* token, uint16_t fileId, Report* result) {
  const std::string id = IdText(fileId);
  ++result->commands;
  if (QKMakeFile(token, id.c_str(), kFileSize, kDataType) != 0) return result->Fail("make " + id);
  for (int round = 0; round < kRounds; ++round) {
    Bytes pattern(kFileSize), back;  // marked with the file and the round
    for (size_t i = 0; i < kFileSize; ++i) {
      pattern[i] = static_cast<uint8_t>(i % 4 == 0 ? fileId : i % 4 == 1 ? round : i * 3);
    }
    result->commands += 3;
    if (QKStoreFile(token, id.c_str(), 0, pattern.data(), kFileSize) != 0 ||
        ReadWholeFile(token, fileId, kFileSize, &back, &result->commands) != 0 || back != pattern ||
        (++result->commands, !AddsUp(token, fileId, static_cast<uint16_t>(round * 1000 + 7)))) {
      return result->Fail(id + ", round " + std::to_string(round));
    }
  }
}

// Runs first in the binary: the processes are forked before this process
// starts any thread, as ThreadSanitizer requires.
TEST(Load, ProcessesAndThreadsShareOneToken) {
  TempDir dir;
  SimProcess sim(dir.path, "");
  ASSERT_TRUE(sim.Start());
  setenv("QKTOKEN_VIRTUAL_DIR", dir.path.c_str(), 1);
  QKContext token = {};
  ASSERT_EQ(OpenFirstToken(&token), QK_E_SUCCESS);
  ASSERT_EQ(VerifyDeveloper(&token), QK_E_SUCCESS);
  ASSERT_EQ(InstallReader(&token), QK_E_SUCCESS);
  ASSERT_EQ(QKCloseDevice(&token), QK_E_SUCCESS);
  const auto start = Clock::now();
  std::vector<std::pair<pid_t, int>> workers;  // pid, read end of its pipe
  for (int p = 0; p < kProcesses; ++p) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {  // one open shared by the process's threads
      close(fds[0]);
      Report report, results[kThreadsPerProcess];
      uint32_t rc = OpenFirstToken(&token);
      if (rc == QK_E_SUCCESS) rc = VerifyDeveloper(&token);
      if (rc != QK_E_SUCCESS) report.Fail("open/verify " + std::to_string(rc));
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreadsPerProcess && rc == QK_E_SUCCESS; ++t) {
        threads.emplace_back(WorkOnOwnFile, &token, static_cast<uint16_t>(0x1000 + p * 0x10 + t),
                             &results[t]);
      }
      for (std::thread& t : threads) t.join();
      QKCloseDevice(&token);
      for (const Report& r : results) {
        report.commands += r.commands;
        if (r.failures > 0) report.Fail(r.firstFailure);
      }
      const ssize_t written = write(fds[1], &report, sizeof report);
      _exit(written == static_cast<ssize_t>(sizeof report) && report.failures == 0 ? 0 : 1);
    }
    close(fds[1]);
    workers.emplace_back(pid, fds[0]);
  }
  uint64_t commands = 0;
  for (const auto& [pid, fd] : workers) {
    Report report;
    const ssize_t got = read(fd, &report, sizeof report);
    close(fd);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof report)) << "worker died";
    EXPECT_EQ(report.failures, 0u) << report.firstFailure;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    commands += report.commands;
  }
  const long long elapsed = MillisecondsSince(start);
  EXPECT_EQ(commands, static_cast<uint64_t>(kProcesses * kThreadsPerProcess) * (1 + kRounds * 7));
  std::printf("[load] %d processes x %d threads: %llu commands in %lld ms\n", kProcesses,
              kThreadsPerProcess, static_cast<unsigned long long>(commands), elapsed);
  unsetenv("QKTOKEN_VIRTUAL_DIR");
}

// Two tokens from two threads at once: each thread's answers come from its own token.
TEST(Load, TwoTokensFromTwoThreads) {
  TempDir dir;
  qksim::Token tokens[2];
  std::vector<std::unique_ptr<qksim::link::LinkServer>> servers;
  for (int i = 0; i < 2; ++i) {
    qksim::link::LinkOptions options;
    options.directory = dir.path, options.name = "token" + std::to_string(i);
    servers.push_back(std::make_unique<qksim::link::LinkServer>(tokens[i], options));
    std::string error;
    ASSERT_TRUE(servers.back()->Start(&error)) << error;
  }
  setenv("QKTOKEN_VIRTUAL_DIR", dir.path.c_str(), 1);
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
    for (int i = 0; i < 150; ++i)
      wrong += AddsUp(token, uint16_t(base + i), uint16_t(i * 3)) ? 0 : 1;
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
}  // namespace qkrel
