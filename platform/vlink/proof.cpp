#include "platform/vlink/proof.h"

#include "platform/vlink/frame.h"

#ifdef _WIN32
#define _CRT_RAND_S
#include <stdlib.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace qk::platform::vlink {
namespace {

const char kTokenLabel[] = "qktoken link: token proof";
const char kClientLabel[] = "qktoken link: client proof";

Sha256Digest Proof(const char* label, size_t labelSize, const uint8_t* secret,
                   const uint8_t* clientNonce, const uint8_t* tokenNonce) {
  const ByteRange parts[] = {{reinterpret_cast<const uint8_t*>(label), labelSize},
                             {clientNonce, kNonceSize},
                             {tokenNonce, kNonceSize}};
  return HmacSha256(secret, kSecretSize, parts, 3);
}

}  // namespace

Sha256Digest TokenProof(const uint8_t* secret, const uint8_t* clientNonce,
                        const uint8_t* tokenNonce) {
  return Proof(kTokenLabel, sizeof kTokenLabel - 1, secret, clientNonce, tokenNonce);
}

Sha256Digest ClientProof(const uint8_t* secret, const uint8_t* clientNonce,
                         const uint8_t* tokenNonce) {
  return Proof(kClientLabel, sizeof kClientLabel - 1, secret, clientNonce, tokenNonce);
}

#ifdef _WIN32

bool SystemRandom(uint8_t* out, size_t size) {
  for (size_t i = 0; i < size; i += 4) {
    unsigned int word = 0;
    if (rand_s(&word) != 0) return false;
    for (size_t j = 0; j < 4 && i + j < size; ++j) out[i + j] = static_cast<uint8_t>(word >> 8 * j);
  }
  return true;
}

#else

bool SystemRandom(uint8_t* out, size_t size) {
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  while (got < size) {
    const ssize_t n = ::read(fd, out + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return got == size;
}

#endif

}  // namespace qk::platform::vlink
