#include "sim/uhid/uhid_device.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/linux/hidraw_backend.h"
#include "platform/linux/sysfs_identity.h"

namespace qksim::uhid {
namespace {

constexpr uint16_t kBusUsb = 0x03;
constexpr uint16_t kEio = 5;  // the errno a refused report request answers with

// Every event written is a whole struct: the kernel copies at most that much
// and ignores the unused tail.
std::unique_ptr<uhid_event> NewEvent(uint32_t type) {
  auto event = std::make_unique<uhid_event>();
  std::memset(event.get(), 0, sizeof(uhid_event));
  event->type = type;
  return event;
}

void CopyText(const std::string& text, uint8_t* target, size_t capacity) {
  const size_t length = std::min(text.size(), capacity - 1);
  std::memcpy(target, text.data(), length);
  target[length] = 0;
}

}  // namespace

std::vector<uint8_t> TokenReportDescriptor(uint8_t reportId) {
  // clang-format off
  std::vector<uint8_t> descriptor = {
      0x06, 0x00, 0xFF,  // Usage Page (vendor defined 0xFF00)
      0x09, 0x01,        // Usage (1)
      0xA1, 0x01,        // Collection (Application)
  };
  if (reportId != 0) descriptor.insert(descriptor.end(), {0x85, reportId});  // Report ID
  descriptor.insert(descriptor.end(), {
      0x15, 0x00,              // Logical Minimum (0)
      0x26, 0xFF, 0x00,        // Logical Maximum (255)
      0x75, 0x08,              // Report Size (8 bits)
      0x95, 0x40,              // Report Count (64)
      0x09, 0x01, 0x81, 0x02,  // Usage (1), Input (Data, Var, Abs)
      0x09, 0x01, 0x91, 0x02,  // Usage (1), Output (Data, Var, Abs)
      0x09, 0x01, 0xB1, 0x02,  // Usage (1), Feature (Data, Var, Abs)
      0xC0,                    // End Collection
  });
  // clang-format on
  return descriptor;
}

bool HostReportToToken(const uint8_t* data, size_t size, uint8_t reportId, Report* report) {
  if (size == kReportDataSize) {
    // Without report identifiers the kernel may pass the data alone.
    (*report)[0] = 0;
    std::memcpy(report->data() + 1, data, kReportDataSize);
    return true;
  }
  if (size != kReportDataSize + 1) return false;
  if (data[0] != 0 && data[0] != reportId) return false;
  // The token reads reports as the host writes them: identifier 0 first.
  (*report)[0] = 0;
  std::memcpy(report->data() + 1, data + 1, kReportDataSize);
  return true;
}

std::string HidrawNodeOf(uint16_t vendorId, uint16_t productId, const std::string& uniq,
                         const std::string& sysfsRoot) {
  namespace hidraw = qk::platform::hidraw;
  std::vector<std::string> names;
  if (!hidraw::ListHidrawNamesOf(sysfsRoot, vendorId, productId, &names)) return "";
  for (const std::string& name : names) {
    hidraw::HidIdentity identity;
    if (hidraw::ReadHidIdentity(sysfsRoot, name, &identity) && identity.uniq == uniq) {
      return "/dev/" + name;
    }
  }
  return "";
}

std::string OpenFailureMessage(const char* path, int error) {
  std::string message =
      std::string("cannot open ") + path + " for writing: " + std::strerror(error) + ". ";
  if (error == ENOENT || error == ENODEV || error == ENXIO) {
    message +=
        "The kernel's user-space HID driver is not loaded: load it with "
        "'modprobe uhid' (as root; the hid and hid-generic modules are needed too).";
  } else if (error == EACCES || error == EPERM) {
    message +=
        "Creating HID devices needs write access to it: run as root, or give your "
        "user read and write access to " +
        std::string(path) + " (for example with a udev rule).";
  } else {
    message +=
        "Serving tokens as HID devices needs the uhid kernel module and read and write "
        "access to " +
        std::string(path) + ".";
  }
  return message;
}

UhidDevice::UhidDevice(Token& token, UhidOptions options)
    : token_(token), options_(std::move(options)) {}

UhidDevice::~UhidDevice() { Stop(); }

bool UhidDevice::Start(std::string* error, const char* path) {
  const int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    *error = OpenFailureMessage(path, errno);
    return false;
  }
  return StartOn(fd, error);
}

