// qktoken-sim uhid: serves simulated tokens as real HID devices through
// /dev/uhid until SIGINT, SIGTERM or SIGHUP, then removes them.
#include "tools/sim/uhid_command.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/link/trace.h"
#include "sim/token.h"
#include "sim/uhid/uhid_device.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr unsigned long kMaxTokens = 16;
constexpr char kProgram[] = "qktoken-sim uhid";
// How long to look for the hidraw node the kernel makes for a new device.
constexpr auto kNodeWait = std::chrono::seconds(2);

const char kUsage[] =
    "usage: qktoken-sim uhid [--tokens N] [OPTIONS]\n"
    "serves simulated tokens as HID devices through /dev/uhid until interrupted\n"
    "options:\n"
    "  --tokens N             how many tokens (1 to 16, default 1)\n"
    "  --image PATH           keep the token's state in an image file (token i > 0: PATH.i)\n"
    "  --report-id N          number the reports with identifier N (1 to 255; default none)\n"
    "  --vendor HEX           vendor id (default 7a5c)\n"
    "  --product HEX          product id (default 0b21)\n"
    "  --trace FILE           write the decrypted trace to FILE\n"
    "  --uhid PATH            the user-space HID device (default /dev/uhid)\n";

struct UhidCommandOptions {
  unsigned tokens = 1;
  std::string image;
  std::string trace;
  std::string uhidPath = "/dev/uhid";
  qksim::uhid::UhidOptions device;
};

[[noreturn]] void UsageError(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n%s", kProgram, message.c_str(), kUsage);
  std::exit(kExitUsage);
}

// A whole number in `base` (hexadecimal may start with 0x), up to `max`.
bool ParseNumber(std::string text, int base, unsigned long max, unsigned long* value) {
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text = text.substr(2);
  }
  if (text.empty() || text.size() > 8) return false;
  char* end = nullptr;
  *value = std::strtoul(text.c_str(), &end, base);
  return *end == '\0' && text[0] != '-' && text[0] != '+' && *value <= max;
}

UhidCommandOptions ParseUhidArguments(int argc, char** argv) {
  UhidCommandOptions options;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) UsageError(arg + " needs a value");
      return argv[++i];
    };
    unsigned long n = 0;
    if (arg == "--tokens") {
      if (!ParseNumber(value(), 10, kMaxTokens, &n) || n == 0) {
        UsageError("--tokens takes a number from 1 to " + std::to_string(kMaxTokens));
      }
      options.tokens = static_cast<unsigned>(n);
    } else if (arg == "--image") {
      options.image = value();
      if (options.image.empty()) UsageError("--image needs a path");
    } else if (arg == "--trace") {
      options.trace = value();
      if (options.trace.empty()) UsageError("--trace needs a path");
    } else if (arg == "--uhid") {
      options.uhidPath = value();
    } else if (arg == "--report-id") {
      if (!ParseNumber(value(), 10, 255, &n) || n == 0) {
        UsageError("--report-id takes a number from 1 to 255");
      }
      options.device.reportId = static_cast<uint8_t>(n);
    } else if (arg == "--vendor" || arg == "--product") {
      const std::string text = value();
      if (!ParseNumber(text, 16, 0xFFFF, &n)) {
        UsageError(arg + " takes up to four hexadecimal digits, not '" + text + "'");
      }
      (arg == "--vendor" ? options.device.vendorId : options.device.productId) =
          static_cast<uint16_t>(n);
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else {
      UsageError("unknown option '" + arg + "'");
    }
  }
  return options;
}

std::string ImagePath(const UhidCommandOptions& options, unsigned index) {
  if (options.image.empty() || index == 0) return options.image;
  return options.image + "." + std::to_string(index);
}

// Waits briefly for the device's hidraw node; "" when none appears.
std::string WaitForNode(const qksim::uhid::UhidOptions& device) {
  const auto until = std::chrono::steady_clock::now() + kNodeWait;
  for (;;) {
    std::string node = qksim::uhid::HidrawNodeOf(device.vendorId, device.productId, device.uniq);
    if (!node.empty() || std::chrono::steady_clock::now() >= until) return node;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace

int RunUhidCommand(int argc, char** argv) {
  const UhidCommandOptions options = ParseUhidArguments(argc, argv);
  // Termination signals are taken with sigwait in this thread only; the
  // device threads inherit the blocked mask.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  qksim::link::TraceWriter trace;
  if (!options.trace.empty()) {
    std::string error;
    if (!trace.Open(options.trace, &error)) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      return kExitFailure;
    }
  }
  std::vector<std::unique_ptr<qksim::Token>> tokens;
  std::vector<std::unique_ptr<qksim::uhid::UhidDevice>> devices;
  int result = 0;
  for (unsigned i = 0; i < options.tokens && result == 0; ++i) {
    std::unique_ptr<qksim::Token> token;
    const std::string image = ImagePath(options, i);
    std::string error;
    if (image.empty()) {
      token = std::make_unique<qksim::Token>();
    } else if (!(token = qksim::Token::OpenImage(image, &error))) {
      std::fprintf(stderr, "%s: cannot use token image %s: %s\n", kProgram, image.c_str(),
                   error.c_str());
      result = kExitFailure;
      break;
    }
    const std::string name = "token" + std::to_string(i);
    if (!options.trace.empty()) token->SetTraceSink(trace.SinkFor(name));
    qksim::uhid::UhidOptions device = options.device;
    device.uniq = token->Serial();  // tells the devices apart in sysfs
    auto bridge = std::make_unique<qksim::uhid::UhidDevice>(*token, device);
    tokens.push_back(std::move(token));
    if (!bridge->Start(&error, options.uhidPath.c_str())) {
      std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
      result = kExitFailure;
      break;
    }
    devices.push_back(std::move(bridge));
    const std::string node = WaitForNode(device);
    if (node.empty()) {
      std::printf(
          "serving %s %04x:%04x as a HID device; no hidraw node appeared "
          "(is the hid-generic module loaded?)\n",
          name.c_str(), device.vendorId, device.productId);
    } else {
      std::printf("serving %s %04x:%04x at %s\n", name.c_str(), device.vendorId, device.productId,
                  node.c_str());
    }
    std::fflush(stdout);
  }
  if (result == 0) {
    int signal = 0;
    while (sigwait(&set, &signal) != 0) {
    }
  }
  for (auto& device : devices) device->Stop();
  for (auto& token : tokens) token->SetTraceSink(nullptr);
  return result;
}
