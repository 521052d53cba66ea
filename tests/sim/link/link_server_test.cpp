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

#include <cctype>
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
using qk::platform::ShareMode;

const uint8_t kUserPin[] = {'6', '0', '7', '1', '9', '2', '8', '3'};
constexpr qk::TimeLimits kShortLimits{2000, 500, 400, 400};

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "qklink-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    setenv("QKTOKEN_VIRTUAL_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    for (QKContext& c : open_) QKCloseDevice(&c);
    servers_.clear();
    qk::ResetTimeLimitsForTesting();
    unsetenv("QKTOKEN_VIRTUAL_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  LinkServer* Serve(const std::string& name = "token0", bool tcp = false,
                    const Identity& identity = Identity{}) {
    LinkOptions options;
    options.directory = dir_;
    options.name = name;
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

  // Lists and opens the first token; the context is closed at tear-down.
  uint32_t OpenFirst(QKContext** context) {
    uint32_t count = 1;
    QKContext listed[1] = {};
    const uint32_t rc = QKListDevices(listed, &count);
    if (rc != QK_E_SUCCESS) return rc;
    if (count != 1) return QK_E_NO_DEVICE_LIST;
    open_.push_back(listed[0]);
    *context = &open_.back();
    return QKOpenDevice(*context);
  }

  static uint32_t Verify(QKContext* context) {
    return QKVerifyPin(context, kUserPin, sizeof kUserPin, QK_PIN_USER);
  }

  std::string dir_;
  Token token_;
  std::vector<std::unique_ptr<LinkServer>> servers_;
  std::vector<QKContext> open_ = std::vector<QKContext>();

 public:
  LinkTest() { open_.reserve(8); }
};

class LinkKinds : public LinkTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LinkKinds, DriverScenarioRunsEndToEnd) {
  LinkServer* server = Serve("token0", GetParam());
  QKContext* token = nullptr;
  ASSERT_EQ(OpenFirst(&token), QK_E_SUCCESS);
  EXPECT_EQ(server->OpenConnections(), 1u);
  EXPECT_EQ(Verify(token), QK_E_SUCCESS);
  const uint8_t input[] = {0x00, 0x05, 0x00, 0x08};
  uint8_t output[16] = {};
  uint32_t length = 0;
  ASSERT_EQ(QKExecute(token, "0001", input, sizeof input, output, sizeof output, &length),
            QK_E_SUCCESS);
  ASSERT_EQ(length, 2u);
  EXPECT_EQ(output[0], 0x00);
  EXPECT_EQ(output[1], 0x0D);
  EXPECT_EQ(QKCloseDevice(token), QK_E_SUCCESS);
  open_.clear();
}

TEST_P(LinkKinds, EntryIsPrivateAndGoesAwayOnStop) {
  LinkServer* server = Serve("token0", GetParam());
  struct stat info;
  ASSERT_EQ(lstat(server->EntryPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  if (GetParam()) {
    std::ifstream file(server->EntryPath());
    std::stringstream text;
    text << file.rdbuf();
    vlink::TcpEndpoint endpoint;
    EXPECT_TRUE(vlink::ParseTcpFile(text.str().data(), text.str().size(), &endpoint));
  }
  // No half-made or temporary names are left beside the entry.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_),
                          std::filesystem::directory_iterator()), 1);
  server->Stop();
  EXPECT_NE(lstat(server->EntryPath().c_str(), &info), 0);
  EXPECT_EQ(ListedCount(), 0u);
}

TEST_P(LinkKinds, SecondServerForTheSameNameIsRefused) {
  Serve("token0", GetParam());
  LinkOptions options;
  options.directory = dir_;
  options.tcp = GetParam();
  LinkServer second(token_, options);
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("already served"), std::string::npos) << error;
  EXPECT_EQ(ListedCount(), 1u);  // the first one's entry is untouched
}

INSTANTIATE_TEST_SUITE_P(LocalAndTcp, LinkKinds, ::testing::Bool(),
                         [](const auto& param) { return param.param ? "Tcp" : "Local"; });

