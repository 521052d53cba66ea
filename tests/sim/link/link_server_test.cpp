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

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "include/qktoken.h"
#include "platform/virtual/directory.h"
#include "platform/virtual/virtual_device.h"
#include "platform/vlink/frame.h"
#include "platform/vlink/proof.h"
#include "tests/support/pins.h"
#include "tests/support/temp_dir.h"
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
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
    setenv("QKTOKEN_VIRTUAL_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    QKCloseDevice(&context_);
    servers_.clear();
    qk::ResetTimeLimitsForTesting();
    unsetenv("QKTOKEN_VIRTUAL_DIR");
  }
  LinkOptions Options(bool tcp) {
    LinkOptions options;
    options.directory = dir_;
    options.tcp = tcp;
    return options;
  }
  LinkServer* Serve(bool tcp = false) {
    servers_.push_back(std::make_unique<LinkServer>(token_, Options(tcp)));
    std::string error;
    EXPECT_TRUE(servers_.back()->Start(&error)) << error;
    return servers_.back().get();
  }
  // Lists and opens the first token into context_ (closed at tear-down).
  uint32_t OpenFirst() {
    uint32_t count = 1;
    const uint32_t rc = QKListDevices(&context_, &count);
    return rc != QK_E_SUCCESS ? rc : count != 1 ? QK_E_NO_DEVICE_LIST : QKOpenDevice(&context_);
  }
  uint32_t Verify(const char* pin = qktest::kUserPin) {
    return QKVerifyPin(&context_, reinterpret_cast<const uint8_t*>(pin), 8, QK_PIN_USER);
  }

  qktest::TempDir temp_;
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
  LinkServer second(token_, Options(GetParam()));
  std::string error;
  EXPECT_FALSE(second.Start(&error));
  EXPECT_NE(error.find("already served"), std::string::npos) << error;
  ASSERT_EQ(OpenFirst(), QK_E_SUCCESS);
  EXPECT_EQ(server->OpenConnections(), 1u);
  EXPECT_EQ(Verify(), QK_E_SUCCESS);
  const uint8_t input[] = {0x00, 0x05, 0x00, 0x08};
  uint8_t output[16] = {};
  uint32_t length = 0;
  ASSERT_EQ(QKExecute(&context_, "0001", input, 4, output, 16, &length), QK_E_SUCCESS);
  EXPECT_EQ(Bytes(output, output + length), (Bytes{0x00, 0x0D}));
  EXPECT_EQ(QKCloseDevice(&context_), QK_E_SUCCESS);
  server->Stop();
  uint32_t count = 0;
  QKListDevices(nullptr, &count);
  EXPECT_EQ(count, 0u) << "the entry goes away on stop";
}

INSTANTIATE_TEST_SUITE_P(LocalAndTcp, LinkKinds, ::testing::Bool(),
                         [](const auto& param) { return param.param ? "Tcp" : "Local"; });

