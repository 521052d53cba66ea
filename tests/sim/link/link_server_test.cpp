// The link server end to end: a token served in this process, reached through
// the library's own listing, open and command calls over the virtual link.
#include "sim/link/link_server.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "include/qktoken.h"
#include "platform/virtual/directory.h"
#include "platform/virtual/frame.h"
#include "platform/virtual/virtual_device.h"
#include "transport/exchange.h"

namespace qksim::link {
namespace {

namespace vlink = qk::platform::vlink;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using qk::platform::ShareMode;
using DevicePtr = std::unique_ptr<qk::platform::Device>;

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "qklink-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    setenv("QKTOKEN_VIRTUAL_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    QKCloseDevice(&context_);
    servers_.clear();
    qk::ResetTimeLimitsForTesting();
    unsetenv("QKTOKEN_VIRTUAL_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  LinkServer* Serve(bool tcp = false, const Identity& identity = Identity{}) {
    LinkOptions options;
    options.directory = dir_;
    options.tcp = tcp;
    options.identity = identity;
    servers_.push_back(std::make_unique<LinkServer>(token_, options));
    std::string error;
    EXPECT_TRUE(servers_.back()->Start(&error)) << error;
    return servers_.back().get();
  }
  static uint32_t ListedCount() {
    uint32_t count = 0;
    QKListDevices(nullptr, &count);
    return count;
  }
  // Lists and opens the first token into context_ (closed at tear-down).
  uint32_t OpenFirst() {
    uint32_t count = 1;
    const uint32_t rc = QKListDevices(&context_, &count);
    return rc != QK_E_SUCCESS ? rc : count != 1 ? QK_E_NO_DEVICE_LIST : QKOpenDevice(&context_);
  }
  uint32_t Verify(const char* pin = "60719283") {
    return QKVerifyPin(&context_, reinterpret_cast<const uint8_t*>(pin), 8, QK_PIN_USER);
  }
  DevicePtr OpenRaw(LinkServer* server, ShareMode mode, uint32_t* error) {
    const std::string path = vlink::kPathPrefix + server->EntryPath();
    return DevicePtr(vlink::OpenVirtualDevice(path.c_str(), mode, error));
  }

  std::string dir_;
  Token token_;
  std::vector<std::unique_ptr<LinkServer>> servers_;
  QKContext context_ = {};
};

class LinkKinds : public LinkTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LinkKinds, DriverScenarioRunsEndToEnd) {
  LinkServer* server = Serve(GetParam());
  struct stat info;
  ASSERT_EQ(lstat(server->EntryPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u) << "the entry is private";
  LinkOptions options;  // a second server for the same name is refused
  options.directory = dir_;
  options.tcp = GetParam();
  LinkServer second(token_, options);
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("already served"), std::string::npos) << error;
  EXPECT_EQ(ListedCount(), 1u);
  ASSERT_EQ(OpenFirst(), QK_E_SUCCESS);
  EXPECT_EQ(server->OpenConnections(), 1u);
  EXPECT_EQ(Verify(), QK_E_SUCCESS);
  const uint8_t input[] = {0x00, 0x05, 0x00, 0x08};
  uint8_t output[16] = {};
  uint32_t length = 0;
  ASSERT_EQ(QKExecute(&context_, "0001", input, sizeof input, output, sizeof output, &length), QK_E_SUCCESS);
  EXPECT_EQ(Bytes(output, output + length), (Bytes{0x00, 0x0D}));
  EXPECT_EQ(QKCloseDevice(&context_), QK_E_SUCCESS);
  server->Stop();
  EXPECT_EQ(ListedCount(), 0u) << "the entry goes away on stop";
}

INSTANTIATE_TEST_SUITE_P(LocalAndTcp, LinkKinds, ::testing::Bool(),
                         [](const auto& param) { return param.param ? "Tcp" : "Local"; });

TEST_F(LinkTest, OnlyTheTokensIdentityIsListed) {
  const struct {
    const char* what;
    Identity identity;
    uint32_t listed;
  } cases[] = {
      {"token", {0x7A5C, 0x0B21, 65}, 1},
      {"64-byte feature report", {0x7A5C, 0x0B21, 64}, 0},
      {"foreign vendor", {0x1234, 0x0B21, 65}, 0},
      {"foreign product", {0x7A5C, 0x0B22, 65}, 0},
  };
  for (const auto& c : cases) {
    Serve(false, c.identity);
    EXPECT_EQ(ListedCount(), c.listed) << c.what;
    servers_.clear();
  }
}

