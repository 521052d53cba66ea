// The Linux watch of attached tokens against a scratch /sys and /dev: which
// events count as a change, that nothing between two drains is lost, and
// that a wait ends on events, on its wake signal or at its time limit.
#include "platform/linux/inotify_watch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/temp_dir.h"

namespace {

using qk::platform::WatchWait;
using qk::platform::hidraw::EventWakeSignal;
using qk::platform::hidraw::InotifyWatch;
using qk::platform::hidraw::WatchConfig;
using qktest::TempDir;
namespace fs = std::filesystem;

constexpr char kTokenId[] = "0003:00007A5C:00000B21";
constexpr char kMouseId[] = "0003:0000046D:0000C077";

class Scratch {
 public:
  Scratch() {
    fs::create_directories(dir_ / "sys/class/hidraw");
    fs::create_directories(dir_ / "dev");
    fs::create_directories(dir_ / "tokens");
    config_.sysfsRoot = dir_ / "sys";
    config_.devRoot = dir_ / "dev";
    config_.virtualDir = dir_ / "tokens";
    config_.rescanMs = 100;
  }
  // A node as the kernel makes it: sysfs first, then the device node.
  void AddNode(const std::string& name, const char* hidId) {
    const std::string device = dir_ / ("sys/class/hidraw/" + name + "/device");
    fs::create_directories(device);
    std::ofstream(device + "/uevent") << "DRIVER=hid-generic\nHID_ID=" << hidId << "\n";
    std::ofstream(Dev(name)) << "";
  }
  void RemoveNode(const std::string& name) {
    fs::remove(Dev(name));
    fs::remove_all(dir_ / ("sys/class/hidraw/" + name));
  }
  std::string Dev(const std::string& name) const { return dir_ / ("dev/" + name); }
  std::string Entry(const std::string& name) const { return dir_ / ("tokens/" + name); }
  WatchConfig& config() { return config_; }

 private:
  TempDir dir_;
  WatchConfig config_;
};

TEST(InotifyWatch, CountsTokenChangesOnly) {
  const struct {
    const char* name;
    std::function<void(Scratch&)> before;  // before the watch starts
    std::function<void(Scratch&)> act;
    bool changed;
  } cases[] = {
      {"token node appears", nullptr, [](Scratch& s) { s.AddNode("hidraw3", kTokenId); }, true},
      {"other device appears", nullptr, [](Scratch& s) { s.AddNode("hidraw3", kMouseId); }, false},
      {"token node removed", [](Scratch& s) { s.AddNode("hidraw1", kTokenId); },
       [](Scratch& s) { s.RemoveNode("hidraw1"); }, true},
      {"other device removed", [](Scratch& s) { s.AddNode("hidraw1", kMouseId); },
       [](Scratch& s) { s.RemoveNode("hidraw1"); }, false},
      {"token node comes and goes", nullptr,
       [](Scratch& s) {
         s.AddNode("hidraw4", kTokenId);
         s.RemoveNode("hidraw4");
       },
       true},
      // udev sets the permissions a moment after the node appears: the node
      // counts again once it becomes usable.
      {"token node permissions set", [](Scratch& s) { s.AddNode("hidraw2", kTokenId); },
       [](Scratch& s) { chmod(s.Dev("hidraw2").c_str(), 0660); }, true},
      {"other node permissions set", [](Scratch& s) { s.AddNode("hidraw2", kMouseId); },
       [](Scratch& s) { chmod(s.Dev("hidraw2").c_str(), 0660); }, false},
      {"unrelated /dev entry", nullptr, [](Scratch& s) { std::ofstream(s.Dev("ttyS9")) << ""; },
       false},
      {"virtual socket entry appears", nullptr,
       [](Scratch& s) { std::ofstream(s.Entry("a.sock")) << ""; }, true},
      {"virtual tcp entry removed", [](Scratch& s) { std::ofstream(s.Entry("b.tcp")) << ""; },
       [](Scratch& s) { fs::remove(s.Entry("b.tcp")); }, true},
      {"other file in token directory", nullptr,
       [](Scratch& s) { std::ofstream(s.Entry("notes.txt")) << "x"; }, false},
      {"token directory replaced", nullptr,
       [](Scratch& s) {
         fs::remove_all(s.config().virtualDir);
         fs::create_directories(s.config().virtualDir);
       },
       true},
  };
  for (const auto& c : cases) {
    Scratch scratch;
    if (c.before) c.before(scratch);
    InotifyWatch watch(scratch.config());
    ASSERT_TRUE(watch.Start()) << c.name;
    EXPECT_FALSE(watch.Drain()) << c.name << ": nothing happened yet";
    c.act(scratch);
    EXPECT_EQ(watch.Drain(), c.changed) << c.name;
    EXPECT_FALSE(watch.Drain()) << c.name << ": a change is reported once";
  }
}

TEST(InotifyWatch, WaitEndsOnEventsWakeOrTimeLimit) {
  Scratch scratch;
  InotifyWatch watch(scratch.config());
  ASSERT_TRUE(watch.Start());
  EventWakeSignal wake;
  ASSERT_TRUE(wake.Valid());

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(watch.Wait(150, &wake), WatchWait::kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));

  std::thread arrive([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    scratch.AddNode("hidraw5", kTokenId);
  });
  EXPECT_EQ(watch.Wait(5000, &wake), WatchWait::kEvents);
  arrive.join();
  EXPECT_TRUE(watch.Drain());

  wake.Raise();
  EXPECT_EQ(watch.Wait(5000, &wake), WatchWait::kWoken);
  wake.Clear();
  EXPECT_EQ(watch.Wait(0, &wake), WatchWait::kTimedOut) << "cleared";
}

// A token directory that does not exist yet is tried on a timer, and its
// appearance is a change; the device directory keeps being watched.
TEST(InotifyWatch, MissingTokenDirectoryIsWatchedOnceItAppears) {
  Scratch scratch;
  const std::string later = scratch.config().virtualDir + "/later";
  scratch.config().virtualDir = later;
  InotifyWatch watch(scratch.config());
  ASSERT_TRUE(watch.Start());
  EventWakeSignal wake;
  EXPECT_EQ(watch.Wait(5000, &wake), WatchWait::kEvents) << "the rescan timer";
  EXPECT_FALSE(watch.Drain());
  fs::create_directories(later);
  EXPECT_TRUE(watch.Drain());
  std::ofstream(later + "/c.sock") << "";
  EXPECT_EQ(watch.Wait(5000, &wake), WatchWait::kEvents);
  EXPECT_TRUE(watch.Drain());
}

}  // namespace