bool UhidDevice::StartOn(int fd, std::string* error) {
  if (fd_ >= 0) {
    close(fd);
    *error = "the device is already running";
    return false;
  }
  int wake[2];
  if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    *error = std::string("cannot make a pipe: ") + std::strerror(errno);
    close(fd);
    return false;
  }
  auto create = NewEvent(UHID_CREATE2);
  uhid_create2_req& request = create->u.create2;
  CopyText(options_.name, request.name, sizeof request.name);
  CopyText(options_.uniq, request.uniq, sizeof request.uniq);
  CopyText("qktoken-sim", request.phys, sizeof request.phys);
  const std::vector<uint8_t> descriptor = TokenReportDescriptor(options_.reportId);
  std::memcpy(request.rd_data, descriptor.data(), descriptor.size());
  request.rd_size = static_cast<uint16_t>(descriptor.size());
  request.bus = kBusUsb;
  request.vendor = options_.vendorId;
  request.product = options_.productId;
  request.version = 0x0100;
  fd_ = fd;
  if (!Write(create.get())) {
    *error = std::string("the kernel refused the HID device: ") + std::strerror(errno);
    close(fd_);
    close(wake[0]);
    close(wake[1]);
    fd_ = -1;
    return false;
  }
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  hostReports_.store(0);
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void UhidDevice::Stop() {
  if (fd_ < 0) return;
  const char byte = 0;
  (void)!write(wakeWrite_, &byte, 1);
  if (thread_.joinable()) thread_.join();
  // Closing the descriptor would destroy the device too; saying so first
  // makes the removal explicit and immediate.
  Write(NewEvent(UHID_DESTROY).get());
  close(fd_);
  close(wakeRead_);
  close(wakeWrite_);
  fd_ = wakeRead_ = wakeWrite_ = -1;
}

bool UhidDevice::Write(const void* event) {
  for (;;) {
    const ssize_t n = write(fd_, event, sizeof(uhid_event));
    if (n == static_cast<ssize_t>(sizeof(uhid_event))) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

void UhidDevice::Loop() {
  auto event = std::make_unique<uhid_event>();
  for (;;) {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;  // Stop
    if (fds[0].revents & POLLIN) {
      std::memset(event.get(), 0, sizeof(uhid_event));
      const ssize_t n = read(fd_, event.get(), sizeof(uhid_event));
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0 || !HandleEvent(event.get(), static_cast<size_t>(n))) return;
    } else if (fds[0].revents != 0) {
      return;  // the driver went away
    }
  }
}

// One event from the kernel. False when the device can no longer be served.
bool UhidDevice::HandleEvent(const void* raw, size_t size) {
  const auto* event = static_cast<const uhid_event*>(raw);
  if (size < sizeof event->type) return true;
  switch (event->type) {
    case UHID_OUTPUT: {
      const uhid_output_req& output = event->u.output;
      if (size < offsetof(uhid_event, u) + sizeof output) return true;
      if (output.rtype != UHID_OUTPUT_REPORT) return true;
      ++hostReports_;
      Report report{};
      if (ignoreHostReports_.load() ||
          !HostReportToToken(output.data, std::min<size_t>(output.size, UHID_DATA_MAX),
                             options_.reportId, &report)) {
        return true;
      }
      std::vector<Report> answers;
      token_.HandleReport(report, &answers);
      // One input report per answer report, in order, as the device sends them.
      auto input = NewEvent(UHID_INPUT2);
      for (const Report& answer : answers) {
        uint8_t* data = input->u.input2.data;
        size_t length = 0;
        if (options_.reportId != 0) data[length++] = options_.reportId;
        std::memcpy(data + length, answer.data() + 1, kReportDataSize);
        input->u.input2.size = static_cast<uint16_t>(length + kReportDataSize);
        if (!Write(input.get())) return false;
      }
      return true;
    }
    case UHID_GET_REPORT: {
      // The kernel (or a program) asks for a report: the feature report is
      // 64 zero bytes; other kinds are refused.
      const uhid_get_report_req& request = event->u.get_report;
      auto reply = NewEvent(UHID_GET_REPORT_REPLY);
      reply->u.get_report_reply.id = request.id;
      if (request.rtype == UHID_FEATURE_REPORT &&
          (options_.reportId == 0 || request.rnum == options_.reportId)) {
        size_t length = 0;
        if (options_.reportId != 0) reply->u.get_report_reply.data[length++] = options_.reportId;
        reply->u.get_report_reply.size = static_cast<uint16_t>(length + kReportDataSize);
      } else {
        reply->u.get_report_reply.err = kEio;
      }
      return Write(reply.get());
    }
    case UHID_SET_REPORT: {
      auto reply = NewEvent(UHID_SET_REPORT_REPLY);
      reply->u.set_report_reply.id = event->u.set_report.id;
      reply->u.set_report_reply.err = kEio;
      return Write(reply.get());
    }
    default:  // UHID_START, UHID_STOP, UHID_OPEN, UHID_CLOSE: nothing to do
      return true;
  }
}

}  // namespace qksim::uhid
