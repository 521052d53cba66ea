// The Windows build against a real HID device: run under Wine inside the
// kernel-windows stage's guest, where `qktoken-sim uhid` serves tokens as
// hidraw nodes and Wine's HID bus presents them through SetupAPI and HID
// class interfaces. Nothing here plugs devices in: the guest script serves
// them (Wine's bus notices new nodes through inotify) and tells the program
// what to expect. Each case prints
//   [kernel-windows] PASS NAME (NN-bit)   or   [kernel-windows] FAIL NAME (NN-bit): WHY
// or, where the system underneath cannot show what the case checks,
//   [kernel-windows] SKIP NAME (NN-bit): WHY
// and the exit status is the number of failed cases.
//
//   qktoken-windows-test            the cases for two tokens, one of them
//                                   numbering its reports with identifier 1
//   qktoken-windows-test --list [WANT SECONDS]
//       prints the listing's result and token count and how many HID
//       interfaces of vendor 1234 (the guest's other devices) are presented,
//       as "RESULT COUNT OTHERS"; with WANT, first waits up to SECONDS for
//       that line (Wine adds and removes devices in the background), and
//       exits 1 when it never came
//   qktoken-windows-test --hold shared|exclusive
//       opens the unnumbered token in that mode, prints "held" and keeps it
//       open until its standard input ends (the other process of the
//       sharing cases)
//   qktoken-windows-test --unplug FILE [REPORT_ID]
//       opens the token whose reports carry REPORT_ID (default 0: the
//       unnumbered one), prints "ready", waits for FILE to exist
//       (the guest has stopped the token and is about to remove it), then
//       runs an exchange that cannot be answered: it must fail within its
//       time limit and leave the token's lock free
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/device_table.h"
#include "api/mutex_name.h"
#include "include/qktoken.h"
#include "platform/win32/windows_sdk.h"
#include "sim/samples.h"

extern "C" {
#include <hidpi.h>
}

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr char kReaderId[] = "0002";
constexpr char kDataId[] = "0010";
constexpr uint32_t kLongestWrite = 1020;   // one store: 18 command reports
constexpr uint32_t kLongestAnswer = 1022;  // one execute answer: 18 answer reports
constexpr uint32_t kDataFileSize = 1100;
constexpr uint32_t kMaxTokens = 4;
// The exchange limits every case runs with, and what the unplug case allows
// beyond the answer limit for Wine to give the pending read back.
constexpr QKTimeLimits kLimits{5000, 2000, 3000, 2000};
constexpr long long kUnplugSlackMs = 2000;
constexpr int kWaitForFileMs = 30000;

int g_failures = 0;

const char* Bits() { return sizeof(void*) == 8 ? "64-bit" : "32-bit"; }

long long MillisecondsSince(Clock::time_point start) {
  return (Clock::now() - start) / std::chrono::milliseconds(1);
}

// What a case returns when the system cannot show what it checks.
constexpr char kSkip[] = "skip: ";

void Report(const std::string& name, const std::string& failure) {
  if (failure.compare(0, sizeof kSkip - 1, kSkip) == 0) {
    std::printf("[kernel-windows] SKIP %s (%s): %s\n", name.c_str(), Bits(),
                failure.c_str() + sizeof kSkip - 1);
  } else if (failure.empty()) {
    std::printf("[kernel-windows] PASS %s (%s)\n", name.c_str(), Bits());
  } else {
    std::printf("[kernel-windows] FAIL %s (%s): %s\n", name.c_str(), Bits(), failure.c_str());
    ++g_failures;
  }
  std::fflush(stdout);
}