TEST_F(LinkTest, OnlyTheTokensIdentityIsListed) {
  struct Case {
    const char* what;
    Identity identity;
    uint32_t listed;
  };
  const Case cases[] = {
      {"token", {0x7A5C, 0x0B21, 65}, 1},
      {"73-byte feature report", {0x7A5C, 0x0B21, 73}, 1},
      {"64-byte feature report", {0x7A5C, 0x0B21, 64}, 0},
      {"foreign vendor", {0x1234, 0x0B21, 65}, 0},
      {"foreign product", {0x7A5C, 0x0B22, 65}, 0},
  };
  for (const Case& c : cases) {
    LinkServer* server = Serve("token0", false, c.identity);
    EXPECT_EQ(ListedCount(), c.listed) << c.what;
    server->Stop();
    servers_.clear();
  }
}

TEST_F(LinkTest, StaleSocketEntryIsReplaced) {
  LinkServer* first = Serve();
  const std::string path = first->EntryPath();
  // A server that died leaves its socket behind; nobody answers there.
  ASSERT_EQ(::link(path.c_str(), (dir_ + "/keep").c_str()), 0);
  first->Stop();
  ASSERT_EQ(rename((dir_ + "/keep").c_str(), path.c_str()), 0);
  Serve();
  EXPECT_EQ(ListedCount(), 1u);
}

TEST_F(LinkTest, ShareModesFollowWindows) {
  struct Case {
    ShareMode first;
    ShareMode second;
    uint32_t secondError;
  };
  const Case cases[] = {
      {ShareMode::kShared, ShareMode::kShared, 0},
      {ShareMode::kShared, ShareMode::kExclusive, qk::platform::kErrorSharingViolation},
      {ShareMode::kExclusive, ShareMode::kShared, qk::platform::kErrorSharingViolation},
      {ShareMode::kExclusive, ShareMode::kExclusive, qk::platform::kErrorSharingViolation},
  };
  LinkServer* server = Serve();
  const std::string path = vlink::kPathPrefix + server->EntryPath();
  for (const Case& c : cases) {
    uint32_t error = 0;
    std::unique_ptr<qk::platform::Device> first(
        vlink::OpenVirtualDevice(path.c_str(), c.first, &error));
    ASSERT_NE(first, nullptr);
    std::unique_ptr<qk::platform::Device> second(
        vlink::OpenVirtualDevice(path.c_str(), c.second, &error));
    EXPECT_EQ(second != nullptr, c.secondError == 0);
    EXPECT_EQ(error, c.secondError);
    second.reset();
    first.reset();
    // Once the first handle is gone the second kind of open succeeds.
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (server->OpenConnections() != 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::unique_ptr<qk::platform::Device> again(
        vlink::OpenVirtualDevice(path.c_str(), c.second, &error));
    EXPECT_NE(again, nullptr);
  }
}

TEST_F(LinkTest, ExclusiveHolderHidesTheTokenFromListing) {
  // A listing that found nothing: the next one reports why it found nothing.
  EXPECT_EQ(ListedCount(), 0u);
  LinkServer* server = Serve();
  const std::string path = vlink::kPathPrefix + server->EntryPath();
  uint32_t error = 0;
  std::unique_ptr<qk::platform::Device> holder(
      vlink::OpenVirtualDevice(path.c_str(), ShareMode::kExclusive, &error));
  ASSERT_NE(holder, nullptr);
  uint32_t count = 0;
  EXPECT_EQ(QKListDevices(nullptr, &count), QK_E_SHARING_VIOLATION);
  EXPECT_EQ(count, 0u);
}

// The session-key request: the one report a raw client can make without a key.
std::array<uint8_t, 65> SessionKeyRequest() {
  std::array<uint8_t, 65> report{};
  const uint8_t header[] = {0x00, 0x06, 0x00, 0x00, 0x00, 0x06, 0x00, 0x47, 0x47, 0x4B, 0x00, 0x00};
  std::memcpy(report.data() + 1, header, sizeof header);
  return report;
}

TEST_F(LinkTest, AnswersGoToEveryOpenConnection) {
  LinkServer* server = Serve();
  const std::string path = vlink::kPathPrefix + server->EntryPath();
  uint32_t error = 0;
  std::unique_ptr<qk::platform::Device> sender(
      vlink::OpenVirtualDevice(path.c_str(), ShareMode::kShared, &error));
  std::unique_ptr<qk::platform::Device> bystander(
      vlink::OpenVirtualDevice(path.c_str(), ShareMode::kShared, &error));
  ASSERT_NE(sender, nullptr);
  ASSERT_NE(bystander, nullptr);
  const auto request = SessionKeyRequest();
  ASSERT_EQ(sender->WriteReport(nullptr, request.data(), 1000), qk::platform::IoStatus::kOk);
  // The 66-byte plain answer comes in two reports, to both handles alike.
  for (int i = 0; i < 2; ++i) {
    uint8_t mine[65];
    uint8_t theirs[65];
    ASSERT_EQ(sender->ReadReport(nullptr, mine, 1000), qk::platform::IoStatus::kOk);
    ASSERT_EQ(bystander->ReadReport(nullptr, theirs, 1000), qk::platform::IoStatus::kOk);
    EXPECT_EQ(std::memcmp(mine, theirs, sizeof mine), 0);
    EXPECT_EQ(mine[2], 66) << "total length";
  }
  uint8_t extra[65];
  EXPECT_EQ(bystander->ReadReport(nullptr, extra, 100), qk::platform::IoStatus::kTimedOut);
}

// ---- Hostile peers ------------------------------------------------------------

int ConnectRaw(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads until the peer closes; false when it is still open after `ms`.
bool PeerClosesWithin(int fd, int ms, std::vector<uint8_t>* received) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    const int left = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) return false;
    uint8_t buffer[512];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return true;
    received->insert(received->end(), buffer, buffer + n);
  }
}

