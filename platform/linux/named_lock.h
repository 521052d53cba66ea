// Named cross-process locks on POSIX systems: one lock file per name in a
// shared directory, locked with flock(2), plus an in-process lock so that the
// threads of one process take turns on the single descriptor they share.
#pragma once

#include <string>

#include "platform/platform.h"

namespace qk::platform::posixlock {

// The shared lock directory (LockNamespace without its final separator).
constexpr char kLockDirectory[] = "/tmp/qktoken-locks";

// The single file name that stands for the lock `name`: letters, digits, '.'
// and '-' stay, '/' becomes '_', every other byte becomes %XX; a name whose
// result would be too long keeps a prefix and gains a hash of the whole name.
// Distinct names give distinct files (up to the hash).
std::string LockFileName(const std::string& name);

// Creates the lock directory when missing (mode 01777) and opens it. -1 when
// it is a symbolic link or no directory, belongs to someone other than root
// or this user, or is writable by others without the sticky bit.
int OpenLockDirectory(const std::string& directory);

// CreateNamedMutex with the lock directory given.
NamedMutex* CreateNamedMutexIn(const std::string& directory, const std::string& name);

}  // namespace qk::platform::posixlock
