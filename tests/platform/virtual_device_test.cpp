#include "platform/virtual/virtual_device.h"

#include <arpa/inet.h>
#include <netinet/in.h>
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
using testing::TempDir;

const Bytes kIdentity = {1, 0x7A, 0x5C, 0x0B, 0x21, 0x00, 0x41};

Bytes FrameOf(char type, const Bytes& payload) {
  Bytes out;
  AppendFrame(type, payload.data(), payload.size(), &out);
  return out;
}

void SendRaw(int fd, const Bytes& bytes) {
  ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

// Reads one frame from the token's side, blocking; type 0 at end of stream.
Frame ReadFrame(int fd) {
  Frame frame;
  uint8_t header[3];
  if (recv(fd, header, 3, MSG_WAITALL) != 3) return frame;
  frame.type = static_cast<char>(header[0]);
  frame.payload.resize((size_t{header[1]} << 8) | header[2]);
  if (!frame.payload.empty() &&
      recv(fd, frame.payload.data(), frame.payload.size(), MSG_WAITALL) !=
          static_cast<ssize_t>(frame.payload.size())) {
    frame.type = 0;
  }
  return frame;
}

// A connection whose token side the test plays by hand.
struct Link {
  int token = -1;
  Socket client;
  Link() {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0) {
      client = Socket::Adopt(pair[0]);
      token = pair[1];
    }
  }
  ~Link() {
    if (token >= 0) close(token);
  }
  void CloseToken() {
    close(token);
    token = -1;
  }
};

// The token's answer is queued before the client asks, so no thread is needed.
std::unique_ptr<Device> OpenWithAnswer(Link& link, const Bytes& answer, uint32_t* error,
                                       ShareMode share = ShareMode::kShared,
                                       uint32_t timeoutMs = 1000) {
  if (!answer.empty()) SendRaw(link.token, answer);
  return std::unique_ptr<Device>(
      Handshake(std::move(link.client), share, nullptr, Deadline(timeoutMs), error));
}

TEST(VirtualHandshake, SendsOpenAndTakesIdentity) {
  for (ShareMode share : {ShareMode::kShared, ShareMode::kExclusive}) {
    Link link;
    uint32_t error = 99;
    auto device = OpenWithAnswer(link, FrameOf('I', kIdentity), &error, share);
    ASSERT_TRUE(device);
    EXPECT_EQ(error, 0u);
    const Frame open = ReadFrame(link.token);
    EXPECT_EQ(open.type, 'O');
    EXPECT_EQ(open.payload, (Bytes{1, static_cast<uint8_t>(share == ShareMode::kExclusive)}));
    uint16_t vendor = 0, product = 0, length = 0;
    ASSERT_TRUE(device->GetAttributes(&vendor, &product));
    ASSERT_TRUE(device->GetFeatureReportLength(&length));
    EXPECT_EQ(vendor, 0x7A5C);
    EXPECT_EQ(product, 0x0B21);
    EXPECT_EQ(length, 65);
    EXPECT_NE(device->HandleValue(), 0u);
  }
}

TEST(VirtualHandshake, CarriesTheSecretForTcp) {
  Link link;
  SendRaw(link.token, FrameOf('I', kIdentity));
  uint8_t secret[kSecretSize];
  for (size_t i = 0; i < kSecretSize; ++i) secret[i] = static_cast<uint8_t>(i * 7);
  uint32_t error = 0;
  std::unique_ptr<Device> device(Handshake(std::move(link.client), ShareMode::kExclusive, secret,
                                           Deadline(1000), &error));
  ASSERT_TRUE(device);
  const Frame open = ReadFrame(link.token);
  ASSERT_EQ(open.payload.size(), 2 + kSecretSize);
  EXPECT_EQ(open.payload[1], 1);
  EXPECT_EQ(0, std::memcmp(open.payload.data() + 2, secret, kSecretSize));
}

