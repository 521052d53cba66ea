#include "sim/commands.h"

#include <algorithm>

#include "sim/keygen.h"
#include "sim/status_words.h"
#include "sim/vm.h"

namespace qksim {
namespace {

using Answer = std::vector<uint8_t>;

constexpr uint16_t kFirmwareVersion = 0x0102;                      // information bytes 2-3
constexpr uint8_t kModelName[6] = {'Q', 'K', '-', 'S', 'I', 'M'};  // information bytes 20-25
constexpr size_t kUserPinField = 8;
constexpr size_t kDeveloperPinField = 24;
constexpr uint8_t kKeepLimit = 0xFF;
constexpr uint32_t kDefaultPublicExponent = 65537;

struct Command {
  uint8_t ins;
  uint8_t p1;
  uint8_t p2;
  const uint8_t* data;
  size_t length;
  uint16_t Id() const {
    return static_cast<uint16_t>(p1 | (p2 << 8));
  }  // identifiers travel low byte first
};

uint16_t Le16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)); }

void PutLe16(uint32_t value, Answer* out) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

void PutLe32(uint32_t value, Answer* out) {
  PutLe16(value & 0xFFFF, out);
  PutLe16(value >> 16, out);
}

Answer Status(uint16_t statusWord) {
  return {static_cast<uint8_t>(statusWord >> 8), static_cast<uint8_t>(statusWord)};
}

Answer WithStatus(Answer data, uint16_t statusWord = kSwOk) {
  data.push_back(static_cast<uint8_t>(statusWord >> 8));
  data.push_back(static_cast<uint8_t>(statusWord));
  return data;
}

bool UserVerified(const CommandEnvironment& env) {
  return env.session->userEpoch == env.securityEpoch;
}
bool DeveloperVerified(const CommandEnvironment& env) {
  return env.session->developerEpoch == env.securityEpoch;
}

// The session's current directory, or the status word that explains its absence.
uint16_t CurrentDirectory(CommandEnvironment* env, Node** directory) {
  FileSystem& fs = env->state->fileSystem;
  if (!fs.Present()) return kSwNoFileSystem;
  *directory = fs.FindDirectory(env->session->currentDirectory);
  return *directory == nullptr ? kSwDirectoryNotFound : kSwOk;
}

uint32_t RootFree(const TokenState& state) {
  return state.fileSystem.Present() ? FileSystem::Free(state.fileSystem.Root()) : 0;
}

bool SameBytes(const std::vector<uint8_t>& stored, const uint8_t* presented, size_t length) {
  if (stored.size() != length) return false;
  uint8_t difference = 0;  // no early exit: timing does not tell how much matched
  for (size_t i = 0; i < length; ++i)
    difference = static_cast<uint8_t>(difference | (stored[i] ^ presented[i]));
  return difference == 0;
}

// Checks a presented PIN against `pin`, counting failures. Every change of
// the counter is a state change, so that it is stored before the answer goes out.
uint16_t CheckPin(PinRecord* pin, const uint8_t* presented, size_t length,
                  CommandEnvironment* env) {
  if (pin->remaining == 0) return kSwPinBlocked;
  if (SameBytes(pin->value, presented, length)) {
    if (pin->remaining != pin->limit) {
      pin->remaining = pin->limit;
      env->stateChanged = true;
    }
    return kSwOk;
  }
  --pin->remaining;
  env->stateChanged = true;
  return static_cast<uint16_t>(kSwWrongPinBase | pin->remaining);
}

Answer InformationRecord(const TokenState& state) {
  Answer record;
  record.push_back(state.infoByte);
  record.push_back(state.indicator);
  record.push_back(static_cast<uint8_t>(kFirmwareVersion >> 8));  // big-endian
  record.push_back(static_cast<uint8_t>(kFirmwareVersion));
  record.insert(record.end(), state.value.begin(), state.value.end());
  record.insert(record.end(), std::begin(kModelName), std::end(kModelName));
  record.insert(record.end(), state.serial.begin(), state.serial.end());
  PutLe32(kTokenCapacity, &record);
  return record;  // 38 bytes
}

// ---- Handlers -------------------------------------------------------------

Answer GetInformation(const Command& c, CommandEnvironment* env) {
  if (c.length != 0) return Status(kSwBadLength);
  return WithStatus(InformationRecord(*env->state));
}

