#include "platform/linux/named_lock.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/deadline.h"
#include "platform/debug_log.h"
#include "platform/virtual/directory.h"

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

bool WriteGenerationAt(int fd, uint64_t generation) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(generation >> (8 * i));
  ssize_t n;
  do {
    n = pwrite(fd, bytes, sizeof bytes, 0);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof bytes);
}

// A starting generation no other lock file is likely to have held: a file
// made afresh (after the old one was removed) must not repeat a value that
// a handle of the old file still holds as its own.
uint64_t FreshGeneration() {
  uint64_t value = 0;
  const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    if (read(fd, &value, sizeof value) != static_cast<ssize_t>(sizeof value)) value = 0;
    close(fd);
  }
  if (value == 0) {
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    value = Fnv1a64(std::to_string(now) + "/" + std::to_string(getpid()));
  }
  return value;
}

// The generation: 8 bytes little-endian at the start of the lock file. A
// file shorter than that (a fresh one) holds none yet: with `initialise`
// (the lock is held) a fresh value is written, else the read fails.
bool ReadGenerationAt(int fd, uint64_t* generation, bool initialise) {
  uint8_t bytes[8] = {};
  ssize_t n;
  do {
    n = pread(fd, bytes, sizeof bytes, 0);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  if (n != static_cast<ssize_t>(sizeof bytes)) {
    if (!initialise) return false;
    const uint64_t fresh = FreshGeneration();
    if (!WriteGenerationAt(fd, fresh)) return false;
    *generation = fresh;
    return true;
  }
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | bytes[i];
  *generation = value;
  return true;
}

// How a lock's directory is trusted: the user's private lock directory, or
// the directory of a virtual token (which others may read, not write).
enum class DirectoryKind { kPrivate, kTokenDirectory };

void SetProblem(LockProblem* out, LockProblem kind) {
  if (out != nullptr) *out = kind;
}

// Errors that say the system ran short, not that the location is wrong.
LockProblem ProblemOfErrno(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ENOSPC:
    case EDQUOT:
    case EIO:
    case EINTR:
      return LockProblem::kUnavailable;
    default:
      return LockProblem::kUnsafe;
  }
}

int OpenTokenDirectory(const std::string& directory, std::string* problem) {
  // The directory may be spelled through links: the entry was reached the
  // same way. What is opened is checked.
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    *problem = std::strerror(errno);
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *problem = "not this user's, or writable by others";
    close(fd);
    return -1;
  }
  return fd;
}

int OpenDirectoryOfKind(DirectoryKind kind, const std::string& directory, std::string* problem) {
  return kind == DirectoryKind::kPrivate ? OpenLockDirectory(directory, problem)
                                         : OpenTokenDirectory(directory, problem);
}

// Opens (creating when missing) a lock file inside the directory `dirFd`.
// Only a plain file of this user's, with one name and no permission for
// anyone else, is used: anything else was planted.
int OpenLockFile(int dirFd, const std::string& fileName, std::string* problem, LockProblem* kind) {
  // O_NONBLOCK keeps a planted FIFO from blocking the open.
  const int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
  int fd = openat(dirFd, fileName.c_str(), flags | O_CREAT | O_EXCL, 0600);
  if (fd < 0 && errno == EEXIST) fd = openat(dirFd, fileName.c_str(), flags);
  if (fd < 0) {
    *kind = ProblemOfErrno(errno);
    *problem = std::string("cannot open the lock file: ") + std::strerror(errno);
    return -1;
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      info.st_nlink != 1 || (info.st_mode & 077) != 0) {
    *kind = LockProblem::kUnsafe;
    *problem = "the lock file is not a private plain file of this user's";
    close(fd);
    return -1;
  }
  return fd;
}

// One lock file opened once per process, shared by every NamedMutex of that
// file.
struct LockEntry {
  LockEntry(DirectoryKind kind, std::string dir, std::string file, int descriptor, int node)
      : directoryKind(kind),
        directory(std::move(dir)),
        fileName(std::move(file)),
        fd(descriptor),
        nodeFd(node) {}
  ~LockEntry() {
    close(fd);
    if (nodeFd >= 0) close(nodeFd);
  }
  LockEntry(const LockEntry&) = delete;
  LockEntry& operator=(const LockEntry&) = delete;

