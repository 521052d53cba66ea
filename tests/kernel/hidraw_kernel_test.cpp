// The library against the kernel's own hidraw driver: simulated tokens are
// plugged in as real HID devices (UhidDevice on /dev/uhid) and used through
// /dev/hidrawN exactly as hardware is, with no virtual directory. Runs as
// root inside the kernel stage's guest; each case prints
//   [kernel] PASS NAME   or   [kernel] FAIL NAME: WHY
// and the exit status is the number of failed cases.
//
//   qktoken-kernel-test                  every case
//   qktoken-kernel-test --hold shared|exclusive
//       lists, opens the first token in that mode, prints "held", and keeps
//       it open until its standard input ends (the other process of the
//       sharing cases)
//   qktoken-kernel-test --list
//       prints QKListDevices' result and count in hexadecimal and decimal
//       (a fresh process: a listing's result depends on the one before)
#include <fcntl.h>
#include <grp.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/device_table.h"
#include "api/mutex_name.h"
#include "include/qktoken.h"
#include "sim/samples.h"
#include "sim/token.h"
#include "sim/uhid/uhid_device.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;
using qksim::uhid::UhidDevice;
using qksim::uhid::UhidOptions;

constexpr uid_t kUnprivilegedUser = 1000;
constexpr char kReaderId[] = "0002";
constexpr char kDataId[] = "0010";
constexpr uint32_t kLongestWrite = 1020;   // one store: 18 command reports
constexpr uint32_t kLongestAnswer = 1022;  // one execute answer: 18 answer reports
constexpr uint32_t kDataFileSize = 1100;
constexpr long long kUnplugLimitMs = 2000;
constexpr char kSelf[] = "/proc/self/exe";

int g_failures = 0;

long long MillisecondsSince(Clock::time_point start) {
  return (Clock::now() - start) / std::chrono::milliseconds(1);
}

void Report(const std::string& name, const std::string& failure) {
  if (failure.empty()) {
    std::printf("[kernel] PASS %s\n", name.c_str());
  } else {
    std::printf("[kernel] FAIL %s: %s\n", name.c_str(), failure.c_str());
    ++g_failures;
  }
  std::fflush(stdout);
}

std::string Hex(uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", code);
  return text;
}

// A simulated token plugged in as a HID device.
struct Plugged {
  explicit Plugged(UhidOptions options = UhidOptions(), qksim::Token* shared = nullptr)
      : token(shared != nullptr ? shared : &own), device(*token, WithUniq(options, *token)) {}

  static UhidOptions WithUniq(UhidOptions options, const qksim::Token& token) {
    if (options.uniq.empty()) options.uniq = token.Serial();
    return options;
  }
  // Creates the device and waits (at most 3 s) for its hidraw node.
  std::string Plug(UhidOptions options = UhidOptions()) {
    std::string error;
    if (!device.Start(&error)) return error;
    options = WithUniq(options, *token);
    const auto start = Clock::now();
    while (MillisecondsSince(start) < 3000) {
      node = qksim::uhid::HidrawNodeOf(options.vendorId, options.productId, options.uniq);
      if (!node.empty()) return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return "no hidraw node appeared";
  }

  qksim::Token own;
  qksim::Token* token;
  UhidDevice device;
  std::string node;
};

UhidOptions Identity(uint16_t vendor, uint16_t product, uint8_t reportId = 0) {
  UhidOptions options;
  options.vendorId = vendor;
  options.productId = product;
  options.reportId = reportId;
  return options;
}

// Lists; the number of tokens in *count and the listing's result.
uint32_t List(QKContext* contexts, uint32_t* count) {
  *count = contexts != nullptr ? 4 : 0;
  return QKListDevices(contexts, count);
}

uint32_t OpenFirst(QKContext* context, bool exclusive = false) {
  QKContext found[4] = {};
  uint32_t count = 0;
  const uint32_t rc = List(found, &count);
  if (rc != QK_E_SUCCESS) return rc;
  if (count != 1) return QK_E_NO_DEVICE_LIST;
  *context = found[0];
  const QKOpenOptions options{0, exclusive ? 0u : 1u};
  return QKOpenDeviceShared(context, &options);
}

uint32_t VerifyPins(QKContext* context) {
  const auto* developer = reinterpret_cast<const uint8_t*>("904817263590481726359048");
  uint32_t rc = QKVerifyPin(context, developer, 24, QK_PIN_DEVELOPER);
  if (rc == QK_E_SUCCESS) {
    rc = QKVerifyPin(context, reinterpret_cast<const uint8_t*>("60719283"), 8, QK_PIN_USER);
  }
  return rc;
}

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7);
  return bytes;
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
  const Bytes data = Pattern(kDataFileSize, seed);
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

