// Load: several processes with several threads each on one simulated token,
// and two tokens used from two threads at once. Every command must get its
// own answer: the right status, length and bytes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
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

// What one worker process reports through its pipe.
struct WorkerReport {
  uint64_t commands = 0;
  uint32_t failures = 0;
  char firstFailure[200] = {};
};

struct ThreadResult {
  uint64_t commands = 0;
  uint32_t failures = 0;
  std::string firstFailure;
  void Fail(const std::string& what) {
    if (failures++ == 0) firstFailure = what;
  }
};

// A pattern no other writer produces: the owner's id and the round up front,
// then bytes derived from both.
Bytes Pattern(uint16_t owner, int round, size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(owner * 37 + round * 11 + i * 3 + (i >> 8));
  }
  bytes[0] = static_cast<uint8_t>(owner >> 8);
  bytes[1] = static_cast<uint8_t>(owner);
  bytes[2] = static_cast<uint8_t>(round);
  return bytes;
}

// One thread's work: its own file, written in chunks and read back through
// the readfile program, and sums from the adder whose inputs only it uses.
void WorkOnOwnFile(QKContext* token, uint16_t fileId, ThreadResult* result) {
  const std::string id = IdText(fileId);
  const std::string where = "file " + id + ": ";
  ++result->commands;
  uint32_t rc = QKMakeFile(token, id.c_str(), kFileSize, kDataType);
  if (rc != QK_E_SUCCESS) return result->Fail(where + "make " + std::to_string(rc));
  for (int round = 0; round < kRounds; ++round) {
    const Bytes pattern = Pattern(fileId, round, kFileSize);
    result->commands += 3;
    rc = QKStoreFile(token, id.c_str(), 0, pattern.data(), kFileSize);
    if (rc != QK_E_SUCCESS) return result->Fail(where + "store " + std::to_string(rc));
    Bytes back;
    rc = ReadWholeFile(token, fileId, kFileSize, &back, &result->commands);
    if (rc != QK_E_SUCCESS) return result->Fail(where + "read " + std::to_string(rc));
    if (back != pattern) return result->Fail(where + "read back other bytes, round " +
                                             std::to_string(round));
    const uint16_t a = fileId;
    const auto b = static_cast<uint16_t>(round * 1000 + 7);
    const uint8_t input[4] = {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                              static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)};
    uint8_t sum[8] = {};
    uint32_t length = 0;
    ++result->commands;
    rc = QKExecute(token, "0001", input, sizeof input, sum, sizeof sum, &length);
    const auto expected = static_cast<uint16_t>(a + b);
    if (rc != QK_E_SUCCESS || length != 2 || sum[0] != (expected >> 8) ||
        sum[1] != (expected & 0xFF)) {
      return result->Fail(where + "adder answered someone else's sum");
    }
  }
}

// The body of one worker process: one open shared by its threads (the
// library serialises their exchanges under the device lock).
WorkerReport RunWorkerProcess(int process) {
  WorkerReport report;
  QKContext token = {};
  std::vector<ThreadResult> results(kThreadsPerProcess);
  uint32_t rc = OpenFirstToken(&token);
  if (rc == QK_E_SUCCESS) rc = VerifyDeveloper(&token);
  if (rc != QK_E_SUCCESS) {
    report.failures = 1;
    std::snprintf(report.firstFailure, sizeof report.firstFailure, "open/verify %08X", rc);
    return report;
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreadsPerProcess; ++t) {
    const auto fileId = static_cast<uint16_t>(0x1000 + process * 0x10 + t);
    threads.emplace_back(WorkOnOwnFile, &token, fileId, &results[static_cast<size_t>(t)]);
  }
  for (std::thread& t : threads) t.join();
  QKCloseDevice(&token);
  for (const ThreadResult& r : results) {
    report.commands += r.commands;
    if (r.failures > 0 && report.failures == 0) {
      std::snprintf(report.firstFailure, sizeof report.firstFailure, "%s", r.firstFailure.c_str());
    }
    report.failures += r.failures;
  }
  return report;
}

