// The files the simulated token keeps for its user alone: the image (PINs,
// keys, files) and the deciphered trace. They often live in shared
// directories, so a path is used only when it is the caller's own regular
// file or does not exist: a symbolic link, FIFO, device or another user's
// file is refused with a message naming the path, and nothing is opened in a
// way that could block.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qksim {

enum class FileOpen { kOpened, kMissing, kRefused };

// Opens `path` for reading (descriptor in *fd, close-on-exec). kMissing when
// nothing is there; kRefused with *error for anything but the caller's own
// regular file, or when it cannot be opened.
FileOpen OpenOwnFileForReading(const std::string& path, int* fd, std::string* error);

// Creates `path` with mode 0600, or empties the caller's own regular file and
// makes it 0600; refuses as above. Never follows a link.
bool OpenOwnFileForWriting(const std::string& path, int* fd, std::string* error);

// True when `path` is absent or the caller's own regular file.
bool IsOwnFileOrAbsent(const std::string& path, std::string* error);

// Replaces `path` with `bytes`: a fresh temporary file, made exclusively with
// mode 0600 in the same directory, is written, flushed to the disk and
// renamed over `path`, so that a crash leaves the old or the new contents.
// Refuses when `path` is not the caller's own regular file or absent.
bool ReplaceOwnFile(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);

}  // namespace qksim
