#include "platform/linux/hidraw_backend.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "platform/linux/report_descriptor.h"
#include "tests/platform/temp_dir.h"

namespace qk::platform::hidraw {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::TempDir;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// 64 data bytes in, out and feature; the second with report identifier 1.
const Bytes kPlainDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
                                0x95, 0x40, 0x81, 0x02, 0x91, 0x02, 0xB1, 0x02, 0xC0};
const Bytes kNumberedDescriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x85, 0x01,
                                   0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0xB1, 0x02, 0xC0};

// One end of a datagram socket pair stands in for every node, so that each
// write on the other end arrives as one report, as hidraw delivers them.
struct FakeNodes : NodeAccess {
  int Open(const char*, int flags) override {
    int pair[2];
    if (openError != 0) errno = openError;
    if (openError != 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0) return -1;
    ClosePeer();
    peer = pair[1];
    fcntl(pair[0], F_SETFL, flags & O_NONBLOCK);
    return pair[0];
  }
  bool RawInfo(int, uint16_t* vendorId, uint16_t* productId) override {
    *vendorId = 0x7A5C, *productId = 0x0B21;
    return true;
  }
  bool ReportDescriptor(int, Bytes* descriptor) override {
    if (ioctlDescriptor != nullptr) *descriptor = *ioctlDescriptor;
    return ioctlDescriptor != nullptr;
  }
  ~FakeNodes() override { ClosePeer(); }
  void ClosePeer() {
    if (peer >= 0) close(peer);
    peer = -1;
  }

  int openError = 0;
  const Bytes* ioctlDescriptor = &kPlainDescriptor;
  int peer = -1;
};

struct Fixture {
  TempDir root;
  FakeNodes nodes;
  HidrawBackend backend{HidrawConfig{root / "sys", root / "dev", &nodes}};
  uint32_t error = 0;

  std::unique_ptr<Device> Open(const std::string& node = "hidraw0") {
    const std::string path = root / "dev/" + node;
    return std::unique_ptr<Device>(
        backend.OpenDevice(path.c_str(), IoMode::kOverlapped, ShareMode::kShared, &error));
  }
  void PeerSend(const Bytes& bytes) {
    ASSERT_EQ(write(nodes.peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
};

IoStatus Read(Device& device, uint8_t* report, uint32_t timeoutMs) {
  return device.ReadReport(device.CreateIoEvent(), report, timeoutMs);
}

// Feature length as Windows counts it: bits rounded up, the identifier byte once.
TEST(ReportDescriptor, FeatureLength) {
  const Bytes kWraps = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x77, 1, 0, 1, 0,
                        0x97, 0, 0, 1, 0, 0xB1, 0x02, 0xC0};  // 2^32 bits: must not wrap
  const struct { const char* name; Bytes descriptor; int length; } cases[] = {
      {"plain", kPlainDescriptor, 65},
      {"numbered", kNumberedDescriptor, 65},
      {"bits round up", {0x75, 1, 0x95, 3, 0xB1, 0x02, 0x95, 2, 0xB1, 0x02}, 2},
      {"truncated item", {0x75, 0x08, 0x96, 0x40}, -1},
      {"pop without push", {0xB4}, -1},
      {"count times size wraps", kWraps, -1},
  };
  for (const auto& c : cases) {
    ReportLayout layout{};
    const bool ok = ParseReportDescriptor(c.descriptor.data(), c.descriptor.size(), &layout);
    EXPECT_EQ(ok ? layout.featureReportLength : -1, c.length) << c.name;
  }
}

TEST(HidrawListing, NumericOrderOnlyHidrawNodesWholePaths) {
  TempDir root;
  for (const char* name : {"hidraw10", "hidraw2", "hidraw0", "hidrawx", "hidraw", "other1"}) {
    std::filesystem::create_directories(root / "sys/class/hidraw/" + name);
  }
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
}

TEST(HidrawOpen, ErrorNumbersAndShareModesBetweenOpeners) {
  const struct { int error; uint32_t expected; } errors[] = {
      {EBUSY, 32}, {EACCES, 5}, {EIO, 2}};
  for (const auto& c : errors) {
    Fixture f;
    f.nodes.openError = c.error;
    EXPECT_FALSE(f.Open());
    EXPECT_EQ(f.error, c.expected) << "errno " << c.error;
  }
  // A regular file stands in for the node: flock behaves the same on it.
  TempDir root;
  const std::string node = root / "hidraw0";
  std::ofstream(node).put('x');
  HidrawBackend backend(HidrawConfig{root / "sys", root.path(), nullptr});
  const auto open = [&](ShareMode share, uint32_t* error) {
    return std::unique_ptr<Device>(backend.OpenDevice(node.c_str(), IoMode::kSynchronous, share,
                                                      error));
  };
  const ShareMode kS = ShareMode::kShared, kX = ShareMode::kExclusive;
  const struct { ShareMode first, second; bool opens; } cases[] = {
      {kS, kS, true}, {kS, kX, false}, {kX, kS, false}, {kX, kX, false}};
  for (const auto& c : cases) {
    uint32_t error = 0;
    auto first = open(c.first, &error), second = open(c.second, &error);
    ASSERT_TRUE(first);
    EXPECT_EQ(second != nullptr, c.opens);
    EXPECT_EQ(error, c.opens ? error : kErrorSharingViolation);
    first.reset();
    second.reset();
    EXPECT_TRUE(open(kX, &error)) << "closing did not release the claim";
  }
}

TEST(HidrawDevice, IdentifiersFeatureLengthBoundedWaitsAndFlushes) {
  Fixture f;
  auto device = f.Open();
  ASSERT_TRUE(device);
  uint16_t vendor = 0, product = 0, length = 0;
  EXPECT_TRUE(device->GetAttributes(&vendor, &product) && vendor == 0x7A5C && product == 0x0B21);
  EXPECT_TRUE(device->GetFeatureReportLength(&length) && length == 65);
  uint8_t report[kReportSize];
  for (uint8_t i = 0; i < 5; ++i) f.PeerSend(Bytes(64, i));
  EXPECT_TRUE(device->FlushInput());
  const auto start = Clock::now();
  EXPECT_EQ(Read(*device, report, 80), IoStatus::kTimedOut) << "flushed reports came back";
  EXPECT_GE(Clock::now() - start, milliseconds(75));
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  f.PeerSend(Bytes(64, 9));
  ASSERT_EQ(Read(*device, report, 1000), IoStatus::kOk);
  EXPECT_EQ(report[1], 9);
}

}  // namespace
}  // namespace qk::platform::hidraw
