// Report transfers of the Win32 device over a pipe that plays the device.
#include "platform/win32/win32_device.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "tests/platform/win32_test_pipe.h"

namespace qk::platform::win32 {
namespace {

using testing::TestPipe;
using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Report(uint8_t seed) {
  std::vector<uint8_t> report(kReportSize);
  for (size_t i = 0; i < report.size(); ++i) report[i] = static_cast<uint8_t>(seed + i * 7);
  report[0] = 0;  // report identifier
  return report;
}

// Owns one exchange's event, as the transport does.
class Event {
 public:
  explicit Event(Device* device) : device_(device), event_(device->CreateIoEvent()) {}
  ~Event() { device_->CloseIoEvent(event_); }
  IoEvent* get() const { return event_; }

 private:
  Device* device_;
  IoEvent* event_;
};

TEST(Win32DeviceTest, ReportsCrossTheLinkByteForByteInBothDirections) {
  TestPipe pipe;
  ASSERT_NE(pipe.device(), nullptr);
  Event event(pipe.device());
  ASSERT_NE(event.get(), nullptr);

  // Several reports through one event: each transfer must wait for its own
  // completion, not for a signal left over from the previous one.
  for (uint8_t round = 0; round < 8; ++round) {
    const std::vector<uint8_t> out = Report(round);
    ASSERT_EQ(pipe.device()->WriteReport(event.get(), out.data(), 1000), IoStatus::kOk);
    EXPECT_EQ(pipe.Receive(), out) << "round " << int{round};

    const std::vector<uint8_t> in = Report(static_cast<uint8_t>(0x80 + round));
    ASSERT_TRUE(pipe.Send(in));
    std::vector<uint8_t> got(kReportSize, 0xEE);
    ASSERT_EQ(pipe.device()->ReadReport(event.get(), got.data(), 1000), IoStatus::kOk);
    EXPECT_EQ(got, in) << "round " << int{round};
  }
}

TEST(Win32DeviceTest, TimedOutReadIsCancelledAndLosesNothing) {
  TestPipe pipe;
  ASSERT_NE(pipe.device(), nullptr);
  Event event(pipe.device());

  std::vector<uint8_t> got(kReportSize, 0xEE);
  const auto start = Clock::now();
  EXPECT_EQ(pipe.device()->ReadReport(event.get(), got.data(), 100), IoStatus::kTimedOut);
  const auto elapsed = Clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(80));
  EXPECT_LT(elapsed, std::chrono::seconds(3));
  EXPECT_EQ(got, std::vector<uint8_t>(kReportSize, 0xEE)) << "caller's buffer written";

  // Had the read stayed pending, it would swallow this report into a buffer
  // that no longer exists; the next read must get it instead.
  const std::vector<uint8_t> in = Report(9);
  ASSERT_TRUE(pipe.Send(in));
  ASSERT_EQ(pipe.device()->ReadReport(event.get(), got.data(), 1000), IoStatus::kOk);
  EXPECT_EQ(got, in);
}

TEST(Win32DeviceTest, FailedTransfersLeaveTheCallersReportAlone) {
  struct Case {
    const char* name;
    void (*peer)(TestPipe& pipe);
  };
  const Case cases[] = {
      // A HID interface moves whole reports; a short one is not the token's.
      {"short message", [](TestPipe& pipe) { pipe.Send(std::vector<uint8_t>(10, 0x55)); }},
      {"device gone", [](TestPipe& pipe) { pipe.Disconnect(); }},
  };
  for (const Case& c : cases) {
    TestPipe pipe;
    ASSERT_NE(pipe.device(), nullptr) << c.name;
    Event event(pipe.device());
    c.peer(pipe);
    std::vector<uint8_t> got(kReportSize, 0xEE);
    EXPECT_EQ(pipe.device()->ReadReport(event.get(), got.data(), 1000), IoStatus::kFailed)
        << c.name;
    EXPECT_EQ(got, std::vector<uint8_t>(kReportSize, 0xEE)) << c.name;
  }
}

TEST(Win32DeviceTest, WriteToAVanishedDeviceFails) {
  TestPipe pipe;
  ASSERT_NE(pipe.device(), nullptr);
  Event event(pipe.device());
  pipe.Disconnect();
  const std::vector<uint8_t> out = Report(1);
  EXPECT_EQ(pipe.device()->WriteReport(event.get(), out.data(), 1000), IoStatus::kFailed);
}

TEST(Win32DeviceTest, TransfersWithoutAnEventFailInsteadOfCrashing) {
  TestPipe pipe;
  ASSERT_NE(pipe.device(), nullptr);
  std::vector<uint8_t> report = Report(2);
  EXPECT_EQ(pipe.device()->WriteReport(nullptr, report.data(), 100), IoStatus::kFailed);
  EXPECT_EQ(pipe.device()->ReadReport(nullptr, report.data(), 100), IoStatus::kFailed);
  pipe.device()->CloseIoEvent(nullptr);
}

TEST(Win32DeviceTest, HidQueriesOnAnInterfaceThatIsNotHidFailCleanly) {
  TestPipe pipe;
  ASSERT_NE(pipe.device(), nullptr);
  uint16_t vendor = 0x1111, product = 0x2222, length = 0x3333;
  EXPECT_FALSE(pipe.device()->GetAttributes(&vendor, &product));
  EXPECT_FALSE(pipe.device()->GetFeatureReportLength(&length));
  EXPECT_EQ(vendor, 0x1111);
  EXPECT_EQ(product, 0x2222);
  EXPECT_EQ(length, 0x3333);
}

TEST(Win32DeviceTest, HandleValuesAreNonZeroAndTellDevicesApart) {
  TestPipe first, second;
  ASSERT_NE(first.device(), nullptr);
  ASSERT_NE(second.device(), nullptr);
  EXPECT_NE(first.device()->HandleValue(), 0u);
  EXPECT_NE(second.device()->HandleValue(), 0u);
  EXPECT_NE(first.device()->HandleValue(), second.device()->HandleValue());
  EXPECT_EQ(HandleToValue(nullptr), 1u) << "a zero value would read as 'not open'";
}

}  // namespace
}  // namespace qk::platform::win32
