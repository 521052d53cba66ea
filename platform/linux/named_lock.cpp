#include "platform/linux/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/deadline.h"
#include "platform/debug_log.h"

namespace qk::platform {
namespace posixlock {
namespace {

// Longest lock-file name written out whole; file systems allow 255 bytes.
constexpr size_t kMaxPlainName = 200;
constexpr size_t kHashedPrefix = 160;
constexpr char kSuffix[] = ".lock";

bool KeptAsIs(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-';
}

uint64_t Fnv1a64(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 0x100000001b3ull;
  }
  return hash;
}

// The generation: 8 bytes little-endian at the start of the lock file; a
// file shorter than that (a fresh one) holds generation 0.
bool ReadGenerationAt(int fd, uint64_t* generation) {
  uint8_t bytes[8] = {};
  ssize_t n;
  do {
    n = pread(fd, bytes, sizeof bytes, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  *generation = n == static_cast<ssize_t>(sizeof bytes) ? value : 0;
  return true;
}

bool WriteGenerationAt(int fd, uint64_t generation) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(generation >> (8 * i));
  ssize_t n;
  do {
    n = pwrite(fd, bytes, sizeof bytes, 0);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof bytes);
}

// One lock file opened once per process, shared by every NamedMutex of that name.
struct LockEntry {
  LockEntry(int descriptor, int node) : fd(descriptor), nodeFd(node) {}
  ~LockEntry() {
    close(fd);
    if (nodeFd >= 0) close(nodeFd);
  }
  LockEntry(const LockEntry&) = delete;
  LockEntry& operator=(const LockEntry&) = delete;

  const int fd;
  // The token's device node, when it has one: its byte 0 carries a lock that
  // serialises every user's processes, not only this user's.
  const int nodeFd;
  std::mutex guard;
  std::condition_variable released;
  bool held = false;  // by `owner`, `depth` times
  std::thread::id owner;
  uint32_t depth = 0;
};

// Owned like a Windows mutex: by a thread, recursively; the flock is held
// while the depth is above 0.
class FileNamedMutex final : public NamedMutex {
 public:
  explicit FileNamedMutex(std::shared_ptr<LockEntry> entry) : entry_(std::move(entry)) {}

  bool Lock(uint32_t timeoutMs) override {
    const Deadline deadline(timeoutMs);
    LockEntry& e = *entry_;
    const auto self = std::this_thread::get_id();
    {
      std::unique_lock<std::mutex> lock(e.guard);
      if (e.held && e.owner == self) {
        ++e.depth;
        return true;
      }
      const auto free = [&e] { return !e.held; };
      if (deadline.Infinite()) {
        e.released.wait(lock, free);
      } else if (!e.released.wait_until(lock, deadline.End(), free)) {
        return false;
      }
      e.held = true;
      e.owner = self;
      e.depth = 1;
    }
    if (LockFile(e.fd, deadline)) {
      if (e.nodeFd < 0 || LockNode(e.nodeFd, deadline)) return true;
      flock(e.fd, LOCK_UN);
    }
    ReleaseInProcess(e);
    return false;
  }

  void Unlock() override {
    LockEntry& e = *entry_;
    std::lock_guard<std::mutex> lock(e.guard);
    // Like ReleaseMutex, a thread that does not own the lock releases nothing.
    if (!e.held || e.owner != std::this_thread::get_id()) return;
    if (--e.depth > 0) return;
    if (e.nodeFd >= 0) SetNodeLock(e.nodeFd, F_UNLCK);
    flock(e.fd, LOCK_UN);
    e.held = false;
    e.owner = std::thread::id();
    e.released.notify_one();
  }

  bool ReadGeneration(uint64_t* generation) override {
    return HeldHere() && ReadGenerationAt(entry_->fd, generation);
  }
  bool WriteGeneration(uint64_t generation) override {
    return HeldHere() && WriteGenerationAt(entry_->fd, generation);
  }
  bool PeekGeneration(uint64_t* generation) override {
    return ReadGenerationAt(entry_->fd, generation);
  }

 private:
  bool HeldHere() {
    LockEntry& e = *entry_;
    std::lock_guard<std::mutex> lock(e.guard);
    return e.held && e.owner == std::this_thread::get_id();
  }

  enum class Try { kGot, kBusy, kFailed };

  // flock and F_OFD_SETLK have no time limit of their own: try, then sleep a
  // little (1 ms, then 2 ms), until the deadline.
  template <typename Attempt>
  static bool RetryUntil(const Deadline& deadline, Attempt attempt) {
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
      const Try outcome = attempt();
      if (outcome != Try::kBusy) return outcome == Try::kGot;
      if (deadline.Expired()) return false;
      auto sleep = pause;
      if (!deadline.Infinite()) {
        const auto left = std::chrono::milliseconds(deadline.RemainingMs());
        if (left < sleep) sleep = left;
      }
      std::this_thread::sleep_for(sleep);
      if (pause < std::chrono::milliseconds(2)) pause *= 2;
    }
  }

  static bool LockFile(int fd, const Deadline& deadline) {
    return RetryUntil(deadline, [fd] {
      if (flock(fd, LOCK_EX | LOCK_NB) == 0) return Try::kGot;
      return errno == EINTR || errno == EWOULDBLOCK ? Try::kBusy : Try::kFailed;
    });
  }

  // An open-file-description lock on byte 0 of the node: it does not meet
  // the flock(2) that keeps the share mode on the same node, and it belongs
  // to this descriptor, so it goes when the process does.
  static bool SetNodeLock(int fd, short type) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    return fcntl(fd, F_OFD_SETLK, &range) == 0;
  }

