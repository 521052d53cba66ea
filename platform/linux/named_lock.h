// Exchange locks on POSIX systems: one lock file per token in the user's
// private lock directory, locked with flock(2), plus an in-process lock so
// that the threads of one process take turns on the single descriptor they
// share. The file also holds the token's session generation.
#pragma once

#include <string>

#include "platform/platform.h"

namespace qk::platform::posixlock {

// The user's private lock directory: $XDG_RUNTIME_DIR/qktoken, else
// /run/user/UID/qktoken when that runtime directory is the user's, else
// /tmp/qktoken-UID.
std::string UserLockDirectory();

// The single file name that stands for the lock `name`: letters, digits, '.'
// and '-' stay, '/' becomes '_', every other byte becomes %XX; a name whose
// result would be too long keeps a prefix and gains a hash of the whole name.
// Distinct names give distinct files (up to the hash).
std::string LockFileName(const std::string& name);

// Creates the lock directory when missing (mode 0700) and opens it. -1 when
// it is a symbolic link or no directory, is not this user's, or may be
// reached by anyone else (any group or other permission bit), or when the
// directory holding it lets others replace it (writable without the sticky
// bit, or owned by someone other than root or this user).
int OpenLockDirectory(const std::string& directory);

// The lock `name` inside `directory`; null when either cannot be trusted.
NamedMutex* CreateNamedMutexIn(const std::string& directory, const std::string& name);

// The lock-file name of a device identity ("dev-" and two hex numbers).
std::string IdentityLockName(uint64_t first, uint64_t second);

}  // namespace qk::platform::posixlock