std::string Hex(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

// The report identifier the interface at `path` declares for its input
// report (0: none), read from its preparsed data through an open with no
// access rights, as any program may; -1 when it cannot be read.
int ReportIdOf(const char* path) {
  HANDLE file =
      CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  int id = -1;
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  if (HidD_GetPreparsedData(file, &preparsed)) {
    HIDP_VALUE_CAPS caps[4];
    USHORT count = 4;
    if (HidP_GetValueCaps(HidP_Input, caps, &count, preparsed) == HIDP_STATUS_SUCCESS &&
        count >= 1) {
      id = caps[0].ReportID;
    }
    HidD_FreePreparsedData(preparsed);
  }
  CloseHandle(file);
  return id;
}

// How many HID interfaces the system presents with vendor id `vendor`
// (identities read through opens with no access rights).
int HidInterfacesOf(uint16_t vendor) {
  GUID hid;
  HidD_GetHidGuid(&hid);
  HDEVINFO set =
      SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return -1;
  int count = 0;
  SP_DEVICE_INTERFACE_DATA data;
  data.cbSize = sizeof data;
  for (DWORD i = 0; i < 256 && SetupDiEnumDeviceInterfaces(set, nullptr, &hid, i, &data); ++i) {
    union {
      SP_DEVICE_INTERFACE_DETAIL_DATA_A detail;
      char bytes[1024];
    } buffer = {};
    buffer.detail.cbSize = sizeof buffer.detail;
    if (!SetupDiGetDeviceInterfaceDetailA(set, &data, &buffer.detail, sizeof buffer - 1, nullptr,
                                          nullptr)) {
      continue;
    }
    HANDLE file = CreateFileA(buffer.detail.DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = sizeof attributes;
    if (HidD_GetAttributes(file, &attributes) && attributes.VendorID == vendor) ++count;
    CloseHandle(file);
  }
  SetupDiDestroyDeviceInfoList(set);
  return count;
}

struct Listing {
  uint32_t result = 0;
  uint32_t count = 0;
  QKContext tokens[kMaxTokens] = {};
};

Listing List() {
  Listing listing;
  listing.count = kMaxTokens;
  listing.result = QKListDevices(listing.tokens, &listing.count);
  return listing;
}

// The interface path of the listed token whose reports carry `reportId`.
std::string TokenPath(int reportId) {
  Listing listing = List();
  for (uint32_t i = 0; i < listing.count && i < kMaxTokens; ++i) {
    const char* path = qk::SlotOf(&listing.tokens[i]).path;
    if (ReportIdOf(path) == reportId) return path;
  }
  return "";
}

// Opens the listed token whose reports carry `reportId` (0: none).
uint32_t OpenToken(QKContext* context, int reportId, bool exclusive = false) {
  Listing listing = List();
  if (listing.result != QK_E_SUCCESS) return listing.result;
  for (uint32_t i = 0; i < listing.count && i < kMaxTokens; ++i) {
    if (ReportIdOf(qk::SlotOf(&listing.tokens[i]).path) != reportId) continue;
    *context = listing.tokens[i];
    const QKOpenOptions options{0, exclusive ? 0u : 1u};
    return QKOpenDeviceShared(context, &options);
  }
  return QK_E_NO_DEVICE_LIST;
}

uint32_t VerifyPins(QKContext* context) {
  const auto* developer = reinterpret_cast<const uint8_t*>("904817263590481726359048");
  uint32_t rc = QKVerifyPin(context, developer, 24, QK_PIN_DEVELOPER);
  if (rc == QK_E_SUCCESS) {
    rc = QKVerifyPin(context, reinterpret_cast<const uint8_t*>("60719283"), 8, QK_PIN_USER);
  }
  return rc;
}

// The longest command (one 1020-byte store) and the longest answer (1022
// bytes read back through the readfile program) on an open token. "" when
// every byte came back.
std::string LongestExchanges(QKContext* context, uint8_t seed) {
  uint32_t rc = VerifyPins(context);
  if (rc != QK_E_SUCCESS) return "PIN verify " + Hex(rc);
  const Bytes& reader = qksim::SampleReadFileProgram();
  const auto readerSize = static_cast<uint32_t>(reader.size());
  if ((rc = QKMakeFile(context, kReaderId, readerSize, 2)) != QK_E_SUCCESS &&
      rc != QK_E_FILE_EXISTS) {
    return "make program " + Hex(rc);
  }
  if ((rc = QKStoreFile(context, kReaderId, 0, reader.data(), readerSize)) != QK_E_SUCCESS) {
    return "store program " + Hex(rc);
  }
  if ((rc = QKMakeFile(context, kDataId, kDataFileSize, 1)) != QK_E_SUCCESS &&
      rc != QK_E_FILE_EXISTS) {
    return "make data file " + Hex(rc);
  }
  Bytes data(kDataFileSize);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(seed + i * 7);
  if ((rc = QKStoreFile(context, kDataId, 0, data.data(), kLongestWrite)) != QK_E_SUCCESS) {
    return "1020-byte store " + Hex(rc);
  }
  if ((rc = QKStoreFile(context, kDataId, kLongestWrite, data.data() + kLongestWrite,
                        kDataFileSize - kLongestWrite)) != QK_E_SUCCESS) {
    return "tail store " + Hex(rc);
  }
  const uint8_t input[6] = {0x00, 0x10, 0, 0, kLongestAnswer >> 8, kLongestAnswer & 0xFF};
  uint8_t answer[kLongestAnswer + 2] = {};
  uint32_t got = 0;
  rc = QKExecute(context, kReaderId, input, 6, answer, sizeof answer, &got);
  if (rc != QK_E_SUCCESS) return "1022-byte answer " + Hex(rc);
  if (got != kLongestAnswer || std::memcmp(answer, data.data(), got) != 0) {
    return "the long answer came back as " + std::to_string(got) + " different bytes";
  }
  return "";
}

// Whether another thread (the named mutex is recursive for its owner) can
// take the token's lock at once.
bool LockIsFree(const QKContext& context) {
  bool free = false;
  std::thread([&] {
    std::unique_ptr<qk::platform::NamedMutex> lock(
        qk::CreateDeviceMutex(false, qk::SlotOf(&context).path));
    free = lock && lock->Lock(0);
    if (free) lock->Unlock();
  }).join();
  return free;
}

// ---- the other process of the sharing cases ----

// This program started again with `arguments`; its standard input and
// output are pipes held by `toChild` and `fromChild`.
struct Child {
  PROCESS_INFORMATION process = {};
  HANDLE toChild = nullptr;
  HANDLE fromChild = nullptr;

  bool Start(const std::string& arguments) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE childIn = nullptr, childOut = nullptr;
    if (!CreatePipe(&childIn, &toChild, &inherit, 0)) return false;
    if (!CreatePipe(&fromChild, &childOut, &inherit, 0)) return false;
    SetHandleInformation(toChild, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(fromChild, HANDLE_FLAG_INHERIT, 0);
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH - 1);
    std::string command = std::string("\"") + self + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process);
    CloseHandle(childIn);
    CloseHandle(childOut);
    return started != FALSE;
  }
  // The child's first `size` bytes of output, waited for at most `ms`.
  std::string Read(size_t size, DWORD ms) {
    std::string text;
    const auto start = Clock::now();
    while (text.size() < size && MillisecondsSince(start) < ms) {
      DWORD available = 0;
      if (!PeekNamedPipe(fromChild, nullptr, 0, nullptr, &available, nullptr)) break;
      if (available == 0) {
        Sleep(20);
        continue;
      }
      char buffer[64];
      DWORD got = 0;
      const DWORD want = static_cast<DWORD>(std::min<size_t>(sizeof buffer, size - text.size()));
      if (!ReadFile(fromChild, buffer, want, &got, nullptr) || got == 0) break;
      text.append(buffer, got);
    }
    return text;
  }
  // Ends its input, then waits (bounded) for it to exit.
  void Finish() {
    if (toChild != nullptr) CloseHandle(toChild);
    toChild = nullptr;
    if (process.hProcess != nullptr) {
      if (WaitForSingleObject(process.hProcess, 10000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
      }
      CloseHandle(process.hProcess);
      CloseHandle(process.hThread);
      process = {};
    }
    if (fromChild != nullptr) CloseHandle(fromChild);
    fromChild = nullptr;
  }
  ~Child() { Finish(); }
};

int Hold(const char* mode) {
  QKContext context = {};
  const uint32_t rc = OpenToken(&context, 0, std::strcmp(mode, "exclusive") == 0);
  if (rc != QK_E_SUCCESS) {
    std::fprintf(stderr, "holder: opening %s gave %s\n", mode, Hex(rc).c_str());
    return 1;
  }
  std::fputs("held", stdout);
  std::fflush(stdout);
  char byte;
  DWORD got = 0;
  while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr) && got == 1) {
  }
  QKCloseDevice(&context);
  return 0;
}