std::vector<uint8_t> FrameBytes(char type, std::vector<uint8_t> payload) {
  std::vector<uint8_t> out;
  vlink::AppendFrame(type, payload.data(), payload.size(), &out);
  return out;
}

TEST_F(LinkTest, HostileFramesCloseTheConnection) {
  const std::vector<uint8_t> open = FrameBytes('O', {1, 0});
  const std::vector<uint8_t> report = FrameBytes('R', std::vector<uint8_t>(65, 0));
  auto concat = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {"unknown type", {'X', 0, 0}},
      {"length above 1024", {'O', 0x04, 0x01}},
      {"report of 64 bytes", concat(open, FrameBytes('R', std::vector<uint8_t>(64, 0)))},
      {"report before open", report},
      {"identity from a host", FrameBytes('I', {1, 0, 0, 0, 0, 0, 65})},
      {"open of wrong version", FrameBytes('O', {2, 0})},
      {"open with bad share mode", FrameBytes('O', {1, 7})},
      {"open with stray bytes", FrameBytes('O', {1, 0, 9})},
      {"second open", concat(open, open)},
  };
  LinkServer* server = Serve();
  for (const Case& c : cases) {
    const int fd = ConnectRaw(server->EntryPath());
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.bytes.size()));
    std::vector<uint8_t> received;
    EXPECT_TRUE(PeerClosesWithin(fd, 2000, &received)) << c.what;
    close(fd);
  }
  // The token still serves well-behaved clients, and no session leaked.
  QKContext* token = nullptr;
  ASSERT_EQ(OpenFirst(&token), QK_E_SUCCESS);
  EXPECT_EQ(server->OpenConnections(), 1u);
}

