// Exchange locks on POSIX systems: one lock file per token, locked with
// flock(2), plus an in-process lock so that the threads of one process take
// turns on the single descriptor they share, plus, for a device node, a
// byte-range lock on the node itself. The file also holds the token's session
// generation.
//
// Where the file lives depends on the user alone, never on the environment,
// so that every process of one user meets the same lock: a virtual token's
// in the token's own directory, any other token's in the user's private lock
// directory (UserLockDirectory).
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/platform.h"

namespace qk::platform::posixlock {

// Where the candidate lock directories are looked for (tests move them).
struct LockRoots {
  std::string run = "/run";           // root's: RUN/qktoken
  std::string runUser = "/run/user";  // RUNUSER/UID/qktoken
};

// The lock directory of user `uid` whose home directory (from the password
// database) is `home`: root's is RUN/qktoken; any other user's is
// RUNUSER/UID/qktoken when RUNUSER/UID is a directory (not a link) of that
// user's that nobody else may enter, else HOME/.qktoken when the home
// directory is that user's and nobody else may write it. Empty, with the
// reason in *problem, when no location can be trusted.
std::string ChooseLockDirectory(uid_t uid, const std::string& home, const LockRoots& roots,
                                std::string* problem);

// ChooseLockDirectory for this process's effective user, the home directory
// read from the password database.
std::string UserLockDirectory(std::string* problem);

// The single file name that stands for the lock `name`: letters, digits, '.'
// and '-' stay, '/' becomes '_', every other byte becomes %XX; a name whose
// result would be too long keeps a prefix and gains a hash of the whole name.
// Distinct names give distinct files (up to the hash).
std::string LockFileName(const std::string& name);

// Creates the lock directory when missing (mode 0700) and opens it. -1, with
// the reason in *problem, when it is a symbolic link or no directory, is not
// this user's, or may be reached by anyone else (any group or other
// permission bit), or when the directory holding it lets others replace it
// (writable without the sticky bit, or owned by someone other than root or
// this user).
int OpenLockDirectory(const std::string& directory, std::string* problem);

// The lock `name` inside `directory`; null when either cannot be trusted or
// made, with the reason in *problem (when given). With `nodePath` (a token's
// device node), the lock also takes a write lock on byte 0 of the node (an
// open-file-description lock), which serialises the processes of every user
// who can open the node; null when the node cannot be opened for writing.
//
// Taking the lock checks that the locked file is still the one at its path
// (same device and inode, still linked); a file removed or replaced meanwhile
// is opened anew and locked again. A file removed or replaced while the lock
// is held no longer excludes anyone: the generation then cannot be read or
// written until the lock is let go and taken again.
NamedMutex* CreateNamedMutexIn(const std::string& directory, const std::string& name,
                               const std::string& nodePath = std::string(),
                               LockProblem* problem = nullptr);

// The lock of the virtual token whose entry is `entryPath`: a hidden file
// beside the entry (".NAME.lock"), in a directory that must be this user's
// and writable by nobody else. Every process that reaches the entry, however
// the directory is spelled, meets this one lock.
NamedMutex* CreateEntryLock(const std::string& entryPath, LockProblem* problem = nullptr);

// The lock-file name of a device identity ("dev-" and two hex numbers).
std::string IdentityLockName(uint64_t first, uint64_t second);

}  // namespace qk::platform::posixlock
