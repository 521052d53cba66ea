#include "platform/virtual/virtual_device.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "platform/virtual/directory.h"
#include "platform/vlink/proof.h"
#include "tests/support/temp_dir.h"

namespace qk::platform::vlink {
namespace {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
using qktest::TempDir;

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
  frame.payload.resize((size_t{header[1]} << 8) | header[2]);
  const auto size = static_cast<ssize_t>(frame.payload.size());
  if (size == 0 || recv(fd, frame.payload.data(), frame.payload.size(), MSG_WAITALL) == size) {
    frame.type = static_cast<char>(header[0]);
  }
  return frame;
}

// A connection whose token side the test plays by hand. The token's answer
// is queued before the client asks, so no thread is needed.
struct Link {
  int token = -1;
  Socket client;
  std::unique_ptr<Device> device;
  DeviceStatus error = DeviceStatus::kOk;
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
  bool Open(const Bytes& answer, uint32_t timeoutMs = 1000) {
    if (!answer.empty()) SendRaw(token, answer);
    device.reset(
        Handshake(std::move(client), ShareMode::kShared, nullptr, Deadline(timeoutMs), &error));
    return device != nullptr;
  }
  // An open handle with the open frame already consumed. (Exclusive opens and
  // secrets run end to end in the link server's tests.)
  static std::unique_ptr<Link> Opened() {
    auto link = std::make_unique<Link>();
    if (link->Open(FrameOf('I', kIdentity))) {
      EXPECT_EQ(ReadFrame(link->token).payload, Bytes({1, 0}));  // version 1, shared
    }
    return link;
  }
  DeviceStatus Read(Bytes* report, uint32_t timeoutMs = 1000) {
    report->assign(kReportSize, 0);
    return device->ReadReport(report->data(), timeoutMs);
  }
};

// A refusal carries a Windows error number: 32 and 5 keep their meaning,
// any other number fails the open as a missing token would.
TEST(VirtualHandshake, FailedOpensSayWhyInTime) {
  const struct {
    const char* name;
    Bytes answer;
    DeviceStatus error;
  } cases[] = {
      {"sharing violation", FrameOf('E', {0, 0, 0, 32}), DeviceStatus::kSharingViolation},
      {"access denied", FrameOf('E', {0, 0, 0, 5}), DeviceStatus::kAccessDenied},
      {"refusal naming no error", FrameOf('E', {0, 0, 0, 0}), DeviceStatus::kNotFound},
      {"refusal naming another error", FrameOf('E', {0, 0, 1, 5}), DeviceStatus::kNotFound},
      {"identity too short", FrameOf('I', {1, 0x7A, 0x5C, 0x0B, 0x21, 0}), DeviceStatus::kNotFound},
      {"silent token", {}, DeviceStatus::kNotFound},
  };
  for (const auto& c : cases) {
    Link link;
    const auto start = Clock::now();
    EXPECT_FALSE(link.Open(c.answer, 100)) << c.name;
    EXPECT_LT(Clock::now() - start, milliseconds(1000)) << c.name;
    EXPECT_EQ(link.error, c.error) << c.name;
  }
}

// Over TCP the client sends its nonce, never the secret, and goes on only
// when the token's proof is right (a proof under another secret: the link
// server's squatter test). The token side runs in a thread, as its proof
// depends on the client's nonce.
TEST(VirtualHandshake, TokenMustProveTheSecretBeforeTheClientDoes) {
  Bytes secret(kSecretSize);
  for (size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(i * 37 + 1);
  enum class Token { kRightProof, kShortProof, kRefuses };
  const struct {
    const char* name;
    Token token;
    bool opens;
    DeviceStatus error;
  } cases[] = {
      {"right proof", Token::kRightProof, true, DeviceStatus::kOk},
      {"proof frame too short", Token::kShortProof, false, DeviceStatus::kNotFound},
      {"refusal instead of a proof", Token::kRefuses, false, DeviceStatus::kAccessDenied},
  };
  for (const auto& c : cases) {
    Link link;
    Bytes heard;  // every frame payload the client sent, in order
    std::thread token([&] {
      const Frame open = ReadFrame(link.token);
      heard = open.payload;
      if (open.type != 'O' || open.payload.size() != 2 + kNonceSize) return;
      if (c.token == Token::kRefuses) return SendRaw(link.token, FrameOf('E', {0, 0, 0, 5}));
      const Bytes tokenNonce(kNonceSize, 0x77);
      const Sha256Digest proof =
          TokenProof(secret.data(), open.payload.data() + 2, tokenNonce.data());
      Bytes payload = tokenNonce;
      payload.insert(payload.end(), proof.begin(), proof.end());
      if (c.token == Token::kShortProof) payload.pop_back();
      SendRaw(link.token, FrameOf('P', payload));
      const Frame answer = ReadFrame(link.token);
      if (answer.type == 0) return;  // the client hung up
      heard.insert(heard.end(), answer.payload.begin(), answer.payload.end());
      const Sha256Digest expected =
          ClientProof(secret.data(), open.payload.data() + 2, tokenNonce.data());
      if (answer.type == 'P' && answer.payload == Bytes(expected.begin(), expected.end())) {
        SendRaw(link.token, FrameOf('I', kIdentity));
      }
    });
    link.device.reset(Handshake(std::move(link.client), ShareMode::kShared, secret.data(),
                                Deadline(1000), &link.error));
    link.CloseToken();
    token.join();
    EXPECT_EQ(link.device != nullptr, c.opens) << c.name;
    EXPECT_EQ(link.error, c.error) << c.name;
    EXPECT_EQ(heard.size(), 2 + kNonceSize + (c.opens ? kSha256Size : 0))
        << c.name << ": the client answers only a right proof";
    EXPECT_EQ(std::search(heard.begin(), heard.end(), secret.begin(), secret.begin() + 8),
              heard.end())
        << c.name << ": the secret travelled";
  }
}

TEST(VirtualDevice, ReportsTravelInOrderAndPartialFramesWait) {
  auto link = Link::Opened();
  ASSERT_TRUE(link->device);
  uint16_t vendor = 0, product = 0;
  EXPECT_TRUE(link->device->GetAttributes(&vendor, &product) && vendor == 0x7A5C);
  for (uint8_t i = 1; i <= 2; ++i) {
    SendRaw(link->token, FrameOf('R', Bytes(kReportSize, static_cast<uint8_t>(0x20 + i))));
  }
  Bytes got;
  for (uint8_t i = 1; i <= 2; ++i) {
    ASSERT_EQ(link->device->WriteReport(Bytes(kReportSize, i).data(), 1000), DeviceStatus::kOk);
    const Frame written = ReadFrame(link->token);
    EXPECT_TRUE(written.type == 'R' && written.payload == Bytes(kReportSize, i));
    ASSERT_EQ(link->Read(&got), DeviceStatus::kOk);
    EXPECT_EQ(got, Bytes(kReportSize, static_cast<uint8_t>(0x20 + i)));
  }
  // A read that times out keeps the part of a frame it has.
  const Bytes frame = FrameOf('R', Bytes(kReportSize, 0x33));
  SendRaw(link->token, Bytes(frame.begin(), frame.begin() + 20));
  const auto start = Clock::now();
  EXPECT_EQ(link->Read(&got, 60), DeviceStatus::kTimedOut);
  EXPECT_GE(Clock::now() - start, milliseconds(55));
  SendRaw(link->token, Bytes(frame.begin() + 20, frame.end()));
  ASSERT_EQ(link->Read(&got), DeviceStatus::kOk);
  EXPECT_EQ(got, Bytes(kReportSize, 0x33));
}

TEST(VirtualDevice, HostileFramesOrAClosedTokenBreakTheConnection) {
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"report of 64 bytes", FrameOf('R', Bytes(64, 0))},  // any frame the reader rejects
      {"identity after open", FrameOf('I', kIdentity)},
      {"open from the token", FrameOf('O', {1, 0})},
      {"proof after open", FrameOf('P', Bytes(kTokenProofPayload, 0))},
  };
  for (const auto& c : cases) {
    auto link = Link::Opened();
    ASSERT_TRUE(link->device);
    Bytes got;
    SendRaw(link->token, c.bytes);
    EXPECT_EQ(link->Read(&got), DeviceStatus::kFailed) << c.name;
    // Nothing after it is believed (the client has hung up), and writes fail too.
    const Bytes good = FrameOf('R', Bytes(kReportSize, 1));
    send(link->token, good.data(), good.size(), MSG_NOSIGNAL);
    EXPECT_EQ(link->Read(&got), DeviceStatus::kFailed) << c.name;
    EXPECT_EQ(link->device->WriteReport(got.data(), 100), DeviceStatus::kFailed) << c.name;
  }
}

