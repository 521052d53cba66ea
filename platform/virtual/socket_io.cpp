#include "platform/virtual/socket_io.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "platform/vlink/socket_send.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace qk::platform::vlink {
namespace {

// A connect that the peer cannot take yet (full backlog) is retried this often.
constexpr auto kConnectRetryPause = std::chrono::milliseconds(5);

#ifdef _WIN32

using Native = SOCKET;
Native ToNative(intptr_t handle) { return static_cast<Native>(handle); }
bool IsValid(intptr_t handle) { return ToNative(handle) != INVALID_SOCKET; }
void CloseNative(intptr_t handle) { closesocket(ToNative(handle)); }
int LastError() { return WSAGetLastError(); }
bool WouldBlock(int error) { return error == WSAEWOULDBLOCK; }
bool Interrupted(int error) { return error == WSAEINTR; }

bool StartWinsock() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}

bool MakeNonBlocking(Native s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

// select() on one socket: 1 ready, 0 timed out, -1 failed.
int WaitFor(Native s, bool forWrite, const Deadline& deadline) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(s, &ready);
  FD_SET(s, &failed);
  timeval limit{};
  timeval* limitPtr = nullptr;
  if (!deadline.Infinite()) {
    const int ms = deadline.RemainingMs();
    limit.tv_sec = ms / 1000;
    limit.tv_usec = (ms % 1000) * 1000;
    limitPtr = &limit;
  }
  const int n =
      select(0, forWrite ? nullptr : &ready, forWrite ? &ready : nullptr, &failed, limitPtr);
  if (n < 0) return -1;
  if (n == 0) return 0;
  return FD_ISSET(s, &ready) ? 1 : -1;
}

long ReceiveNative(Native s, uint8_t* buffer, size_t capacity) {
  const int chunk = capacity > 0x10000 ? 0x10000 : static_cast<int>(capacity);
  return recv(s, reinterpret_cast<char*>(buffer), chunk, 0);
}

#else

using Native = int;
Native ToNative(intptr_t handle) { return static_cast<Native>(handle); }
bool IsValid(intptr_t handle) { return handle >= 0; }
void CloseNative(intptr_t handle) { close(ToNative(handle)); }
int LastError() { return errno; }
bool WouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }
bool Interrupted(int error) { return error == EINTR; }
bool StartWinsock() { return true; }

bool MakeNonBlocking(Native s) {
  const int flags = fcntl(s, F_GETFL);
  return flags >= 0 && fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0 &&
         fcntl(s, F_SETFD, FD_CLOEXEC) == 0;
}

// poll() on one socket: 1 ready, 0 timed out, -1 failed.
int WaitFor(Native s, bool forWrite, const Deadline& deadline) {
  for (;;) {
    pollfd entry{s, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    const int n = poll(&entry, 1, deadline.RemainingMs());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) return 0;
    // A hang-up still lets a reader take the end of stream.
    if (!forWrite && (entry.revents & POLLHUP)) return 1;
    return (entry.revents & entry.events) ? 1 : -1;
  }
}

long ReceiveNative(Native s, uint8_t* buffer, size_t capacity) {
  return recv(s, buffer, capacity, 0);
}

#endif

bool ConnectInProgress(int error) {
#ifdef _WIN32
  return error == WSAEWOULDBLOCK || error == WSAEINPROGRESS;
#else
  return error == EINPROGRESS;
#endif
}

DeviceStatus StatusOfConnectError(int error) {
#ifndef _WIN32
  if (error == EACCES || error == EPERM) return DeviceStatus::kAccessDenied;
#else
  if (error == WSAEACCES) return DeviceStatus::kAccessDenied;
#endif
  return DeviceStatus::kNotFound;
}

// Connects the non-blocking socket `s` to `address`, retrying a full backlog.
bool ConnectWithin(Native s, const sockaddr* address, size_t length, const Deadline& deadline,
                   DeviceStatus* status) {
  for (;;) {
    if (connect(s, address, static_cast<int>(length)) == 0) return true;
    const int error = LastError();
    if (Interrupted(error)) continue;
    if (ConnectInProgress(error)) {
      const int ready = WaitFor(s, true, deadline);
      int pending = 0;
      auto size = static_cast<socklen_t>(sizeof pending);
      if (ready == 1 &&
          getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size) == 0 &&
          pending == 0) {
        return true;
      }
      *status = ready == 1 ? StatusOfConnectError(pending) : DeviceStatus::kNotFound;
      return false;
    }
    if (WouldBlock(error) && !deadline.Expired()) {
      std::this_thread::sleep_for(kConnectRetryPause);
      continue;
    }
    *status = StatusOfConnectError(error);
    return false;
  }
}

}  // namespace

