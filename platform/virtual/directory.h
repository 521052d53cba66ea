// The token directory of the virtual link: which entries it lists, how
// their interface paths are formed, and the trust checks made before an
// entry is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/vlink/tcp_entry.h"

namespace qk::platform::vlink {

constexpr char kPathPrefix[] = "qkvirtual:";
constexpr size_t kPathPrefixLength = sizeof kPathPrefix - 1;
constexpr char kDirectoryVariable[] = "QKTOKEN_VIRTUAL_DIR";
// Longest interface path the device table keeps.
constexpr size_t kMaxInterfacePath = 272;

enum class EntryKind { kNone, kLocalSocket, kTcpFile };

bool IsVirtualPath(const char* path);

// By suffix: ".sock" or ".tcp" (a name that is only the suffix is neither).
EntryKind KindOfName(const std::string& name);

// The interface paths of the entries of `directory` that this system can
// reach, sorted bytewise by name; paths above kMaxInterfacePath are left out.
// Empty when the directory cannot be read.
std::vector<std::string> ListVirtualPaths(const std::string& directory);

// The same for the directory named by QKTOKEN_VIRTUAL_DIR; empty when unset.
std::vector<std::string> ListVirtualTokens();

// Checks that the entry at `entryPath` (and its directory) may be trusted and,
// for a .tcp file, reads its endpoint. kOk when it may be used, else what the
// open must fail with.
DeviceStatus CheckEntry(const std::string& entryPath, EntryKind kind, TcpEndpoint* endpoint);

}  // namespace qk::platform::vlink