// ---- cases ----

std::string ListingFindsBothTokens() {
  const Listing listing = List();
  if (listing.result != QK_E_SUCCESS || listing.count != 2) {
    return "listing gave " + Hex(listing.result) + " with " + std::to_string(listing.count) +
           " tokens";
  }
  const int first = ReportIdOf(qk::SlotOf(&listing.tokens[0]).path);
  const int second = ReportIdOf(qk::SlotOf(&listing.tokens[1]).path);
  if (first + second != 1 || first * second != 0) {
    return "the listed interfaces declare report identifiers " + std::to_string(first) + " and " +
           std::to_string(second) + ", not 0 and 1";
  }
  return "";
}

// Whether the HID class refuses a second open of the interface at `path`
// while a first one shares nothing (Wine's does not; Windows' does). True
// when it cannot tell: the case then runs and speaks for itself.
bool ShareModesEnforced(const char* path) {
  const DWORD access = GENERIC_READ | GENERIC_WRITE;
  HANDLE first = CreateFileA(path, access, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (first == INVALID_HANDLE_VALUE) return true;
  HANDLE second = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  const bool enforced = second == INVALID_HANDLE_VALUE;
  if (!enforced) CloseHandle(second);
  CloseHandle(first);
  return enforced;
}

// Another process holds the token open in one mode while this one tries the
// other; it must be refused, and must succeed once the holder lets go.
std::string SharingAgainstHolder(bool holderExclusive) {
  // Where the HID class lets any number of opens share, no library open can
  // be refused: say so rather than start a holder to show it.
  if (!ShareModesEnforced(TokenPath(0).c_str())) {
    return std::string(kSkip) + "the HID class ignores share modes (Wine), so no open is refused";
  }
  Child holder;
  if (!holder.Start(std::string("--hold ") + (holderExclusive ? "exclusive" : "shared"))) {
    return "cannot start the holder";
  }
  const std::string said = holder.Read(4, 20000);
  QKContext context = {};
  uint32_t refused = QK_E_SUCCESS;
  if (said == "held") refused = OpenToken(&context, 0, !holderExclusive);
  if (refused == QK_E_SUCCESS) QKCloseDevice(&context);
  holder.Finish();
  if (said != "held") return "the holder could not open the token";
  if (refused == QK_E_SUCCESS) {
    return std::string(holderExclusive ? "a shared" : "an exclusive") +
           " open succeeded while the other process held the token";
  }
  const uint32_t after = OpenToken(&context, 0, !holderExclusive);
  QKCloseDevice(&context);
  if (after != QK_E_SUCCESS) return "opening after the holder left gave " + Hex(after);
  return "";
}

std::string LongestWithReportId(int reportId) {
  QKContext context = {};
  const uint32_t rc = OpenToken(&context, reportId);
  if (rc != QK_E_SUCCESS) return "open gave " + Hex(rc);
  const std::string error = LongestExchanges(&context, static_cast<uint8_t>(reportId + 1));
  QKCloseDevice(&context);
  return error;
}

// The token stops answering and is removed while this process waits for its
// answer: the call fails within its limit and the lock is free.
std::string UnplugDuringExchange(const char* goFile, int reportId) {
  QKContext context = {};
  uint32_t rc = OpenToken(&context, reportId);
  if (rc == QK_E_SUCCESS) rc = VerifyPins(&context);
  if (rc != QK_E_SUCCESS) return "open gave " + Hex(rc);
  std::puts("ready");
  std::fflush(stdout);
  const auto waiting = Clock::now();
  while (GetFileAttributesA(goFile) == INVALID_FILE_ATTRIBUTES) {
    if (MillisecondsSince(waiting) > kWaitForFileMs) {
      QKCloseDevice(&context);
      return std::string("the guest never created ") + goFile;
    }
    Sleep(20);
  }
  const uint8_t input[4] = {0, 1, 0, 2};
  uint8_t output[8];
  uint32_t got = 0;
  const auto start = Clock::now();
  const uint32_t result = QKExecute(&context, "0001", input, 4, output, sizeof output, &got);
  const long long tookMs = MillisecondsSince(start);
  const bool lockFree = LockIsFree(context);
  QKCloseDevice(&context);
  std::printf("[kernel-windows]   unplug: the call gave %s after %lld ms\n", Hex(result).c_str(),
              tookMs);
  if (result == QK_E_SUCCESS) return "the exchange succeeded with the token gone";
  const long long limitMs = kLimits.writeMs + kLimits.firstReadMs + kUnplugSlackMs;
  if (tookMs > limitMs) {
    return "the call took " + std::to_string(tookMs) + " ms (limit " + std::to_string(limitMs) +
           " ms)";
  }
  if (!lockFree) return "the device lock was still held after the failed call";
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  QKSetTimeLimits(&kLimits);
  if (argc == 3 && std::strcmp(argv[1], "--hold") == 0) return Hold(argv[2]);
  if ((argc == 2 || argc == 4) && std::strcmp(argv[1], "--list") == 0) {
    const std::string want = argc == 4 ? argv[2] : "";
    const long long waitMs = argc == 4 ? std::atoll(argv[3]) * 1000 : 0;
    const auto start = Clock::now();
    std::string line;
    do {
      const Listing listing = List();
      char text[64];
      std::snprintf(text, sizeof text, "%08X %u %d", listing.result, listing.count,
                    HidInterfacesOf(0x1234));
      line = text;
      if (line == want || MillisecondsSince(start) >= waitMs) break;
      Sleep(200);
    } while (true);
    std::printf("%s\n", line.c_str());
    return want.empty() || line == want ? 0 : 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "--replugged") == 0) {
    Report("the token served again after its removal: longest exchanges", LongestWithReportId(0));
    return g_failures;
  }
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--unplug") == 0) {
    const int reportId = argc == 4 ? std::atoi(argv[3]) : 0;
    Report(reportId == 0 ? "token removed during an exchange"
                         : "report identifier " + std::to_string(reportId) +
                               ": token removed during an exchange",
           UnplugDuringExchange(argv[2], reportId));
    return g_failures;
  }
  const struct {
    const char* name;
    std::function<std::string()> run;
  } cases[] = {
      {"listing finds both tokens, not the other device", ListingFindsBothTokens},
      {"shared open refused while another process holds it exclusively",
       [] { return SharingAgainstHolder(true); }},
      {"exclusive open refused while another process holds it shared",
       [] { return SharingAgainstHolder(false); }},
      {"longest command and longest answer", [] { return LongestWithReportId(0); }},
      {"report identifier 1: longest command and answer", [] { return LongestWithReportId(1); }},
  };
  for (const auto& c : cases) {
    const auto start = Clock::now();
    Report(c.name, c.run());
    std::printf("[kernel-windows]   (%lld ms)\n", MillisecondsSince(start));
  }
  return g_failures;
}