TEST(VirtualHandshake, FailedOpensReportAWindowsError) {
  const struct {
    const char* name;
    Bytes answer;
    uint32_t error;
  } cases[] = {
      {"sharing violation", FrameOf('E', {0, 0, 0, 32}), 32},
      {"wrong secret", FrameOf('E', {0, 0, 0, 5}), 5},
      {"refusal naming no error", FrameOf('E', {0, 0, 0, 0}), 2},
      {"refusal of wrong size", FrameOf('E', {0, 32}), 2},
      {"identity of another version", FrameOf('I', {2, 0x7A, 0x5C, 0x0B, 0x21, 0, 65}), 2},
      {"identity too short", FrameOf('I', {1, 0x7A, 0x5C, 0x0B, 0x21, 0}), 2},
      {"report before identity", FrameOf('R', Bytes(65, 0)), 2},
      {"oversized frame", {'I', 0x04, 0x01}, 2},
      {"unknown type", {'Z', 0, 0}, 2},
  };
  for (const auto& c : cases) {
    Link link;
    uint32_t error = 0;
    EXPECT_FALSE(OpenWithAnswer(link, c.answer, &error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
}

TEST(VirtualHandshake, SilentOrClosingTokenFailsInTime) {
  {
    Link link;
    uint32_t error = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(OpenWithAnswer(link, {}, &error, ShareMode::kShared, 100));
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(1000));
    EXPECT_EQ(error, 2u);
  }
  {
    Link link;
    SendRaw(link.token, {'I', 0, 7, 1});  // half an identity, then gone
    link.CloseToken();
    uint32_t error = 0;
    EXPECT_FALSE(OpenWithAnswer(link, {}, &error));
    EXPECT_EQ(error, 2u);
  }
}

struct OpenLink : Link {
  std::unique_ptr<Device> device;
  IoEvent* event = nullptr;
  OpenLink() {
    uint32_t error = 0;
    device = OpenWithAnswer(*this, FrameOf('I', kIdentity), &error);
    if (device) event = device->CreateIoEvent();
    ReadFrame(token);  // the open frame
  }
  IoStatus Read(Bytes* report, uint32_t timeoutMs = 1000) {
    report->assign(kReportSize, 0);
    return device->ReadReport(event, report->data(), timeoutMs);
  }
};

TEST(VirtualDevice, ReportsTravelBothWays) {
  OpenLink link;
  ASSERT_TRUE(link.device);
  Bytes report(kReportSize, 0x11);
  report[0] = 0;
  ASSERT_EQ(link.device->WriteReport(link.event, report.data(), 1000), IoStatus::kOk);
  const Frame written = ReadFrame(link.token);
  EXPECT_EQ(written.type, 'R');
  EXPECT_EQ(written.payload, report);

  SendRaw(link.token, FrameOf('R', Bytes(kReportSize, 0x22)));
  Bytes got;
  ASSERT_EQ(link.Read(&got), IoStatus::kOk);
  EXPECT_EQ(got, Bytes(kReportSize, 0x22));
  link.device->CloseIoEvent(link.event);
}

TEST(VirtualDevice, ReadTimesOutAndKeepsAPartialFrame) {
  OpenLink link;
  ASSERT_TRUE(link.device);
  const Bytes frame = FrameOf('R', Bytes(kReportSize, 0x33));
  SendRaw(link.token, Bytes(frame.begin(), frame.begin() + 20));
  Bytes got;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(link.Read(&got, 60), IoStatus::kTimedOut);
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(55));
  // The rest arrives later: the stream is still in step.
  SendRaw(link.token, Bytes(frame.begin() + 20, frame.end()));
  ASSERT_EQ(link.Read(&got), IoStatus::kOk);
  EXPECT_EQ(got, Bytes(kReportSize, 0x33));
}

TEST(VirtualDevice, HostileFramesBreakTheConnection) {
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"oversized length", {'R', 0xFF, 0xFF}},
      {"report of 64 bytes", FrameOf('R', Bytes(64, 0))},
      {"identity after open", FrameOf('I', kIdentity)},
      {"open from the token", FrameOf('O', {1, 0})},
      {"unknown type", {'Q', 0, 1, 0}},
  };
  for (const auto& c : cases) {
    OpenLink link;
    ASSERT_TRUE(link.device);
    SendRaw(link.token, c.bytes);
    Bytes got;
    EXPECT_EQ(link.Read(&got), IoStatus::kFailed) << c.name;
    // Nothing after it is believed (the client has hung up), and writes fail too.
    const Bytes good = FrameOf('R', Bytes(kReportSize, 1));
    send(link.token, good.data(), good.size(), MSG_NOSIGNAL);
    EXPECT_EQ(link.Read(&got), IoStatus::kFailed) << c.name;
    EXPECT_EQ(link.device->WriteReport(link.event, got.data(), 100), IoStatus::kFailed) << c.name;
  }
}

