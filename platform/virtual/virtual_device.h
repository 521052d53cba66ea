// A token reached over the virtual link: one stream connection per open
// handle, carrying 65-byte reports in frames.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "platform/virtual/socket_io.h"
#include "platform/vlink/frame.h"

namespace qk::platform::vlink {

// Connecting and receiving the identity must end within this time.
constexpr uint32_t kHandshakeTimeoutMs = 2000;
// A flush waits at most this long for the rest of a frame that has begun.
constexpr uint32_t kPartialFrameWaitMs = 1000;
// A flush discards at most this many bytes; past that it fails (the exchange
// then answers QK_E_FAILURE) and leaves the stream in step.
constexpr size_t kMaxFlushBytes = 16 * 1024 * 1024;

struct Identity {
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t featureReportLength = 0;
};

class VirtualDevice final : public Device {
 public:
  // `reader` holds whatever arrived after the identity.
  VirtualDevice(Socket socket, FrameReader reader, const Identity& identity);

  bool GetAttributes(uint16_t* vendorId, uint16_t* productId) override;
  bool GetFeatureReportLength(uint16_t* length) override;
  bool FlushInput() override;
  DeviceStatus WriteReport(const uint8_t* report, uint32_t timeoutMs) override;
  DeviceStatus ReadReport(uint8_t* report, uint32_t timeoutMs) override;
  uint32_t HandleValue() const override { return handleValue_; }
  bool TokenIdentity(uint64_t* first, uint64_t* second) const override;
  // The token's entry (socket or .tcp file) as the open found it.
  void SetIdentity(uint64_t fileSystem, uint64_t inode);

 private:
  enum class Pull { kGot, kTimedOut, kBroken };
  // Receives what is there, waiting until the deadline for something.
  Pull PullBytes(const Deadline& deadline);
  // Closes the connection for good: the stream can no longer be trusted.
  void Break();

  Socket socket_;
  FrameReader reader_;
  Identity identity_;
  uint32_t handleValue_;
  bool broken_ = false;
  bool identityKnown_ = false;
  uint64_t lockIdentity_[2] = {};
};

// Sends the open frame on a connected socket and waits for the answer, all
// within `deadline`. Null on failure with the reason in *status (for a
// refusal, the one the token gave).
Device* Handshake(Socket socket, ShareMode share, const uint8_t* secret, const Deadline& deadline,
                  DeviceStatus* status);

// What a refusal's reason means to the library: access denied and sharing
// violation as such, anything else (0 included) as not found.
DeviceStatus StatusOfRefusal(uint32_t reason);

// The file system and file number of a directory entry: st_dev and st_ino, or
// on Windows the volume serial number and the file index. They are the same
// for every spelling of the path, which is what names a virtual token's lock.
bool EntryFileIdentity(const std::string& entryPath, uint64_t* fileSystem, uint64_t* fileId);

// OpenDevice for a "qkvirtual:" path: trust checks, connection, handshake.
Device* OpenVirtualDevice(const char* path, ShareMode share, DeviceStatus* status);

}  // namespace qk::platform::vlink