  static bool LockNode(int fd, const Deadline& deadline) {
    return RetryUntil(deadline, [fd] {
      if (SetNodeLock(fd, F_WRLCK)) return Try::kGot;
      return errno == EINTR || errno == EAGAIN || errno == EACCES ? Try::kBusy : Try::kFailed;
    });
  }

  static void ReleaseInProcess(LockEntry& e) {
    std::lock_guard<std::mutex> lock(e.guard);
    e.held = false;
    e.owner = std::thread::id();
    e.depth = 0;
    e.released.notify_one();
  }

  std::shared_ptr<LockEntry> entry_;
};

// Opens (creating when missing) a lock file inside the directory `dirFd`.
// Only a plain file of this user's, with one name and no permission for
// anyone else, is used: anything else was planted.
int OpenLockFile(int dirFd, const std::string& fileName) {
  // O_NONBLOCK keeps a planted FIFO from blocking the open.
  const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd = openat(dirFd, fileName.c_str(), flags | O_CREAT | O_EXCL, 0600);
  if (fd < 0 && errno == EEXIST) fd = openat(dirFd, fileName.c_str(), flags);
  if (fd < 0) return -1;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      info.st_nlink != 1 || (info.st_mode & 077) != 0) {
    QK_DEBUG("lock: file %s refused: not a private plain file of this user's", fileName.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

std::string Trimmed(std::string directory) {
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

// The directory holding `path` must not let anyone else rename or replace
// `path`: it is root's or this user's, and if others may write it, the
// sticky bit keeps them to their own entries (as in /tmp).
bool ParentKeepsItsEntries(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string parent = slash == std::string::npos ? "."
                             : slash == 0               ? "/"
                                                        : path.substr(0, slash);
  struct stat info;
  if (stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  if (info.st_uid != 0 && info.st_uid != geteuid()) return false;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (info.st_mode & S_ISVTX) != 0;
}

}  // namespace

std::string LockFileName(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string mapped;
  mapped.reserve(name.size() + 8);
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (c == '/') {
      mapped += '_';
    } else if (KeptAsIs(c) && !(i == 0 && c == '.')) {
      // A leading dot is escaped: no name may become "." or "..", or hidden.
      mapped += static_cast<char>(c);
    } else {
      mapped += '%';
      mapped += kHex[c >> 4];
      mapped += kHex[c & 15];
    }
  }
  if (mapped.size() > kMaxPlainName) {
    // '~' is always escaped above, so a hashed name cannot equal a plain one.
    char hash[17];
    const uint64_t value = Fnv1a64(name);
    for (int i = 0; i < 16; ++i) hash[i] = kHex[(value >> (60 - 4 * i)) & 15];
    hash[16] = '\0';
    mapped = mapped.substr(0, kHashedPrefix) + "~" + hash;
  }
  return mapped + kSuffix;
}

int OpenLockDirectory(const std::string& directory) {
  const std::string path = Trimmed(directory);
  if (!ParentKeepsItsEntries(path)) {
    QK_DEBUG("lock: %s refused: its parent lets others replace it", path.c_str());
    return -1;
  }
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    QK_DEBUG("lock: %s cannot be made (errno %d)", path.c_str(), errno);
    return -1;
  }
  // No trailing slash: with one, O_NOFOLLOW would not stop a symbolic link.
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat info;
  // Nobody else may even look: the lock files carry no secret, but another
  // user who could create or rename entries here could take the lock away.
  const bool trusted = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
                       (info.st_mode & 077) == 0;
  if (!trusted) {
    QK_DEBUG("lock: %s refused: not this user's, or open to others", path.c_str());
    close(fd);
    return -1;
  }
  return fd;
}

std::string UserLockDirectory() {
  const std::string uid = std::to_string(static_cast<unsigned long>(geteuid()));
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return Trimmed(runtime) + "/qktoken";
  const std::string userRuntime = "/run/user/" + uid;
  struct stat info;
  if (lstat(userRuntime.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid()) {
    return userRuntime + "/qktoken";
  }
  return "/tmp/qktoken-" + uid;
}

std::string IdentityLockName(uint64_t first, uint64_t second) {
  char name[48];
  std::snprintf(name, sizeof name, "dev-%llx-%llx", static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(second));
  return name;
}

NamedMutex* CreateNamedMutexIn(const std::string& directory, const std::string& name,
                               const std::string& nodePath) {
  static std::mutex registryGuard;
  static std::map<std::string, std::weak_ptr<LockEntry>> registry;

  const std::string fileName = LockFileName(name);
  const std::string key = Trimmed(directory) + "/" + fileName;
  std::lock_guard<std::mutex> lock(registryGuard);
  // Forget the names whose last mutex has gone, so the table stays small.
  for (auto it = registry.begin(); it != registry.end();) {
    it = it->second.expired() && it->first != key ? registry.erase(it) : std::next(it);
  }
  std::shared_ptr<LockEntry> entry = registry[key].lock();
  if (!entry) {
    const int dirFd = OpenLockDirectory(directory);
    if (dirFd < 0) return nullptr;
    const int fd = OpenLockFile(dirFd, fileName);
    close(dirFd);
    if (fd < 0) return nullptr;
    int nodeFd = -1;
    if (!nodePath.empty()) {
      // Write access, which a write lock needs; the node is a device the
      // caller opens for reading and writing anyway.
      nodeFd = open(nodePath.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      struct stat info;
      if (nodeFd < 0 || fstat(nodeFd, &info) != 0 ||
          (!S_ISCHR(info.st_mode) && !S_ISREG(info.st_mode))) {
        if (nodeFd >= 0) close(nodeFd);
        close(fd);
        return nullptr;
      }
    }
    entry = std::shared_ptr<LockEntry>(new (std::nothrow) LockEntry(fd, nodeFd));
    if (!entry) {
      close(fd);
      if (nodeFd >= 0) close(nodeFd);
      return nullptr;
    }
    registry[key] = entry;
  }
  return new (std::nothrow) FileNamedMutex(std::move(entry));
}

}  // namespace posixlock

const char* LockNamespace() { return ""; }

NamedMutex* CreateNamedMutex(const char* name) {
  if (name == nullptr) return nullptr;
  const std::string directory = posixlock::UserLockDirectory();
  NamedMutex* mutex = posixlock::CreateNamedMutexIn(directory, name);
  QK_DEBUG("lock: %s in %s: %s", name, directory.c_str(),
           mutex != nullptr ? "ready" : "cannot be trusted or made");
  return mutex;
}

NamedMutex* CreateDeviceLock(const char* path, const Device* device) {
  uint64_t first = 0, second = 0;
  if (device != nullptr && device->TokenIdentity(&first, &second)) {
    // A device node (identity: its device number alone) is also locked on
    // the node itself, for every user who can open it.
    const std::string directory = posixlock::UserLockDirectory();
    const std::string name = posixlock::IdentityLockName(first, second);
    NamedMutex* mutex = posixlock::CreateNamedMutexIn(
        directory, name, second == 0 ? std::string(path) : std::string());
    QK_DEBUG("lock: %s for %s in %s%s: %s", name.c_str(), path, directory.c_str(),
             second == 0 ? " and on the node" : "",
             mutex != nullptr ? "ready" : "cannot be trusted or made");
    return mutex;
  }
  // A device without an identity (a test double) is known by its path alone.
  return CreateNamedMutex(path);
}

}  // namespace qk::platform
