// Shared by the reliability tests: a private directory, the qktoken-sim
// server as a child process, and the library calls the tests repeat.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "include/qktoken.h"
#include "sim/samples.h"

namespace qkrel {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

const uint8_t kUserPin[] = {'6', '0', '7', '1', '9', '2', '8', '3'};
const char kDeveloperPin[] = "904817263590481726359048";
constexpr const char* kReaderId = "0002";  // where the tests keep the readfile program
constexpr uint32_t kMaxReadPiece = 1022;   // the most one execute answers

inline long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A private temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qkrel-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// `qktoken-sim serve` in a child process, serving DIR/token0.sock.
class SimProcess {
 public:
  SimProcess(std::string dir, std::string image) : dir_(std::move(dir)), image_(std::move(image)) {}
  ~SimProcess() { Kill(SIGKILL); }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  std::string Entry() const { return dir_ + "/token0.sock"; }

  // Starts the server and waits (at most 10 s) for its entry; false when it
  // did not come up (for example because it refused its image).
  bool Start() {
    std::error_code ignored;
    std::filesystem::remove(Entry(), ignored);
    std::vector<std::string> args = {QK_SIM_TOOL, "serve", "--dir", dir_, "--name", "token0"};
    if (!image_.empty()) {
      args.push_back("--image");
      args.push_back(image_);
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execv(argv[0], argv.data());
      _exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      if (std::filesystem::is_socket(Entry(), ignored)) return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Sends `signal` and reaps the child.
  void Kill(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
  }
  pid_t Pid() const { return pid_; }

 private:
  std::string dir_;
  std::string image_;
  pid_t pid_ = -1;
};

// Lists the tokens and opens the first; QK_E_SUCCESS or the failing code.
inline uint32_t OpenFirstToken(QKContext* context) {
  uint32_t count = 1;
  QKContext listed[1] = {};
  const uint32_t rc = QKListDevices(listed, &count);
  if (rc != QK_E_SUCCESS) return rc;
  if (count < 1) return QK_E_NO_DEVICE_LIST;
  *context = listed[0];
  return QKOpenDevice(context);
}

inline uint32_t VerifyDeveloper(QKContext* context) {
  return QKVerifyPin(context, reinterpret_cast<const uint8_t*>(kDeveloperPin),
                     sizeof kDeveloperPin - 1, QK_PIN_DEVELOPER);
}

inline uint32_t VerifyUser(QKContext* context) {
  return QKVerifyPin(context, kUserPin, sizeof kUserPin, QK_PIN_USER);
}

constexpr uint32_t kExecutableType = 2;
constexpr uint32_t kDataType = 1;

// Creates the readfile program (developer PIN verified).
inline uint32_t InstallReader(QKContext* context) {
  const Bytes& program = qksim::SampleReadFileProgram();
  const auto size = static_cast<uint32_t>(program.size());
  uint32_t rc = QKMakeFile(context, kReaderId, size, kExecutableType);
  if (rc != QK_E_SUCCESS) return rc;
  return QKStoreFile(context, kReaderId, 0, program.data(), size);
}

// One execute of the readfile program: `length` bytes of `fileId` from `offset`.
inline uint32_t ReadPiece(QKContext* context, uint16_t fileId, uint16_t offset, uint16_t length,
                          Bytes* out) {
  const uint8_t input[6] = {static_cast<uint8_t>(fileId >> 8), static_cast<uint8_t>(fileId),
                            static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                            static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  out->assign(kMaxReadPiece + 2, 0);
  uint32_t got = 0;
  const uint32_t rc = QKExecute(context, kReaderId, input, sizeof input, out->data(),
                                static_cast<uint32_t>(out->size()), &got);
  out->resize(rc == QK_E_SUCCESS ? got : 0);
  return rc;
}

// The whole file through as many executes as it takes; *commands counts them.
inline uint32_t ReadWholeFile(QKContext* context, uint16_t fileId, size_t size, Bytes* out,
                              uint64_t* commands = nullptr) {
  out->clear();
  for (size_t offset = 0; offset < size; offset += kMaxReadPiece) {
    const auto length = static_cast<uint16_t>(std::min<size_t>(kMaxReadPiece, size - offset));
    Bytes piece;
    const uint32_t rc = ReadPiece(context, fileId, static_cast<uint16_t>(offset), length, &piece);
    if (commands != nullptr) ++*commands;
    if (rc != QK_E_SUCCESS) return rc;
    if (piece.size() != length) return QK_E_FAILURE;
    out->insert(out->end(), piece.begin(), piece.end());
  }
  return QK_E_SUCCESS;
}

// "1A2B" for 0x1A2B, as the calls take identifiers.
inline std::string IdText(uint16_t id) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text(4, '0');
  for (int i = 3; i >= 0; --i, id = static_cast<uint16_t>(id >> 4)) text[i] = kHex[id & 0xF];
  return text;
}

}  // namespace qkrel