Answer GetFreeSpace(const Command& c, CommandEnvironment* env) {
  if (c.length != 0) return Status(kSwBadLength);
  Answer value;
  PutLe32(RootFree(*env->state), &value);
  return WithStatus(value);
}

Answer GetStatusRecord(const Command& c, CommandEnvironment* env) {
  if (c.length != 0) return Status(kSwBadLength);
  const TokenState& state = *env->state;
  Answer record;
  PutLe32(kTokenCapacity, &record);
  PutLe32(RootFree(state), &record);
  PutLe16(static_cast<uint32_t>(std::min<size_t>(state.fileSystem.EntryCount(), 0xFFFF)), &record);
  record.push_back(state.userPin.remaining);
  record.push_back(state.developerPin.remaining);
  return WithStatus(record);
}

Answer QueryFile(const Command& c, CommandEnvironment* env) {
  if (c.length != 0) return Status(kSwBadLength);
  FileSystem& fs = env->state->fileSystem;
  const Node* entry = nullptr;
  if (c.Id() == kRootId && fs.Present()) {
    entry = &fs.Root();
  } else {
    Node* directory = nullptr;
    uint16_t status = CurrentDirectory(env, &directory);
    if (status != kSwOk) return Status(status);
    entry = FileSystem::Child(*directory, c.Id());
  }
  if (entry == nullptr) return Status(kSwFileNotFound);
  Answer record;
  record.push_back(entry->isDirectory ? kDirectoryType : entry->type);
  size_t size = entry->isDirectory ? entry->capacity : entry->data.size();
  PutLe16(static_cast<uint32_t>(std::min<size_t>(size, 0xFFFF)), &record);
  return WithStatus(record);
}

Answer Verify(const Command& c, CommandEnvironment* env) {
  if (c.p1 > 1 || c.p2 != 0) return Status(kSwBadP1P2);
  if (c.length == 0 || c.length > kMaxPinLength) return Status(kSwBadLength);
  const bool developer = c.p1 == 1;
  TokenState& state = *env->state;
  uint16_t status =
      CheckPin(developer ? &state.developerPin : &state.userPin, c.data, c.length, env);
  uint64_t& epoch = developer ? env->session->developerEpoch : env->session->userEpoch;
  epoch = status == kSwOk ? env->securityEpoch : 0;  // a failed try also ends the verified state
  return Status(status);
}

Answer ChangePin(const Command& c, CommandEnvironment* env) {
  size_t field = 0;
  if (c.p1 == 0x03 && c.p2 == 0) {
    field = kUserPinField;
  } else if (c.p1 == 0x01 && c.p2 == 0) {
    field = kDeveloperPinField;
  } else {
    return Status(kSwBadP1P2);
  }
  if (c.length != 2 * (1 + field) + 1) return Status(kSwBadLength);
  const size_t oldLength = c.data[0];
  const size_t newLength = c.data[1 + field];
  const uint8_t limit = c.data[c.length - 1];
  if (oldLength == 0 || oldLength > field || newLength == 0 || newLength > field || limit == 0) {
    return Status(kSwBadData);
  }
  const bool developer = field == kDeveloperPinField;
  PinRecord* pin = developer ? &env->state->developerPin : &env->state->userPin;
  uint16_t status = CheckPin(pin, c.data + 1, oldLength, env);
  uint64_t& epoch = developer ? env->session->developerEpoch : env->session->userEpoch;
  if (status != kSwOk) {
    epoch = 0;
    return Status(status);
  }
  pin->value.assign(c.data + 2 + field, c.data + 2 + field + newLength);
  if (limit != kKeepLimit) pin->limit = limit;
  pin->remaining = pin->limit;
  env->stateChanged = true;
  epoch = env->securityEpoch;
  return Status(kSwOk);
}

Answer MakeDirectory(const Command& c, CommandEnvironment* env) {
  if (c.length != 5) return Status(kSwBadLength);
  const uint16_t id = Le16(c.data);
  const uint32_t capacity = c.data[2] | (uint32_t{c.data[3]} << 8) | (uint32_t{c.data[4]} << 16);
  FileSystem& fs = env->state->fileSystem;
  if (id == kRootId) {
    // Building the file system of an empty token needs no PIN: there is nothing to protect yet.
    if (fs.Present()) return Status(kSwDirectoryExists);
    if (capacity != 0) return Status(kSwBadData);
    fs.Format(kTokenCapacity);
    env->session->currentDirectory = fs.RootHandle();
    env->stateChanged = true;
    return Status(kSwOk);
  }
  if (!DeveloperVerified(*env)) return Status(kSwDeveloperPinRequired);
  Node* directory = nullptr;
  uint16_t status = CurrentDirectory(env, &directory);
  if (status != kSwOk) return Status(status);
  status = fs.AddDirectory(directory->handle, id, capacity);
  if (status == kSwOk) env->stateChanged = true;
  return Status(status);
}

