#include "platform/linux/hidraw_backend.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/linux/hidraw_device.h"
#include "tests/platform/temp_dir.h"

namespace qk::platform::hidraw {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

// 64 data bytes in, out and feature, without report identifiers.
const std::vector<uint8_t> kPlainDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,
                                               0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x91,
                                               0x02, 0xB1, 0x02, 0xC0};
// The same with report identifier 1.
const std::vector<uint8_t> kNumberedDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1,
                                                  0x01, 0x85, 0x01, 0x75, 0x08, 0x95,
                                                  0x40, 0x81, 0x02, 0xB1, 0x02, 0xC0};

// Stands one end of a datagram socket pair in for every node, so that each
// write on the other end arrives as one report, as hidraw delivers them.
class FakeNodes : public NodeAccess {
 public:
  int Open(const char* path, int flags) override {
    openedPath = path;
    if (openError != 0) {
      errno = openError;
      return -1;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) return -1;
    peer.reset(new int(pair[1]));
    fcntl(pair[0], F_SETFL, flags & O_NONBLOCK);
    return pair[0];
  }
  bool RawInfo(int, uint16_t* vendorId, uint16_t* productId) override {
    *vendorId = 0x7A5C;
    *productId = 0x0B21;
    return true;
  }
  bool ReportDescriptor(int, std::vector<uint8_t>* descriptor) override {
    if (!ioctlDescriptor) return false;
    *descriptor = *ioctlDescriptor;
    return true;
  }

  ~FakeNodes() override {
    if (peer) close(*peer);
  }

  int openError = 0;
  const std::vector<uint8_t>* ioctlDescriptor = &kPlainDescriptor;
  std::string openedPath;
  std::unique_ptr<int> peer;
};

struct Fixture {
  TempDir root;
  FakeNodes nodes;
  HidrawBackend backend{HidrawConfig{root / "sys", root / "dev", &nodes}};

