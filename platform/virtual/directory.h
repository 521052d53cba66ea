// The token directory of the virtual link: which entries it lists, how
// their interface paths are formed, and the trust checks made before an
// entry is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/virtual/frame.h"

namespace qk::platform::vlink {

constexpr char kPathPrefix[] = "qkvirtual:";
constexpr size_t kPathPrefixLength = sizeof kPathPrefix - 1;
constexpr char kDirectoryVariable[] = "QKTOKEN_VIRTUAL_DIR";
// Longest interface path the device table keeps.
constexpr size_t kMaxInterfacePath = 272;
// A .tcp file is a few short lines; anything longer is not one.
constexpr size_t kMaxTcpFileSize = 1024;

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

struct TcpEndpoint {
  uint16_t port = 0;
  uint8_t secret[kSecretSize] = {};
};

// Reads "port N" and "secret <64 hex digits>" lines (in any order, each
// once, nothing else). False on anything malformed.
bool ParseTcpFile(const char* text, size_t size, TcpEndpoint* endpoint);

// Checks that the entry at `entryPath` (and its directory) may be trusted and,
// for a .tcp file, reads its endpoint. 0 when it may be used, else the
// Windows error number the open must fail with.
uint32_t CheckEntry(const std::string& entryPath, EntryKind kind, TcpEndpoint* endpoint);

}  // namespace qk::platform::vlink