Answer Select(const Command& c, CommandEnvironment* env) {
  if (c.length != 0) return Status(kSwBadLength);
  FileSystem& fs = env->state->fileSystem;
  if (!fs.Present()) return Status(kSwNoFileSystem);
  if (c.Id() == kRootId) {
    env->session->currentDirectory = fs.RootHandle();
    return Status(kSwOk);
  }
  Node* directory = nullptr;
  uint16_t status = CurrentDirectory(env, &directory);
  if (status != kSwOk) return Status(status);
  if (c.Id() == kParentId) {
    env->session->currentDirectory =
        fs.ParentHandle(directory->handle);  // the root is its own parent
    return Status(kSwOk);
  }
  const Node* child = FileSystem::Child(*directory, c.Id());
  if (child == nullptr) return Status(kSwDirectoryNotFound);
  if (!child->isDirectory) return Status(kSwKindMismatch);
  env->session->currentDirectory = child->handle;
  return Status(kSwOk);
}

Answer EraseDirectory(const Command& c, CommandEnvironment* env) {
  if (c.length != 0) return Status(kSwBadLength);
  if (!DeveloperVerified(*env)) return Status(kSwDeveloperPinRequired);
  Node* directory = nullptr;
  uint16_t status = CurrentDirectory(env, &directory);
  if (status != kSwOk) return Status(status);
  env->session->currentDirectory = env->state->fileSystem.RemoveDirectory(directory->handle);
  env->stateChanged = true;
  return Status(kSwOk);
}

Answer MakeFile(const Command& c, CommandEnvironment* env) {
  if (c.length != 5) return Status(kSwBadLength);
  if (!DeveloperVerified(*env)) return Status(kSwDeveloperPinRequired);
  Node* directory = nullptr;
  uint16_t status = CurrentDirectory(env, &directory);
  if (status != kSwOk) return Status(status);
  status =
      env->state->fileSystem.AddFile(directory->handle, Le16(c.data), Le16(c.data + 2), c.data[4]);
  if (status == kSwOk) env->stateChanged = true;
  return Status(status);
}

Answer WriteChunk(const Command& c, CommandEnvironment* env) {
  if (c.length < 4) return Status(kSwBadLength);
  const size_t offset = Le16(c.data);
  const size_t count = Le16(c.data + 2);
  if (c.length != 4 + count) return Status(kSwBadLength);
  if (!DeveloperVerified(*env)) return Status(kSwDeveloperPinRequired);
  Node* directory = nullptr;
  uint16_t status = CurrentDirectory(env, &directory);
  if (status != kSwOk) return Status(status);
  Node* file = FileSystem::Child(*directory, c.Id());
  if (file == nullptr) return Status(kSwFileNotFound);
  if (file->isDirectory) return Status(kSwKindMismatch);
  if (offset + count > file->data.size()) return Status(kSwOffsetBeyondFile);
  if (count == 0) return Status(kSwOk);
  std::copy(c.data + 4, c.data + 4 + count,
            file->data.begin() + static_cast<std::ptrdiff_t>(offset));
  env->stateChanged = true;
  return Status(kSwOk);
}

// The data files of one directory, as a running program may read them. Only
// data files: programs and key files (a private key above all) stay unreadable.
class DirectoryFiles : public VmFiles {
 public:
  explicit DirectoryFiles(Node& directory) : directory_(directory) {}
  uint16_t Open(uint16_t id, const uint8_t** data, size_t* size) const override {
    const Node* file = FileSystem::Child(directory_, id);
    if (file == nullptr) return kSwFileNotFound;
    if (file->isDirectory || file->type != kFileData) return kSwKindMismatch;
    *data = file->data.data();
    *size = file->data.size();
    return kSwOk;
  }

 private:
  Node& directory_;
};