TEST_F(LinkTest, ShareModesAndBroadcastAnswers) {
  LinkServer* server = Serve();
  const auto open = [&](ShareMode mode, qk::platform::DeviceStatus* error) {
    const std::string path = vlink::kPathPrefix + server->EntryPath();
    return DevicePtr(vlink::OpenVirtualDevice(path.c_str(), mode, error));
  };
  const auto waitIdle = [server] {
    for (int i = 0; i < 400 && server->OpenConnections() != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  const auto kViolation = qk::platform::DeviceStatus::kSharingViolation;
  const auto kOk = qk::platform::DeviceStatus::kOk;
  const struct {
    ShareMode first, second;
    qk::platform::DeviceStatus secondError;
  } cases[] = {
      {ShareMode::kShared, ShareMode::kShared, kOk},
      {ShareMode::kShared, ShareMode::kExclusive, kViolation},
      {ShareMode::kExclusive, ShareMode::kShared, kViolation},
  };
  for (const auto& c : cases) {
    waitIdle();
    auto error = qk::platform::DeviceStatus::kFailed;
    DevicePtr first = open(c.first, &error);
    ASSERT_NE(first, nullptr);
    DevicePtr second = open(c.second, &error);
    EXPECT_EQ(error, c.secondError);
    if (c.first == ShareMode::kExclusive) {
      uint32_t count = 0;
      EXPECT_EQ(QKListDevices(nullptr, &count), QK_E_SHARING_VIOLATION) << "an exclusive holder";
    }
    if (second != nullptr) {  // an answer goes to every open handle alike
      uint8_t request[65] = {0, 0x00, 0x06, 0x00, 0x00, 0x00, 0x06, 0x00, 0x47, 0x47, 0x4B};
      ASSERT_EQ(first->WriteReport(request, 1000), qk::platform::DeviceStatus::kOk);
      for (int i = 0; i < 2; ++i) {  // the 66-byte plain answer is two reports
        uint8_t mine[65], theirs[65];
        ASSERT_EQ(first->ReadReport(mine, 1000), qk::platform::DeviceStatus::kOk);
        ASSERT_EQ(second->ReadReport(theirs, 1000), qk::platform::DeviceStatus::kOk);
        EXPECT_EQ(std::memcmp(mine, theirs, sizeof mine), 0);
        EXPECT_EQ(mine[2], 66) << "total length";
      }
      EXPECT_EQ(second->ReadReport(request, 100), qk::platform::DeviceStatus::kTimedOut);
    }
    second.reset();
    first.reset();
    waitIdle();
    EXPECT_NE(open(c.second, &error), nullptr) << "free again once the first is gone";
  }
}

// Sends `bytes` on `fd`; true when the server closes it within `ms`. *received
// gets what it answered first.
bool ServerHangsUp(int fd, const Bytes& bytes, int ms, Bytes* received) {
  if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
    close(fd);
    return false;
  }
  for (const auto deadline = Clock::now() + std::chrono::milliseconds(ms);;) {
    const auto left = (deadline - Clock::now()) / std::chrono::milliseconds(1);
    pollfd p{fd, POLLIN, 0};
    uint8_t buffer[512];
    const ssize_t n =
        left > 0 && poll(&p, 1, static_cast<int>(left)) > 0 ? recv(fd, buffer, 512, 0) : -2;
    if (n <= 0) return close(fd), n != -2;
    received->insert(received->end(), buffer, buffer + n);
  }
}

// A frame, after the frames in `before`.
Bytes Frame(char type, Bytes payload, Bytes before = {}) {
  vlink::AppendFrame(type, payload.data(), payload.size(), &before);
  return before;
}

// A stream socket connected to `address`, or -1.
int Connected(int family, const sockaddr* address, socklen_t size) {
  const int fd = socket(family, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, address, size) == 0) return fd;
  close(fd);
  return -1;
}

int ConnectLoopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return Connected(AF_INET, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

vlink::TcpEndpoint ReadEndpoint(const std::string& path) {
  std::ifstream file(path);
  const std::string text(std::istreambuf_iterator<char>(file), {});
  vlink::TcpEndpoint endpoint;
  EXPECT_TRUE(vlink::ParseTcpFile(text.data(), text.size(), &endpoint));
  return endpoint;
}

// Reads exactly `size` bytes within a second.
Bytes ReceiveExactly(int fd, size_t size) {
  Bytes bytes;
  while (bytes.size() < size) {
    pollfd p{fd, POLLIN, 0};
    uint8_t buffer[512];
    if (poll(&p, 1, 1000) <= 0) break;
    const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, size - bytes.size()), 0);
    if (n <= 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  return bytes;
}

// A client that sends no nonce, or whose proof is one bit wrong, is refused
// with access denied.
TEST_F(LinkTest, WrongTcpProofIsRefusedWithAccessDenied) {
  LinkServer* server = Serve(true);
  const vlink::TcpEndpoint endpoint = ReadEndpoint(server->EntryPath());
  Bytes received;
  const int bare = ConnectLoopback(endpoint.port);
  ASSERT_GE(bare, 0);
  EXPECT_TRUE(ServerHangsUp(bare, Frame('O', {1, 0}), 2000, &received));
  EXPECT_EQ(received, Frame('E', {0, 0, 0, 5}));

  // A proof one bit wrong (the right one is the Tcp run of DriverScenarioRunsEndToEnd).
  const int fd = ConnectLoopback(endpoint.port);
  ASSERT_GE(fd, 0);
  Bytes open(2 + vlink::kNonceSize, 0x5A);  // version 1, then the client's nonce
  open[0] = 1, open[1] = 0;
  const Bytes frame = Frame('O', open);
  ASSERT_EQ(send(fd, frame.data(), frame.size(), MSG_NOSIGNAL), ssize_t(frame.size()));
  const Bytes proof = ReceiveExactly(fd, 3 + vlink::kTokenProofPayload);
  ASSERT_EQ(proof.size(), 3 + vlink::kTokenProofPayload);
  qk::Sha256Digest mine = vlink::ClientProof(endpoint.secret, open.data() + 2, proof.data() + 3);
  mine[31] ^= 1;
  received.clear();
  EXPECT_TRUE(ServerHangsUp(fd, Frame('P', Bytes(mine.begin(), mine.end())), 2000, &received));
  EXPECT_EQ(received, Frame('E', {0, 0, 0, 5}));
}

// A process squatting on the port of a stale entry, without the secret: the
// open fails with access denied, and it is sent neither the secret nor any
// report.
TEST_F(LinkTest, SquatterWithoutTheSecretGetsNothing) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  Bytes secret(vlink::kSecretSize);
  for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(0xC3 ^ i * 7);
  std::string hex;
  for (uint8_t b : secret) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
  const std::string entry = dir_ + "/stale.tcp";
  std::ofstream(entry) << "port " << ntohs(address.sin_port) << "\nsecret " << hex << "\n";
  ASSERT_EQ(chmod(entry.c_str(), 0600), 0);

  Bytes heard;  // everything the squatter is sent
  std::thread squatter([&] {
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return;
    Bytes guess(3 + vlink::kTokenProofPayload, 0x11);  // a proof made up without the secret
    guess[0] = 'P', guess[1] = 0, guess[2] = vlink::kTokenProofPayload;
    pollfd p{fd, POLLIN, 0};
    uint8_t buffer[512];
    bool answered = false;
    while (poll(&p, 1, 3000) > 0) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      heard.insert(heard.end(), buffer, buffer + n);
      if (!answered) send(fd, guess.data(), guess.size(), MSG_NOSIGNAL), answered = true;
    }
    close(fd);
  });
  auto error = qk::platform::DeviceStatus::kOk;
  const std::string path = vlink::kPathPrefix + entry;
  EXPECT_EQ(DevicePtr(vlink::OpenVirtualDevice(path.c_str(), ShareMode::kShared, &error)), nullptr);
  EXPECT_EQ(error, qk::platform::DeviceStatus::kAccessDenied);
  squatter.join();
  close(listener);
  ASSERT_EQ(heard.size(), 3 + 2 + vlink::kNonceSize) << "the open and nothing more";
  EXPECT_EQ(heard[0], 'O');
  EXPECT_EQ(std::search(heard.begin(), heard.end(), secret.begin(), secret.begin() + 8),
            heard.end())
      << "the secret travelled";
}

