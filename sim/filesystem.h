// The token's file system: a root directory 3F00 holding directories and
// files named by 16-bit identifiers.
//
// Space: every directory has a capacity; each entry inside it takes
// kEntryOverhead bytes plus its size (a file's length, a directory's
// capacity). The root's capacity is the token's whole storage.
// Directories are named to sessions by handles, so that a session whose
// directory was erased finds out instead of acting somewhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qksim {

constexpr uint16_t kRootId = 0x3F00;
constexpr uint16_t kParentId = 0x0000;
constexpr uint32_t kTokenCapacity = 0x40000;  // 256 KiB
constexpr uint32_t kEntryOverhead = 16;
constexpr size_t kMaxDepth = 8;  // directory levels below the root
constexpr uint32_t kMaxDirectoryCapacity = 0xFFFFFF;

enum FileType : uint8_t {
  kFileData = 0x01,
  kFileExecutable = 0x02,
  kFilePublicKey = 0x03,
  kFilePrivateKey = 0x04,
};
constexpr uint8_t kDirectoryType = 0x80;  // the type byte the file query reports for directories

bool IsKnownFileType(uint8_t type);
// Identifiers a directory or file may not take: the parent alias and the root's.
bool IsReservedId(uint16_t id);

struct Node {
  uint16_t id = 0;
  bool isDirectory = false;
  uint32_t handle = 0;         // directories only; unique while the token runs
  uint32_t capacity = 0;       // directories: room for their entries
  uint8_t type = 0;            // files
  std::vector<uint8_t> data;   // files: fixed length
  std::vector<Node> children;  // directories
};

class FileSystem {
 public:
  bool Present() const { return present_; }
  // An empty root with the given capacity; replaces everything.
  void Format(uint32_t capacity);
  // No file system at all.
  void Remove();
  // Installs a tree read from an image (ids, sizes and space already checked).
  void Adopt(Node root);

  Node& Root() { return root_; }
  const Node& Root() const { return root_; }
  uint32_t RootHandle() const { return present_ ? root_.handle : 0; }

  // The directory with this handle, or null (also when there is no file system).
  Node* FindDirectory(uint32_t handle);
  // Its parent's handle (the root's own for the root), 0 when unknown.
  uint32_t ParentHandle(uint32_t handle);
  static Node* Child(Node& directory, uint16_t id);
  // In 64 bits: a directory's entries may claim more than 4 GiB together
  // (many large subdirectories), which a 32-bit sum would wrap to a small number.
  static uint64_t Footprint(const Node& entry);
  static uint64_t Used(const Node& directory);
  static uint32_t Free(const Node& directory);
  size_t EntryCount() const;

  // Status words: 90 00 or the refusal.
  uint16_t AddDirectory(uint32_t parent, uint16_t id, uint32_t capacity);
  uint16_t AddFile(uint32_t parent, uint16_t id, uint16_t size, uint8_t type);
  // Can the two key files be written (created, or replacing files of the
  // same key type) with these sizes?
  uint16_t CheckKeyPair(uint32_t parent, uint16_t publicId, size_t publicSize, uint16_t privateId,
                        size_t privateSize);
  uint16_t StoreKeyPair(uint32_t parent, uint16_t publicId, const std::vector<uint8_t>& publicBlock,
                        uint16_t privateId, const std::vector<uint8_t>& privateBlock);
  // Removes the directory with everything in it and returns its parent's
  // handle; removing the root removes the file system and returns 0.
  uint32_t RemoveDirectory(uint32_t handle);

 private:
  bool FindPath(uint32_t handle, std::vector<Node*>* path);
  void AssignHandles(Node* directory);

  bool present_ = false;
  Node root_;
  uint32_t nextHandle_ = 1;
};

}  // namespace qksim
