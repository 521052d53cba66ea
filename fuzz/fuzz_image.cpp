// The token-image loader on arbitrary bytes. A rejected image must come with
// a reason and leave the target state alone; an accepted one must encode
// again to an image that loads to the same state, and no directory in it may
// hold more than its space.
//
// Input: flags (1), then the image.
//   flags bit 0: the header's payload length and the trailing checksum are
//                made to match the bytes, so that mutations reach the record
//                parser instead of dying at the checksum.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/input_reader.h"
#include "sim/image.h"
#include "sim/state.h"

namespace {

constexpr size_t kHeaderSize = 16;  // magic (8), version (2), reserved (2), payload length (4)
constexpr size_t kLengthAt = 12;
constexpr size_t kTrailerSize = 4;      // CRC-32 of everything before it
constexpr size_t kMaxImage = 1u << 18;  // bounds one input's time; real images are far smaller

void PutLe32(size_t value, uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

void MakeConsistent(std::vector<uint8_t>* image) {
  if (image->size() < kHeaderSize + kTrailerSize) return;
  const size_t covered = image->size() - kTrailerSize;
  PutLe32(covered - kHeaderSize, image->data() + kLengthAt);
  PutLe32(qksim::Crc32(image->data(), covered), image->data() + covered);
}

// Every directory's entries fit its space, counted without wrapping.
bool Fits(const qksim::Node& directory) {
  uint64_t used = 0;
  for (const qksim::Node& child : directory.children) {
    used += qksim::kEntryOverhead + (child.isDirectory ? child.capacity : child.data.size());
    if (child.isDirectory && !Fits(child)) return false;
  }
  return used <= directory.capacity;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxImage) return 0;
  qkfuzz::InputReader in(data, size);
  const uint8_t flags = in.U8();
  std::vector<uint8_t> image = in.Take(size);
  if ((flags & 0x01) != 0) MakeConsistent(&image);

  qksim::TokenState state;
  state.infoByte = 0x5A;  // a marker a failed load must not touch
  std::string error;
  if (!qksim::DecodeImage(image, &state, &error)) {
    if (error.empty()) qkfuzz::Fail("rejected image without a reason");
    if (state.infoByte != 0x5A ||
        state.fileSystem.Present() != qksim::TokenState{}.fileSystem.Present()) {
      qkfuzz::Fail("rejected image changed the state");
    }
    return 0;
  }
  if (state.fileSystem.Present() && !Fits(state.fileSystem.Root())) {
    qkfuzz::Fail("accepted image with a directory holding more than its space");
  }
  const std::vector<uint8_t> encoded = qksim::EncodeImage(state);
  qksim::TokenState reloaded;
  if (!qksim::DecodeImage(encoded, &reloaded, &error))
    qkfuzz::Fail("re-encoded image does not load");
  if (qksim::EncodeImage(reloaded) != encoded) qkfuzz::Fail("image round trip changed the state");
  return 0;
}