// Connections that never open hold nothing: they are closed after the open
// time, and however many there are, the owner still lists and opens.
TEST_F(LinkTest, IdleConnectionsCannotLockTheOwnerOut) {
  for (const bool tcp : {false, true}) {
    servers_.clear();
    LinkServer* server = Serve(tcp);
    const vlink::TcpEndpoint endpoint =
        tcp ? ReadEndpoint(server->EntryPath()) : vlink::TcpEndpoint{};
    std::vector<int> idle;
    const size_t kIdle = 4 * kMaxPendingConnections;  // well past every limit
    for (size_t i = 0; i < kIdle; ++i) {
      int fd = -1;
      if (tcp) {
        fd = ConnectLoopback(endpoint.port);
      } else {
        sockaddr_un address{AF_UNIX, {}};
        std::strncpy(address.sun_path, server->EntryPath().c_str(), sizeof address.sun_path - 1);
        fd = Connected(AF_UNIX, reinterpret_cast<sockaddr*>(&address), sizeof address);
      }
      if (fd >= 0) idle.push_back(fd);
    }
    EXPECT_GE(idle.size(), kMaxPendingConnections) << tcp;
    for (int round = 0; round < 3; ++round) {  // listing and opening, with the idle ones held
      ASSERT_EQ(OpenFirst(), QK_E_SUCCESS) << "tcp " << tcp << " round " << round;
      EXPECT_EQ(Verify(), QK_E_SUCCESS);
      EXPECT_EQ(QKCloseDevice(&context_), QK_E_SUCCESS);
    }
    // After the open time every idle connection has been closed by the token.
    size_t closed = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kOpenFrameWaitMs + 2000);
    for (int fd : idle) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd p{fd, POLLIN, 0};
      uint8_t byte = 0;
      if (poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) > 0 &&
          recv(fd, &byte, 1, 0) <= 0) {
        ++closed;
      }
      close(fd);
    }
    EXPECT_EQ(closed, idle.size()) << "tcp " << tcp;
  }
}

// Catches the owner's connection closed to make room because it was the
// oldest still opening, right after the token sent its proof: connections
// that have sent nothing go first, one mid-proof never.
TEST_F(LinkTest, AFloodNeverClosesAConnectionInTheMiddleOfItsProof) {
  LinkServer* server = Serve(true);
  const vlink::TcpEndpoint endpoint = ReadEndpoint(server->EntryPath());
  const int owner = ConnectLoopback(endpoint.port);
  ASSERT_GE(owner, 0);
  Bytes open(2 + vlink::kNonceSize, 0x33);
  open[0] = 1, open[1] = 0;
  const Bytes frame = Frame('O', open);
  ASSERT_EQ(send(owner, frame.data(), frame.size(), MSG_NOSIGNAL), ssize_t(frame.size()));
  const Bytes proof = ReceiveExactly(owner, 3 + vlink::kTokenProofPayload);
  ASSERT_EQ(proof.size(), 3 + vlink::kTokenProofPayload);
  std::vector<int> flood;
  for (size_t i = 0; i < 3 * kMaxPendingConnections; ++i) {
    const int fd = ConnectLoopback(endpoint.port);
    if (fd >= 0) flood.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // all taken in by now
  const qk::Sha256Digest mine =
      vlink::ClientProof(endpoint.secret, open.data() + 2, proof.data() + 3);
  const Bytes answer = Frame('P', Bytes(mine.begin(), mine.end()));
  ASSERT_EQ(send(owner, answer.data(), answer.size(), MSG_NOSIGNAL), ssize_t(answer.size()));
  const Bytes identity = ReceiveExactly(owner, 3 + vlink::kIdentityPayload);
  EXPECT_EQ(identity.size(), 3 + vlink::kIdentityPayload) << "the owner was closed mid-proof";
  if (!identity.empty()) {
    EXPECT_EQ(identity[0], 'I');
  }
  size_t closedEarly = 0;  // the flood's oldest, closed for room
  for (int fd : flood) {
    pollfd p{fd, POLLIN, 0};
    uint8_t byte = 0;
    if (poll(&p, 1, 0) > 0 && recv(fd, &byte, 1, MSG_DONTWAIT) == 0) ++closedEarly;
    close(fd);
  }
  EXPECT_GE(closedEarly, flood.size() - kMaxPendingConnections);
  close(owner);
}

}  // namespace
}  // namespace qksim::link
