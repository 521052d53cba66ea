#include "sim/private_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qksim {
namespace {

std::string SystemError(int error) { return std::strerror(error); }

}  // namespace

#ifdef _WIN32

// Windows has no owners or links to speak of here (the simulated token is
// served from POSIX hosts; Windows builds use it in-process in tests): only
// the kind of file is checked.
namespace {

bool CheckRegular(const std::string& path, const struct _stat64& info, std::string* error) {
  if ((info.st_mode & _S_IFMT) != _S_IFREG) {
    *error = path + ": not a regular file; refusing to use it";
    return false;
  }
  return true;
}

}  // namespace

FileOpen OpenOwnFileForReading(const std::string& path, int* fd, std::string* error) {
  struct _stat64 info;
  if (_stat64(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return FileOpen::kMissing;
    *error = "cannot open " + path + ": " + SystemError(errno);
    return FileOpen::kRefused;
  }
  if (!CheckRegular(path, info, error)) return FileOpen::kRefused;
  *fd = _open(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (*fd < 0) {
    *error = "cannot open " + path + ": " + SystemError(errno);
    return FileOpen::kRefused;
  }
  return FileOpen::kOpened;
}

bool OpenOwnFileForWriting(const std::string& path, int* fd, std::string* error) {
  struct _stat64 info;
  if (_stat64(path.c_str(), &info) == 0 && !CheckRegular(path, info, error)) return false;
  *fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT,
              _S_IREAD | _S_IWRITE);
  if (*fd < 0) {
    *error = "cannot open " + path + ": " + SystemError(errno);
    return false;
  }
  return true;
}

bool IsOwnFileOrAbsent(const std::string& path, std::string* error) {
  struct _stat64 info;
  if (_stat64(path.c_str(), &info) != 0) return errno == ENOENT;
  return CheckRegular(path, info, error);
}

bool ReplaceOwnFile(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string* error) {
  if (!IsOwnFileOrAbsent(path, error)) return false;
  int fd = -1;
  std::string temporary;
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary =
        path + ".tmp" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(attempt);
    fd = _open(temporary.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
               _S_IREAD | _S_IWRITE);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = "cannot create a temporary file beside " + path + ": " + SystemError(errno);
    return false;
  }
  bool ok = _write(fd, bytes.data(), static_cast<unsigned>(bytes.size())) ==
                static_cast<int>(bytes.size()) &&
            _commit(fd) == 0;
  ok = _close(fd) == 0 && ok;
  if (!ok || !MoveFileExA(temporary.c_str(), path.c_str(),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = "cannot write " + path;
    std::remove(temporary.c_str());
    return false;
  }
  return true;
}

#else

namespace {

std::string Directory(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The kind and owner of what is at `path`, as found by lstat or fstat.
bool CheckOwnRegular(const std::string& path, const struct stat& info, std::string* error) {
  const char* kind = nullptr;
  if (S_ISLNK(info.st_mode)) {
    kind = "a symbolic link";
  } else if (S_ISFIFO(info.st_mode)) {
    kind = "a FIFO";
  } else if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) {
    kind = "a device";
  } else if (S_ISSOCK(info.st_mode)) {
    kind = "a socket";
  } else if (!S_ISREG(info.st_mode)) {
    kind = "not a regular file";
  }
  if (kind != nullptr) {
    *error = path + ": " + (kind[0] == 'n' ? "" : "is ") + kind + "; refusing to use it";
    return false;
  }
  if (info.st_uid != geteuid()) {
    *error = path + ": belongs to another user (uid " + std::to_string(info.st_uid) +
             "); refusing to use it";
    return false;
  }
  return true;
}

// Opens with O_NOFOLLOW and O_NONBLOCK, so neither a link nor a FIFO without
// a writer can catch the open; the descriptor is then checked for what it
// really is, closing the gap between lstat and open.
int OpenChecked(const std::string& path, int flags, std::string* error) {
  const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    const int code = errno;
    *error = code == ELOOP ? path + ": is a symbolic link; refusing to use it"
                           : "cannot open " + path + ": " + SystemError(code);
    errno = code;
    return -1;
  }
  struct stat info;
  if (::fstat(fd, &info) != 0) {
    *error = "cannot examine " + path + ": " + SystemError(errno);
    ::close(fd);
    return -1;
  }
  if (!CheckOwnRegular(path, info, error)) {
    ::close(fd);
    errno = EPERM;
    return -1;
  }
  // Regular files never block; the flag is dropped so that writes stay whole.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    written += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool IsOwnFileOrAbsent(const std::string& path, std::string* error) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return true;
    *error = "cannot examine " + path + ": " + SystemError(errno);
    return false;
  }
  return CheckOwnRegular(path, info, error);
}

FileOpen OpenOwnFileForReading(const std::string& path, int* fd, std::string* error) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return FileOpen::kMissing;
    *error = "cannot examine " + path + ": " + SystemError(errno);
    return FileOpen::kRefused;
  }
  // Refused before any open: opening a device or FIFO can itself have effects.
  if (!CheckOwnRegular(path, info, error)) return FileOpen::kRefused;
  *fd = OpenChecked(path, O_RDONLY, error);
  if (*fd >= 0) return FileOpen::kOpened;
  return errno == ENOENT ? FileOpen::kMissing : FileOpen::kRefused;
}

bool OpenOwnFileForWriting(const std::string& path, int* fd, std::string* error) {
  if (!IsOwnFileOrAbsent(path, error)) return false;
  // No O_TRUNC: the file is emptied only once it is known to be ours.
  *fd = OpenChecked(path, O_WRONLY | O_CREAT, error);
  if (*fd < 0) return false;
  if (::ftruncate(*fd, 0) != 0 || ::fchmod(*fd, 0600) != 0) {
    *error = "cannot empty " + path + ": " + SystemError(errno);
    ::close(*fd);
    *fd = -1;
    return false;
  }
  return true;
}

bool ReplaceOwnFile(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string* error) {
  if (!IsOwnFileOrAbsent(path, error)) return false;
  // mkstemp creates the file with O_EXCL and mode 0600 under a name nobody
  // could have planted in advance.
  std::string temporary = path + ".tmp-XXXXXX";
  const int fd = ::mkstemp(&temporary[0]);
  if (fd < 0) {
    *error = "cannot create a temporary file beside " + path + ": " + SystemError(errno);
    return false;
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot write " + path + ": " + SystemError(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename itself must reach the disk too.
  const int directory = ::open(Directory(path).c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
  if (directory >= 0) {
    ::fsync(directory);
    ::close(directory);
  }
  return true;
}

#endif

}  // namespace qksim
