#include "driver/scenario.h"

#include <cstring>
#include <vector>

#include "driver/reverse_bytes.h"

namespace qkdriver {
namespace {

constexpr char kUserPin[] = "60719283";
constexpr uint32_t kUserPinLength = sizeof(kUserPin) - 1;  // no terminator is sent
constexpr char kProgramFile[] = "0001";
constexpr size_t kBufferSize = 256;
constexpr uint32_t kInputLength = 4;
constexpr uint32_t kAnswerLength = 2;

bool HostIsLittleEndian() {
  const uint16_t probe = 1;
  uint8_t first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1;
}

// Swaps a 16-bit value between host order and the token's big-endian order.
void SwapToFromBigEndian16(uint8_t* bytes) {
  if (HostIsLittleEndian()) ReverseBytes(bytes, 2);
}

void PutNumber(uint8_t* at, uint16_t value) {
  std::memcpy(at, &value, sizeof(value));
  SwapToFromBigEndian16(at);
}

}  // namespace

DriverApi LibraryApi() {
  return DriverApi{QKListDevices, QKOpenDevice,       QKVerifyPin,     QKExecute,
                   QKCloseDevice, QKBeginTransaction, QKEndTransaction};
}

namespace {

uint32_t RunOnToken(const DriverApi& api, QKContext* token, std::FILE* out);

}  // namespace

uint32_t RunScenario(const DriverApi& api, std::FILE* out) {
  uint32_t count = 0;
  uint32_t rc = api.listDevices(nullptr, &count);
  if (rc != QK_E_SUCCESS && rc != QK_E_BUFFER_TOO_SMALL) return rc;
  // With no token attached the count query succeeds with 0; there is nothing
  // to open then. A count beyond what a listing can hold is not believed.
  if (count == 0) return QK_E_NO_DEVICE_LIST;
  if (count > QK_MAX_DEVICES) count = QK_MAX_DEVICES;

  // Freed on every path, also when listing or opening fails.
  std::vector<QKContext> contexts(count);  // zero-filled
  rc = api.listDevices(contexts.data(), &count);
  if (rc != QK_E_SUCCESS) return rc;
  if (count == 0) return QK_E_NO_DEVICE_LIST;  // the token went away in between
  QKContext* token = &contexts[0];

  rc = api.beginTransaction(token, QK_WAIT_DEFAULT);
  if (rc != QK_E_SUCCESS) return rc;
  rc = RunOnToken(api, token, out);
  api.endTransaction(token);
  return rc;
}

namespace {

uint32_t RunOnToken(const DriverApi& api, QKContext* token, std::FILE* out) {
  uint32_t rc = api.openDevice(token);
  if (rc != QK_E_SUCCESS) return rc;

  // On the PIN and execute failures the device stays open; the process exit
  // releases it.
  rc =
      api.verifyPin(token, reinterpret_cast<const uint8_t*>(kUserPin), kUserPinLength, QK_PIN_USER);
  if (rc != QK_E_SUCCESS) {
    std::fprintf(out, "QKVerifyPin Error:0x%08X\n", static_cast<unsigned>(rc));
    return rc;
  }

  uint8_t input[kBufferSize] = {};
  PutNumber(input, 5);
  PutNumber(input + 2, 8);
  uint8_t output[kBufferSize] = {};
  uint32_t outputLength = 0;
  rc = api.execute(token, kProgramFile, input, kInputLength, output, kBufferSize, &outputLength);
  if (rc != QK_E_SUCCESS || outputLength != kAnswerLength) {
    // An answer of the wrong length prints the same line, with the code 0.
    std::fprintf(out, "QKExecute Error 1:0x%08X\n", static_cast<unsigned>(rc));
    return rc;
  }

  SwapToFromBigEndian16(output);
  int16_t answer = 0;
  std::memcpy(&answer, output, sizeof(answer));
  std::fprintf(out, "Result: %d\n", static_cast<int>(answer));
  api.closeDevice(token);
  return QK_E_SUCCESS;
}

}  // namespace

}  // namespace qkdriver
