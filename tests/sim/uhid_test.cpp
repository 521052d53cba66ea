// The /dev/uhid bridge against a socket pair standing in for the kernel:
// each write of a whole event arrives as one message, as the character
// device delivers them.
#include "sim/uhid/uhid_device.h"

#include <linux/uhid.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/linux/report_descriptor.h"

namespace qksim::uhid {
namespace {

// The host's first report of an open: the plain session-key request.
Report SessionKeyRequest() {
  Report report{};
  const uint8_t pattern[12] = {0x00, 0x06, 0x00, 0x00, 0x00, 0x06,
                               0x00, 0x47, 0x47, 0x4B, 0x00, 0x00};
  std::memcpy(report.data() + 1, pattern, sizeof pattern);
  return report;
}

class FakeKernel {
 public:
  FakeKernel() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) == 0) {
      deviceEnd = pair[0];
      kernelEnd_ = pair[1];
    }
  }
  ~FakeKernel() {
    if (kernelEnd_ >= 0) close(kernelEnd_);
  }
  // The next event from the device within `timeoutMs`, or null.
  std::unique_ptr<uhid_event> Next(int timeoutMs = 2000) {
    pollfd entry{kernelEnd_, POLLIN, 0};
    if (poll(&entry, 1, timeoutMs) != 1) return nullptr;
    auto event = std::make_unique<uhid_event>();
    std::memset(event.get(), 0, sizeof(uhid_event));
    if (read(kernelEnd_, event.get(), sizeof(uhid_event)) <= 0) return nullptr;
    return event;
  }
  void Send(const uhid_event& event) {
    ASSERT_EQ(write(kernelEnd_, &event, sizeof event), static_cast<ssize_t>(sizeof event));
  }
  // An output report as the kernel passes on a host's write.
  void SendOutput(const uint8_t* data, uint16_t size) {
    uhid_event event{};
    event.type = UHID_OUTPUT;
    event.u.output.rtype = UHID_OUTPUT_REPORT;
    event.u.output.size = size;
    std::memcpy(event.u.output.data, data, size);
    Send(event);
  }
  uhid_event GetReport(uint32_t id, uint8_t number, uint8_t type) {
    uhid_event event{};
    event.type = UHID_GET_REPORT;
    event.u.get_report.id = id;
    event.u.get_report.rnum = number;
    event.u.get_report.rtype = type;
    return event;
  }

  int deviceEnd = -1;  // handed to the device

 private:
  int kernelEnd_ = -1;
};

TEST(UhidBridge, HostReportsAcceptedByLengthAndIdentifier) {
  uint8_t data[65];
  for (int i = 0; i < 65; ++i) data[i] = static_cast<uint8_t>(i);
  const struct {
    uint8_t first;
    size_t size;
    uint8_t deviceId;
    bool accepted;
    int dataStart;
  } cases[] = {
      {0, 65, 0, true, 1},  {0, 65, 1, true, 1},  {1, 65, 1, true, 1},
      {2, 65, 1, false, 0}, {1, 65, 0, false, 0}, {0, 64, 0, true, 0},
      {0, 63, 0, false, 0}, {0, 66, 0, false, 0}, {0, 0, 0, false, 0},
  };
  for (const auto& c : cases) {
    data[0] = c.first;
    Report report;
    report.fill(0xEE);
    ASSERT_EQ(HostReportToToken(data, c.size, c.deviceId, &report), c.accepted)
        << c.size << " bytes, first " << int{c.first} << ", device id " << int{c.deviceId};
    if (!c.accepted) continue;
    EXPECT_EQ(report[0], 0);
    EXPECT_EQ(0, std::memcmp(report.data() + 1, data + c.dataStart, 64));
  }
}

