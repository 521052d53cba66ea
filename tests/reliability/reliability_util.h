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
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "include/qktoken.h"
#include "sim/samples.h"
#include "tests/support/pins.h"
#include "tests/support/temp_dir.h"

namespace qktest {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char* kReaderId = "0002";  // where the tests keep the readfile program
constexpr uint32_t kMaxReadPiece = 1022;   // the most one execute answers
constexpr uint32_t kDataType = 1;

inline long long MillisecondsSince(Clock::time_point start) {
  return (Clock::now() - start) / std::chrono::milliseconds(1);
}

// `qktoken-sim serve` in a child process, serving DIR/token0.sock.
class SimProcess {
 public:
  SimProcess(std::string dir, std::string image) : dir_(std::move(dir)), image_(std::move(image)) {}
  ~SimProcess() { Kill(SIGKILL); }

  // Starts the server and waits (at most 10 s) for its entry; false when it
  // did not come up (for example because it refused its image).
  bool Start() {
    const std::string entry = dir_ + "/token0.sock";
    std::error_code ignored;
    std::filesystem::remove(entry, ignored);
    if ((pid_ = fork()) == 0) {
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      execl(QK_SIM_TOOL, QK_SIM_TOOL, "serve", "--dir", dir_.c_str(), "--name", "token0",
            image_.empty() ? nullptr : "--image", image_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 2000 && pid_ > 0; ++i) {
      if (std::filesystem::is_socket(entry, ignored)) return true;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  // Sends `signal` and reaps the child.
  void Kill(int signal) {
    if (pid_ > 0) kill(pid_, signal), waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  pid_t Pid() const { return pid_; }

 private:
  std::string dir_, image_;
  pid_t pid_ = -1;
};

// Lists the tokens and opens the first; QK_E_SUCCESS or the failing code.
inline uint32_t OpenFirstToken(QKContext* context) {
  uint32_t count = 1;
  const uint32_t rc = QKListDevices(context, &count);
  return rc != QK_E_SUCCESS ? rc : count < 1 ? QK_E_NO_DEVICE_LIST : QKOpenDevice(context);
}

inline uint32_t VerifyDeveloper(QKContext* context) {
  const auto* pin = reinterpret_cast<const uint8_t*>(kDeveloperPin);
  return QKVerifyPin(context, pin, 24, QK_PIN_DEVELOPER);
}
inline uint32_t VerifyUser(QKContext* context, const char* pin = kUserPin) {
  return QKVerifyPin(context, reinterpret_cast<const uint8_t*>(pin), 8, QK_PIN_USER);
}

// The adder's answer to a + b: 0 when right, the call's code, or
// QK_E_UNKNOWN for a success with another sum (another command's answer).
inline uint32_t Add(QKContext* token, uint16_t a, uint16_t b) {
  const uint8_t input[4] = {uint8_t(a >> 8), uint8_t(a), uint8_t(b >> 8), uint8_t(b)};
  uint8_t sum[8] = {};
  uint32_t length = 0;
  const uint32_t rc = QKExecute(token, "0001", input, 4, sum, sizeof sum, &length);
  const auto expected = static_cast<uint16_t>(a + b);
  if (rc != QK_E_SUCCESS) return rc;
  return length == 2 && sum[0] == (expected >> 8) && sum[1] == (expected & 0xFF) ? 0 : QK_E_UNKNOWN;
}

inline uint32_t OpenAndVerify(QKContext* token) {
  const uint32_t rc = OpenFirstToken(token);
  return rc == QK_E_SUCCESS ? VerifyUser(token) : rc;
}

// Creates the readfile program (developer PIN verified).
inline uint32_t InstallReader(QKContext* context) {
  const Bytes& program = qksim::SampleReadFileProgram();
  const auto size = static_cast<uint32_t>(program.size());
  const uint32_t rc = QKMakeFile(context, kReaderId, size, 2);
  return rc != QK_E_SUCCESS ? rc : QKStoreFile(context, kReaderId, 0, program.data(), size);
}

// The first `size` bytes of a file through the readfile program, as many
// executes as it takes; *commands counts them.
inline uint32_t ReadWholeFile(QKContext* context, uint16_t fileId, size_t size, Bytes* out,
                              uint64_t* commands = nullptr) {
  out->clear();
  for (size_t offset = 0; offset < size; offset += kMaxReadPiece) {
    const size_t length = std::min<size_t>(kMaxReadPiece, size - offset);
    const uint8_t input[6] = {static_cast<uint8_t>(fileId >> 8), static_cast<uint8_t>(fileId),
                              static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
                              static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
    uint8_t piece[kMaxReadPiece + 2];
    uint32_t got = 0;
    const uint32_t rc = QKExecute(context, kReaderId, input, 6, piece, sizeof piece, &got);
    if (commands != nullptr) ++*commands;
    if (rc != QK_E_SUCCESS || got != length) return rc ? rc : QK_E_FAILURE;
    out->insert(out->end(), piece, piece + got);
  }
  return QK_E_SUCCESS;
}

// "1A2B" for 0x1A2B, as the calls take identifiers.
inline std::string IdText(uint16_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", id);
  return text;
}

}  // namespace qktest
