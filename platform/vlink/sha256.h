// SHA-256 and HMAC-SHA-256, for the virtual link's proof of the shared
// secret (the library depends on nothing outside the C++ library and the OS).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qk {

constexpr size_t kSha256Size = 32;
using Sha256Digest = std::array<uint8_t, kSha256Size>;

class Sha256 {
 public:
  Sha256();
  void Update(const uint8_t* data, size_t size);
  Sha256Digest Finish();  // the object must not be used afterwards

 private:
  void Compress(const uint8_t* block);

  uint32_t state_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t totalBytes_ = 0;
};

Sha256Digest Sha256Of(const uint8_t* data, size_t size);

// HMAC with SHA-256 over the concatenation of `parts`.
struct ByteRange {
  const uint8_t* data;
  size_t size;
};
Sha256Digest HmacSha256(const uint8_t* key, size_t keySize, const ByteRange* parts,
                        size_t partCount);

// Compares in time independent of where the digests differ.
bool SameDigest(const uint8_t* a, const uint8_t* b, size_t size);

}  // namespace qk