// Running a program needs a verified PIN (user or developer); what it reads
// of the directory's data files needs nothing more.
Answer Execute(const Command& c, CommandEnvironment* env) {
  if (!UserVerified(*env) && !DeveloperVerified(*env)) return Status(kSwUserPinRequired);
  Node* directory = nullptr;
  uint16_t status = CurrentDirectory(env, &directory);
  if (status != kSwOk) return Status(status);
  const Node* file = FileSystem::Child(*directory, c.Id());
  if (file == nullptr) return Status(kSwFileNotFound);
  if (file->isDirectory) return Status(kSwKindMismatch);
  if (file->type != kFileExecutable) return Status(kSwTypeNotAllowed);
  const DirectoryFiles files(*directory);
  VmOutcome outcome =
      RunProgram(file->data.data(), file->data.size(), c.data, c.length, VmLimits{}, &files);
  if (outcome.statusWord != kSwOk) return Status(outcome.statusWord);
  if (outcome.output.size() > kMaxAnswerData) return Status(kSwInternal);
  return WithStatus(std::move(outcome.output));
}

Answer SetValue(const Command& c, CommandEnvironment* env) {
  if (c.length == 0 || c.length > env->state->value.size()) return Status(kSwBadLength);
  if (!DeveloperVerified(*env)) return Status(kSwDeveloperPinRequired);
  env->state->value.fill(0);
  std::copy(c.data, c.data + c.length, env->state->value.begin());
  env->stateChanged = true;
  return Status(kSwOk);
}

Answer GenerateKeyPair(const Command& c, CommandEnvironment* env) {
  if (c.length != 10) return Status(kSwBadLength);
  const uint16_t publicId = Le16(c.data);
  const uint16_t privateId = Le16(c.data + 2);
  uint32_t bits = 0;
  switch (c.data[4]) {
    case 0x01:
      bits = 512;
      break;
    case 0x02:
      bits = 1024;
      break;
    case 0x04:
      bits = 2048;
      break;
    default:
      return Status(kSwBadData);
  }
  if (c.data[5] != 4) return Status(kSwBadData);
  uint32_t exponent = (uint32_t{c.data[6]} << 24) | (uint32_t{c.data[7]} << 16) |
                      (uint32_t{c.data[8]} << 8) | c.data[9];
  if (exponent == 0) exponent = kDefaultPublicExponent;
  if (exponent < 3 || (exponent & 1u) == 0) return Status(kSwBadData);
  if (!DeveloperVerified(*env)) return Status(kSwDeveloperPinRequired);
  Node* directory = nullptr;
  uint16_t status = CurrentDirectory(env, &directory);
  if (status != kSwOk) return Status(status);
  const size_t k = bits / 8;
  const size_t publicSize = 12 + k;
  const size_t privateSize = 20 + 5 * k / 2;
  FileSystem& fs = env->state->fileSystem;
  const uint32_t handle = directory->handle;
  status = fs.CheckKeyPair(handle, publicId, publicSize, privateId, privateSize);
  if (status != kSwOk) return Status(status);
  RsaKeyParts key;
  if (!GenerateRsaKey(bits, exponent, env->random, &key)) return Status(kSwInternal);
  Answer publicBlock = PublicKeyBlock(key);
  Answer privateBlock = PrivateKeyBlock(key);
  status = fs.StoreKeyPair(handle, publicId, publicBlock, privateId, privateBlock);
  if (status != kSwOk) return Status(status);
  env->stateChanged = true;
  publicBlock.insert(publicBlock.end(), privateBlock.begin(), privateBlock.end());
  return WithStatus(std::move(publicBlock));
}

Answer SessionMode(const Command& c, CommandEnvironment* env) {
  if (c.length != 0) return Status(kSwBadLength);
  switch (c.p1) {
    case 1:  // log the user out
      env->session->userEpoch = 0;
      return Status(kSwOk);
    case 2:  // log both PINs out
      env->session->userEpoch = 0;
      env->session->developerEpoch = 0;
      return Status(kSwOk);
    case 3:  // set the indicator byte of the information record
      if (!DeveloperVerified(*env)) return Status(kSwDeveloperPinRequired);
      env->state->indicator = c.p2;
      env->stateChanged = true;
      return Status(kSwOk);
    default:
      return Status(kSwBadP1P2);
  }
}

Answer StirRandom(const Command& c, CommandEnvironment* env) {
  if (c.length == 0 || c.length > 256) return Status(kSwBadLength);
  env->random->Stir(c.data, c.length);
  return Status(kSwOk);
}