// The token directory: listing and trust checks (opens that succeed run end
// to end in the link server's tests).
// Catches an open given up when a token pressed for room closed the
// connection during the handshake: the client tries once more, and only once.
TEST(VirtualHandshake, AnOpenClosedDuringTheHandshakeIsTriedOnceMore) {
  TempDir dir;
  const std::string entry = dir / "t.sock";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", entry.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  chmod(entry.c_str(), 0600);
  const std::string path = kPathPrefix + entry;
  for (const int closes : {1, 2}) {
    SCOPED_TRACE(closes);
    std::thread token([&] {
      for (int i = 0; i < closes; ++i) close(accept(listener, nullptr, nullptr));
      if (closes > 1) return;  // the client gives up after its second try
      const int fd = accept(listener, nullptr, nullptr);
      if (ReadFrame(fd).type == kFrameOpen) SendRaw(fd, FrameOf(kFrameIdentity, kIdentity));
      close(fd);
    });
    DeviceStatus error = DeviceStatus::kFailed;
    std::unique_ptr<Device> device(OpenVirtualDevice(path.c_str(), ShareMode::kShared, &error));
    token.join();
    EXPECT_EQ(device != nullptr, closes == 1) << DeviceStatusText(error);
  }
  close(listener);
}

void WriteFile(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path) << text;
  chmod(path.c_str(), mode);
}

