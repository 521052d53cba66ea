#include "platform/virtual/virtual_device.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "platform/virtual/directory.h"
#include "platform/vlink/proof.h"
#include "platform/vlink/sha256.h"

#ifdef _WIN32
#include "platform/win32/windows_sdk.h"
#else
#include <sys/stat.h>
#endif

namespace qk::platform::vlink {
namespace {

constexpr size_t kReceiveChunk = 2048;

// Handle values of virtual devices have the top bit set, so they never equal
// a hidraw value (descriptor + 1) and are never 0.
uint32_t NextHandleValue() {
  static std::atomic<uint32_t> counter{0};
  return 0x80000000u | (counter.fetch_add(1) & 0x7FFFFFFFu);
}

uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t BigEndian32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Set when the token closed the connection (or reset it) before its answer
// to the open was complete.
thread_local bool closedInHandshake = false;

// Waits for the first complete frame of the answer to the open.
bool ReceiveFrame(Socket& socket, FrameReader& reader, const Deadline& deadline, Frame* frame) {
  uint8_t buffer[kReceiveChunk];
  for (;;) {
    switch (reader.Next(frame)) {
      case FrameReader::Result::kFrame:
        return true;
      case FrameReader::Result::kError:
        return false;
      case FrameReader::Result::kNeedMore:
        break;
    }
    const NetStatus ready = socket.WaitReadable(deadline);
    if (ready != NetStatus::kOk) {
      closedInHandshake = ready == NetStatus::kClosed || ready == NetStatus::kFailed;
      return false;
    }
    size_t received = 0;
    const NetStatus status = socket.ReceiveSome(buffer, sizeof buffer, &received);
    if (status == NetStatus::kWouldBlock) continue;
    if (status != NetStatus::kOk) {
      closedInHandshake = status == NetStatus::kClosed || status == NetStatus::kFailed;
      return false;
    }
    reader.Feed(buffer, received);
  }
}

void Wipe(std::vector<uint8_t>* bytes) {
  volatile uint8_t* p = bytes->data();
  for (size_t i = 0; i < bytes->size(); ++i) p[i] = 0;
}

}  // namespace

VirtualDevice::VirtualDevice(Socket socket, FrameReader reader, const Identity& identity)
    : socket_(std::move(socket)),
      reader_(std::move(reader)),
      identity_(identity),
      handleValue_(NextHandleValue()) {}

bool VirtualDevice::GetAttributes(uint16_t* vendorId, uint16_t* productId) {
  *vendorId = identity_.vendorId;
  *productId = identity_.productId;
  return true;
}

bool VirtualDevice::GetFeatureReportLength(uint16_t* length) {
  *length = identity_.featureReportLength;
  return true;
}

void VirtualDevice::Break() {
  broken_ = true;
  socket_.Close();
}

VirtualDevice::Pull VirtualDevice::PullBytes(const Deadline& deadline) {
  const NetStatus ready = socket_.WaitReadable(deadline);
  if (ready == NetStatus::kTimedOut) return Pull::kTimedOut;
  if (ready != NetStatus::kOk) return Pull::kBroken;
  uint8_t buffer[kReceiveChunk];
  size_t received = 0;
  const NetStatus status = socket_.ReceiveSome(buffer, sizeof buffer, &received);
  if (status == NetStatus::kWouldBlock) return Pull::kGot;
  if (status != NetStatus::kOk) return Pull::kBroken;
  reader_.Feed(buffer, received);
  return Pull::kGot;
}

bool VirtualDevice::FlushInput() {
  // A closed or broken connection has nothing to discard; the write that
  // follows fails and ends the exchange as a communication failure.
  if (broken_) return true;
  size_t discarded = 0;
  // One limit for the whole flush, however slowly the rest of a frame trickles in.
  const Deadline partialLimit(kPartialFrameWaitMs);
  const Deadline noWait(0);
  Frame frame;
  for (;;) {
    FrameReader::Result next;
    while ((next = reader_.Next(&frame)) == FrameReader::Result::kFrame) {
      if (frame.type != kFrameReport) {
        Break();
        return true;
      }
      discarded += kFrameHeaderSize + frame.payload.size();
    }
    if (next == FrameReader::Result::kError) {
      Break();
      return true;
    }
    // Answers to other handles pile up while this one waits for the device
    // lock; only a token that never stops talking fills this much. The
    // stream is still in step, so the flush fails without breaking it.
    if (discarded > kMaxFlushBytes) return false;
    // Take what has already arrived; wait only to finish a frame that has begun.
    const Pull pulled = PullBytes(reader_.HasPartialFrame() ? partialLimit : noWait);
    if (pulled == Pull::kBroken) {
      Break();
      return true;
    }
    if (pulled == Pull::kTimedOut) {
      if (reader_.HasPartialFrame()) Break();
      return true;
    }
  }
}

bool VirtualDevice::TokenIdentity(uint64_t* first, uint64_t* second) const {
  if (!identityKnown_) return false;
  *first = lockIdentity_[0];
  *second = lockIdentity_[1];
  return true;
}

void VirtualDevice::SetIdentity(uint64_t fileSystem, uint64_t inode) {
  lockIdentity_[0] = fileSystem;
  lockIdentity_[1] = inode;
  identityKnown_ = true;
}

DeviceStatus VirtualDevice::WriteReport(const uint8_t* report, uint32_t timeoutMs) {
  if (broken_) return DeviceStatus::kFailed;
  std::vector<uint8_t> frame;
  AppendFrame(kFrameReport, report, kReportSize, &frame);
  size_t sent = 0;
  const NetStatus status = socket_.SendAll(frame.data(), frame.size(), Deadline(timeoutMs), &sent);
  if (status == NetStatus::kOk) return DeviceStatus::kOk;
  // Half a frame cannot be taken back: the stream is out of step for good.
  if (status != NetStatus::kTimedOut || sent > 0) Break();
  return status == NetStatus::kTimedOut ? DeviceStatus::kTimedOut : DeviceStatus::kFailed;
}

DeviceStatus VirtualDevice::ReadReport(uint8_t* report, uint32_t timeoutMs) {
  if (broken_) return DeviceStatus::kFailed;
  const Deadline deadline(timeoutMs);
  Frame frame;
  for (;;) {
    switch (reader_.Next(&frame)) {
      case FrameReader::Result::kFrame:
        if (frame.type != kFrameReport) {
          Break();
          return DeviceStatus::kFailed;
        }
        std::memcpy(report, frame.payload.data(), kReportSize);
        return DeviceStatus::kOk;
      case FrameReader::Result::kError:
        Break();
        return DeviceStatus::kFailed;
      case FrameReader::Result::kNeedMore:
        break;
    }
    const Pull pulled = PullBytes(deadline);
    if (pulled == Pull::kTimedOut) return DeviceStatus::kTimedOut;
    if (pulled == Pull::kBroken) {
      Break();
      return DeviceStatus::kFailed;
    }
  }
}

namespace {

bool SendFrame(Socket& socket, char type, std::vector<uint8_t>* payload, const Deadline& deadline) {
  std::vector<uint8_t> frame;
  AppendFrame(type, payload->data(), payload->size(), &frame);
  size_t sent = 0;
  const NetStatus status = socket.SendAll(frame.data(), frame.size(), deadline, &sent);
  Wipe(payload);
  Wipe(&frame);
  if (status == NetStatus::kClosed || status == NetStatus::kFailed) closedInHandshake = true;
  return status == NetStatus::kOk;
}

// True when `frame` refuses the open; *status then says why.
bool IsRefusal(const Frame& frame, DeviceStatus* status) {
  if (frame.type != kFrameRefused || frame.payload.size() != kRefusedPayload) return false;
  // A refusal always fails the open, even one that names no reason.
  *status = StatusOfRefusal(BigEndian32(frame.payload.data()));
  return true;
}

// Over TCP the token must prove that it holds the entry's secret before the
// client proves it in turn; a token that cannot is refused as a wrong secret
// would be (access denied), and it is sent nothing more.
bool ProveSecret(Socket& socket, FrameReader& reader, const uint8_t* secret,
                 const uint8_t* clientNonce, const Deadline& deadline, Frame* answer,
                 DeviceStatus* status) {
  if (!ReceiveFrame(socket, reader, deadline, answer)) return false;
  if (IsRefusal(*answer, status)) return false;
  const std::vector<uint8_t>& p = answer->payload;
  if (answer->type != kFrameProof || p.size() != kTokenProofPayload) return false;
  const uint8_t* tokenNonce = p.data();
  const Sha256Digest expected = TokenProof(secret, clientNonce, tokenNonce);
  if (!SameDigest(expected.data(), p.data() + kNonceSize, kSha256Size)) {
    *status = DeviceStatus::kAccessDenied;
    return false;
  }
  const Sha256Digest proof = ClientProof(secret, clientNonce, tokenNonce);
  std::vector<uint8_t> payload(proof.begin(), proof.end());
  return SendFrame(socket, kFrameProof, &payload, deadline) &&
         ReceiveFrame(socket, reader, deadline, answer);
}

}  // namespace

DeviceStatus StatusOfRefusal(uint32_t reason) {
  if (reason == kRefusedAccessDenied) return DeviceStatus::kAccessDenied;
  if (reason == kRefusedSharingViolation) return DeviceStatus::kSharingViolation;
  return DeviceStatus::kNotFound;
}

Device* Handshake(Socket socket, ShareMode share, const uint8_t* secret, const Deadline& deadline,
                  DeviceStatus* status) {
  *status = DeviceStatus::kNotFound;
  std::vector<uint8_t> payload = {kProtocolVersion,
                                  static_cast<uint8_t>(share == ShareMode::kExclusive ? 1 : 0)};
  uint8_t clientNonce[kNonceSize] = {};
  if (secret != nullptr) {
    if (!SystemRandom(clientNonce, sizeof clientNonce)) return nullptr;
    payload.insert(payload.end(), clientNonce, clientNonce + kNonceSize);
  }
  if (!SendFrame(socket, kFrameOpen, &payload, deadline)) return nullptr;

  FrameReader reader;
  Frame answer;
  if (secret != nullptr) {
    if (!ProveSecret(socket, reader, secret, clientNonce, deadline, &answer, status)) {
      return nullptr;
    }
  } else if (!ReceiveFrame(socket, reader, deadline, &answer)) {
    return nullptr;
  }
  const std::vector<uint8_t>& p = answer.payload;
  if (IsRefusal(answer, status)) return nullptr;
  if (answer.type != kFrameIdentity || p.size() != kIdentityPayload || p[0] != kProtocolVersion) {
    return nullptr;
  }
  Identity identity;
  identity.vendorId = BigEndian16(&p[1]);
  identity.productId = BigEndian16(&p[3]);
  identity.featureReportLength = BigEndian16(&p[5]);
  auto* device = new (std::nothrow) VirtualDevice(std::move(socket), std::move(reader), identity);
  *status = device != nullptr ? DeviceStatus::kOk : DeviceStatus::kFailed;
  return device;
}

bool EntryFileIdentity(const std::string& entryPath, uint64_t* fileSystem, uint64_t* fileId) {
#ifdef _WIN32
  HANDLE file = CreateFileA(entryPath.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!known) return false;
  *fileSystem = info.dwVolumeSerialNumber;
  *fileId = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
#else
  struct stat info;
  if (stat(entryPath.c_str(), &info) != 0) return false;
  *fileSystem = static_cast<uint64_t>(info.st_dev);
  *fileId = static_cast<uint64_t>(info.st_ino);
  return true;
#endif
}

Device* OpenVirtualDevice(const char* path, ShareMode share, DeviceStatus* status) {
  *status = DeviceStatus::kNotFound;
  if (!IsVirtualPath(path)) return nullptr;
  const std::string entryPath = path + kPathPrefixLength;
  const EntryKind kind = KindOfName(entryPath);
  TcpEndpoint endpoint;
  const DeviceStatus trusted = CheckEntry(entryPath, kind, &endpoint);
  if (trusted != DeviceStatus::kOk) {
    *status = trusted;
    return nullptr;
  }
  const Deadline deadline(kHandshakeTimeoutMs);
  Device* device = nullptr;
  // A token pressed for room (a flood of idle connections) may close a
  // connection before it was heard: one more try, within the same time.
  for (int attempt = 0; attempt < 2 && device == nullptr && !deadline.Expired(); ++attempt) {
    closedInHandshake = false;
    if (kind == EntryKind::kLocalSocket) {
      Socket socket = Socket::ConnectLocal(entryPath, deadline, status);
      if (socket.Valid()) device = Handshake(std::move(socket), share, nullptr, deadline, status);
    } else {
      Socket socket = Socket::ConnectLoopback(endpoint.port, deadline, status);
      if (socket.Valid()) {
        device = Handshake(std::move(socket), share, endpoint.secret, deadline, status);
      }
    }
    if (!closedInHandshake) break;
  }
  // One token, one lock, however its directory is written (DIR, DIR/.,
  // a link to it): the lock is named by the entry's file, not its path.
  uint64_t fileSystem = 0;
  uint64_t fileId = 0;
  if (device != nullptr && EntryFileIdentity(entryPath, &fileSystem, &fileId)) {
    static_cast<VirtualDevice*>(device)->SetIdentity(fileSystem, fileId);
  }
  volatile uint8_t* secret = endpoint.secret;
  for (size_t i = 0; i < kSecretSize; ++i) secret[i] = 0;
  return device;
}

}  // namespace qk::platform::vlink