bool LockIsFree(const QKContext& context) {
  bool free = false;
  // Another thread than the one that ran the exchange: the lock is recursive.
  std::thread([&] {
    std::unique_ptr<qk::platform::NamedMutex> lock(
        qk::CreateDeviceMutex(false, qk::SlotOf(&context).path));
    free = lock && lock->Lock(0);
    if (free) lock->Unlock();
  }).join();
  return free;
}

// The feature report the kernel fetches from the device (UHID_GET_REPORT):
// its length, or -1.
int FeatureReportLength(const std::string& node, uint8_t reportId) {
  const int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  uint8_t buffer[65] = {reportId};
  const int n = ioctl(fd, HIDIOCGFEATURE(sizeof buffer), buffer);
  close(fd);
  return n;
}

// ---- cases ----

std::string ListingOnlyTheToken() {
  Plugged token, other(Identity(0x1234, 0x5678));
  std::string error = token.Plug();
  if (error.empty()) error = other.Plug(Identity(0x1234, 0x5678));
  if (!error.empty()) return error;
  QKContext contexts[4] = {};
  uint32_t count = 0;
  const uint32_t rc = List(contexts, &count);
  if (rc != QK_E_SUCCESS || count != 1) {
    return "listing gave " + Hex(rc) + " with " + std::to_string(count) + " tokens";
  }
  const std::string listed = qk::SlotOf(&contexts[0]).path;
  if (listed != token.node) return "listed " + listed + ", the token is " + token.node;
  const int feature = FeatureReportLength(token.node, 0);
  if (feature != 64 && feature != 65) {
    return "the feature report read back as " + std::to_string(feature) + " bytes";
  }
  return "";
}

// Another process holds the token open in `mode` while this one tries the
// other mode; both must be refused, and both must succeed once it lets go.
std::string SharingAgainstHolder(bool holderExclusive) {
  Plugged token;
  std::string error = token.Plug();
  if (!error.empty()) return error;
  int toChild[2], fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 1);
    close(toChild[1]);
    close(fromChild[0]);
    execl(kSelf, kSelf, "--hold", holderExclusive ? "exclusive" : "shared",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(toChild[0]);
  close(fromChild[1]);
  char held[8] = {};
  pollfd wait{fromChild[0], POLLIN, 0};
  const bool ready = poll(&wait, 1, 10000) == 1 && read(fromChild[0], held, 4) == 4;
  QKContext context = {};
  uint32_t refused = QK_E_SUCCESS;
  if (ready) refused = OpenFirst(&context, !holderExclusive);
  if (refused == QK_E_SUCCESS) QKCloseDevice(&context);
  close(toChild[1]);  // the holder closes and exits
  int status = 0;
  waitpid(child, &status, 0);
  close(fromChild[0]);
  if (!ready || std::strncmp(held, "held", 4) != 0) return "the holder could not open the token";
  if (refused == QK_E_SUCCESS) {
    return std::string(holderExclusive ? "a shared" : "an exclusive") +
           " open succeeded while the other process held the token";
  }
  const uint32_t after = OpenFirst(&context, !holderExclusive);
  QKCloseDevice(&context);
  if (after != QK_E_SUCCESS) return "opening after the holder left gave " + Hex(after);
  return "";
}

int Hold(const char* mode) {
  QKContext context = {};
  const uint32_t rc = OpenFirst(&context, std::strcmp(mode, "exclusive") == 0);
  if (rc != QK_E_SUCCESS) {
    std::fprintf(stderr, "holder: opening %s gave %s\n", mode, Hex(rc).c_str());
    return 1;
  }
  std::fputs("held", stdout);
  std::fflush(stdout);
  char byte;
  while (read(0, &byte, 1) > 0) {
  }
  QKCloseDevice(&context);
  return 0;
}

