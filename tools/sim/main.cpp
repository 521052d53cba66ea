// qktoken-sim: serves simulated tokens on the virtual link.
//
//   qktoken-sim serve --dir DIR [options]        serve until SIGINT or SIGTERM
//   qktoken-sim run [--tokens N] [options] -- PROGRAM [ARGS...]
//                                                serve in a private directory
//                                                while PROGRAM runs
//   qktoken-sim uhid [--tokens N] [options]      serve as kernel HID devices
//                                                (Linux, tools/sim/uhid_command.cpp)
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "sim/link/faults.h"
#include "sim/link/link_server.h"
#include "sim/link/trace.h"
#include "sim/token.h"
#ifdef QK_SIM_UHID
#include "tools/sim/uhid_command.h"
#endif

namespace {

using qksim::link::FaultRule;
using qksim::link::LinkOptions;
using qksim::link::LinkServer;

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;
constexpr int kExitCannotRun = 127;
constexpr unsigned kMaxTokens = 16;
constexpr char kProgram[] = "qktoken-sim";

const char kUsage[] =
    "usage: qktoken-sim serve --dir DIR [OPTIONS]\n"
    "       qktoken-sim run [--tokens N] [OPTIONS] -- PROGRAM [ARGS...]\n"
#ifdef QK_SIM_UHID
    "       qktoken-sim uhid [--tokens N] [OPTIONS]   (see qktoken-sim uhid --help)\n"
#endif
    "options:\n"
    "  --name NAME            entry name (default token0; with --tokens N: NAME0..)\n"
    "  --image PATH           keep the token's state in an image file\n"
    "  --tcp                  serve on 127.0.0.1 with a NAME.tcp entry\n"
    "  --vendor HEX           vendor id (default 7a5c)\n"
    "  --product HEX          product id (default 0b21)\n"
    "  --feature-length N     feature report length (default 65)\n"
    "  --trace FILE           write the decrypted trace to FILE\n"
    "  --fault RULE           inject a fault, e.g. drop, slow:300, corrupt@2+3 (repeatable)\n";

struct Options {
  std::string command;
  std::string dir;
  std::string name;
  std::string image;
  std::string trace;
  bool tcp = false;
  unsigned tokens = 1;
  qksim::Identity identity;
  std::vector<FaultRule> faults;
  std::vector<std::string> program;
};

[[noreturn]] void UsageError(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n%s", kProgram, message.c_str(), kUsage);
  std::exit(kExitUsage);
}

bool ParseUnsigned(const std::string& text, int base, unsigned long max, unsigned long* value) {
  if (text.empty() || text.size() > 12) return false;
  for (char c : text) {
    const bool digit =
        base == 16 ? std::isxdigit(static_cast<unsigned char>(c)) != 0 : (c >= '0' && c <= '9');
    if (!digit) return false;
  }
  *value = std::strtoul(text.c_str(), nullptr, base);
  return *value <= max;
}

uint16_t ParseHex16(const std::string& option, std::string text) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text = text.substr(2);
  unsigned long value = 0;
  if (text.size() > 4 || !ParseUnsigned(text, 16, 0xFFFF, &value)) {
    UsageError(option + " takes up to four hexadecimal digits, not '" + text + "'");
  }
  return static_cast<uint16_t>(value);
}