  std::unique_ptr<Device> Open(const std::string& node = "hidraw0") {
    uint32_t error = 0;
    const std::string path = root / "dev" + "/" + node;
    return std::unique_ptr<Device>(
        backend.OpenDevice(path.c_str(), IoMode::kOverlapped, ShareMode::kShared, &error));
  }
  void PeerSend(std::vector<uint8_t> bytes) {
    ASSERT_EQ(write(*nodes.peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
};

void MakeClassTree(const TempDir& root, std::initializer_list<const char*> names) {
  fs::create_directories(root / "sys/class/hidraw");
  for (const char* name : names) fs::create_directories(root / "sys/class/hidraw" + "/" + name);
}

TEST(HidrawListing, NumericOrderAndOnlyHidrawNodes) {
  TempDir root;
  MakeClassTree(root, {"hidraw10", "hidraw2", "hidraw0", "hidrawx", "hidraw", "other1"});
  HidrawBackend backend(HidrawConfig{root / "sys", "/devroot", nullptr});
  std::unique_ptr<InterfaceSet> set(backend.OpenInterfaceSet());
  ASSERT_TRUE(set);
  char path[64];
  const char* expected[] = {"/devroot/hidraw0", "/devroot/hidraw2", "/devroot/hidraw10"};
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_EQ(set->PathAt(i, path, sizeof path), EnumStatus::kOk);
    EXPECT_STREQ(path, expected[i]);
  }
  EXPECT_EQ(set->PathAt(3, path, sizeof path), EnumStatus::kNoMore);
  // A path that does not fit the caller's buffer is not cut short.
  EXPECT_EQ(set->PathAt(0, path, 8), EnumStatus::kDetailUnreadable);
}

TEST(HidrawListing, NoHidrawClassMeansNoInterfaces) {
  TempDir root;
  HidrawBackend backend(HidrawConfig{root / "sys", "/dev", nullptr});
  std::unique_ptr<InterfaceSet> set(backend.OpenInterfaceSet());
  ASSERT_TRUE(set);
  char path[64];
  EXPECT_EQ(set->PathAt(0, path, sizeof path), EnumStatus::kNoMore);
}

TEST(HidrawOpen, MapsOpenErrorsToWindowsNumbers) {
  const struct {
    int error;
    uint32_t expected;
  } cases[] = {{EBUSY, 32}, {EACCES, 5}, {EPERM, 5}, {ENOENT, 2}, {ENODEV, 2}, {EIO, 2}};
  for (const auto& c : cases) {
    Fixture f;
    f.nodes.openError = c.error;
    uint32_t error = 0;
    const std::string path = f.root / "dev/hidraw0";
    EXPECT_EQ(f.backend.OpenDevice(path.c_str(), IoMode::kSynchronous, ShareMode::kShared, &error),
              nullptr);
    EXPECT_EQ(error, c.expected) << "errno " << c.error;
  }
}

TEST(HidrawOpen, ShareModesHoldBetweenOpeners) {
  // Regular files stand in for the node: flock behaves the same on them.
  const struct {
    ShareMode first, second;
    bool secondOpens;
  } cases[] = {
      {ShareMode::kShared, ShareMode::kShared, true},
      {ShareMode::kShared, ShareMode::kExclusive, false},
      {ShareMode::kExclusive, ShareMode::kShared, false},
      {ShareMode::kExclusive, ShareMode::kExclusive, false},
  };
  TempDir root;
  const std::string node = root / "hidraw0";
  std::ofstream(node).put('x');
  HidrawBackend backend(HidrawConfig{root / "sys", root.path(), nullptr});
  for (const auto& c : cases) {
    uint32_t error = 0;
    std::unique_ptr<Device> first(
        backend.OpenDevice(node.c_str(), IoMode::kOverlapped, c.first, &error));
    ASSERT_TRUE(first);
    std::unique_ptr<Device> second(
        backend.OpenDevice(node.c_str(), IoMode::kSynchronous, c.second, &error));
    EXPECT_EQ(second != nullptr, c.secondOpens);
    if (!c.secondOpens) {
      EXPECT_EQ(error, kErrorSharingViolation);
    }
    // Once the first handle is closed, anyone may open again.
    first.reset();
    second.reset();
    std::unique_ptr<Device> again(
        backend.OpenDevice(node.c_str(), IoMode::kSynchronous, ShareMode::kExclusive, &error));
    EXPECT_TRUE(again);
  }
}

TEST(HidrawDevice, IdentifiersAndFeatureLength) {
  Fixture f;
  auto device = f.Open();
  ASSERT_TRUE(device);
  uint16_t vendor = 0, product = 0, length = 0;
  ASSERT_TRUE(device->GetAttributes(&vendor, &product));
  EXPECT_EQ(vendor, 0x7A5C);
  EXPECT_EQ(product, 0x0B21);
  ASSERT_TRUE(device->GetFeatureReportLength(&length));
  EXPECT_EQ(length, 65);
  EXPECT_NE(device->HandleValue(), 0u);
}

TEST(HidrawDevice, FallsBackToSysfsDescriptor) {
  Fixture f;
  f.nodes.ioctlDescriptor = nullptr;
  fs::create_directories(f.root / "sys/class/hidraw/hidraw7/device");
  std::ofstream(f.root / "sys/class/hidraw/hidraw7/device/report_descriptor", std::ios::binary)
      .write(reinterpret_cast<const char*>(kNumberedDescriptor.data()),
             static_cast<std::streamsize>(kNumberedDescriptor.size()));
  auto device = f.Open("hidraw7");
  ASSERT_TRUE(device);
  uint16_t length = 0;
  ASSERT_TRUE(device->GetFeatureReportLength(&length));
  EXPECT_EQ(length, 65);
  // Without any descriptor the length is unknown, not guessed.
  auto other = f.Open("hidraw8");
  ASSERT_TRUE(other);
  EXPECT_FALSE(other->GetFeatureReportLength(&length));
}

TEST(HidrawDevice, ReadsGiveWindowsShapedReports) {
  const struct {
    const char* name;
    const std::vector<uint8_t>* descriptor;
    std::vector<uint8_t> sent;      // what hidraw hands to read()
    std::vector<uint8_t> expected;  // the first bytes of the 65-byte report
  } cases[] = {
      {"no ids: identifier byte 0 added", &kPlainDescriptor, std::vector<uint8_t>(64, 0xAB),
       [] { std::vector<uint8_t> r(65, 0xAB); r[0] = 0; return r; }()},
      {"numbered: delivered as read", &kNumberedDescriptor,
       [] { std::vector<uint8_t> r(65, 0xCD); r[0] = 1; return r; }(),
       [] { std::vector<uint8_t> r(65, 0xCD); r[0] = 1; return r; }()},
      {"short report zero-filled", &kPlainDescriptor, {1, 2, 3},
       [] { std::vector<uint8_t> r(65, 0); r[1] = 1; r[2] = 2; r[3] = 3; return r; }()},
  };
  for (const auto& c : cases) {
    Fixture f;
    f.nodes.ioctlDescriptor = c.descriptor;
    auto device = f.Open();
    ASSERT_TRUE(device) << c.name;
    f.PeerSend(c.sent);
    uint8_t report[kReportSize];
    std::memset(report, 0x5A, sizeof report);
    IoEvent* event = device->CreateIoEvent();
    ASSERT_NE(event, nullptr);
    ASSERT_EQ(device->ReadReport(event, report, 1000), IoStatus::kOk) << c.name;
    EXPECT_EQ(std::vector<uint8_t>(report, report + kReportSize), c.expected) << c.name;
    device->CloseIoEvent(event);
  }
}

TEST(HidrawDevice, WriteSendsAllSixtyFiveBytes) {
  Fixture f;
  auto device = f.Open();
  ASSERT_TRUE(device);
  uint8_t report[kReportSize] = {0, 0x00, 0x06, 0, 0, 0, 6};
  ASSERT_EQ(device->WriteReport(device->CreateIoEvent(), report, 1000), IoStatus::kOk);
  uint8_t got[100];
  ASSERT_EQ(read(*f.nodes.peer, got, sizeof got), 65);
  EXPECT_EQ(0, std::memcmp(got, report, kReportSize));
}

TEST(HidrawDevice, ReadWaitsAreBounded) {
  Fixture f;
  auto device = f.Open();
  ASSERT_TRUE(device);
  uint8_t report[kReportSize];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(device->ReadReport(device->CreateIoEvent(), report, 80), IoStatus::kTimedOut);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(75));
  EXPECT_LT(elapsed, std::chrono::milliseconds(1000));
  // A vanished device fails at once instead of timing out.
  close(*f.nodes.peer);
  f.nodes.peer.reset();
  EXPECT_EQ(device->ReadReport(device->CreateIoEvent(), report, 5000), IoStatus::kFailed);
}

TEST(HidrawDevice, FlushDiscardsQueuedReportsOnly) {
  Fixture f;
  auto device = f.Open();
  ASSERT_TRUE(device);
  for (uint8_t i = 0; i < 5; ++i) f.PeerSend(std::vector<uint8_t>(64, i));
  EXPECT_TRUE(device->FlushInput());
  uint8_t report[kReportSize];
  EXPECT_EQ(device->ReadReport(device->CreateIoEvent(), report, 20), IoStatus::kTimedOut);
  f.PeerSend(std::vector<uint8_t>(64, 9));
  ASSERT_EQ(device->ReadReport(device->CreateIoEvent(), report, 1000), IoStatus::kOk);
  EXPECT_EQ(report[1], 9);
}

TEST(HidrawDevice, FlushGivesUpOnEndlessInput) {
  Fixture f;
  auto device = f.Open();
  ASSERT_TRUE(device);
  // More reports queued than any real input queue holds.
  const int peer = *f.nodes.peer;
  fcntl(peer, F_SETFL, O_NONBLOCK);
  int big = 4 << 20;
  if (setsockopt(peer, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big) != 0) {
    setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  }
  int sent = 0;
  while (sent <= HidrawDevice::kMaxFlushReads) {
    uint8_t small[4] = {1, 2, 3, 4};
    if (write(peer, small, sizeof small) != 4) break;
    ++sent;
  }
  if (sent <= HidrawDevice::kMaxFlushReads) GTEST_SKIP() << "socket buffer too small";
  EXPECT_FALSE(device->FlushInput());
}

}  // namespace
}  // namespace qk::platform::hidraw
