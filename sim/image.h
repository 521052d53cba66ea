// The token's image file: its whole persistent state in one versioned,
// checksummed binary record (layout in docs/token.md), written atomically.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/state.h"

namespace qksim {

constexpr uint16_t kImageVersion = 1;
constexpr size_t kMaxImageSize = 32u << 20;

std::vector<uint8_t> EncodeImage(const TokenState& state);
// Treats `bytes` as hostile; on failure says why in *error and leaves *state alone.
bool DecodeImage(const std::vector<uint8_t>& bytes, TokenState* state, std::string* error);

enum class ImageRead { kLoaded, kMissing, kFailed };
// kFailed (with the reason) also for a path that is not the caller's own
// regular file: see private_file.h.
ImageRead ReadImageFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);
// Writes a fresh temporary file beside `path`, flushes it to the disk and
// renames it over `path`, so that a crash leaves either the old or the new image.
bool WriteImageFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

uint32_t Crc32(const uint8_t* bytes, size_t count);

}  // namespace qksim