Options ParseArguments(int argc, char** argv) {
  Options options;
  if (argc < 2) UsageError("no command given");
  options.command = argv[1];
  if (options.command == "--help" || options.command == "-h") {
    std::fputs(kUsage, stdout);
    std::exit(0);
  }
  if (options.command != "serve" && options.command != "run") {
    UsageError("unknown command '" + options.command + "'");
  }
  const bool run = options.command == "run";
  int i = 2;
  auto value = [&](const std::string& option) -> std::string {
    if (i + 1 >= argc) UsageError(option + " needs a value");
    return argv[++i];
  };
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") {
      if (!run) UsageError("'--' belongs to the run command");
      for (++i; i < argc; ++i) options.program.push_back(argv[i]);
      break;
    } else if (arg == "--dir" && !run) {
      options.dir = value(arg);
    } else if (arg == "--name") {
      options.name = value(arg);
    } else if (arg == "--image") {
      options.image = value(arg);
    } else if (arg == "--trace") {
      options.trace = value(arg);
    } else if (arg == "--tcp") {
      options.tcp = true;
    } else if (arg == "--vendor") {
      options.identity.vendorId = ParseHex16(arg, value(arg));
    } else if (arg == "--product") {
      options.identity.productId = ParseHex16(arg, value(arg));
    } else if (arg == "--feature-length") {
      unsigned long n = 0;
      const std::string text = value(arg);
      if (!ParseUnsigned(text, 10, 0xFFFF, &n)) {
        UsageError("--feature-length takes a number from 0 to 65535, not '" + text + "'");
      }
      options.identity.featureReportLength = static_cast<uint16_t>(n);
    } else if (arg == "--tokens" && run) {
      unsigned long n = 0;
      const std::string text = value(arg);
      if (!ParseUnsigned(text, 10, kMaxTokens, &n) || n == 0) {
        UsageError("--tokens takes a number from 1 to " + std::to_string(kMaxTokens));
      }
      options.tokens = static_cast<unsigned>(n);
    } else if (arg == "--fault") {
      FaultRule rule;
      std::string error;
      if (!qksim::link::ParseFaultRule(value(arg), &rule, &error)) UsageError(error);
      options.faults.push_back(rule);
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else {
      UsageError("unknown option '" + arg + "' for " + options.command);
    }
  }
  if (!run && options.dir.empty()) UsageError("serve needs --dir DIR");
  if (run && options.program.empty()) UsageError("run needs '-- PROGRAM [ARGS...]'");
  return options;
}

std::string TokenName(const Options& options, unsigned index) {
  if (options.tokens == 1) return options.name.empty() ? "token0" : options.name;
  return (options.name.empty() ? std::string("token") : options.name) + std::to_string(index);
}

std::string ImagePath(const Options& options, unsigned index) {
  if (options.image.empty() || index == 0) return options.image;
  return options.image + "." + std::to_string(index);
}

// Creates DIR (and missing parents) private to the user; warns when an
// existing directory is one the library will not trust.
bool PrepareDirectory(const std::string& dir) {
  for (size_t cut = 1; cut <= dir.size(); ++cut) {
    if (cut != dir.size() && dir[cut] != '/') continue;
    const std::string prefix = dir.substr(0, cut);
    struct stat existing;
    if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST &&
        stat(prefix.c_str(), &existing) != 0) {
      std::fprintf(stderr, "%s: cannot create %s: %s\n", kProgram, prefix.c_str(),
                   std::strerror(errno));
      return false;
    }
  }
  struct stat info;
  if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "%s: %s is not a directory\n", kProgram, dir.c_str());
    return false;
  }
  if (info.st_uid != geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::fprintf(stderr,
                 "%s: warning: %s is not private to you; the library will refuse its tokens\n",
                 kProgram, dir.c_str());
  }
  return true;
}

// The tokens, their servers and the trace, torn down in the right order.
class Farm {
 public:
  ~Farm() { Stop(); }

  bool Start(const Options& options, const std::string& dir) {
    if (!options.trace.empty()) {
      std::string error;
      if (!trace_.Open(options.trace, &error)) return Fail(error);
    }
    for (unsigned i = 0; i < options.tokens; ++i) {
      std::unique_ptr<qksim::Token> token;
      const std::string image = ImagePath(options, i);
      if (image.empty()) {
        token = std::make_unique<qksim::Token>();
      } else {
        std::string error;
        token = qksim::Token::OpenImage(image, &error);
        if (!token) return Fail("cannot use token image " + image + ": " + error);
      }
      const std::string name = TokenName(options, i);
      if (!options.trace.empty()) token->SetTraceSink(trace_.SinkFor(name));
      LinkOptions link;
      link.directory = dir;
      link.name = name;
      link.tcp = options.tcp;
      link.identity = options.identity;
      auto server = std::make_unique<LinkServer>(*token, link);
      for (const FaultRule& rule : options.faults) server->Faults().Add(rule);
      std::string error;
      tokens_.push_back(std::move(token));
      if (!server->Start(&error)) return Fail("cannot serve " + name + ": " + error);
      servers_.push_back(std::move(server));
    }
    return true;
  }

  void Stop() {
    for (auto& server : servers_) server->Stop();
    servers_.clear();
    for (auto& token : tokens_) token->SetTraceSink(nullptr);
    tokens_.clear();
  }

  const std::vector<std::unique_ptr<LinkServer>>& Servers() const { return servers_; }

 private:
  bool Fail(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", kProgram, message.c_str());
    Stop();
    return false;
  }