std::string LongestOnPlainAndNumbered(uint8_t reportId) {
  Plugged token(Identity(0x7A5C, 0x0B21, reportId));
  std::string error = token.Plug(Identity(0x7A5C, 0x0B21, reportId));
  if (!error.empty()) return error;
  if (reportId != 0 && FeatureReportLength(token.node, reportId) != 65) {
    return "the numbered feature report did not read back as 65 bytes";
  }
  QKContext context = {};
  const uint32_t rc = OpenFirst(&context);
  if (rc != QK_E_SUCCESS) return "open gave " + Hex(rc);
  error = LongestExchanges(&context, reportId);
  QKCloseDevice(&context);
  return error;
}

// The token stops answering, then is unplugged while the host waits for its
// answer: the call fails at once with QK_E_COMMUNICATION and leaves the lock
// free. Plugged in again (same token), it is listed and works.
std::string UnplugDuringExchangeThenReplug() {
  qksim::Token token;
  auto plugged = std::make_unique<Plugged>(UhidOptions(), &token);
  std::string error = plugged->Plug();
  if (!error.empty()) return error;
  QKContext context = {};
  uint32_t rc = OpenFirst(&context);
  if (rc == QK_E_SUCCESS) rc = VerifyPins(&context);
  if (rc != QK_E_SUCCESS) return "open gave " + Hex(rc);

  plugged->device.SetIgnoreHostReports(true);
  const uint64_t reportsBefore = plugged->device.HostReports();
  uint32_t callResult = QK_E_SUCCESS;
  Clock::time_point returned;
  std::thread call([&] {
    const uint8_t input[4] = {0, 1, 0, 2};
    uint8_t output[8];
    uint32_t got = 0;
    callResult = QKExecute(&context, "0001", input, 4, output, sizeof output, &got);
    returned = Clock::now();
  });
  const auto start = Clock::now();
  while (plugged->device.HostReports() == reportsBefore && MillisecondsSince(start) < 5000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the host is waiting now
  const auto unplugged = Clock::now();
  plugged.reset();
  call.join();
  const long long afterUnplugMs = (returned - unplugged) / std::chrono::milliseconds(1);
  const bool lockFree = LockIsFree(context);
  QKCloseDevice(&context);
  if (callResult != QK_E_COMMUNICATION) {
    return "the interrupted call gave " + Hex(callResult) + ", not QK_E_COMMUNICATION";
  }
  if (afterUnplugMs > kUnplugLimitMs) {
    return "the call returned " + std::to_string(afterUnplugMs) + " ms after the unplug";
  }
  if (!lockFree) return "the device lock was still held after the failed call";
  std::printf("[kernel]   unplug: call failed %lld ms after the device went\n", afterUnplugMs);

  uint32_t count = 0;
  rc = List(nullptr, &count);
  if (count != 0) return "an unplugged token was still listed";
  plugged = std::make_unique<Plugged>(UhidOptions(), &token);
  if (!(error = plugged->Plug()).empty()) return "replug: " + error;
  rc = OpenFirst(&context);
  if (rc != QK_E_SUCCESS) return "replug: open gave " + Hex(rc);
  error = LongestExchanges(&context, 3);
  QKCloseDevice(&context);
  return error.empty() ? "" : "replug: " + error;
}

int ListAndPrint() {
  QKContext contexts[4] = {};
  uint32_t count = 0;
  const uint32_t result = List(contexts, &count);
  std::printf("%08X %u\n", result, count);
  return 0;
}

// Listing as an ordinary user in a fresh process: QKListDevices' result and count.
bool ListAsUser(uint32_t* result, uint32_t* count) {
  int channel[2];
  if (pipe(channel) != 0) return false;
  const pid_t child = fork();
  if (child == 0) {
    dup2(channel[1], 1);
    close(channel[0]);
    if (setgroups(0, nullptr) == 0 && setgid(kUnprivilegedUser) == 0 &&
        setuid(kUnprivilegedUser) == 0 && geteuid() == kUnprivilegedUser) {
      execl(kSelf, kSelf, "--list", static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  close(channel[1]);
  char text[64] = {};
  size_t filled = 0;
  ssize_t n;
  while (filled < sizeof text - 1 &&
         (n = read(channel[0], text + filled, sizeof text - 1 - filled)) > 0) {
    filled += static_cast<size_t>(n);
  }
  close(channel[0]);
  waitpid(child, nullptr, 0);
  return std::sscanf(text, "%8x %u", result, count) == 2;
}

// As an ordinary user: an unrelated HID device the user may not open (0600)
// must not turn "no token" into QK_E_ACCESS_DENIED, nor spoil a listing that
// finds the token; the token's own node that the user may not open must.
std::string UnreadableNodesAsUser() {
  Plugged other(Identity(0x1234, 0x5678));
  std::string error = other.Plug(Identity(0x1234, 0x5678));
  if (!error.empty()) return error;
  if (chmod(other.node.c_str(), 0600) != 0 || chown(other.node.c_str(), 0, 0) != 0) {
    return "cannot restrict " + other.node;
  }
  const struct {
    const char* situation;
    mode_t tokenMode;  // 0: no token plugged in
    uint32_t result;
    uint32_t count;
  } steps[] = {
      {"only an unreadable unrelated device", 0, QK_E_SUCCESS, 0},
      {"the token (as the udev rule leaves it) and an unreadable unrelated device", 0666,
       QK_E_SUCCESS, 1},
      {"the token's own node unreadable", 0600, QK_E_ACCESS_DENIED, 0},
  };
  Plugged token;
  for (const auto& step : steps) {
    if (step.tokenMode != 0) {
      if (token.node.empty() && !(error = token.Plug()).empty()) return error;
      if (chmod(token.node.c_str(), step.tokenMode) != 0) return "cannot chmod " + token.node;
    }
    uint32_t result = 0, count = 0;
    if (!ListAsUser(&result, &count)) return "the listing child failed";
    if (result != step.result || count != step.count) {
      return std::string("with ") + step.situation + ", listing gave " + Hex(result) + " and " +
             std::to_string(count) + " tokens";
    }
  }
  return "";
}

// A wait started before the event, on its own thread; the milliseconds from
// `event` (run on this thread) to the wait's return, or -1 when it gave
// anything but a change.
long long WaitAcross(uint32_t* state, const std::function<void()>& event, uint32_t* result) {
  Clock::time_point returned;
  std::thread waiter([&] {
    *result = QKWaitForDeviceChange(state, 10000);
    returned = Clock::now();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the wait is running
  const auto at = Clock::now();
  event();
  waiter.join();
  return *result == QK_E_SUCCESS ? (returned - at) / std::chrono::milliseconds(1) : -1;
}

// Drains what one event raised (a node appears, then its permissions change).
void Settle(uint32_t* state) {
  while (QKWaitForDeviceChange(state, 300) == QK_E_SUCCESS) {
  }
}

// qktoken-sim's device plugged in and unplugged while a wait runs; then a
// node whose permissions change after it appeared (as udev sets them); then
// an open, idle handle's token unplugged: the wait returns, and the
// handle's next command fails.
std::string WaitSeesArrivalsAndRemovals() {
  constexpr long long kLimitMs = 1000;
  uint32_t state = 0, rc = 0;
  if ((rc = QKWaitForDeviceChange(&state, 0)) != QK_E_SUCCESS) return "first wait " + Hex(rc);
  qksim::Token token;
  std::unique_ptr<Plugged> plugged;
  std::string error;
  const long long arrival = WaitAcross(
      &state,
      [&] {
        plugged = std::make_unique<Plugged>(UhidOptions(), &token);
        error = plugged->Plug();
      },
      &rc);
  if (!error.empty()) return error;
  if (arrival < 0 || arrival > kLimitMs) {
    return "arrival: wait gave " + Hex(rc) + " after " + std::to_string(arrival) + " ms";
  }
  Settle(&state);
  const long long permissions = WaitAcross(
      &state, [&] { chmod(plugged->node.c_str(), 0660); }, &rc);
  if (permissions < 0 || permissions > kLimitMs) {
    return "permissions set: wait gave " + Hex(rc) + " after " + std::to_string(permissions) +
           " ms";
  }
  Settle(&state);
  const long long removal = WaitAcross(
      &state, [&] { plugged.reset(); }, &rc);
  if (removal < 0 || removal > kLimitMs) {
    return "removal: wait gave " + Hex(rc) + " after " + std::to_string(removal) + " ms";
  }
  Settle(&state);

  plugged = std::make_unique<Plugged>(UhidOptions(), &token);
  if (!(error = plugged->Plug()).empty()) return "replug: " + error;
  Settle(&state);
  QKContext context = {};
  rc = OpenFirst(&context);
  if (rc == QK_E_SUCCESS) rc = VerifyPins(&context);
  if (rc != QK_E_SUCCESS) return "open gave " + Hex(rc);
  const long long idleRemoval = WaitAcross(
      &state, [&] { plugged.reset(); }, &rc);
  const uint8_t input[4] = {0, 1, 0, 2};
  uint8_t output[8];
  uint32_t got = 0;
  const uint32_t after = QKExecute(&context, "0001", input, 4, output, sizeof output, &got);
  QKCloseDevice(&context);
  if (idleRemoval < 0 || idleRemoval > kLimitMs) {
    return "removal of an open token: wait gave " + Hex(rc) + " after " +
           std::to_string(idleRemoval) + " ms";
  }
  if (after == QK_E_SUCCESS) return "a command on the removed token succeeded";
  std::printf(
      "[kernel]   watch: arrival seen after %lld ms, permissions %lld ms, removal %lld ms, "
      "removal of an open idle token %lld ms (next command %s)\n",
      arrival, permissions, removal, idleRemoval, Hex(after).c_str());
  return "";
}

// A wait on an idle system: cancelled from another thread at once, and
// costing no processor time while it waits.
std::string IdleWaitIsCheapAndCancellable() {
  uint32_t state = 0;
  QKWaitForDeviceChange(&state, 0);
  Settle(&state);
  const std::clock_t cpuBefore = std::clock();
  uint32_t rc = QKWaitForDeviceChange(&state, 2000);
  const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
  if (rc != QK_E_WAIT_TIMEOUT) return "an idle wait gave " + Hex(rc);
  if (cpuMs > 50) return "a 2-second idle wait used " + std::to_string(cpuMs) + " ms of CPU";
  const long long cancelled = WaitAcross(
      &state, [] { QKCancelDeviceWait(); }, &rc);
  if (rc != QK_E_WAIT_CANCELLED) return "the cancelled wait gave " + Hex(rc);
  (void)cancelled;
  std::printf("[kernel]   watch: a 2-second idle wait used %.1f ms of CPU\n", cpuMs);
  return "";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--hold") == 0) return Hold(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "--list") == 0) return ListAndPrint();
  signal(SIGPIPE, SIG_IGN);
  // Exchanges that never end must not hold the run up: short limits.
  const QKTimeLimits limits{5000, 2000, 5000, 2000};
  QKSetTimeLimits(&limits);
  const struct {
    const char* name;
    std::function<std::string()> run;
  } cases[] = {
      {"listing opens only the token", ListingOnlyTheToken},
      {"shared open refused while another process holds it exclusively",
       [] { return SharingAgainstHolder(true); }},
      {"exclusive open refused while another process holds it shared",
       [] { return SharingAgainstHolder(false); }},
      {"longest command and longest answer", [] { return LongestOnPlainAndNumbered(0); }},
      {"report identifier 1: longest command and answer",
       [] { return LongestOnPlainAndNumbered(1); }},
      {"unplug during an exchange, then replug", UnplugDuringExchangeThenReplug},
      {"unreadable nodes as an ordinary user", UnreadableNodesAsUser},
      {"a device-change wait sees arrivals and removals within 1 s", WaitSeesArrivalsAndRemovals},
      {"an idle device-change wait uses no CPU and can be cancelled",
       IdleWaitIsCheapAndCancellable},
  };
  for (const auto& c : cases) Report(c.name, c.run());
  return g_failures;
}
