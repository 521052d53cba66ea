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

#include "include/qktoken.h"
#include "platform/linux/report_descriptor.h"
#include "platform/linux/sysfs_identity.h"
#include "tests/support/temp_dir.h"

namespace qk::platform::hidraw {
namespace {

using Bytes = std::vector<uint8_t>;
using qktest::TempDir;
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
  int Open(const char* path, int flags) override {
    opened.push_back(path);
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
  std::vector<std::string> opened;
  const Bytes* ioctlDescriptor = &kPlainDescriptor;
  int peer = -1;
};

struct Fixture {
  TempDir root;
  FakeNodes nodes;
  HidrawBackend backend{HidrawConfig{root / "sys", root / "dev", &nodes}};
  DeviceStatus error = DeviceStatus::kOk;

  std::unique_ptr<Device> Open(const std::string& node = "hidraw0") {
    const std::string path = root / "dev/" + node;
    return std::unique_ptr<Device>(backend.OpenDevice(path.c_str(), ShareMode::kShared, &error));
  }
  void PeerSend(const Bytes& bytes) {
    ASSERT_EQ(write(nodes.peer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
};

DeviceStatus Read(Device& device, uint8_t* report, uint32_t timeoutMs) {
  return device.ReadReport(report, timeoutMs);
}

// Feature length as Windows counts it: bits rounded up, the identifier byte once.
TEST(ReportDescriptor, FeatureLength) {
  const Bytes kWraps = {
      0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x77, 1,    0,
      1,    0,    0x97, 0,    0,    1,    0,    0xB1, 0x02, 0xC0};  // 2^32 bits: must not wrap
  const struct {
    const char* name;
    Bytes descriptor;
    int length;
  } cases[] = {
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

// A fabricated sysfs node: its class directory and, unless `uevent` is null,
// the HID device's uevent file.
void MakeNode(const TempDir& root, const std::string& name, const char* uevent) {
  const std::string device = root / "sys/class/hidraw/" + name + "/device";
  std::filesystem::create_directories(device);
  if (uevent != nullptr) std::ofstream(device + "/uevent") << uevent;
}

constexpr char kTokenUevent[] =
    "DRIVER=hid-generic\nHID_ID=0003:00007A5C:00000B21\nHID_NAME=token\nHID_UNIQ=SN1\n";
constexpr char kKeyboardUevent[] = "HID_ID=0003:0000046D:0000C31C\nHID_NAME=keyboard\n";

TEST(HidrawListing, UeventIdentity) {
  const struct {
    const char* text;
    bool ok;
    uint16_t vendor, product;
    const char* uniq;
  } cases[] = {
      {kTokenUevent, true, 0x7A5C, 0x0B21, "SN1"},
      {"HID_ID=0005:0000abcd:00000001", true, 0xABCD, 0x0001, ""},  // no final newline
      {"HID_NAME=x\n", false, 0, 0, ""},
      {"HID_ID=0003:00017A5C:00000B21\n", false, 0, 0, ""},  // vendor beyond 16 bits
      {"HID_ID=0003:7A5C:0B21\n", false, 0, 0, ""},          // short fields
      {"HID_ID=0003:00007A5C:00000B2G\n", false, 0, 0, ""},
      {"XHID_ID=0003:00007A5C:00000B21\n", false, 0, 0, ""},
  };
  for (const auto& c : cases) {
    HidIdentity identity;
    ASSERT_EQ(ParseHidUevent(c.text, &identity), c.ok) << c.text;
    if (!c.ok) continue;
    EXPECT_EQ(identity.vendorId, c.vendor) << c.text;
    EXPECT_EQ(identity.productId, c.product) << c.text;
    EXPECT_EQ(identity.uniq, c.uniq) << c.text;
  }
}

// Only nodes whose sysfs identity is the token's are listed, in numeric
// order; other devices, nodes without a readable identity and names that are
// not hidrawN are left out without being opened.
TEST(HidrawListing, TokenNodesOnlyInNumericOrderWholePaths) {
  TempDir root;
  MakeNode(root, "hidraw10", kTokenUevent);
  MakeNode(root, "hidraw2", kTokenUevent);
  MakeNode(root, "hidraw0", kTokenUevent);
  MakeNode(root, "hidraw1", kKeyboardUevent);
  MakeNode(root, "hidraw3", nullptr);
  MakeNode(root, "hidraw4", "HID_ID=garbage\n");
  MakeNode(root, "hidrawx", kTokenUevent);
  MakeNode(root, "other1", kTokenUevent);
  FakeNodes nodes;
  HidrawBackend backend(HidrawConfig{root / "sys", "/devroot", &nodes});
  std::unique_ptr<InterfaceSet> set(backend.OpenInterfaceSet());
  ASSERT_TRUE(set);
  char path[64];
  const char* expected[] = {"/devroot/hidraw0", "/devroot/hidraw2", "/devroot/hidraw10"};
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_EQ(set->PathAt(i, path, sizeof path), EnumStatus::kOk);
    EXPECT_STREQ(path, expected[i]);
  }
  EXPECT_EQ(set->PathAt(3, path, sizeof path), EnumStatus::kNoMore);
  EXPECT_TRUE(nodes.opened.empty());
}

// Through the library's listing: a node the user may not open counts as
// "access denied" only when it is the token's; a token node another process
// holds for itself is still listed (its identity comes from sysfs).
TEST(HidrawListing, AccessDeniedOnlyForTheTokensOwnNodeAndABusyTokenIsListed) {
  const struct {
    const char* uevent;
    int openError;
    uint32_t result, count;
    size_t opens;
  } cases[] = {
      {kKeyboardUevent, EACCES, QK_E_SUCCESS, 0, 0},
      {kTokenUevent, EACCES, QK_E_ACCESS_DENIED, 0, 1},
      {kTokenUevent, EBUSY, QK_E_SUCCESS, 1, 1},
  };
  for (const auto& c : cases) {
    TempDir root;
    MakeNode(root, "hidraw0", c.uevent);
    FakeNodes nodes;
    nodes.openError = c.openError;
    HidrawBackend backend(HidrawConfig{root / "sys", root / "dev", &nodes});
    SetBackendForTesting(&backend);
    uint32_t count = 0;
    const uint32_t result = QKListDevices(nullptr, &count);
    SetBackendForTesting(nullptr);
    EXPECT_EQ(count, c.count) << c.uevent;
    EXPECT_EQ(result, c.count == 0 ? c.result : QK_E_BUFFER_TOO_SMALL) << c.uevent;
    EXPECT_EQ(nodes.opened.size(), c.opens) << c.uevent;
  }
}

TEST(HidrawOpen, ErrorNumbersAndShareModesBetweenOpeners) {
  const struct {
    int error;
    DeviceStatus expected;
  } errors[] = {{EBUSY, DeviceStatus::kSharingViolation},
                {EACCES, DeviceStatus::kAccessDenied},
                {EPERM, DeviceStatus::kAccessDenied},
                {EIO, DeviceStatus::kNotFound}};
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
  const auto open = [&](ShareMode share, DeviceStatus* error) {
    return std::unique_ptr<Device>(backend.OpenDevice(node.c_str(), share, error));
  };
  const ShareMode kS = ShareMode::kShared, kX = ShareMode::kExclusive;
  const struct {
    ShareMode first, second;
    bool opens;
  } cases[] = {{kS, kS, true}, {kS, kX, false}, {kX, kS, false}, {kX, kX, false}};
  for (const auto& c : cases) {
    DeviceStatus error = DeviceStatus::kFailed;
    auto first = open(c.first, &error), second = open(c.second, &error);
    ASSERT_TRUE(first);
    EXPECT_EQ(second != nullptr, c.opens);
    EXPECT_EQ(error, c.opens ? DeviceStatus::kOk : DeviceStatus::kSharingViolation);
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
  EXPECT_EQ(Read(*device, report, 80), DeviceStatus::kTimedOut) << "flushed reports came back";
  EXPECT_GE(Clock::now() - start, milliseconds(75));
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
  f.PeerSend(Bytes(64, 9));
  ASSERT_EQ(Read(*device, report, 1000), DeviceStatus::kOk);
  EXPECT_EQ(report[1], 9);
  // The node going away ends a wait at once, as gone rather than timed out.
  f.nodes.ClosePeer();
  const auto unplugged = Clock::now();
  EXPECT_EQ(Read(*device, report, 5000), DeviceStatus::kGone);
  EXPECT_LT(Clock::now() - unplugged, milliseconds(1000));
}

}  // namespace
}  // namespace qk::platform::hidraw