TEST(VirtualDevice, ClosedConnectionFailsEveryLaterCall) {
  OpenLink link;
  ASSERT_TRUE(link.device);
  SendRaw(link.token, FrameOf('R', Bytes(kReportSize, 5)));
  link.CloseToken();
  Bytes got;
  // What arrived before the close is still delivered.
  ASSERT_EQ(link.Read(&got), IoStatus::kOk);
  EXPECT_EQ(link.Read(&got), IoStatus::kFailed);
  EXPECT_TRUE(link.device->FlushInput());
  EXPECT_EQ(link.device->WriteReport(link.event, got.data(), 100), IoStatus::kFailed);
}

TEST(VirtualDevice, FlushDiscardsWhatHasArrived) {
  OpenLink link;
  ASSERT_TRUE(link.device);
  for (uint8_t i = 0; i < 3; ++i) SendRaw(link.token, FrameOf('R', Bytes(kReportSize, i)));
  // A fourth frame has begun; flushing reads it to its end.
  const Bytes fourth = FrameOf('R', Bytes(kReportSize, 3));
  SendRaw(link.token, Bytes(fourth.begin(), fourth.begin() + 30));
  std::thread rest([&] {
    std::this_thread::sleep_for(milliseconds(50));
    SendRaw(link.token, Bytes(fourth.begin() + 30, fourth.end()));
  });
  EXPECT_TRUE(link.device->FlushInput());
  rest.join();
  SendRaw(link.token, FrameOf('R', Bytes(kReportSize, 9)));
  Bytes got;
  ASSERT_EQ(link.Read(&got), IoStatus::kOk);
  EXPECT_EQ(got, Bytes(kReportSize, 9));
}

TEST(VirtualDevice, FlushGivesUpOnAStalledFrame) {
  OpenLink link;
  ASSERT_TRUE(link.device);
  SendRaw(link.token, {'R', 0, 65, 1, 2});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(link.device->FlushInput());
  EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(kPartialFrameWaitMs + 500));
  Bytes got;
  EXPECT_EQ(link.Read(&got, 50), IoStatus::kFailed);
}

// ---- Opening through the directory: trust checks and real sockets. ----

class TokenDirectory : public ::testing::Test {
 public:
  void SetUp() override { chmod(dir.path().c_str(), 0700); }

  // Serves one connection on `listener`: reads the open frame, answers.
  void ServeOnce(int listener, Bytes answer) {
    server = std::thread([this, listener, answer] {
      const int conn = accept(listener, nullptr, nullptr);
      if (conn < 0) return;
      received = ReadFrame(conn);
      send(conn, answer.data(), answer.size(), MSG_NOSIGNAL);
      ReadFrame(conn);  // until the client closes
      close(conn);
    });
  }
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
  int ListenTcp(uint16_t* port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(s, reinterpret_cast<sockaddr*>(&address), size) != 0) return -1;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &size);
    *port = ntohs(address.sin_port);
    listen(s, 4);
    return s;
  }
  std::unique_ptr<Device> Open(const std::string& entry, uint32_t* error,
                               ShareMode share = ShareMode::kShared) {
    const std::string path = std::string(kPathPrefix) + entry;
    return std::unique_ptr<Device>(OpenVirtualDevice(path.c_str(), share, error));
  }
  void WriteFile(const std::string& path, const std::string& text, mode_t mode) {
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
  }
  void TearDown() override {
    if (server.joinable()) server.join();
  }

  TempDir dir;
  std::thread server;
  Frame received;
};

TEST_F(TokenDirectory, OpensUnixSocketEntry) {
  const std::string entry = dir / "t0.sock";
  const int listener = ListenUnix(entry);
  ASSERT_GE(listener, 0);
  ServeOnce(listener, FrameOf('I', kIdentity));
  uint32_t error = 0;
  auto device = Open(entry, &error, ShareMode::kExclusive);
  ASSERT_TRUE(device) << error;
  device.reset();
  server.join();
  EXPECT_EQ(received.payload, (Bytes{1, 1}));
  close(listener);
}

TEST_F(TokenDirectory, OpensTcpEntryWithItsSecret) {
  uint16_t port = 0;
  const int listener = ListenTcp(&port);
  ASSERT_GE(listener, 0);
  const std::string entry = dir / "t1.tcp";
  WriteFile(entry, "port " + std::to_string(port) + "\nsecret " + std::string(64, 'f') + "\n",
            0600);
  ServeOnce(listener, FrameOf('E', {0, 0, 0, 32}));
  uint32_t error = 0;
  EXPECT_FALSE(Open(entry, &error));
  EXPECT_EQ(error, 32u);
  server.join();
  ASSERT_EQ(received.payload.size(), 34u);
  EXPECT_EQ(received.payload[2], 0xFF);
  EXPECT_EQ(received.payload[33], 0xFF);
  close(listener);
}

