// One send() on a link socket, shared by the client and the token's server.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk::platform::vlink {

// Sends up to `size` bytes on the connected socket `handle` (a descriptor, or
// a Winsock SOCKET) and returns what send() returns: the count sent, or -1
// with the reason in errno (WSAGetLastError on Windows). A peer that went away
// fails the send instead of raising SIGPIPE.
long SendNoSignal(intptr_t handle, const uint8_t* data, size_t size);

}  // namespace qk::platform::vlink
