#include "sim/image.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include "sim/private_file.h"

namespace qksim {
namespace {

constexpr uint8_t kMagic[8] = {'Q', 'K', 'T', 'O', 'K', 'I', 'M', 'G'};
constexpr size_t kHeaderSize = 16;  // magic, version, reserved, payload length
constexpr size_t kTrailerSize = 4;  // CRC-32

class Writer {
 public:
  void U8(uint8_t v) { bytes_.push_back(v); }
  void U16(uint32_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  void Bytes(const uint8_t* data, size_t count) { bytes_.insert(bytes_.end(), data, data + count); }
  std::vector<uint8_t>& Out() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Bounded reads: every read past the end fails the whole decode.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool U8(uint8_t* v) {
    if (position_ + 1 > size_) return false;
    *v = data_[position_++];
    return true;
  }
  bool U16(uint16_t* v) {
    uint8_t lo = 0, hi = 0;
    if (!U8(&lo) || !U8(&hi)) return false;
    *v = static_cast<uint16_t>(lo | (hi << 8));
    return true;
  }
  bool U32(uint32_t* v) {
    uint16_t lo = 0, hi = 0;
    if (!U16(&lo) || !U16(&hi)) return false;
    *v = lo | (uint32_t{hi} << 16);
    return true;
  }
  bool Bytes(uint8_t* out, size_t count) {
    if (count > size_ - position_) return false;
    std::memcpy(out, data_ + position_, count);
    position_ += count;
    return true;
  }
  bool AtEnd() const { return position_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

void WritePin(const PinRecord& pin, Writer* w) {
  w->U8(static_cast<uint8_t>(pin.value.size()));
  w->Bytes(pin.value.data(), pin.value.size());
  w->U8(pin.limit);
  w->U8(pin.remaining);
}

bool ReadPin(Reader* r, PinRecord* pin, std::string* error) {
  uint8_t length = 0;
  if (!r->U8(&length) || length == 0 || length > kMaxPinLength) {
    *error = "bad PIN length";
    return false;
  }
  pin->value.assign(length, 0);
  if (!r->Bytes(pin->value.data(), length) || !r->U8(&pin->limit) || !r->U8(&pin->remaining) ||
      pin->limit == 0 || pin->limit == 0xFF || pin->remaining > pin->limit) {
    *error = "bad PIN record";
    return false;
  }
  return true;
}

void WriteNode(const Node& node, Writer* w) {
  w->U8(node.isDirectory ? kDirectoryType : node.type);
  w->U16(node.id);
  if (node.isDirectory) {
    w->U32(node.capacity);
    w->U16(static_cast<uint32_t>(node.children.size()));
    for (const Node& child : node.children) WriteNode(child, w);
  } else {
    w->U16(static_cast<uint32_t>(node.data.size()));
    w->Bytes(node.data.data(), node.data.size());
  }
}

// Reads one entry at `depth` (0 = the root) and checks it as the token would
// have made it: known types, unique identifiers, sizes within the space.
bool ReadNode(Reader* r, size_t depth, Node* node, std::string* error) {
  uint8_t kind = 0;
  if (!r->U8(&kind) || !r->U16(&node->id)) {
    *error = "truncated file-system entry";
    return false;
  }
  if (kind == kDirectoryType) {
    node->isDirectory = true;
    uint16_t count = 0;
    if (!r->U32(&node->capacity) || !r->U16(&count)) {
      *error = "truncated directory entry";
      return false;
    }
    if (node->capacity > kMaxDirectoryCapacity) {
      *error = "directory capacity out of range";
      return false;
    }
    if (depth > kMaxDepth) {
      *error = "directories nested too deeply";
      return false;
    }
    // Every entry takes kEntryOverhead bytes of space: more entries cannot fit.
    if (uint64_t{count} * kEntryOverhead > node->capacity) {
      *error = "directory holds more entries than its space allows";
      return false;
    }
    node->children.reserve(count);
    // Summed in 64 bits and checked after every entry: 256 subdirectories
    // of 0xFFFFF0 bytes each take exactly 2^32 bytes.
    uint64_t used = 0;
    for (uint16_t i = 0; i < count; ++i) {
      Node child;
      if (!ReadNode(r, depth + 1, &child, error)) return false;
      if (IsReservedId(child.id) || FileSystem::Child(*node, child.id) != nullptr) {
        *error = "reserved or repeated identifier in a directory";
        return false;
      }
      used += FileSystem::Footprint(child);
      if (used > node->capacity) {
        *error = "directory contents exceed its space";
        return false;
      }
      node->children.push_back(std::move(child));
    }
    return true;
  }
  if (!IsKnownFileType(kind)) {
    *error = "unknown file type";
    return false;
  }
  node->type = kind;
  uint16_t size = 0;
  if (!r->U16(&size) || size == 0) {
    *error = "bad file size";
    return false;
  }
  node->data.assign(size, 0);
  if (!r->Bytes(node->data.data(), size)) {
    *error = "truncated file contents";
    return false;
  }
  return true;
}

std::string SystemError() { return std::strerror(errno); }

}  // namespace

uint32_t Crc32(const uint8_t* bytes, size_t count) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::vector<uint8_t> EncodeImage(const TokenState& state) {
  Writer payload;
  payload.Bytes(state.serial.data(), state.serial.size());
  payload.Bytes(state.value.data(), state.value.size());
  payload.U8(state.infoByte);
  payload.U8(state.indicator);
  WritePin(state.userPin, &payload);
  WritePin(state.developerPin, &payload);
  payload.U8(state.fileSystem.Present() ? 1 : 0);
  if (state.fileSystem.Present()) WriteNode(state.fileSystem.Root(), &payload);

  Writer image;
  image.Bytes(kMagic, sizeof kMagic);
  image.U16(kImageVersion);
  image.U16(0);
  image.U32(static_cast<uint32_t>(payload.Out().size()));
  image.Bytes(payload.Out().data(), payload.Out().size());
  image.U32(Crc32(image.Out().data(), image.Out().size()));
  return std::move(image.Out());
}

bool DecodeImage(const std::vector<uint8_t>& bytes, TokenState* state, std::string* error) {
  if (bytes.size() < kHeaderSize + kTrailerSize ||
      std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    *error = "not a token image";
    return false;
  }
  Reader header(bytes.data() + sizeof kMagic, kHeaderSize - sizeof kMagic);
  uint16_t version = 0, reserved = 0;
  uint32_t payloadSize = 0;
  header.U16(&version);
  header.U16(&reserved);
  header.U32(&payloadSize);
  if (version != kImageVersion) {
    *error = "unsupported image version " + std::to_string(version);
    return false;
  }
  if (payloadSize != bytes.size() - kHeaderSize - kTrailerSize) {
    *error = "image length does not match its header (truncated or extended)";
    return false;
  }
  Reader trailer(bytes.data() + bytes.size() - kTrailerSize, kTrailerSize);
  uint32_t storedCrc = 0;
  trailer.U32(&storedCrc);
  if (storedCrc != Crc32(bytes.data(), bytes.size() - kTrailerSize)) {
    *error = "image checksum mismatch (corrupt)";
    return false;
  }
  TokenState loaded;
  Reader r(bytes.data() + kHeaderSize, payloadSize);
  uint8_t present = 0;
  if (!r.Bytes(loaded.serial.data(), loaded.serial.size()) ||
      !r.Bytes(loaded.value.data(), loaded.value.size()) || !r.U8(&loaded.infoByte) ||
      !r.U8(&loaded.indicator)) {
    *error = "truncated token record";
    return false;
  }
  if (!ReadPin(&r, &loaded.userPin, error) || !ReadPin(&r, &loaded.developerPin, error))
    return false;
  if (!r.U8(&present) || present > 1) {
    *error = "bad file-system flag";
    return false;
  }
  if (present == 1) {
    Node root;
    if (!ReadNode(&r, 0, &root, error)) return false;
    if (!root.isDirectory || root.id != kRootId) {
      *error = "the file system does not start with the root directory";
      return false;
    }
    loaded.fileSystem.Adopt(std::move(root));
  }
  if (!r.AtEnd()) {
    *error = "unexpected bytes after the token record";
    return false;
  }
  *state = std::move(loaded);
  return true;
}

ImageRead ReadImageFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  int fd = -1;
  switch (OpenOwnFileForReading(path, &fd, error)) {
    case FileOpen::kMissing:
      return ImageRead::kMissing;
    case FileOpen::kRefused:
      return ImageRead::kFailed;
    case FileOpen::kOpened:
      break;
  }
#ifdef _WIN32
  FILE* file = _fdopen(fd, "rb");
  if (file == nullptr) _close(fd);
#else
  FILE* file = fdopen(fd, "rb");
  if (file == nullptr) ::close(fd);
#endif
  if (file == nullptr) {
    *error = "cannot open " + path + ": " + SystemError();
    return ImageRead::kFailed;
  }
  bytes->clear();
  uint8_t buffer[65536];
  size_t n = 0;
  bool tooLarge = false;
  while (!tooLarge && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    bytes->insert(bytes->end(), buffer, buffer + n);
    tooLarge = bytes->size() > kMaxImageSize;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (tooLarge) {
    *error = path + ": image larger than " + std::to_string(kMaxImageSize) + " bytes";
    return ImageRead::kFailed;
  }
  if (failed) {
    *error = "cannot read " + path;
    return ImageRead::kFailed;
  }
  return ImageRead::kLoaded;
}

bool WriteImageFile(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string* error) {
  return ReplaceOwnFile(path, bytes, error);
}

}  // namespace qksim