Socket::~Socket() { Close(); }

Socket::Socket(Socket&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

Socket Socket::Adopt(intptr_t handle) {
  Socket adopted(handle);
  if (adopted.Valid() && !MakeNonBlocking(ToNative(handle))) adopted.Close();
  return adopted;
}

bool Socket::Valid() const { return IsValid(handle_); }

void Socket::Close() {
  if (Valid()) CloseNative(handle_);
  handle_ = -1;
}

bool LocalSocketsSupported() {
#ifdef _WIN32
  return false;
#else
  return true;
#endif
}

Socket Socket::ConnectLocal(const std::string& path, const Deadline& deadline,
                            DeviceStatus* status) {
  *status = DeviceStatus::kNotFound;
#ifdef _WIN32
  (void)path;
  (void)deadline;
  return Socket();
#else
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // The address holds about 107 bytes; a longer path cannot be reached.
  if (path.size() >= sizeof address.sun_path) return Socket();
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  Socket s(socket(AF_UNIX, SOCK_STREAM, 0));
  if (!s.Valid() || !MakeNonBlocking(ToNative(s.handle_))) return Socket();
  if (!ConnectWithin(ToNative(s.handle_), reinterpret_cast<const sockaddr*>(&address),
                     sizeof address, deadline, status)) {
    return Socket();
  }
  return s;
#endif
}

Socket Socket::ConnectLoopback(uint16_t port, const Deadline& deadline, DeviceStatus* status) {
  *status = DeviceStatus::kNotFound;
  if (!StartWinsock()) return Socket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Socket s(static_cast<intptr_t>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
  if (!s.Valid() || !MakeNonBlocking(ToNative(s.handle_))) return Socket();
  // Reports are small and answered one by one: send each at once.
  int on = 1;
  setsockopt(ToNative(s.handle_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
             static_cast<socklen_t>(sizeof on));
  if (!ConnectWithin(ToNative(s.handle_), reinterpret_cast<const sockaddr*>(&address),
                     sizeof address, deadline, status)) {
    return Socket();
  }
  return s;
}

NetStatus Socket::SendAll(const uint8_t* data, size_t size, const Deadline& deadline,
                          size_t* sent) {
  *sent = 0;
  if (!Valid()) return NetStatus::kFailed;
  while (*sent < size) {
    const long n = SendNoSignal(handle_, data + *sent, size - *sent);
    if (n > 0) {
      *sent += static_cast<size_t>(n);
      continue;
    }
    const int error = LastError();
    if (n < 0 && Interrupted(error)) continue;
    if (n < 0 && WouldBlock(error)) {
      const int ready = WaitFor(ToNative(handle_), true, deadline);
      if (ready == 0) return NetStatus::kTimedOut;
      if (ready < 0) return NetStatus::kFailed;
      continue;
    }
    return NetStatus::kFailed;
  }
  return NetStatus::kOk;
}

NetStatus Socket::WaitReadable(const Deadline& deadline) {
  if (!Valid()) return NetStatus::kFailed;
  const int ready = WaitFor(ToNative(handle_), false, deadline);
  if (ready == 0) return NetStatus::kTimedOut;
  return ready > 0 ? NetStatus::kOk : NetStatus::kFailed;
}

NetStatus Socket::ReceiveSome(uint8_t* buffer, size_t capacity, size_t* received) {
  *received = 0;
  if (!Valid()) return NetStatus::kFailed;
  for (;;) {
    const long n = ReceiveNative(ToNative(handle_), buffer, capacity);
    if (n > 0) {
      *received = static_cast<size_t>(n);
      return NetStatus::kOk;
    }
    if (n == 0) return NetStatus::kClosed;
    const int error = LastError();
    if (Interrupted(error)) continue;
    return WouldBlock(error) ? NetStatus::kWouldBlock : NetStatus::kFailed;
  }
}

}  // namespace qk::platform::vlink