TEST(TokenDirectory, UntrustedOrMissingEntriesAreRefused) {
  const std::string tcp = "port 9\nsecret " + std::string(64, '0') + "\n";
  const struct {
    const char* name;
    mode_t file, dir;
    bool viaLink;
    DeviceStatus error;
  } cases[] = {
      {".tcp readable by others", 0604, 0700, false, DeviceStatus::kAccessDenied},
      {".tcp through a symbolic link", 0600, 0700, true, DeviceStatus::kAccessDenied},
      {"directory writable by others", 0600, 0777, false, DeviceStatus::kAccessDenied},
      {"missing entry", 0, 0700, false, DeviceStatus::kNotFound},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (c.file != 0) WriteFile(dir / (c.viaLink ? "real" : "a.tcp"), tcp, c.file);
    if (c.viaLink) symlink((dir / "real").c_str(), (dir / "a.tcp").c_str());
    chmod(dir.path().c_str(), c.dir);
    DeviceStatus error = DeviceStatus::kOk;
    const std::string path = kPathPrefix + (dir / "a.tcp");
    EXPECT_EQ(OpenVirtualDevice(path.c_str(), ShareMode::kShared, &error), nullptr) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
}

TEST(TokenDirectory, ListsEntriesInByteOrderWithinThePathLimit) {
  TempDir dir;
  const std::string base = kPathPrefix + dir.path() + "/";
  using Names = std::vector<std::string>;
  for (const auto& name :
       Names{"b.tcp", "a.sock", "B.sock", "a10.tcp", "a2.tcp", "notes.txt", ".sock"}) {
    WriteFile(dir / name, "");
  }
  const Names expected = {base + "B.sock", base + "a.sock", base + "a10.tcp", base + "a2.tcp",
                          base + "b.tcp"};
  EXPECT_EQ(ListVirtualPaths(dir.path()), expected);
  EXPECT_TRUE(ListVirtualPaths(dir / "missing").empty());
}

}  // namespace
}  // namespace qk::platform::vlink
