#include "platform/virtual/directory.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/debug_log.h"
#include "platform/platform.h"
#include "platform/virtual/socket_io.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace qk::platform::vlink {
namespace {

constexpr char kSocketSuffix[] = ".sock";
constexpr char kTcpSuffix[] = ".tcp";

bool HasSuffix(const std::string& name, const char* suffix) {
  const size_t length = std::strlen(suffix);
  return name.size() > length && name.compare(name.size() - length, length, suffix) == 0;
}

bool IsSeparator(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.empty()) return name;
  if (IsSeparator(directory.back())) return directory + name;
#ifdef _WIN32
  return directory + "\\" + name;
#else
  return directory + "/" + name;
#endif
}

#ifndef _WIN32
std::string DirectoryOf(const std::string& path) {
  size_t cut = path.size();
  while (cut > 0 && !IsSeparator(path[cut - 1])) --cut;
  if (cut == 0) return ".";
  // Keep a lone root separator ("/x.sock" lives in "/").
  return cut == 1 ? path.substr(0, 1) : path.substr(0, cut - 1);
}
#endif

// The names in `directory`, unsorted; false when it cannot be read.
bool ReadNames(const std::string& directory, std::vector<std::string>* names) {
#ifdef _WIN32
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA(JoinPath(directory, "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      names->push_back(found.cFileName);
    }
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return true;
#else
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) names->push_back(entry->d_name);
  closedir(dir);
  return true;
#endif
}

// Reads at most kMaxTcpFileSize bytes; false when the file is larger.
bool ReadTcpFile(const std::string& path, std::string* text, DeviceStatus* status) {
#ifdef _WIN32
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *status = DeviceStatus::kNotFound;
    return false;
  }
  char buffer[kMaxTcpFileSize + 1];
  const size_t n = std::fread(buffer, 1, sizeof buffer, file);
  std::fclose(file);
#else
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    // ELOOP: a symbolic link, which the trust rules refuse.
    *status = (errno == ELOOP || errno == EACCES || errno == EPERM) ? DeviceStatus::kAccessDenied
                                                                    : DeviceStatus::kNotFound;
    return false;
  }
  // Judge the file that was opened, not the name, which may have changed since.
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) != 0) {
    close(fd);
    *status = DeviceStatus::kAccessDenied;
    return false;
  }
  char buffer[kMaxTcpFileSize + 1];
  size_t n = 0;
  while (n < sizeof buffer) {
    const ssize_t got = read(fd, buffer + n, sizeof buffer - n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    n += static_cast<size_t>(got);
  }
  close(fd);
#endif
  if (n > kMaxTcpFileSize) {
    *status = DeviceStatus::kNotFound;
    return false;
  }
  text->assign(buffer, n);
  return true;
}

#ifndef _WIN32
// The calling user's, and nobody else may write it.
bool OwnedAndPrivate(const struct stat& info) {
  return info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}
#endif

}  // namespace

bool IsVirtualPath(const char* path) {
  return path != nullptr && std::strncmp(path, kPathPrefix, kPathPrefixLength) == 0;
}

EntryKind KindOfName(const std::string& name) {
  if (HasSuffix(name, kSocketSuffix)) return EntryKind::kLocalSocket;
  if (HasSuffix(name, kTcpSuffix)) return EntryKind::kTcpFile;
  return EntryKind::kNone;
}

std::vector<std::string> ListVirtualPaths(const std::string& directory) {
  std::vector<std::string> names;
  if (directory.empty()) return {};
  if (!ReadNames(directory, &names)) {
    QK_DEBUG("list: token directory %s cannot be read", directory.c_str());
    return {};
  }
  // std::string compares as unsigned bytes, the order of strcmp.
  std::sort(names.begin(), names.end());
  std::vector<std::string> paths;
  for (const std::string& name : names) {
    const EntryKind kind = KindOfName(name);
    if (kind == EntryKind::kNone) continue;
    if (kind == EntryKind::kLocalSocket && !LocalSocketsSupported()) {
      QK_DEBUG("list: %s skipped: no local sockets on this system", name.c_str());
      continue;
    }
    std::string path = kPathPrefix + JoinPath(directory, name);
    if (path.size() > kMaxInterfacePath) {
      QK_DEBUG("list: %s skipped: path too long", name.c_str());
      continue;
    }
    paths.push_back(std::move(path));
  }
  return paths;
}

std::vector<std::string> ListVirtualTokens() {
  const char* directory = std::getenv(kDirectoryVariable);
  if (directory == nullptr || directory[0] == '\0') return {};
  return ListVirtualPaths(directory);
}

DeviceStatus CheckEntry(const std::string& entryPath, EntryKind kind, TcpEndpoint* endpoint) {
  if (kind == EntryKind::kNone) return DeviceStatus::kNotFound;
  if (kind == EntryKind::kLocalSocket && !LocalSocketsSupported()) return DeviceStatus::kNotFound;
#ifndef _WIN32
  struct stat info;
  if (stat(DirectoryOf(entryPath).c_str(), &info) != 0) return DeviceStatus::kNotFound;
  if (!S_ISDIR(info.st_mode) || !OwnedAndPrivate(info)) {
    QK_DEBUG("open: %s refused: its directory is not this user's alone", entryPath.c_str());
    return DeviceStatus::kAccessDenied;
  }
  if (kind == EntryKind::kLocalSocket) {
    if (lstat(entryPath.c_str(), &info) != 0) return DeviceStatus::kNotFound;
    if (!S_ISSOCK(info.st_mode) || !OwnedAndPrivate(info)) {
      QK_DEBUG("open: %s refused: not a socket of this user's alone", entryPath.c_str());
      return DeviceStatus::kAccessDenied;
    }
    return DeviceStatus::kOk;
  }
#endif
  std::string text;
  DeviceStatus status = DeviceStatus::kNotFound;
  if (!ReadTcpFile(entryPath, &text, &status)) return status;
  const bool parsed = ParseTcpFile(text.data(), text.size(), endpoint);
  // The secret is not left lying in freed memory.
  std::fill(text.begin(), text.end(), '\0');
  if (!parsed) QK_DEBUG("open: %s refused: not a well-formed .tcp entry", entryPath.c_str());
  return parsed ? DeviceStatus::kOk : DeviceStatus::kNotFound;
}

}  // namespace qk::platform::vlink
