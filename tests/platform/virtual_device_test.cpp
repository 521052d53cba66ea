#include "platform/virtual/virtual_device.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "platform/virtual/directory.h"
#include "tests/platform/temp_dir.h"

namespace qk::platform::vlink {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using testing::TempDir;

const Bytes kIdentity = {1, 0x7A, 0x5C, 0x0B, 0x21, 0x00, 0x41};

Bytes FrameOf(char type, const Bytes& payload) {
  Bytes out;
  AppendFrame(type, payload.data(), payload.size(), &out);
  return out;
}

void SendRaw(int fd, const Bytes& bytes) {
  ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Reads one frame on the token's side, blocking; type 0 at end of stream.
Frame ReadFrame(int fd) {
  Frame frame;
  uint8_t header[3];
  if (recv(fd, header, 3, MSG_WAITALL) != 3) return frame;
  frame.type = static_cast<char>(header[0]);
  frame.payload.resize((size_t{header[1]} << 8) | header[2]);
  const auto size = static_cast<ssize_t>(frame.payload.size());
  if (size > 0 && recv(fd, frame.payload.data(), frame.payload.size(), MSG_WAITALL) != size) {
    frame.type = 0;
  }
  return frame;
}

// A connection whose token side the test plays by hand. The token's answer
// is queued before the client asks, so no thread is needed.
struct Link {
  int token = -1;
  Socket client;
  std::unique_ptr<Device> device;
  IoEvent* event = nullptr;
  uint32_t error = 0;
  Link() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0) {
      client = Socket::Adopt(pair[0]);
      token = pair[1];
    }
  }
  ~Link() { CloseToken(); }
  void CloseToken() {
    if (token >= 0) close(token);
    token = -1;
  }
  bool Open(const Bytes& answer, ShareMode share = ShareMode::kShared,
            const uint8_t* secret = nullptr, uint32_t timeoutMs = 1000) {
    if (!answer.empty()) SendRaw(token, answer);
    device.reset(Handshake(std::move(client), share, secret, Deadline(timeoutMs), &error));
    if (device) event = device->CreateIoEvent();
    return device != nullptr;
  }
  // An open handle with the open frame already consumed.
  static std::unique_ptr<Link> Opened() {
    auto link = std::make_unique<Link>();
    if (link->Open(FrameOf('I', kIdentity))) ReadFrame(link->token);
    return link;
  }
  IoStatus Read(Bytes* report, uint32_t timeoutMs = 1000) {
    report->assign(kReportSize, 0);
    return device->ReadReport(event, report->data(), timeoutMs);
  }
};

TEST(VirtualHandshake, SendsShareModeAndSecretThenTakesTheIdentity) {
  uint8_t secret[kSecretSize];
  for (size_t i = 0; i < kSecretSize; ++i) secret[i] = static_cast<uint8_t>(i * 7);
  for (const bool exclusive : {false, true}) {
    Link link;
    ASSERT_TRUE(link.Open(FrameOf('I', kIdentity),
                          exclusive ? ShareMode::kExclusive : ShareMode::kShared,
                          exclusive ? secret : nullptr));
    EXPECT_EQ(link.error, 0u);
    Bytes expected = {1, exclusive};
    if (exclusive) expected.insert(expected.end(), secret, secret + kSecretSize);
    const Frame open = ReadFrame(link.token);
    EXPECT_EQ(open.type, 'O');
    EXPECT_EQ(open.payload, expected);
    uint16_t vendor = 0, product = 0, length = 0;
    ASSERT_TRUE(link.device->GetAttributes(&vendor, &product));
    ASSERT_TRUE(link.device->GetFeatureReportLength(&length));
    EXPECT_EQ(vendor, 0x7A5C);
    EXPECT_EQ(product, 0x0B21);
    EXPECT_EQ(length, 65);
    EXPECT_NE(link.device->HandleValue(), 0u);
  }
}