TEST_F(LinkTest, WrongTcpSecretIsRefusedWithAccessDenied) {
  LinkServer* server = Serve("token0", true);
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
    std::vector<uint8_t> payload = {1, 0};
    std::vector<uint8_t> secret(endpoint.secret, endpoint.secret + secretBytes);
    if (!secret.empty()) secret[31] ^= 1;  // one bit off
    payload.insert(payload.end(), secret.begin(), secret.end());
    const std::vector<uint8_t> open = FrameBytes('O', payload);
    ASSERT_EQ(send(fd, open.data(), open.size(), MSG_NOSIGNAL), static_cast<ssize_t>(open.size()));
    std::vector<uint8_t> received;
    EXPECT_TRUE(PeerClosesWithin(fd, 2000, &received));
    EXPECT_EQ(received, FrameBytes('E', {0, 0, 0, 5})) << secretBytes;
    close(fd);
  }
}

TEST_F(LinkTest, SilentOpenerIsDroppedAfterItsLimit) {
  LinkServer* server = Serve();
  const int fd = ConnectRaw(server->EntryPath());
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> received;
  const auto start = Clock::now();
  EXPECT_TRUE(PeerClosesWithin(fd, static_cast<int>(kOpenFrameWaitMs) + 2000, &received));
  EXPECT_GE(MillisecondsSince(start), static_cast<long long>(kOpenFrameWaitMs) - 100);
  close(fd);
}

// ---- Faults -----------------------------------------------------------------------

struct FaultCase {
  const char* spec;
  uint32_t expected;      // the spoiled call's result; QK_E_FAILURE: any failure
  bool keepsConnection;   // the next call works without reopening
  int settleMs;           // let a late answer pass before the next call
};

class LinkFaults : public LinkTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(LinkFaults, SpoiledVerifyEndsInTimeAndTheTokenRecovers) {
  const FaultCase& c = GetParam();
  LinkServer* server = Serve();
  QKContext* token = nullptr;
  ASSERT_EQ(OpenFirst(&token), QK_E_SUCCESS);
  qk::SetTimeLimitsForTesting(kShortLimits);
  FaultRule rule;
  std::string error;
  ASSERT_TRUE(ParseFaultSpec(std::string(c.spec) + "@1", &rule, &error)) << error;
  server->Faults().Add(rule);

  const auto start = Clock::now();
  const uint32_t rc = Verify(token);
  const long long elapsed = MillisecondsSince(start);
  if (c.expected == QK_E_FAILURE) {
    EXPECT_NE(rc, QK_E_SUCCESS);
  } else {
    EXPECT_EQ(rc, c.expected);
  }
  // One report's read limit plus a margin for a loaded machine.
  EXPECT_LT(elapsed, kShortLimits.firstReadMs + kShortLimits.writeMs + 1000);
  EXPECT_EQ(server->Faults().Count(), 0u) << "a one-time fault is used up";

  std::this_thread::sleep_for(std::chrono::milliseconds(c.settleMs));
  if (c.keepsConnection) {
    EXPECT_EQ(Verify(token), QK_E_SUCCESS) << "next call on the same handle";
  } else {
    EXPECT_EQ(Verify(token), QK_E_COMMUNICATION) << "the link was closed under it";
  }
  ASSERT_EQ(QKCloseDevice(token), QK_E_SUCCESS);
  ASSERT_EQ(QKOpenDevice(token), QK_E_SUCCESS);
  EXPECT_EQ(Verify(token), QK_E_SUCCESS) << "after reopening";
}

