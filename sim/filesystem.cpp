#include "sim/filesystem.h"

#include <utility>

#include "sim/status_words.h"

namespace qksim {

bool IsKnownFileType(uint8_t type) {
  return type == kFileData || type == kFileExecutable || type == kFilePublicKey ||
         type == kFilePrivateKey;
}

bool IsReservedId(uint16_t id) { return id == kParentId || id == kRootId; }

void FileSystem::Format(uint32_t capacity) {
  root_ = Node{};
  root_.id = kRootId;
  root_.isDirectory = true;
  root_.capacity = capacity;
  root_.handle = nextHandle_++;
  present_ = true;
}

void FileSystem::Remove() {
  root_ = Node{};
  present_ = false;
}

void FileSystem::Adopt(Node root) {
  root_ = std::move(root);
  present_ = true;
  AssignHandles(&root_);
}

void FileSystem::AssignHandles(Node* directory) {
  directory->handle = nextHandle_++;
  for (Node& child : directory->children) {
    if (child.isDirectory) AssignHandles(&child);
  }
}

bool FileSystem::FindPath(uint32_t handle, std::vector<Node*>* path) {
  if (!present_ || handle == 0) return false;
  // Depth-first with an explicit stack of (node, next child index).
  std::vector<std::pair<Node*, size_t>> stack{{&root_, 0}};
  if (root_.handle == handle) {
    path->assign(1, &root_);
    return true;
  }
  while (!stack.empty()) {
    auto& [node, next] = stack.back();
    if (next == node->children.size()) {
      stack.pop_back();
      continue;
    }
    Node* child = &node->children[next++];
    if (!child->isDirectory) continue;
    stack.emplace_back(child, 0);
    if (child->handle == handle) {
      path->clear();
      for (auto& entry : stack) path->push_back(entry.first);
      return true;
    }
  }
  return false;
}

Node* FileSystem::FindDirectory(uint32_t handle) {
  std::vector<Node*> path;
  return FindPath(handle, &path) ? path.back() : nullptr;
}

uint32_t FileSystem::ParentHandle(uint32_t handle) {
  std::vector<Node*> path;
  if (!FindPath(handle, &path)) return 0;
  return path.size() >= 2 ? path[path.size() - 2]->handle : path.back()->handle;
}

Node* FileSystem::Child(Node& directory, uint16_t id) {
  for (Node& child : directory.children) {
    if (child.id == id) return &child;
  }
  return nullptr;
}

uint64_t FileSystem::Footprint(const Node& entry) {
  return uint64_t{kEntryOverhead} + (entry.isDirectory ? entry.capacity : entry.data.size());
}

uint64_t FileSystem::Used(const Node& directory) {
  uint64_t used = 0;
  for (const Node& child : directory.children) used += Footprint(child);
  return used;
}

uint32_t FileSystem::Free(const Node& directory) {
  const uint64_t used = Used(directory);
  return used >= directory.capacity ? 0 : directory.capacity - static_cast<uint32_t>(used);
}

size_t FileSystem::EntryCount() const {
  if (!present_) return 0;
  size_t count = 0;
  std::vector<const Node*> pending{&root_};
  while (!pending.empty()) {
    const Node* node = pending.back();
    pending.pop_back();
    count += node->children.size();
    for (const Node& child : node->children) {
      if (child.isDirectory) pending.push_back(&child);
    }
  }
  return count;
}

uint16_t FileSystem::AddDirectory(uint32_t parent, uint16_t id, uint32_t capacity) {
  std::vector<Node*> path;
  if (!present_) return kSwNoFileSystem;
  if (!FindPath(parent, &path)) return kSwDirectoryNotFound;
  Node& directory = *path.back();
  if (IsReservedId(id) || capacity > kMaxDirectoryCapacity) return kSwBadData;
  if (Node* existing = Child(directory, id)) {
    return existing->isDirectory ? kSwDirectoryExists : kSwFileExists;
  }
  if (path.size() > kMaxDepth) return kSwNoSpace;
  if (uint64_t{kEntryOverhead} + capacity > Free(directory)) return kSwNoSpace;
  Node child;
  child.id = id;
  child.isDirectory = true;
  child.capacity = capacity;
  child.handle = nextHandle_++;
  directory.children.push_back(std::move(child));
  return kSwOk;
}

uint16_t FileSystem::AddFile(uint32_t parent, uint16_t id, uint16_t size, uint8_t type) {
  if (!present_) return kSwNoFileSystem;
  Node* directory = FindDirectory(parent);
  if (directory == nullptr) return kSwDirectoryNotFound;
  if (IsReservedId(id) || size == 0 || !IsKnownFileType(type)) return kSwBadData;
  if (Node* existing = Child(*directory, id)) {
    return existing->isDirectory ? kSwDirectoryExists : kSwFileExists;
  }
  if (uint64_t{kEntryOverhead} + size > Free(*directory)) return kSwNoSpace;
  Node file;
  file.id = id;
  file.type = type;
  file.data.assign(size, 0);
  directory->children.push_back(std::move(file));
  return kSwOk;
}

uint16_t FileSystem::CheckKeyPair(uint32_t parent, uint16_t publicId, size_t publicSize,
                                  uint16_t privateId, size_t privateSize) {
  if (!present_) return kSwNoFileSystem;
  Node* directory = FindDirectory(parent);
  if (directory == nullptr) return kSwDirectoryNotFound;
  if (IsReservedId(publicId) || IsReservedId(privateId) || publicId == privateId) {
    return kSwBadData;
  }
  uint64_t needed = 0;
  uint64_t released = 0;
  const std::pair<uint16_t, uint8_t> targets[] = {{publicId, kFilePublicKey},
                                                  {privateId, kFilePrivateKey}};
  const size_t sizes[] = {publicSize, privateSize};
  for (size_t i = 0; i < 2; ++i) {
    needed += kEntryOverhead + sizes[i];
    if (Node* existing = Child(*directory, targets[i].first)) {
      if (existing->isDirectory) return kSwKindMismatch;
      if (existing->type != targets[i].second) return kSwTypeNotAllowed;
      released += Footprint(*existing);
    }
  }
  if (needed > uint64_t{Free(*directory)} + released) return kSwNoSpace;
  return kSwOk;
}

uint16_t FileSystem::StoreKeyPair(uint32_t parent, uint16_t publicId,
                                  const std::vector<uint8_t>& publicBlock, uint16_t privateId,
                                  const std::vector<uint8_t>& privateBlock) {
  uint16_t status =
      CheckKeyPair(parent, publicId, publicBlock.size(), privateId, privateBlock.size());
  if (status != kSwOk) return status;
  Node* directory = FindDirectory(parent);
  const std::pair<uint16_t, uint8_t> targets[] = {{publicId, kFilePublicKey},
                                                  {privateId, kFilePrivateKey}};
  const std::vector<uint8_t>* blocks[] = {&publicBlock, &privateBlock};
  for (size_t i = 0; i < 2; ++i) {
    Node* file = Child(*directory, targets[i].first);
    if (file == nullptr) {
      Node created;
      created.id = targets[i].first;
      created.type = targets[i].second;
      directory->children.push_back(std::move(created));
      file = &directory->children.back();
    }
    file->data = *blocks[i];
  }
  return kSwOk;
}

uint32_t FileSystem::RemoveDirectory(uint32_t handle) {
  std::vector<Node*> path;
  if (!FindPath(handle, &path)) return 0;
  if (path.size() == 1) {
    Remove();
    return 0;
  }
  Node& parent = *path[path.size() - 2];
  const uint32_t parentHandle = parent.handle;
  for (auto it = parent.children.begin(); it != parent.children.end(); ++it) {
    if (it->isDirectory && it->handle == handle) {
      parent.children.erase(it);
      break;
    }
  }
  return parentHandle;
}

}  // namespace qksim
