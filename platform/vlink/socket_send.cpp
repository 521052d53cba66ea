#include "platform/vlink/socket_send.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace qk::platform::vlink {

#ifdef _WIN32

long SendNoSignal(intptr_t handle, const uint8_t* data, size_t size) {
  // send() takes an int count: larger buffers go out in several calls.
  const int chunk = size > 0x10000 ? 0x10000 : static_cast<int>(size);
  return send(static_cast<SOCKET>(handle), reinterpret_cast<const char*>(data), chunk, 0);
}

#else

long SendNoSignal(intptr_t handle, const uint8_t* data, size_t size) {
#ifdef MSG_NOSIGNAL
  return send(static_cast<int>(handle), data, size, MSG_NOSIGNAL);
#else
  return send(static_cast<int>(handle), data, size, 0);
#endif
}

#endif

}  // namespace qk::platform::vlink
