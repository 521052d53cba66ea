// The Win32 backend under Wine or Windows: transfers over a message-mode named
// pipe that plays the device, sharing on scratch files, named mutexes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/win32_backend.h"
#include "platform/win32/win32_device.h"
#include "platform/win32/windows_sdk.h"

namespace qk::platform::win32 {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

std::string UniqueName(const char* stem) {
  static std::atomic<unsigned> counter{0};
  return std::string(stem) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(counter++);
}

// The client end is opened through the backend as a device path would be;
// the test plays the device on the server end.
struct TestPipe {
  TestPipe() {
    const std::string path = "\\\\.\\pipe\\" + UniqueName("qk-test");
    server = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX,
                              PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096,
                              0, nullptr);
    DeviceStatus status = DeviceStatus::kFailed;
    device.reset(OpenPath(path.c_str(), ShareMode::kShared, &status));
    // The client is already connected, so this returns at once.
    if (device && !ConnectNamedPipe(server, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
      device.reset();
    }
  }
  ~TestPipe() {
    device.reset();
    Disconnect();
  }
  bool Send(const Bytes& message) {
    DWORD written = 0;
    return WriteFile(server, message.data(), static_cast<DWORD>(message.size()), &written,
                     nullptr) &&
           written == message.size();
  }
  Bytes Receive() {
    Bytes message(256);
    DWORD read = 0;
    message.resize(ReadFile(server, message.data(), 256, &read, nullptr) ? read : 0);
    return message;
  }
  void Disconnect() {
    if (server != INVALID_HANDLE_VALUE) DisconnectNamedPipe(server), CloseHandle(server);
    server = INVALID_HANDLE_VALUE;
  }
  DeviceStatus Read(Bytes* got, uint32_t ms = 1000) {
    got->assign(kReportSize, 0xEE);
    return device->ReadReport(got->data(), ms);
  }

  HANDLE server = INVALID_HANDLE_VALUE;
  std::unique_ptr<Device> device;
};

Bytes Report(uint8_t seed) {
  Bytes report(kReportSize);
  for (size_t i = 1; i < report.size(); ++i) report[i] = static_cast<uint8_t>(seed + i * 7);
  return report;
}

TEST(Win32DeviceTest, ReportsCrossTheLinkAndTimedOutReadsLoseNothing) {
  TestPipe pipe;
  ASSERT_TRUE(pipe.device);
  // Each transfer through the device's one event waits for its own
  // completion, not for a signal left over from the previous one.
  Bytes got;
  for (uint8_t round = 0; round < 8; ++round) {
    const Bytes out = Report(round), in = Report(static_cast<uint8_t>(0x80 + round));
    ASSERT_EQ(pipe.device->WriteReport(out.data(), 1000), DeviceStatus::kOk);
    EXPECT_EQ(pipe.Receive(), out) << "round " << int{round};
    ASSERT_TRUE(pipe.Send(in));
    ASSERT_EQ(pipe.Read(&got), DeviceStatus::kOk);
    EXPECT_EQ(got, in) << "round " << int{round};
  }
  const auto start = Clock::now();
  EXPECT_EQ(pipe.Read(&got, 100), DeviceStatus::kTimedOut);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(80));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(got, Bytes(kReportSize, 0xEE)) << "caller's buffer written";
  // A read left pending would swallow this report into a buffer that no
  // longer exists; the next read must get it instead.
  ASSERT_TRUE(pipe.Send(Report(9)));
  ASSERT_EQ(pipe.Read(&got), DeviceStatus::kOk);
  EXPECT_EQ(got, Report(9));
  EXPECT_EQ(HandleToValue(nullptr), 1u) << "a zero value would read as 'not open'";
}

TEST(Win32DeviceTest, WholeReportCountsTheIdentifierByteOnlyWhereWineDropsIt) {
  const uint8_t plain[kReportSize] = {0}, numbered[kReportSize] = {1};
  const struct {
    bool written;
    const uint8_t* report;
    DWORD transferred;
    bool whole;
  } cases[] = {
      {true, plain, 65, true},  {true, numbered, 65, true},  {true, numbered, 64, true},
      {true, plain, 64, false}, {true, numbered, 63, false}, {false, numbered, 64, false},
      {false, plain, 65, true}, {true, numbered, 66, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WholeReport(c.written, c.report, c.transferred), c.whole)
        << (c.written ? "write" : "read") << " of id " << int{c.report[0]} << ", " << c.transferred
        << " bytes";
  }
  // A handle with no preparsed data (the pipe) keeps the transport's 0.
  TestPipe pipe;
  ASSERT_TRUE(pipe.device);
  EXPECT_EQ(OutputReportId(static_cast<Win32Device*>(pipe.device.get())->Handle()), 0);
}