  qksim::link::TraceWriter trace_;
  std::vector<std::unique_ptr<qksim::Token>> tokens_;
  std::vector<std::unique_ptr<LinkServer>> servers_;
};

sigset_t TerminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

int Serve(const Options& options) {
  if (!PrepareDirectory(options.dir)) return kExitFailure;
  Farm farm;
  if (!farm.Start(options, options.dir)) return kExitFailure;
  for (const auto& server : farm.Servers()) {
    std::printf("serving %s\n", server->EntryPath().c_str());
  }
  std::fflush(stdout);
  const sigset_t set = TerminationSignals();
  int signal = 0;
  while (sigwait(&set, &signal) != 0) {
  }
  farm.Stop();
  return 0;
}

// Starts PROGRAM with the original signal mask; the exec's outcome comes back
// through a close-on-exec pipe. Returns the child's id, or -1.
pid_t Launch(const std::vector<std::string>& program, const sigset_t& originalMask) {
  int status[2];
  if (pipe(status) != 0) return -1;
  fcntl(status[1], F_SETFD, FD_CLOEXEC);
  std::vector<char*> args;
  for (const std::string& a : program) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    close(status[0]);
    signal(SIGPIPE, SIG_DFL);  // an ignored signal would stay ignored across exec
    sigprocmask(SIG_SETMASK, &originalMask, nullptr);
    execvp(args[0], args.data());
    const int error = errno;
    (void)!write(status[1], &error, sizeof error);
    _exit(kExitCannotRun);
  }
  close(status[1]);
  if (child < 0) {
    close(status[0]);
    return -1;
  }
  int error = 0;
  ssize_t n;
  while ((n = read(status[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  close(status[0]);
  if (n == static_cast<ssize_t>(sizeof error)) {
    std::fprintf(stderr, "%s: cannot run %s: %s\n", kProgram, program[0].c_str(),
                 std::strerror(error));
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return -1;
  }
  return child;
}

// Waits for the child, passing termination signals on to it.
int WaitForChild(pid_t child) {
  const sigset_t set = TerminationSignals();
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      continue;
    }
    if (done < 0 && errno != EINTR) return kExitFailure;
    const timespec tick{0, 50 * 1000 * 1000};
    const int signal = sigtimedwait(&set, nullptr, &tick);
    if (signal > 0) kill(child, signal);
  }
}

// The library keeps a token's lock file beside its entry (".NAME.lock").
// The directory is this run's own and its tokens are gone, so their lock
// files go with it.
void RemoveLockFiles(const std::string& dir) {
  DIR* stream = opendir(dir.c_str());
  if (stream == nullptr) return;
  const std::string suffix = ".lock";
  while (const dirent* entry = readdir(stream)) {
    const std::string name = entry->d_name;
    if (name.size() > suffix.size() + 1 && name[0] == '.' &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      unlinkat(dirfd(stream), name.c_str(), 0);
    }
  }
  closedir(stream);
}

int Run(const Options& options, const sigset_t& originalMask) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") + "/qktoken-sim-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {  // mkdtemp makes it 0700
    std::fprintf(stderr, "%s: cannot make a private directory: %s\n", kProgram,
                 std::strerror(errno));
    return kExitFailure;
  }
  const std::string dir = pattern;
  int result = kExitFailure;
  {
    Farm farm;
    // Set before any server thread exists; the child inherits it.
    if (setenv("QKTOKEN_VIRTUAL_DIR", dir.c_str(), 1) == 0 && farm.Start(options, dir)) {
      const pid_t child = Launch(options.program, originalMask);
      result = child < 0 ? kExitCannotRun : WaitForChild(child);
    }
  }
  RemoveLockFiles(dir);
  if (rmdir(dir.c_str()) != 0) {
    std::fprintf(stderr, "%s: could not remove %s: %s\n", kProgram, dir.c_str(),
                 std::strerror(errno));
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef QK_SIM_UHID
  if (argc >= 2 && std::strcmp(argv[1], "uhid") == 0) return RunUhidCommand(argc, argv);
#endif
  const Options options = ParseArguments(argc, argv);
  // Termination signals are taken with sigwait, in this thread only; a peer
  // that hangs up must not kill the process.
  signal(SIGPIPE, SIG_IGN);
  const sigset_t set = TerminationSignals();
  sigset_t originalMask;
  pthread_sigmask(SIG_BLOCK, &set, &originalMask);
  return options.command == "serve" ? Serve(options) : Run(options, originalMask);
}