TEST(VirtualHandshake, FailedOpensReportAWindowsErrorInTime) {
  const struct { const char* name; Bytes answer; bool thenClose; uint32_t error; } cases[] = {
      {"sharing violation", FrameOf('E', {0, 0, 0, 32}), false, 32},
      {"wrong secret", FrameOf('E', {0, 0, 0, 5}), false, 5},
      {"refusal naming no error", FrameOf('E', {0, 0, 0, 0}), false, 2},
      {"refusal of wrong size", FrameOf('E', {0, 32}), false, 2},
      {"identity of another version", FrameOf('I', {2, 0x7A, 0x5C, 0x0B, 0x21, 0, 65}), false, 2},
      {"identity too short", FrameOf('I', {1, 0x7A, 0x5C, 0x0B, 0x21, 0}), false, 2},
      {"report before identity", FrameOf('R', Bytes(65, 0)), false, 2},
      {"oversized frame", {'I', 0x04, 0x01}, false, 2},
      {"half an identity, then gone", {'I', 0, 7, 1}, true, 2},
      {"silent token", {}, false, 2},
  };
  for (const auto& c : cases) {
    Link link;
    if (c.thenClose) {
      SendRaw(link.token, c.answer);
      link.CloseToken();
    }
    const auto start = Clock::now();
    EXPECT_FALSE(link.Open(c.thenClose ? Bytes{} : c.answer, ShareMode::kShared, nullptr, 100))
        << c.name;
    EXPECT_LT(Clock::now() - start, milliseconds(1000)) << c.name;
    EXPECT_EQ(link.error, c.error) << c.name;
  }
}

TEST(VirtualDevice, ReportsTravelBothWaysInOrder) {
  auto link = Link::Opened();
  ASSERT_TRUE(link->device);
  for (uint8_t i = 1; i <= 3; ++i) {
    const Bytes report(kReportSize, i);
    ASSERT_EQ(link->device->WriteReport(link->event, report.data(), 1000), IoStatus::kOk);
    SendRaw(link->token, FrameOf('R', Bytes(kReportSize, static_cast<uint8_t>(0x20 + i))));
  }
  Bytes got;
  for (uint8_t i = 1; i <= 3; ++i) {
    const Frame written = ReadFrame(link->token);
    EXPECT_EQ(written.type, 'R');
    EXPECT_EQ(written.payload, Bytes(kReportSize, i));
    ASSERT_EQ(link->Read(&got), IoStatus::kOk);
    EXPECT_EQ(got, Bytes(kReportSize, static_cast<uint8_t>(0x20 + i)));
  }
  link->device->CloseIoEvent(link->event);
}

TEST(VirtualDevice, ReadTimesOutAndKeepsAPartialFrame) {
  auto link = Link::Opened();
  ASSERT_TRUE(link->device);
  const Bytes frame = FrameOf('R', Bytes(kReportSize, 0x33));
  SendRaw(link->token, Bytes(frame.begin(), frame.begin() + 20));
  Bytes got;
  const auto start = Clock::now();
  EXPECT_EQ(link->Read(&got, 60), IoStatus::kTimedOut);
  EXPECT_GE(Clock::now() - start, milliseconds(55));
  SendRaw(link->token, Bytes(frame.begin() + 20, frame.end()));
  ASSERT_EQ(link->Read(&got), IoStatus::kOk);
  EXPECT_EQ(got, Bytes(kReportSize, 0x33));
}

TEST(VirtualDevice, HostileFramesOrAClosedTokenBreakTheConnection) {
  const struct { const char* name; Bytes bytes; } cases[] = {
      {"oversized length", {'R', 0xFF, 0xFF}},
      {"report of 64 bytes", FrameOf('R', Bytes(64, 0))},
      {"identity after open", FrameOf('I', kIdentity)},
      {"open from the token", FrameOf('O', {1, 0})},
      {"unknown type", {'Q', 0, 1, 0}},
      {"closed after a report", {}},
  };
  for (const auto& c : cases) {
    auto link = Link::Opened();
    ASSERT_TRUE(link->device);
    Bytes got;
    if (c.bytes.empty()) {
      SendRaw(link->token, FrameOf('R', Bytes(kReportSize, 5)));
      link->CloseToken();
      EXPECT_EQ(link->Read(&got), IoStatus::kOk);  // what came before the close counts
    } else {
      SendRaw(link->token, c.bytes);
    }
    EXPECT_EQ(link->Read(&got), IoStatus::kFailed) << c.name;
    // Nothing after it is believed (the client has hung up), and writes fail too.
    const Bytes good = FrameOf('R', Bytes(kReportSize, 1));
    send(link->token, good.data(), good.size(), MSG_NOSIGNAL);
    EXPECT_EQ(link->Read(&got), IoStatus::kFailed) << c.name;
    EXPECT_EQ(link->device->WriteReport(link->event, got.data(), 100), IoStatus::kFailed) << c.name;
  }
}