INSTANTIATE_TEST_SUITE_P(
    EveryKind, LinkFaults,
    ::testing::Values(FaultCase{"drop", QK_E_COMMUNICATION, true, 0},
                      FaultCase{"silent", QK_E_COMMUNICATION, true, 0},
                      FaultCase{"delay:900", QK_E_COMMUNICATION, true, 700},
                      FaultCase{"delay:150", QK_E_SUCCESS, true, 0},
                      FaultCase{"slow:900", QK_E_COMMUNICATION, true, 700},
                      FaultCase{"slow:150", QK_E_SUCCESS, true, 0},
                      FaultCase{"corrupt", QK_E_FAILURE, true, 0},
                      // The last byte of a one-report answer is padding the host ignores.
                      FaultCase{"corrupt:64", QK_E_SUCCESS, true, 0},
                      FaultCase{"truncate", QK_E_COMMUNICATION, true, 0},
                      FaultCase{"repeat:3", QK_E_SUCCESS, true, 0},
                      FaultCase{"badtotal", QK_E_COMMUNICATION, true, 0},
                      FaultCase{"badoffset", QK_E_COMMUNICATION, true, 0},
                      FaultCase{"badoffset:0x3ff", QK_E_COMMUNICATION, true, 0},
                      FaultCase{"cut", QK_E_COMMUNICATION, false, 0},
                      FaultCase{"hangup", QK_E_COMMUNICATION, false, 0}),
    [](const auto& param) {
      std::string name;
      for (const char* p = param.param.spec; *p != '\0'; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p))) name.push_back(*p);
      }
      return name;
    });

TEST_F(LinkTest, FaultsOnTheTwoReportSessionKeyAnswerFailTheOpen) {
  const char* specs[] = {"truncate", "badtotal", "badoffset:58", "corrupt:40", "drop"};
  LinkServer* server = Serve();
  qk::SetTimeLimitsForTesting(kShortLimits);
  for (const char* spec : specs) {
    uint32_t count = 1;
    QKContext listed[1] = {};
    ASSERT_EQ(QKListDevices(listed, &count), QK_E_SUCCESS);
    FaultRule rule;
    std::string error;
    ASSERT_TRUE(ParseFaultSpec(std::string(spec) + "@1", &rule, &error)) << error;
    server->Faults().Add(rule);
    EXPECT_NE(QKOpenDevice(&listed[0]), QK_E_SUCCESS) << spec;
    QKCloseDevice(&listed[0]);
    server->Faults().Clear();
    ASSERT_EQ(QKOpenDevice(&listed[0]), QK_E_SUCCESS) << "after " << spec;
    EXPECT_EQ(Verify(&listed[0]), QK_E_SUCCESS) << "after " << spec;
    QKCloseDevice(&listed[0]);
  }
}

TEST_F(LinkTest, SilenceKeepsTheCommandFromRunning) {
  // A wrong PIN that never reaches the token costs no try; one whose answer
  // is dropped does.
  LinkServer* server = Serve();
  QKContext* token = nullptr;
  ASSERT_EQ(OpenFirst(&token), QK_E_SUCCESS);
  qk::SetTimeLimitsForTesting(kShortLimits);
  const uint8_t wrong[] = {'0', '0', '0', '0', '0', '0', '0', '0'};
  const uint32_t first = QKVerifyPin(token, wrong, sizeof wrong, QK_PIN_USER);
  ASSERT_GE(first, QK_E_WRONG_PIN);
  ASSERT_LE(first, QK_E_WRONG_PIN + 0xFF);

  FaultRule silent;
  std::string error;
  ASSERT_TRUE(ParseFaultSpec("silent@1", &silent, &error));
  server->Faults().Add(silent);
  EXPECT_EQ(QKVerifyPin(token, wrong, sizeof wrong, QK_PIN_USER), QK_E_COMMUNICATION);
  EXPECT_EQ(QKVerifyPin(token, wrong, sizeof wrong, QK_PIN_USER), first - 1)
      << "the swallowed attempt cost no try";

  FaultRule drop;
  ASSERT_TRUE(ParseFaultSpec("drop@1", &drop, &error));
  server->Faults().Add(drop);
  EXPECT_EQ(QKVerifyPin(token, wrong, sizeof wrong, QK_PIN_USER), QK_E_COMMUNICATION);
  EXPECT_EQ(QKVerifyPin(token, wrong, sizeof wrong, QK_PIN_USER), first - 3)
      << "the attempt whose answer was lost cost a try";
  EXPECT_EQ(Verify(token), QK_E_SUCCESS);
}

}  // namespace
}  // namespace qksim::link
