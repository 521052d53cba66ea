// The few socket calls of the virtual link, behind one small interface: Unix-
// domain stream sockets where the system has them, loopback TCP everywhere
// (Winsock on Windows). Every socket is non-blocking; waits are bounded by a
// Deadline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/deadline.h"
#include "platform/platform.h"

namespace qk::platform::vlink {

enum class NetStatus { kOk, kTimedOut, kFailed, kClosed, kWouldBlock };

class Socket {
 public:
  Socket() = default;
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Connects to the Unix-domain socket at `path` (not on Windows) or to
  // 127.0.0.1:`port`, within the deadline. An invalid Socket on failure, with
  // the reason in *status.
  static Socket ConnectLocal(const std::string& path, const Deadline& deadline,
                             DeviceStatus* status);
  static Socket ConnectLoopback(uint16_t port, const Deadline& deadline, DeviceStatus* status);
  // Takes over a connected descriptor (tests hand in one end of a socket pair).
  static Socket Adopt(intptr_t handle);

  bool Valid() const;
  void Close();

  // Sends all `size` bytes; *sent tells how many went out when it did not.
  NetStatus SendAll(const uint8_t* data, size_t size, const Deadline& deadline, size_t* sent);
  // kOk once bytes (or the peer's close) can be received.
  NetStatus WaitReadable(const Deadline& deadline);
  // Takes what has arrived without waiting: kOk with *received > 0,
  // kWouldBlock when nothing is there, kClosed at the peer's end of stream.
  NetStatus ReceiveSome(uint8_t* buffer, size_t capacity, size_t* received);

 private:
  explicit Socket(intptr_t handle) : handle_(handle) {}
  intptr_t handle_ = -1;
};

// Whether ConnectLocal can work on this system.
bool LocalSocketsSupported();

}  // namespace qk::platform::vlink