TEST(VirtualDevice, FlushDiscardsArrivedFramesAndIsBounded) {
  auto link = Link::Opened();
  ASSERT_TRUE(link->device);
  for (uint8_t i = 0; i < 3; ++i) SendRaw(link->token, FrameOf('R', Bytes(kReportSize, i)));
  // A fourth frame has begun; flushing reads it to its end.
  const Bytes fourth = FrameOf('R', Bytes(kReportSize, 3));
  SendRaw(link->token, Bytes(fourth.begin(), fourth.begin() + 30));
  std::thread rest([&] {
    std::this_thread::sleep_for(milliseconds(50));
    SendRaw(link->token, Bytes(fourth.begin() + 30, fourth.end()));
  });
  EXPECT_TRUE(link->device->FlushInput());
  rest.join();
  SendRaw(link->token, FrameOf('R', Bytes(kReportSize, 9)));
  Bytes got;
  ASSERT_EQ(link->Read(&got), IoStatus::kOk);
  EXPECT_EQ(got, Bytes(kReportSize, 9));
  // A frame that stalls halfway: the flush gives up in time and the link is dropped.
  SendRaw(link->token, {'R', 0, 65, 1, 2});
  const auto start = Clock::now();
  EXPECT_TRUE(link->device->FlushInput());
  EXPECT_LT(Clock::now() - start, milliseconds(kPartialFrameWaitMs + 500));
  EXPECT_EQ(link->Read(&got, 50), IoStatus::kFailed);
}

// ---- The token directory: listing and trust checks (opens that succeed run
// end to end in the link server's tests). ----

int ListenUnix(const std::string& path) {
  const int s = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  chmod(path.c_str(), 0700);
  listen(s, 4);
  return s;
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path) << text;
  chmod(path.c_str(), mode);
}

TEST(TokenDirectory, UntrustedOrBrokenEntriesAreRefused) {
  const std::string tcp = "port 9\nsecret " + std::string(64, '0') + "\n";
  using Make = std::function<void(const TempDir&)>;
  const auto tcpFile = [&](const std::string& text, mode_t mode) -> Make {
    return [=](const TempDir& d) { WriteFile(d / "a.tcp", text, mode); };
  };
  const struct { const char* name; const char* file; Make make; uint32_t error; } cases[] = {
      {".tcp readable by others", "a.tcp", tcpFile(tcp, 0644), 5},
      {".tcp writable by group", "a.tcp", tcpFile(tcp, 0620), 5},
      {".tcp through a symbolic link", "a.tcp",
       [&](const TempDir& d) {
         WriteFile(d / "real", tcp);
         symlink((d / "real").c_str(), (d / "a.tcp").c_str());
       }, 5},
      {"directory writable by others", "a.tcp",
       [&](const TempDir& d) {
         WriteFile(d / "a.tcp", tcp);
         chmod(d.path().c_str(), 0777);
       }, 5},
      {".sock that is a regular file", "a.sock", [](const TempDir& d) { WriteFile(d / "a.sock", ""); }, 5},
      {".sock writable by others", "a.sock",
       [](const TempDir& d) {
         close(ListenUnix(d / "a.sock"));
         chmod((d / "a.sock").c_str(), 0777);
       }, 5},
      {"missing entry", "a.sock", [](const TempDir&) {}, 2},
      {"malformed .tcp", "a.tcp", tcpFile("port x\n", 0600), 2},
      {"oversized .tcp", "a.tcp", tcpFile(tcp + std::string(2000, '\n'), 0600), 2},
      {"stale socket", "a.sock", [](const TempDir& d) { close(ListenUnix(d / "a.sock")); }, 2},
  };
  for (const auto& c : cases) {
    TempDir dir;
    c.make(dir);
    uint32_t error = 0;
    const std::string path = kPathPrefix + (dir / c.file);
    EXPECT_EQ(OpenVirtualDevice(path.c_str(), ShareMode::kShared, &error), nullptr) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
}

TEST(TokenDirectory, ListsEntriesInByteOrderWithinThePathLimit) {
  TempDir dir;
  const std::string base = kPathPrefix + dir.path() + "/";
  const std::string fits(kMaxInterfacePath - base.size() - 5, 'f');
  const std::string tooLong = fits + "l";
  for (const char* name : {"b.tcp", "a.sock", "B.sock", "a10.tcp", "a2.tcp", "notes.txt", ".sock",
                           "c.socket", "d.tcpx"}) {
    WriteFile(dir / name, "");
  }
  WriteFile(dir / (fits + ".sock"), "");
  WriteFile(dir / (tooLong + ".sock"), "");
  const std::vector<std::string> expected = {base + "B.sock", base + "a.sock", base + "a10.tcp",
                                             base + "a2.tcp", base + "b.tcp", base + fits + ".sock"};
  EXPECT_EQ(ListVirtualPaths(dir.path()), expected);
  EXPECT_EQ(ListVirtualPaths(dir.path() + "/"), expected);
  EXPECT_EQ(expected.back().size(), kMaxInterfacePath);
  EXPECT_TRUE(ListVirtualPaths(dir / "missing").empty());
}

}  // namespace
}  // namespace qk::platform::vlink