  int Descriptor() {
    std::lock_guard<std::mutex> lock(fdGuard);
    return fd;
  }
  std::string Path() const { return directory + "/" + fileName; }

  const DirectoryKind directoryKind;
  const std::string directory;
  const std::string fileName;
  // Replaced (a lock file removed or replaced meanwhile) only by the thread
  // that holds the in-process lock, under fdGuard; read under it elsewhere.
  std::mutex fdGuard;
  int fd;
  // The token's device node, when it has one: its byte 0 carries a lock that
  // serialises every user's processes, not only this user's.
  const int nodeFd;
  std::mutex guard;
  std::condition_variable released;
  bool held = false;  // by `owner`, `depth` times
  std::thread::id owner;
  uint32_t depth = 0;
};

// Whether `fd` is still the file at the entry's path: the same device and
// inode, and not unlinked.
bool StillAtPath(const LockEntry& e, int fd) {
  struct stat open, named;
  if (fstat(fd, &open) != 0 || open.st_nlink == 0) return false;
  if (lstat(e.Path().c_str(), &named) != 0) return false;
  return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// Owned like a Windows mutex: by a thread, recursively; the flock is held
// while the depth is above 0. What this object took is released when it is
// destroyed, whichever thread destroys it.
class FileNamedMutex final : public NamedMutex {
 public:
  explicit FileNamedMutex(std::shared_ptr<LockEntry> entry) : entry_(std::move(entry)) {}
  ~FileNamedMutex() override {
    LockEntry& e = *entry_;
    std::lock_guard<std::mutex> lock(e.guard);
    if (mine_ == 0 || !e.held) return;
    e.depth -= mine_ < e.depth ? mine_ : e.depth;
    mine_ = 0;
    if (e.depth == 0) ReleaseHeld(e);
  }
  FileNamedMutex(const FileNamedMutex&) = delete;
  FileNamedMutex& operator=(const FileNamedMutex&) = delete;

  bool Lock(uint32_t timeoutMs) override {
    const Deadline deadline(timeoutMs);
    LockEntry& e = *entry_;
    const auto self = std::this_thread::get_id();
    {
      std::unique_lock<std::mutex> lock(e.guard);
      if (e.held && e.owner == self) {
        ++e.depth;
        ++mine_;
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
    if (TakeFile(e, deadline)) {
      if (e.nodeFd < 0 || LockNode(e.nodeFd, deadline)) {
        std::lock_guard<std::mutex> lock(e.guard);
        mine_ = 1;
        return true;
      }
      flock(e.Descriptor(), LOCK_UN);
    }
    ReleaseInProcess(e);
    return false;
  }

  void Unlock() override {
    LockEntry& e = *entry_;
    std::lock_guard<std::mutex> lock(e.guard);
    // Like ReleaseMutex, a thread that does not own the lock releases nothing.
    if (!e.held || e.owner != std::this_thread::get_id() || mine_ == 0) return;
    --mine_;
    if (--e.depth > 0) return;
    ReleaseHeld(e);
  }

  bool ReadGeneration(uint64_t* generation) override {
    return HeldHere() && Intact() && ReadGenerationAt(entry_->Descriptor(), generation, true);
  }
  bool WriteGeneration(uint64_t generation) override {
    return HeldHere() && Intact() && WriteGenerationAt(entry_->Descriptor(), generation);
  }
  bool PeekGeneration(uint64_t* generation) override {
    std::lock_guard<std::mutex> lock(entry_->fdGuard);
    return ReadGenerationAt(entry_->fd, generation, false);
  }

 private:
  bool HeldHere() {
    LockEntry& e = *entry_;
    std::lock_guard<std::mutex> lock(e.guard);
    return e.held && e.owner == std::this_thread::get_id();
  }

  // A lock file removed or replaced while held excludes nobody any more:
  // another process may hold the file now at the path, and the generation
  // here is no longer the one they keep.
  bool Intact() {
    if (StillAtPath(*entry_, entry_->Descriptor())) return true;
    QK_DEBUG("lock file %s was removed or replaced while held", entry_->Path().c_str());
    return false;
  }

  // Locks the entry's file; a file that is no longer the one at its path is
  // opened anew and locked again, within the deadline.
  static bool TakeFile(LockEntry& e, const Deadline& deadline) {
    for (;;) {
      const int fd = e.Descriptor();
      if (!LockFile(fd, deadline)) return false;
      if (StillAtPath(e, fd)) return true;
      flock(fd, LOCK_UN);
      QK_DEBUG("lock file %s was removed or replaced; opening it again", e.Path().c_str());
      std::string problem;
      LockProblem kind = LockProblem::kNone;
      const int dirFd = OpenDirectoryOfKind(e.directoryKind, e.directory, &problem);
      const int fresh = dirFd < 0 ? -1 : OpenLockFile(dirFd, e.fileName, &problem, &kind);
      if (dirFd >= 0) close(dirFd);
      if (fresh < 0) {
        QK_DEBUG("lock file %s cannot be opened again: %s", e.Path().c_str(), problem.c_str());
        return false;
      }
      {
        std::lock_guard<std::mutex> lock(e.fdGuard);
        close(e.fd);
        e.fd = fresh;
      }
      if (deadline.Expired()) return false;
    }
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

  // Lets go of the file and node locks; e.guard is held and the depth is 0.
  static void ReleaseHeld(LockEntry& e) {
    if (e.nodeFd >= 0) SetNodeLock(e.nodeFd, F_UNLCK);
    flock(e.Descriptor(), LOCK_UN);
    e.held = false;
    e.owner = std::thread::id();
    e.depth = 0;
    e.released.notify_all();
  }

  static void ReleaseInProcess(LockEntry& e) {
    std::lock_guard<std::mutex> lock(e.guard);
    e.held = false;
    e.owner = std::thread::id();
    e.depth = 0;
    e.released.notify_all();
  }

  std::shared_ptr<LockEntry> entry_;
  uint32_t mine_ = 0;  // of the entry's depth, what this object took; under e.guard
};

std::string Trimmed(std::string directory) {
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The directory `parent` must not let anyone but `uid` (and root) rename or
// replace its entries: it is root's or the user's, and if others may write
// it, the sticky bit keeps them to their own entries (as in /tmp).
bool KeepsItsEntries(const std::string& parent, uid_t uid) {
  struct stat info;
  if (stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  if (info.st_uid != 0 && info.st_uid != uid) return false;
  return (info.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (info.st_mode & S_ISVTX) != 0;
}

NamedMutex* CreateLockIn(DirectoryKind kind, const std::string& directory,
                         const std::string& fileName, const std::string& nodePath,
                         LockProblem* problem) {
  static std::mutex registryGuard;
  static std::map<std::string, std::weak_ptr<LockEntry>> registry;

  SetProblem(problem, LockProblem::kNone);
  const std::string trimmed = Trimmed(directory);
  std::string why;
  const int dirFd = OpenDirectoryOfKind(kind, trimmed, &why);
  if (dirFd < 0) {
    QK_DEBUG("lock directory %s is unsafe: %s", trimmed.c_str(), why.c_str());
    SetProblem(problem, LockProblem::kUnsafe);
    return nullptr;
  }
  // Keyed by the directory itself, so that every spelling of it (DIR, DIR/.,
  // a link) shares one entry, and so one descriptor, in this process.
  struct stat dirInfo;
  const bool known = fstat(dirFd, &dirInfo) == 0;
  const std::string key =
      known ? std::to_string(static_cast<unsigned long long>(dirInfo.st_dev)) + ":" +
                  std::to_string(static_cast<unsigned long long>(dirInfo.st_ino)) + "/" + fileName
            : trimmed + "/" + fileName;
  std::lock_guard<std::mutex> lock(registryGuard);
  // Forget the names whose last mutex has gone, so the table stays small.
  for (auto it = registry.begin(); it != registry.end();) {
    it = it->second.expired() && it->first != key ? registry.erase(it) : std::next(it);
  }
  std::shared_ptr<LockEntry> entry = registry[key].lock();
  if (!entry) {
    LockProblem fileProblem = LockProblem::kNone;
    const int fd = OpenLockFile(dirFd, fileName, &why, &fileProblem);
    close(dirFd);
    if (fd < 0) {
      QK_DEBUG("lock file %s/%s: %s", trimmed.c_str(), fileName.c_str(), why.c_str());
      SetProblem(problem, fileProblem);
      return nullptr;
    }
    int nodeFd = -1;
    if (!nodePath.empty()) {
      // Write access, which a write lock needs; the node is a device the
      // caller opens for reading and writing anyway.
      nodeFd = open(nodePath.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
      struct stat info;
      if (nodeFd < 0 || fstat(nodeFd, &info) != 0 ||
          (!S_ISCHR(info.st_mode) && !S_ISREG(info.st_mode))) {
        QK_DEBUG("device node %s cannot be locked", nodePath.c_str());
        if (nodeFd >= 0) close(nodeFd);
        close(fd);
        SetProblem(problem, LockProblem::kUnavailable);
        return nullptr;
      }
    }
    entry = std::shared_ptr<LockEntry>(new (std::nothrow)
                                           LockEntry(kind, trimmed, fileName, fd, nodeFd));
    if (!entry) {
      close(fd);
      if (nodeFd >= 0) close(nodeFd);
      SetProblem(problem, LockProblem::kUnavailable);
      return nullptr;
    }
    registry[key] = entry;
  } else {
    close(dirFd);
  }
  NamedMutex* mutex = new (std::nothrow) FileNamedMutex(std::move(entry));
  if (mutex == nullptr) SetProblem(problem, LockProblem::kUnavailable);
  return mutex;
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

int OpenLockDirectory(const std::string& directory, std::string* problem) {
  const std::string path = Trimmed(directory);
  if (!KeepsItsEntries(ParentOf(path), geteuid())) {
    *problem = "its parent lets others replace it";
    return -1;
  }
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *problem = std::string("cannot be made: ") + std::strerror(errno);
    return -1;
  }
  // No trailing slash: with one, O_NOFOLLOW would not stop a symbolic link.
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    *problem = errno == ELOOP || errno == ENOTDIR ? "a link or no directory" : std::strerror(errno);
    return -1;
  }
  struct stat info;
  // Nobody else may even look: the lock files carry no secret, but another
  // user who could create or rename entries here could take the lock away.
  const bool trusted = fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
                       (info.st_mode & 077) == 0;
  if (!trusted) {
    *problem = "not this user's, or open to others";
    close(fd);
    return -1;
  }
  return fd;
}

std::string ChooseLockDirectory(uid_t uid, const std::string& home, const LockRoots& roots,
                                std::string* problem) {
  if (uid == 0) return Trimmed(roots.run) + "/qktoken";
  // The runtime directory the system keeps for the user while a session
  // lasts, found from the uid (not from the environment, which differs from
  // one process to another).
  const std::string runtime = Trimmed(roots.runUser) + "/" + std::to_string(uid);
  struct stat info;
  if (lstat(runtime.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid &&
      (info.st_mode & 077) == 0 && KeepsItsEntries(Trimmed(roots.runUser), uid)) {
    return runtime + "/qktoken";
  }
  // Else a private directory under the home directory, which only the user
  // (and root) may write, inside a directory that keeps its entries.
  if (home.empty() || home[0] != '/') {
    *problem = runtime + " is missing or not private to the user, and no home directory is known";
    return "";
  }
  const std::string trimmedHome = Trimmed(home);
  if (stat(trimmedHome.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *problem =
        runtime + " is missing or not private to the user, and home " + trimmedHome + " is missing";
    return "";
  }
  if (info.st_uid != uid || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 ||
      !KeepsItsEntries(ParentOf(trimmedHome), uid)) {
    *problem = runtime + " is missing or not private to the user, and home " + trimmedHome +
               " is not this user's alone";
    return "";
  }
  return (trimmedHome == "/" ? "" : trimmedHome) + "/.qktoken";
}

std::string UserLockDirectory(std::string* problem) {
  const uid_t uid = geteuid();
  std::string home;
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 && size < (1 << 20) ? static_cast<size_t>(size) : 16384);
  struct passwd record;
  struct passwd* found = nullptr;
  int error;
  while ((error = getpwuid_r(uid, &record, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  if (error == 0 && found != nullptr && found->pw_dir != nullptr) home = found->pw_dir;
  return ChooseLockDirectory(uid, home, LockRoots(), problem);
}

std::string IdentityLockName(uint64_t first, uint64_t second) {
  char name[48];
  std::snprintf(name, sizeof name, "dev-%llx-%llx", static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(second));
  return name;
}

NamedMutex* CreateNamedMutexIn(const std::string& directory, const std::string& name,
                               const std::string& nodePath, LockProblem* problem) {
  return CreateLockIn(DirectoryKind::kPrivate, directory, LockFileName(name), nodePath, problem);
}

NamedMutex* CreateEntryLock(const std::string& entryPath, LockProblem* problem) {
  const size_t slash = entryPath.find_last_of('/');
  const std::string directory = ParentOf(entryPath);
  const std::string entryName =
      slash == std::string::npos ? entryPath : entryPath.substr(slash + 1);
  if (entryName.empty()) {
    SetProblem(problem, LockProblem::kUnsafe);
    return nullptr;
  }
  // Hidden, and with a suffix listing ignores.
  return CreateLockIn(DirectoryKind::kTokenDirectory, directory, "." + LockFileName(entryName),
                      std::string(), problem);
}

}  // namespace posixlock

const char* LockNamespace() { return ""; }

namespace {

NamedMutex* CreateInUserDirectory(const std::string& name, const std::string& nodePath,
                                  LockProblem* problem) {
  std::string why;
  const std::string directory = posixlock::UserLockDirectory(&why);
  if (directory.empty()) {
    QK_DEBUG("no lock directory can be trusted: %s", why.c_str());
    if (problem != nullptr) *problem = LockProblem::kUnsafe;
    return nullptr;
  }
  NamedMutex* mutex = posixlock::CreateNamedMutexIn(directory, name, nodePath, problem);
  QK_DEBUG("lock: %s in %s%s: %s", name.c_str(), directory.c_str(),
           nodePath.empty() ? "" : " and on the node", mutex != nullptr ? "ready" : "not made");
  return mutex;
}

}  // namespace

NamedMutex* CreateNamedMutex(const char* name) {
  if (name == nullptr) return nullptr;
  return CreateInUserDirectory(name, std::string(), nullptr);
}

NamedMutex* CreateDeviceLock(const char* path, const Device* device, LockProblem* problem) {
  if (problem != nullptr) *problem = LockProblem::kNone;
  // A virtual token's lock lives beside its entry: every process of the user
  // that reaches the entry meets it there, whatever its lock directory.
  if (path != nullptr && vlink::IsVirtualPath(path)) {
    return posixlock::CreateEntryLock(path + vlink::kPathPrefixLength, problem);
  }
  uint64_t first = 0, second = 0;
  if (device != nullptr && device->TokenIdentity(&first, &second)) {
    // A device node (identity: its device number alone) is also locked on
    // the node itself, for every user who can open it.
    return CreateInUserDirectory(posixlock::IdentityLockName(first, second),
                                 second == 0 ? std::string(path) : std::string(), problem);
  }
  // A device without an identity (a test double) is known by its path alone.
  if (path == nullptr) return nullptr;
  return CreateInUserDirectory(path, std::string(), problem);
}

}  // namespace qk::platform
