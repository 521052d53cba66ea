// The name of a device path's cross-process lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace qk {

// Longest lock name, in characters, without the terminating NUL.
constexpr size_t kMaxMutexNameLength = 255;

// The Windows namespace prefix for a system version: "" for 4.10 and 4.90,
// "Global\" for the rest of 4.x and for 5.x, "Local\" otherwise.
const char* PrefixForVersion(uint32_t major, uint32_t minor);

// The prefix lock names get on this system: the Windows namespace chosen by
// the running version on Windows, nothing elsewhere.
const char* MutexNamespacePrefix();

// Writes the lock name of `path` under `prefix` into `name` (capacity
// kMaxMutexNameLength + 1): the prefix, then the path with every backslash
// turned into 'R'. A name that would be longer keeps the prefix, an 8-digit
// hash of the whole converted path and a '-', then the path's last characters,
// so that distinct long paths keep distinct names and every process derives
// the same name for the same path.
void BuildMutexName(const char* prefix, const char* path, char* name);

// Writes the lock name of a token known by its file identity (a virtual
// token's entry: volume and file number) under `prefix`: the same name for
// every spelling of the token's path.
void BuildIdentityMutexName(const char* prefix, uint64_t fileSystem, uint64_t fileId, char* name);

// Creates or attaches to the exchange lock of the token at `path`; null when
// it cannot be had. On Windows it is the named mutex of the path, or of the
// entry's file identity for a virtual token; elsewhere a lock file beside a
// virtual token's entry, or in the user's private lock directory named by
// the identity of `device` (the token opened on `path`). Either way one token
// has one lock however its path is written. With `initialOwner` the lock is also taken
// (within the exchange's lock time limit); the open calls pass false. On
// failure *result (when given) says why: QK_E_LOCK_UNSAFE when no location
// for the lock can be trusted, else QK_E_LOCK_UNAVAILABLE.
platform::NamedMutex* CreateDeviceMutex(bool initialOwner, const char* path,
                                        const platform::Device* device = nullptr,
                                        uint32_t* result = nullptr);

}  // namespace qk
