// qktool: manages QK tokens from the command line. See docs/qktool.md.
//
// Exit status: 0 success, 1 token or library error, 2 usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "console.h"

namespace qktool {
namespace {

const char kCommon[] =
    "common options:\n"
    "  --token N        the Nth listed token (default 0)\n"
    "  --path P         the token at interface path P (see qktool list)\n"
    "  --dir PATH       select PATH on the token first (e.g. \\0010)\n"
    "  --timeout MS     every time limit of an exchange, 1..3600000 ms\n"
    "  --json           one JSON object on standard output (docs/qktool.md)\n"
    "  --native         messages in the library's own language (UTF-8)\n"
    "  --pin-stdin      read PINs from standard input, one line each\n"
    "  --login KIND     verify none, user or dev PIN first (default: what the command needs)\n"
    "  --progress, --no-progress   progress bar (default: on a terminal)\n"
    "PINs come from --pin-stdin, else QKTOOL_USER_PIN / QKTOOL_DEV_PIN / QKTOOL_NEW_PIN,\n"
    "else a prompt on the terminal without echo. They are never read from arguments.\n"
    "exit status: 0 success, 1 token or library error, 2 usage error\n";

struct Help {
  const char* command;
  const char* usage;
  const char* text;
};

const Help kHelp[] = {
    {"list", "qktool list",
     "Lists the attached tokens: index, path, vendor:product, model, serial,\n"
     "or why a token cannot be opened.\n"},
    {"info", "qktool info", "Shows the token's information record with named fields.\n"},
    {"pin", "qktool pin verify|change [--kind user|dev] [--retry-limit N]",
     "Verifies or changes a PIN (8 or 24 characters). change reads the current PIN, then\n"
     "the new one; --retry-limit 1..254 sets the tries allowed (default: keep). A wrong\n"
     "PIN reports the tries left.\n"},
    {"mkdir", "qktool mkdir ID [--size BYTES] | qktool mkdir --root",
     "Makes directory ID (four hex digits) in the current directory with a capacity of\n"
     "BYTES (0..16777215), under the developer PIN. --root builds the file system of a\n"
     "token that has none.\n"},
    {"cd", "qktool cd PATH",
     "Selects PATH (\\ root, .. parent, 0010\\0020, \\0010) and reports whether it exists.\n"
     "Each qktool run starts at the root: use --dir PATH to work elsewhere.\n"},
    {"wipe", "qktool wipe --yes [--dir PATH]",
     "Erases the current directory (the root by default: the whole file system) with\n"
     "everything in it, under the developer PIN.\n"},
    {"put", "qktool put FILE ID [--type data|exec|public|private|N] [--existing]",
     "Stores FILE as file ID: makes the file with FILE's size and type (default data) and\n"
     "writes it, or with --existing writes into the file that exists. Developer PIN.\n"},
    {"load", "qktool load PROGRAM.qasm|PROGRAM.bin ID [--existing]",
     "Assembles a .qasm source (or takes a program file as it is) and stores it as the\n"
     "executable file ID. Developer PIN.\n"},
    {"exec", "qktool exec ID [--hex HEX | --in FILE | --stdin] [--raw]",
     "Runs executable file ID with the input given (at most 1024 bytes; none by\n"
     "default) under the user PIN and prints its output in hex, or as it is with --raw.\n"},
    {"keygen", "qktool keygen PUBLIC-ID PRIVATE-ID [--bits 512|1024|2048] [--exponent E]",
     "Has the token generate an RSA key pair into the two files (default 1024 bits,\n"
     "exponent 65537) under the developer PIN and prints the public block in hex.\n"},
    {"control", "qktool control NAME [--hex HEX | --text TEXT] [--yes]",
     "Runs one device control. Queries print their answer in hex (numbers in host order):\n"
     "  info-byte serial capacity value free model cd-value version file-record (--text ID)\n"
     "Commands (developer PIN where marked *):\n"
     "  logout-user logout-all set-indicator* (--hex, 4 bytes) set-value* (--hex, 1..16)\n"
     "  set-info-byte* (--hex, 1) set-serial* (--hex, 8) stir-random (--hex, 1..256)\n"
     "  factory-reset* (needs --yes)\n"},
    {"provision", "qktool provision MANIFEST.json [--dry-run]",
     "Applies a manifest's steps in order in one transaction under the developer PIN:\n"
     "mkdir, cd, put, load, pin-change (format in docs/qktool.md). Everything is read and\n"
     "checked first; --dry-run stops there. A failing step is named, with the steps that\n"
     "stay applied.\n"},
};

const Help* FindHelp(const std::string& command) {
  for (const Help& h : kHelp) {
    if (command == h.command) return &h;
  }
  return nullptr;
}

void PrintOverview(std::FILE* out) {
  std::fputs("usage: qktool COMMAND [ARGS] [OPTIONS]\ncommands:\n", out);
  for (const Help& h : kHelp) std::fprintf(out, "  %s\n", h.usage);
  std::fputs("qktool COMMAND --help describes one command.\n", out);
  std::fputs(kCommon, out);
}

void PrintUsage(const std::string& command, std::FILE* out) {
  const Help* h = FindHelp(command);
  if (h == nullptr) {
    PrintOverview(out);
  } else {
    std::fprintf(out, "usage: %s [OPTIONS]\n", h->usage);
  }
}

// Options every command takes; the rest go to the command.
Options ParseOptions(int argc, char** argv, bool* help) {
  Options options;
  *help = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError(arg + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      *help = true;
    } else if (arg == "--token") {
      options.token = static_cast<int>(ParseNumber("--token", value(), QK_MAX_DEVICES - 1));
    } else if (arg == "--path") {
      options.path = value();
    } else if (arg == "--dir") {
      options.dir = value();
      if (options.dir.empty() || options.dir.size() > QK_MAX_PATH_CHARS)
        throw UsageError("--dir: bad path");
    } else if (arg == "--timeout") {
      options.timeoutMs = ParseNumber("--timeout", value(), QK_MAX_WAIT_MS);
      if (options.timeoutMs == 0) throw UsageError("--timeout takes 1 to 3600000 ms");
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--native") {
      options.native = true;
    } else if (arg == "--pin-stdin") {
      options.pinStdin = true;
    } else if (arg == "--progress") {
      options.progress = 1;
    } else if (arg == "--no-progress") {
      options.progress = 0;
    } else if (arg == "--login") {
      options.login = value();
      if (options.login != "none" && options.login != "user" && options.login != "dev") {
        throw UsageError("--login takes none, user or dev");
      }
    } else if (options.command.empty() && !(arg.size() > 1 && arg[0] == '-')) {
      options.command = arg;
    } else if (options.command.empty()) {
      throw UsageError("unknown option " + arg);
    } else {
      options.args.push_back(arg);
    }
  }
  if (options.token >= 0 && !options.path.empty())
    throw UsageError("give --token or --path, not both");
  return options;
}

void ReportError(const Options& options, const std::string& step, uint32_t code) {
  std::fprintf(stderr, "qktool: %s: %s [%s]\n", step.c_str(),
               CodeMessage(code, options.native).c_str(), CodeName(code).c_str());
  if (options.json) {
    JsonObject result;
    result.Add("ok", false)
        .Add("command", options.command)
        .Add("step", step)
        .AddRaw("error", ErrorJson(code, options.native));
    std::printf("%s\n", result.Str().c_str());
  }
}

}  // namespace
}  // namespace qktool

int main(int argc, char** argv) {
  using namespace qktool;
  Options options;
  bool help = false;
  PrepareStandardStreams();
  try {
    options = ParseOptions(argc, argv, &help);
    if (help) {
      const Help* h = FindHelp(options.command);
      if (h == nullptr) {
        PrintOverview(stdout);
      } else {
        std::printf("usage: %s [OPTIONS]\n\n%s\n%s", h->usage, h->text, kCommon);
      }
      return kExitOk;
    }
    if (options.command.empty()) throw UsageError("no command given");
    if (FindHelp(options.command) == nullptr)
      throw UsageError("unknown command '" + options.command + "'");
    if (options.timeoutMs != 0) {
      const QKTimeLimits limits = {options.timeoutMs, options.timeoutMs, options.timeoutMs,
                                   options.timeoutMs};
      if (QKSetTimeLimits(&limits) != QK_E_SUCCESS) throw UsageError("--timeout refused");
    }
    return RunCommand(options);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "qktool: %s\n", e.what());
    PrintUsage(options.command, stderr);
    return kExitUsage;
  } catch (const TokenError& e) {
    ReportError(options, e.what(), e.code);
    return kExitToken;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qktool: %s\n", e.what());
    return kExitToken;
  }
}
