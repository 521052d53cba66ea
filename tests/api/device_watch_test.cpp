// QKWaitForDeviceChange and QKCancelDeviceWait against a real watch of a
// scratch token directory: arrivals and removals end a wait promptly, no
// change falls between two waits, cancellation reaches running waits only,
// and an idle wait costs no processor time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "api/device_watch.h"
#include "include/qktoken.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void SetVariable(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// Processor time (user + system) of the whole process so far.
milliseconds ProcessCpuTime() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return milliseconds((ticks(kernel) + ticks(user)) / 10000);
#else
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto ms = [](const timeval& t) { return t.tv_sec * 1000LL + t.tv_usec / 1000; };
  return milliseconds(ms(usage.ru_utime) + ms(usage.ru_stime));
#endif
}

class DeviceWatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() / ("qkwatch-" + std::to_string(random()));
    fs::create_directories(dir_);
    SetVariable("QKTOKEN_VIRTUAL_DIR", dir_.string());
    qk::ResetDeviceWatchForTesting();
    ASSERT_EQ(QKWaitForDeviceChange(&state_, 0), QK_E_SUCCESS) << "state 0 returns at once";
    ASSERT_NE(state_, 0u);
  }
  void TearDown() override {
    qk::ResetDeviceWatchForTesting();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  void Touch(const std::string& name) { std::ofstream((dir_ / name).string()) << "port 1\n"; }
  void Remove(const std::string& name) { fs::remove(dir_ / name); }

  fs::path dir_;
  uint32_t state_ = 0;
};

TEST_F(DeviceWatchTest, ArgumentsAndTheTimeLimit) {
  uint32_t state = state_;
  EXPECT_EQ(QKWaitForDeviceChange(nullptr, 0), QK_E_PARAMETER);
  EXPECT_EQ(QKWaitForDeviceChange(&state, QK_MAX_WAIT_MS + 1), QK_E_PARAMETER);
  EXPECT_EQ(state, state_);
  EXPECT_EQ(QKWaitForDeviceChange(&state, 0), QK_E_WAIT_TIMEOUT) << "nothing changed";
  const auto start = Clock::now();
  EXPECT_EQ(QKWaitForDeviceChange(&state, 300), QK_E_WAIT_TIMEOUT);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, milliseconds(290));
  EXPECT_LT(took, milliseconds(2000));
  EXPECT_EQ(state, state_) << "a failed wait leaves the state alone";
  // A state that is not current (stale, or another process's) returns at once.
  uint32_t stale = state_ + 12345;
  EXPECT_EQ(QKWaitForDeviceChange(&stale, 5000), QK_E_SUCCESS);
  EXPECT_EQ(stale, state_);
}

TEST_F(DeviceWatchTest, ArrivalAndRemovalEndARunningWaitPromptly) {
  const struct {
    const char* what;
    bool arrive;
  } steps[] = {{"arrival", true}, {"removal", false}};
  for (const auto& step : steps) {
    std::atomic<Clock::time_point> changedAt{};
    std::thread actor([&] {
      std::this_thread::sleep_for(milliseconds(200));
      changedAt = Clock::now();
      if (step.arrive) {
        Touch("one.tcp");
      } else {
        Remove("one.tcp");
      }
    });
    const uint32_t before = state_;
    EXPECT_EQ(QKWaitForDeviceChange(&state_, 10000), QK_E_SUCCESS) << step.what;
    const auto seenAt = Clock::now();
    actor.join();
    EXPECT_NE(state_, before) << step.what;
    EXPECT_LT(seenAt - changedAt.load(), milliseconds(1000)) << step.what;
    // Whatever else the one change raised is drained before the next step.
    while (QKWaitForDeviceChange(&state_, 100) == QK_E_SUCCESS) {
    }
  }
}

TEST_F(DeviceWatchTest, ChangesBetweenTwoWaitsAreNotMissed) {
  // A token that comes and goes while nobody waits: the set looks the same
  // again, but the next wait still reports it, at once.
  Touch("brief.sock");
  Remove("brief.sock");
  const uint32_t before = state_;
  const auto start = Clock::now();
  EXPECT_EQ(QKWaitForDeviceChange(&state_, 10000), QK_E_SUCCESS);
  EXPECT_LT(Clock::now() - start, milliseconds(500));
  EXPECT_NE(state_, before);
  // A second caller holding the old state learns of it too.
  uint32_t other = before;
  EXPECT_EQ(QKWaitForDeviceChange(&other, 0), QK_E_SUCCESS);
  EXPECT_EQ(other, state_);
}

// Listing follows QKTOKEN_VIRTUAL_DIR at each call; so does the watch: the
// switch is a change, and the new directory's entries are what counts then.
TEST_F(DeviceWatchTest, FollowsTheTokenDirectoryVariable) {
  const fs::path other = dir_ / "other";
  fs::create_directories(other);
  SetVariable("QKTOKEN_VIRTUAL_DIR", other.string());
  const uint32_t before = state_;
  EXPECT_EQ(QKWaitForDeviceChange(&state_, 0), QK_E_SUCCESS);
  EXPECT_NE(state_, before);
  Touch("old-directory.sock");
  EXPECT_EQ(QKWaitForDeviceChange(&state_, 300), QK_E_WAIT_TIMEOUT) << "no longer watched";
  std::ofstream((other / "new.sock").string()) << "";
  EXPECT_EQ(QKWaitForDeviceChange(&state_, 5000), QK_E_SUCCESS);
}

TEST_F(DeviceWatchTest, CancelEndsRunningWaitsOnly) {
  constexpr int kWaiters = 3;
  std::atomic<int> cancelled{0};
  std::thread waiters[kWaiters];
  for (auto& waiter : waiters) {
    waiter = std::thread([&] {
      uint32_t state = state_;
      if (QKWaitForDeviceChange(&state, 20000) == QK_E_WAIT_CANCELLED && state == state_) {
        ++cancelled;
      }
    });
  }
  std::this_thread::sleep_for(milliseconds(300));
  const auto start = Clock::now();
  EXPECT_EQ(QKCancelDeviceWait(), QK_E_SUCCESS);
  for (auto& waiter : waiters) waiter.join();
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  EXPECT_EQ(cancelled.load(), kWaiters);
  // A wait that starts after the cancel is not affected.
  uint32_t state = state_;
  EXPECT_EQ(QKWaitForDeviceChange(&state, 200), QK_E_WAIT_TIMEOUT);
}

TEST_F(DeviceWatchTest, EveryWaiterSeesOneChange) {
  constexpr int kWaiters = 4;
  std::atomic<int> woken{0};
  std::thread waiters[kWaiters];
  for (auto& waiter : waiters) {
    waiter = std::thread([&] {
      uint32_t state = state_;
      if (QKWaitForDeviceChange(&state, 10000) == QK_E_SUCCESS && state != state_) ++woken;
    });
  }
  std::this_thread::sleep_for(milliseconds(300));
  Touch("shared.sock");
  for (auto& waiter : waiters) waiter.join();
  EXPECT_EQ(woken.load(), kWaiters);
}

TEST_F(DeviceWatchTest, IdleWaitUsesNoProcessorTime) {
  const milliseconds before = ProcessCpuTime();
  uint32_t state = state_;
  EXPECT_EQ(QKWaitForDeviceChange(&state, 5000), QK_E_WAIT_TIMEOUT);
  const milliseconds used = ProcessCpuTime() - before;
  std::printf("CPU time of a 5-second idle wait: %lld ms\n", static_cast<long long>(used.count()));
  EXPECT_LT(used, milliseconds(100));
}

}  // namespace