TEST_F(LinkTest, ShareModesAndBroadcastAnswers) {
  EXPECT_EQ(ListedCount(), 0u);
  LinkServer* server = Serve();
  const uint32_t kViolation = qk::platform::kErrorSharingViolation;
  const struct {
    ShareMode first, second;
    uint32_t secondError;
  } cases[] = {
      {ShareMode::kShared, ShareMode::kShared, 0},
      {ShareMode::kShared, ShareMode::kExclusive, kViolation},
      {ShareMode::kExclusive, ShareMode::kShared, kViolation},
  };
  const auto waitIdle = [server] {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (server->OpenConnections() != 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  for (const auto& c : cases) {
    waitIdle();
    uint32_t error = 0;
    DevicePtr first = OpenRaw(server, c.first, &error);
    ASSERT_NE(first, nullptr);
    DevicePtr second = OpenRaw(server, c.second, &error);
    EXPECT_EQ(second != nullptr, c.secondError == 0);
    EXPECT_EQ(error, c.secondError);
    if (c.first == ShareMode::kExclusive) {
      uint32_t count = 0;
      EXPECT_EQ(QKListDevices(nullptr, &count), QK_E_SHARING_VIOLATION) << "an exclusive holder hides it";
    }
    if (second != nullptr) {  // an answer goes to every open handle alike
      std::array<uint8_t, 65> request{0, 0x00, 0x06, 0x00, 0x00, 0x00, 0x06, 0x00, 0x47, 0x47, 0x4B};
      ASSERT_EQ(first->WriteReport(nullptr, request.data(), 1000), qk::platform::IoStatus::kOk);
      for (int i = 0; i < 2; ++i) {  // the 66-byte plain answer is two reports
        uint8_t mine[65], theirs[65];
        ASSERT_EQ(first->ReadReport(nullptr, mine, 1000), qk::platform::IoStatus::kOk);
        ASSERT_EQ(second->ReadReport(nullptr, theirs, 1000), qk::platform::IoStatus::kOk);
        EXPECT_EQ(std::memcmp(mine, theirs, sizeof mine), 0);
        EXPECT_EQ(mine[2], 66) << "total length";
      }
      uint8_t extra[65];
      EXPECT_EQ(second->ReadReport(nullptr, extra, 100), qk::platform::IoStatus::kTimedOut);
    }
    second.reset();
    first.reset();
    waitIdle();
    EXPECT_NE(OpenRaw(server, c.second, &error), nullptr) << "free again once the first is gone";
  }
}

// ---- Hostile peers ------------------------------------------------------------

// Sends `bytes` on a fresh connection; true when the server closes it in time.
// *received gets what it answered first.
bool ServerHangsUp(int fd, const Bytes& bytes, int ms, Bytes* received) {
  if (fd < 0 || send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
    if (fd >= 0) close(fd);
    return false;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    uint8_t buffer[512];
    const ssize_t n = left > 0 && poll(&p, 1, static_cast<int>(left)) > 0 ? recv(fd, buffer, sizeof buffer, 0) : -2;
    if (n > 0) received->insert(received->end(), buffer, buffer + n);
    if (n <= 0) {
      close(fd);
      return n != -2;
    }
  }
}

int ConnectLocal(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : (close(fd), -1);
}

Bytes Frame(char type, Bytes payload) {
  Bytes out;
  vlink::AppendFrame(type, payload.data(), payload.size(), &out);
  return out;
}

TEST_F(LinkTest, HostileFramesCloseTheConnection) {
  const Bytes open = Frame('O', {1, 0});
  const struct {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"unknown type", {'X', 0, 0}},
      {"length above 1024", {'O', 0x04, 0x01}},
      {"report of 64 bytes", [&] { Bytes b = open; for (uint8_t x : Frame('R', Bytes(64, 0))) b.push_back(x); return b; }()},
      {"report before open", Frame('R', Bytes(65, 0))},
      {"open of wrong version", Frame('O', {2, 0})},
      {"open with bad share mode", Frame('O', {1, 7})},
      {"second open", [&] { Bytes b = open; b.insert(b.end(), open.begin(), open.end()); return b; }()},
      {"silent opener", {}},  // dropped after its limit
  };
  LinkServer* server = Serve();
  for (const auto& c : cases) {
    Bytes received;
    EXPECT_TRUE(ServerHangsUp(ConnectLocal(server->EntryPath()), c.bytes,
                              static_cast<int>(kOpenFrameWaitMs) + 2000, &received)) << c.what;
  }
  ASSERT_EQ(OpenFirst(), QK_E_SUCCESS) << "well-behaved clients are still served";
  EXPECT_EQ(server->OpenConnections(), 1u) << "and no session leaked";
}

TEST_F(LinkTest, WrongTcpSecretIsRefusedWithAccessDenied) {
  LinkServer* server = Serve(true);
  std::ifstream file(server->EntryPath());
  std::stringstream text;
  text << file.rdbuf();
  vlink::TcpEndpoint endpoint;
  ASSERT_TRUE(vlink::ParseTcpFile(text.str().data(), text.str().size(), &endpoint));
  for (const size_t secretBytes : {size_t{0}, vlink::kSecretSize}) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(endpoint.port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    Bytes payload = {1, 0};
    payload.insert(payload.end(), endpoint.secret, endpoint.secret + secretBytes);
    if (secretBytes > 0) payload.back() ^= 1;  // one bit off
    Bytes received;
    EXPECT_TRUE(ServerHangsUp(fd, Frame('O', payload), 2000, &received));
    EXPECT_EQ(received, Frame('E', {0, 0, 0, 5})) << secretBytes;
  }
}

TEST_F(LinkTest, SilenceKeepsTheCommandFromRunningADroppedAnswerDoesNot) {
  LinkServer* server = Serve();
  ASSERT_EQ(OpenFirst(), QK_E_SUCCESS);
  qk::SetTimeLimitsForTesting(qk::TimeLimits{2000, 500, 400, 400});
  const uint32_t first = Verify("00000000");
  ASSERT_EQ(first, QK_E_WRONG_PIN + 14);
  for (const char* spec : {"silent@1", "drop@1"}) {
    FaultRule rule;
    std::string error;
    ASSERT_TRUE(ParseFaultSpec(spec, &rule, &error)) << error;
    server->Faults().Add(rule);
    EXPECT_EQ(Verify("00000000"), QK_E_COMMUNICATION) << spec;
  }
  EXPECT_EQ(Verify("00000000"), first - 2) << "only the attempt whose answer was lost cost a try";
  EXPECT_EQ(Verify(), QK_E_SUCCESS);
}

}  // namespace
}  // namespace qksim::link