TEST_F(TokenDirectory, UntrustedEntriesAreRefused) {
  const std::string secretText = "port 9\nsecret " + std::string(64, '0') + "\n";
  using Make = std::function<std::string(TokenDirectory&, const TempDir&)>;
  const auto tcpFile = [secretText](mode_t mode) -> Make {
    return [secretText, mode](TokenDirectory& t, const TempDir& d) {
      t.WriteFile(d / "a.tcp", secretText, mode);
      return d / "a.tcp";
    };
  };
  const struct {
    const char* name;
    Make make;  // returns the entry path
    uint32_t error;
  } cases[] = {
      {".tcp readable by others", tcpFile(0644), 5},
      {".tcp writable by group", tcpFile(0620), 5},
      {".tcp through a symbolic link",
       [&](TokenDirectory& t, const TempDir& d) {
         t.WriteFile(d / "real", secretText, 0600);
         symlink((d / "real").c_str(), (d / "a.tcp").c_str());
         return d / "a.tcp";
       },
       5},
      {"directory writable by others",
       [&](TokenDirectory& t, const TempDir& d) {
         t.WriteFile(d / "a.tcp", secretText, 0600);
         chmod(d.path().c_str(), 0777);
         return d / "a.tcp";
       },
       5},
      {".sock that is a regular file",
       [](TokenDirectory& t, const TempDir& d) {
         t.WriteFile(d / "a.sock", "", 0600);
         return d / "a.sock";
       },
       5},
      {".sock writable by others",
       [](TokenDirectory& t, const TempDir& d) {
         close(t.ListenUnix(d / "a.sock"));
         chmod((d / "a.sock").c_str(), 0777);
         return d / "a.sock";
       },
       5},
      {"missing entry", [](TokenDirectory&, const TempDir& d) { return d / "none.sock"; }, 2},
      {"malformed .tcp",
       [](TokenDirectory& t, const TempDir& d) {
         t.WriteFile(d / "a.tcp", "port x\n", 0600);
         return d / "a.tcp";
       },
       2},
      {"oversized .tcp",
       [&](TokenDirectory& t, const TempDir& d) {
         t.WriteFile(d / "a.tcp", secretText + std::string(2000, '\n'), 0600);
         return d / "a.tcp";
       },
       2},
      {"stale socket nobody listens on",
       [](TokenDirectory& t, const TempDir& d) {
         close(t.ListenUnix(d / "a.sock"));
         return d / "a.sock";
       },
       2},
  };
  for (const auto& c : cases) {
    TempDir fresh;
    chmod(fresh.path().c_str(), 0700);
    const std::string entry = c.make(*this, fresh);
    uint32_t error = 0;
    EXPECT_FALSE(Open(entry, &error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
}

TEST_F(TokenDirectory, ListsEntriesInByteOrder) {
  for (const char* name : {"b.tcp", "a.sock", "B.sock", "a10.tcp", "a2.tcp", "notes.txt",
                           ".sock", "c.socket", "d.tcpx"}) {
    WriteFile(dir / name, "", 0600);
  }
  const std::string base = std::string(kPathPrefix) + dir.path() + "/";
  const std::vector<std::string> expected = {base + "B.sock", base + "a.sock", base + "a10.tcp",
                                             base + "a2.tcp", base + "b.tcp"};
  EXPECT_EQ(ListVirtualPaths(dir.path()), expected);
  EXPECT_EQ(ListVirtualPaths(dir.path() + "/"), expected);
  EXPECT_TRUE(ListVirtualPaths(dir / "missing").empty());
}

TEST_F(TokenDirectory, SkipsPathsTooLongForTheDeviceTable) {
  const std::string base = std::string(kPathPrefix) + dir.path() + "/";
  const std::string fits(kMaxInterfacePath - base.size() - 5, 'f');
  const std::string tooLong(kMaxInterfacePath - base.size() - 4, 'l');
  WriteFile(dir / (fits + ".sock"), "", 0600);
  WriteFile(dir / (tooLong + ".sock"), "", 0600);
  const auto paths = ListVirtualPaths(dir.path());
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0].size(), kMaxInterfacePath);
}

}  // namespace
}  // namespace qk::platform::vlink