// The queue is emptied by reading where the driver has no flush; every case
// then checks that exactly the expected reports are left and that no read
// is left pending to swallow the next one. A device that keeps sending is
// one whose queue outlasts either limit.
TEST(Win32DeviceTest, DrainEmptiesTheQueueWithinItsLimits) {
  const struct {
    int queued;
    DrainLimits limits;
    bool emptied;
    int left;
  } cases[] = {{0, kDrainLimits, true, 0},
               {5, kDrainLimits, true, 0},
               {5, {5, 1000}, false, 0},
               {5, {3, 1000}, false, 2},
               {5, {1000, 0}, false, 4}};  // the time is up after the first
  for (const auto& c : cases) {
    TestPipe pipe;
    ASSERT_TRUE(pipe.device);
    for (int i = 0; i < c.queued; ++i) ASSERT_TRUE(pipe.Send(Report(static_cast<uint8_t>(i))));
    auto* device = static_cast<Win32Device*>(pipe.device.get());
    EXPECT_EQ(DrainInput(device->Handle(), c.limits), c.emptied) << c.queued;
    ASSERT_TRUE(pipe.Send(Report(0xAA)));
    Bytes got;
    for (int i = c.queued - c.left; i < c.queued; ++i) {
      ASSERT_EQ(pipe.Read(&got), DeviceStatus::kOk);
      EXPECT_EQ(got, Report(static_cast<uint8_t>(i))) << "left in order";
    }
    ASSERT_EQ(pipe.Read(&got), DeviceStatus::kOk) << "a pending read took the next report";
    EXPECT_EQ(got, Report(0xAA));
  }
}

TEST(Win32DeviceTest, FlushFallsBackOnlyWhereTheDriverHasNone) {
  const struct {
    DWORD error;
    bool unsupported;
  } errors[] = {{ERROR_NOT_SUPPORTED, true},        {ERROR_INVALID_FUNCTION, true},
                {ERROR_CALL_NOT_IMPLEMENTED, true}, {ERROR_ACCESS_DENIED, false},
                {ERROR_INVALID_HANDLE, false},      {ERROR_GEN_FAILURE, false},
                {ERROR_DEVICE_NOT_CONNECTED, false}};
  for (const auto& e : errors) EXPECT_EQ(FlushUnsupported(e.error), e.unsupported) << e.error;

  // A pipe has no HID flush either: FlushInput empties it by reading.
  TestPipe pipe;
  ASSERT_TRUE(pipe.device);
  SetLastError(0);
  ASSERT_FALSE(HidD_FlushQueue(static_cast<Win32Device*>(pipe.device.get())->Handle()));
  ASSERT_TRUE(FlushUnsupported(GetLastError())) << "pipe answers " << GetLastError();
  for (uint8_t i = 0; i < 3; ++i) ASSERT_TRUE(pipe.Send(Report(i)));
  EXPECT_TRUE(pipe.device->FlushInput());
  Bytes got;
  EXPECT_EQ(pipe.Read(&got, 100), DeviceStatus::kTimedOut) << "reports left after the flush";

  // On a synchronous handle a read on the empty queue would never return:
  // the fallback refuses instead.
  const std::string path = "\\\\.\\pipe\\" + UniqueName("qk-sync");
  HANDLE server = CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096,
                                   4096, 0, nullptr);
  HANDLE client = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
  ASSERT_NE(client, INVALID_HANDLE_VALUE) << GetLastError();
  std::unique_ptr<Device> sync(new Win32Device(client, false));
  EXPECT_FALSE(sync->FlushInput());
  sync.reset();
  CloseHandle(server);
}