Answer SetInfoByte(const Command& c, CommandEnvironment* env) {
  if (c.length != 0) return Status(kSwBadLength);
  if (!DeveloperVerified(*env)) return Status(kSwDeveloperPinRequired);
  env->state->infoByte = c.p1;
  env->stateChanged = true;
  return Status(kSwOk);
}

Answer SetSerial(const Command& c, CommandEnvironment* env) {
  if (c.length != env->state->serial.size()) return Status(kSwBadLength);
  if (!DeveloperVerified(*env)) return Status(kSwDeveloperPinRequired);
  std::copy(c.data, c.data + c.length, env->state->serial.begin());
  env->stateChanged = true;
  return Status(kSwOk);
}

Answer FactoryReset(const Command& c, CommandEnvironment* env) {
  if (c.length != 0) return Status(kSwBadLength);
  if (!DeveloperVerified(*env)) return Status(kSwDeveloperPinRequired);
  // Everything but the serial number returns to the shipped contents. The file
  // system is rebuilt in place so that directory handles are never reused.
  TokenState& state = *env->state;
  InstallDefaultFileSystem(&state.fileSystem);
  state.userPin = DefaultUserPin();
  state.developerPin = DefaultDeveloperPin();
  state.value.fill(0);
  state.infoByte = TokenState{}.infoByte;
  state.indicator = TokenState{}.indicator;
  env->session->currentDirectory = state.fileSystem.RootHandle();
  env->stateChanged = true;
  env->epochAdvanced = true;
  return Status(kSwOk);
}

}  // namespace

std::vector<uint8_t> RunCommand(const std::vector<uint8_t>& image, CommandEnvironment* env) {
  if (image.size() < kMinCommandSize || image.size() > kMaxCommandSize) {
    return Status(kSwBadLength);
  }
  // The data length comes from the framing; the two length bytes are not
  // consistent across the command set and are not read.
  const Command c{image[1], image[2], image[3], image.data() + kMinCommandSize,
                  image.size() - kMinCommandSize};
  switch (c.ins) {
    case 0xCA:
      return GetInformation(c, env);
    case 0xCC:
      return GetFreeSpace(c, env);
    case 0xCD:
      return GetStatusRecord(c, env);
    case 0xCE:
      return QueryFile(c, env);
    case 0x20:
      return Verify(c, env);
    case 0x24:
      return ChangePin(c, env);
    case 0xE0:
      return MakeDirectory(c, env);
    case 0xA4:
      return Select(c, env);
    case 0xE4:
      return EraseDirectory(c, env);
    case 0xE1:
      return MakeFile(c, env);
    case 0xD6:
      return WriteChunk(c, env);
    case 0xCF:
      return Execute(c, env);
    case 0x25:
      return SetValue(c, env);
    case 0x46:
      return GenerateKeyPair(c, env);
    case 0x50:
      return SessionMode(c, env);
    case 0xCB:
      return StirRandom(c, env);
    case 0xE7:
      return SetInfoByte(c, env);
    case 0x30:
      return SetSerial(c, env);
    case 0xE3:
      return FactoryReset(c, env);
    default:
      return Status(kSwInsNotSupported);
  }
}

std::vector<uint8_t> RedactCommand(const std::vector<uint8_t>& command) {
  std::vector<uint8_t> copy = command;
  if (copy.size() <= kMinCommandSize) return copy;
  const uint8_t ins = copy[1];
  if (ins == 0x20) {
    std::fill(copy.begin() + kMinCommandSize, copy.end(), '*');
  } else if (ins == 0x24) {
    const size_t length = copy.size() - kMinCommandSize;
    const size_t field = length >= 3 ? (length - 3) / 2 : 0;
    for (size_t i = 0; i < length; ++i) {
      const bool keep = i == 0 || i == 1 + field || i + 1 == length;  // lengths and limit
      if (!keep) copy[kMinCommandSize + i] = '*';
    }
  }
  return copy;
}

std::vector<uint8_t> RedactAnswer(const std::vector<uint8_t>& command,
                                  const std::vector<uint8_t>& answer) {
  std::vector<uint8_t> copy = answer;
  if (command.size() < 11 || command[1] != 0x46 || copy.size() <= 2) return copy;
  const size_t k =
      size_t{command[kMinCommandSize + 4]} * 64;  // size code 1, 2, 4 -> 64, 128, 256 bytes
  const size_t publicSize = 12 + k;
  for (size_t i = publicSize; i + 2 < copy.size(); ++i) copy[i] = '*';
  return copy;
}

}  // namespace qksim
