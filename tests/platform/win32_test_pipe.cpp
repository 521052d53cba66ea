#include "tests/platform/win32_test_pipe.h"

#include <atomic>

#include "platform/win32/win32_backend.h"

namespace qk::platform::win32::testing {

std::string UniqueName(const char* stem) {
  static std::atomic<unsigned> counter{0};
  return std::string(stem) + "-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(counter++);
}

TestPipe::TestPipe(IoMode io) : path_("\\\\.\\pipe\\" + UniqueName("qk-test")) {
  server_ = CreateNamedPipeA(path_.c_str(), PIPE_ACCESS_DUPLEX,
                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 4096, 4096,
                             0, nullptr);
  if (server_ == INVALID_HANDLE_VALUE) return;
  uint32_t error = 0;
  device_.reset(OpenPath(path_.c_str(), io, ShareMode::kShared, &error));
  // The client is already connected, so this returns at once.
  if (device_ && !ConnectNamedPipe(server_, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
    device_.reset();
  }
}

TestPipe::~TestPipe() {
  device_.reset();
  Disconnect();
}

bool TestPipe::Send(const std::vector<uint8_t>& message) {
  DWORD written = 0;
  return WriteFile(server_, message.data(), static_cast<DWORD>(message.size()), &written,
                   nullptr) &&
         written == message.size();
}

std::vector<uint8_t> TestPipe::Receive(size_t capacity) {
  std::vector<uint8_t> message(capacity);
  DWORD read = 0;
  if (!ReadFile(server_, message.data(), static_cast<DWORD>(capacity), &read, nullptr)) {
    return {};
  }
  message.resize(read);
  return message;
}

void TestPipe::Disconnect() {
  if (server_ == INVALID_HANDLE_VALUE) return;
  DisconnectNamedPipe(server_);
  CloseHandle(server_);
  server_ = INVALID_HANDLE_VALUE;
}

}  // namespace qk::platform::win32::testing