TEST(Win32BackendTest, SharingAndErrorNumbersOfOpens) {
  // A scratch file stands in for a device path: sharing rules and error
  // numbers are the file system's, as for a HID interface.
  char directory[MAX_PATH];
  GetTempPathA(MAX_PATH, directory);
  const std::string file = std::string(directory) + UniqueName("qk-share") + ".tmp";
  CloseHandle(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  DeviceStatus status = DeviceStatus::kFailed;
  const auto open = [&](const std::string& path, ShareMode share, DWORD* error) {
    return std::unique_ptr<Device>(OpenPath(path.c_str(), share, &status, error));
  };
  const ShareMode kS = ShareMode::kShared, kX = ShareMode::kExclusive;
  const struct {
    ShareMode first, second;
    bool opens;
  } cases[] = {{kS, kS, true}, {kS, kX, false}, {kX, kS, false}, {kX, kX, false}};
  for (const auto& c : cases) {
    DWORD error = 0;
    auto holder = open(file, c.first, &error), second = open(file, c.second, &error);
    ASSERT_NE(holder, nullptr) << "error " << error;
    EXPECT_EQ(second != nullptr, c.opens);
    EXPECT_EQ(status, c.opens ? DeviceStatus::kOk : DeviceStatus::kSharingViolation);
    EXPECT_EQ(error, c.opens ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_SHARING_VIOLATION});
    second.reset();
    holder.reset();
    EXPECT_NE(open(file, kX, &error), nullptr) << "the first open's handle was not closed";
  }
  DeleteFileA(file.c_str());
  DWORD error = 0;
  EXPECT_EQ(open(file, ShareMode::kShared, &error), nullptr) << "deleted";
  EXPECT_EQ(status, DeviceStatus::kNotFound) << "system error " << error;
}

TEST(Win32BackendTest, IdentityIsQueriedWithoutAskingForAccess) {
  char directory[MAX_PATH];
  GetTempPathA(MAX_PATH, directory);
  const std::string file = std::string(directory) + UniqueName("qk-query") + ".tmp";
  HANDLE holder = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  // Held exclusively: a read/write open fails, a query open does not, so a
  // token in another process's hands is still recognised (and then reported
  // busy rather than missing).
  DeviceStatus status = DeviceStatus::kOk;
  EXPECT_EQ(OpenPath(file.c_str(), ShareMode::kShared, &status), nullptr);
  EXPECT_EQ(status, DeviceStatus::kSharingViolation);
  HANDLE query = OpenForQuery(file.c_str());
  EXPECT_NE(query, INVALID_HANDLE_VALUE);
  if (query != INVALID_HANDLE_VALUE) CloseHandle(query);
  // Neither a file nor a missing path has a HID identity.
  uint16_t vendor = 0x1111, product = 0x2222;
  for (const std::string& path : {file, file + ".missing"}) {
    EXPECT_EQ(ReadPathIdentity(path.c_str(), &vendor, &product), IdentityStatus::kUnreadable);
  }
  EXPECT_TRUE(vendor == 0x1111 && product == 0x2222) << "identifiers written on failure";
  CloseHandle(holder);
  DeleteFileA(file.c_str());
}

// Names are built and tested portably with the api layer; here only what the
// system adds: one name is one mutex, an abandoned mutex is taken, a name as
// the api builds it is accepted and a bad namespace refused.
TEST(Win32SyncTest, OneNameIsOneMutexAndAbandonedMutexesAreTaken) {
  const std::string name = "Global\\" + UniqueName("RR?Rhid#vid_7a5c&pid_0b21#7&1a2b3c&0&0000");
  std::unique_ptr<NamedMutex> first(CreateNamedMutex(name.c_str()));
  std::unique_ptr<NamedMutex> second(CreateNamedMutex(name.c_str()));
  ASSERT_TRUE(first && second);
  // The owner thread ends without unlocking (a Windows mutex is recursive for
  // its owner, so the test thread must not own it).
  std::thread([&] { ASSERT_TRUE(first->Lock(1000)); }).join();
  EXPECT_TRUE(second->Lock(1000)) << "an abandoned mutex would block every later exchange";
  bool lockedWhileHeld = true;
  std::thread([&] { lockedWhileHeld = first->Lock(50); }).join();
  EXPECT_FALSE(lockedWhileHeld) << "the second handle does not share the first's lock";
  second->Unlock();
  EXPECT_EQ(CreateNamedMutex(("NoSuchNamespace\\" + UniqueName("qk")).c_str()), nullptr);
  uint32_t major = 0, minor = 99;
  EXPECT_TRUE(GetOsVersion(&major, &minor) && major >= 4 && minor < 100);
  EXPECT_STREQ(LockNamespace(), "");  // the api layer adds the system's own prefix
}

}  // namespace
}  // namespace qk::platform::win32