// Each answer report of the token leaves as one input report, in order, with
// the identifier first on a numbered device; the device is created with the
// token's identity and a descriptor the host backend reads as 64-byte
// reports (feature length 65), and destroyed on Stop.
TEST(UhidBridge, CreateAnswerGetReportAndDestroy) {
  for (const uint8_t reportId : {uint8_t{0}, uint8_t{7}}) {
    SCOPED_TRACE(reportId);
    Token token;
    FakeKernel kernel;
    UhidOptions options;
    options.vendorId = 0x1234;
    options.productId = 0xABCD;
    options.reportId = reportId;
    options.uniq = "SERIAL";
    UhidDevice device(token, options);
    std::string error;
    ASSERT_TRUE(device.StartOn(kernel.deviceEnd, &error)) << error;

    auto create = kernel.Next();
    ASSERT_TRUE(create);
    ASSERT_EQ(create->type, UHID_CREATE2);
    EXPECT_EQ(create->u.create2.vendor, 0x1234u);
    EXPECT_EQ(create->u.create2.product, 0xABCDu);
    EXPECT_STREQ(reinterpret_cast<const char*>(create->u.create2.uniq), "SERIAL");
    const std::vector<uint8_t> descriptor = TokenReportDescriptor(reportId);
    ASSERT_EQ(create->u.create2.rd_size, descriptor.size());
    EXPECT_EQ(0, std::memcmp(create->u.create2.rd_data, descriptor.data(), descriptor.size()));
    qk::platform::hidraw::ReportLayout layout{};
    ASSERT_TRUE(
        qk::platform::hidraw::ParseReportDescriptor(descriptor.data(), descriptor.size(), &layout));
    EXPECT_EQ(layout.featureReportLength, 65);
    EXPECT_EQ(layout.usesReportIds, reportId != 0);

    // The host writes the session-key request: its 66-byte answer is two reports.
    const Report request = SessionKeyRequest();
    kernel.SendOutput(request.data(), 65);
    for (int i = 0; i < 2; ++i) {
      auto input = kernel.Next();
      ASSERT_TRUE(input) << "answer report " << i << " missing";
      ASSERT_EQ(input->type, UHID_INPUT2);
      ASSERT_EQ(input->u.input2.size, reportId != 0 ? 65 : 64);
      EXPECT_TRUE(reportId == 0 || input->u.input2.data[0] == reportId);
    }
    EXPECT_FALSE(kernel.Next(100)) << "more input reports than answer reports";

    // A token that stopped answering reads the report and says nothing.
    device.SetIgnoreHostReports(true);
    const uint64_t before = device.HostReports();
    kernel.SendOutput(request.data(), 65);
    EXPECT_FALSE(kernel.Next(100));
    EXPECT_EQ(device.HostReports(), before + 1);

    // The kernel asks for the feature report: 64 bytes (and the identifier);
    // any other report kind is refused.
    kernel.Send(kernel.GetReport(41, reportId, UHID_FEATURE_REPORT));
    auto reply = kernel.Next();
    ASSERT_TRUE(reply);
    ASSERT_EQ(reply->type, UHID_GET_REPORT_REPLY);
    EXPECT_EQ(reply->u.get_report_reply.id, 41u);
    EXPECT_EQ(reply->u.get_report_reply.err, 0);
    EXPECT_EQ(reply->u.get_report_reply.size, reportId != 0 ? 65 : 64);
    kernel.Send(kernel.GetReport(42, reportId, UHID_INPUT_REPORT));
    reply = kernel.Next();
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->u.get_report_reply.id, 42u);
    EXPECT_NE(reply->u.get_report_reply.err, 0);

    device.Stop();
    auto destroy = kernel.Next();
    ASSERT_TRUE(destroy);
    EXPECT_EQ(destroy->type, UHID_DESTROY);
  }
}

TEST(UhidBridge, UnusableDeviceNodeSaysWhatIsNeeded) {
  Token token;
  UhidDevice device(token, UhidOptions());
  std::string error;
  EXPECT_FALSE(device.Start(&error, "/nonexistent/uhid"));
  EXPECT_NE(error.find("/nonexistent/uhid"), std::string::npos) << error;
  EXPECT_NE(error.find("modprobe uhid"), std::string::npos) << error;
  const std::string denied = OpenFailureMessage("/dev/uhid", EACCES);
  EXPECT_NE(denied.find("/dev/uhid"), std::string::npos) << denied;
  EXPECT_NE(denied.find("root"), std::string::npos) << denied;
  EXPECT_FALSE(device.Running());
}

}  // namespace
}  // namespace qksim::uhid