// Runs first in the binary: the processes are forked before this process
// starts any thread, as ThreadSanitizer requires.
TEST(Load, ProcessesAndThreadsShareOneToken) {
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  SimProcess sim(dir.Path(), "");
  ASSERT_TRUE(sim.Start());
  setenv("QKTOKEN_VIRTUAL_DIR", dir.Path().c_str(), 1);
  {
    QKContext token = {};
    ASSERT_EQ(OpenFirstToken(&token), QK_E_SUCCESS);
    ASSERT_EQ(VerifyDeveloper(&token), QK_E_SUCCESS);
    ASSERT_EQ(InstallReader(&token), QK_E_SUCCESS);
    ASSERT_EQ(QKCloseDevice(&token), QK_E_SUCCESS);
  }
  const auto start = Clock::now();
  std::vector<std::pair<pid_t, int>> workers;  // pid, read end of its pipe
  for (int p = 0; p < kProcesses; ++p) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      const WorkerReport report = RunWorkerProcess(p);
      const ssize_t written = write(fds[1], &report, sizeof report);
      _exit(written == static_cast<ssize_t>(sizeof report) && report.failures == 0 ? 0 : 1);
    }
    close(fds[1]);
    workers.emplace_back(pid, fds[0]);
  }
  uint64_t commands = 0;
  for (const auto& [pid, fd] : workers) {
    WorkerReport report;
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
  EXPECT_EQ(commands, static_cast<uint64_t>(kProcesses * kThreadsPerProcess) *
                          (1 + kRounds * 7));
  std::printf("[load] %d processes x %d threads: %llu commands in %lld ms (%.0f commands/s)\n",
              kProcesses, kThreadsPerProcess, static_cast<unsigned long long>(commands), elapsed,
              elapsed > 0 ? 1000.0 * static_cast<double>(commands) / static_cast<double>(elapsed)
                          : 0.0);
  unsetenv("QKTOKEN_VIRTUAL_DIR");
}

// Two tokens, one per thread, at the same time: each exchange runs the
// cipher for its own device, and neither thread may see the other's answers.
TEST(Load, TwoTokensFromTwoThreads) {
  constexpr int kExchanges = 150;
  TempDir dir;
  ASSERT_FALSE(dir.Path().empty());
  qksim::Token tokens[2];
  std::vector<std::unique_ptr<qksim::link::LinkServer>> servers;
  for (int i = 0; i < 2; ++i) {
    qksim::link::LinkOptions options;
    options.directory = dir.Path();
    options.name = "token" + std::to_string(i);
    servers.push_back(std::make_unique<qksim::link::LinkServer>(tokens[i], options));
    std::string error;
    ASSERT_TRUE(servers.back()->Start(&error)) << error;
  }
  setenv("QKTOKEN_VIRTUAL_DIR", dir.Path().c_str(), 1);
  QKContext listed[2] = {};
  uint32_t count = 2;
  ASSERT_EQ(QKListDevices(listed, &count), QK_E_SUCCESS);
  ASSERT_EQ(count, 2u);
  for (QKContext& c : listed) {
    ASSERT_EQ(QKOpenDevice(&c), QK_E_SUCCESS);
    ASSERT_EQ(VerifyUser(&c), QK_E_SUCCESS);
  }
  std::atomic<int> wrong{0};
  const auto start = Clock::now();
  auto work = [&](QKContext* token, uint16_t base) {
    for (int i = 0; i < kExchanges; ++i) {
      const auto a = static_cast<uint16_t>(base + i);
      const auto b = static_cast<uint16_t>(i * 3);
      const uint8_t input[4] = {static_cast<uint8_t>(a >> 8), static_cast<uint8_t>(a),
                                static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)};
      uint8_t sum[4] = {};
      uint32_t length = 0;
      const uint32_t rc = QKExecute(token, "0001", input, sizeof input, sum, sizeof sum, &length);
      const auto expected = static_cast<uint16_t>(a + b);
      if (rc != QK_E_SUCCESS || length != 2 || sum[0] != (expected >> 8) ||
          sum[1] != (expected & 0xFF)) {
        ++wrong;
      }
    }
  };
  std::thread first(work, &listed[0], uint16_t{0x1000});
  std::thread second(work, &listed[1], uint16_t{0x8000});
  first.join();
  second.join();
  const long long elapsed = MillisecondsSince(start);
  EXPECT_EQ(wrong.load(), 0);
  std::printf("[load] 2 tokens x 1 thread: %d commands in %lld ms\n", 2 * kExchanges, elapsed);
  for (QKContext& c : listed) EXPECT_EQ(QKCloseDevice(&c), QK_E_SUCCESS);
  servers.clear();
  unsetenv("QKTOKEN_VIRTUAL_DIR");
}

}  // namespace
}  // namespace qkrel
