// qktool's shared pieces: options, errors, the open token, input helpers.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "json.h"
#include "qktoken.h"

namespace qktool {

constexpr int kExitOk = 0;
constexpr int kExitToken = 1;
constexpr int kExitUsage = 2;

// Bad arguments or input the user must fix: one line, then the usage.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A failing library call: the step and its result code.
struct TokenError : std::runtime_error {
  TokenError(const std::string& step, uint32_t result) : std::runtime_error(step), code(result) {}
  uint32_t code;
};

enum class PinNeed { kNone, kUser, kDeveloper };

struct Options {
  std::string command;
  std::vector<std::string> args;  // the subcommand's words and options, in order
  int token = -1;                 // --token N
  std::string path;               // --path P
  std::string dir;                // --dir PATH: selected after opening
  uint32_t timeoutMs = 0;         // --timeout MS (0: the library's defaults)
  bool json = false;
  bool native = false;  // messages in the library's own language
  bool pinStdin = false;
  int progress = -1;     // -1: on a terminal only; 0 never; 1 always
  std::string login;     // --login none|user|dev, empty: the command's default
  bool verbose = false;  // --verbose: the library's debug log on standard error
};

// Result-code texts.
std::string CodeName(uint32_t code);
std::string CodeMessage(uint32_t code, bool native);
// {"code":"0x...","name":...,"message":...}
std::string ErrorJson(uint32_t code, bool native);

// Text for a terminal: control characters (C0, DEL, C1) and bytes that are
// not well-formed UTF-8 written as \xNN, so that no byte from a token, a
// file or a manifest can move the cursor or change the terminal's state.
// With `keepNewlines`, '\n' stays (multi-line output).
std::string TerminalSafe(const std::string& text, bool keepNewlines = false);

// Arguments.
uint32_t ParseNumber(const std::string& what, const std::string& text, uint32_t max,
                     uint32_t min = 0);
// Four hexadecimal digits, as the token names files and directories.
std::string ParseFileId(const std::string& what, const std::string& text);
std::vector<uint8_t> ParseHex(const std::string& what, const std::string& text);
std::string Hex(const uint8_t* bytes, size_t length);
// File types by name (data, exec, public, private) or number 1..255.
uint32_t ParseFileType(const std::string& text);
const char* FileTypeName(uint32_t type);

// Whole files, bounded; a file that cannot be read is a UsageError naming it.
std::vector<uint8_t> ReadFileBytes(const std::string& path, size_t maxBytes);
std::vector<uint8_t> ReadStdinBytes(size_t maxBytes);
// A .qasm source is assembled, anything else taken as the program file.
std::vector<uint8_t> LoadProgram(const std::string& path);

// PINs: --pin-stdin (one line each), then the environment variable, then a
// prompt on the terminal without echo.
std::string ReadPin(const Options& options, const char* envName, const char* prompt);

// Progress of a long transfer on stderr.
class Progress {
 public:
  Progress(const Options& options, const std::string& label, size_t total, size_t chunk);
  void Update(size_t done);
  void Finish();

 private:
  bool shown_;
  std::string label_;
  size_t total_;
  int lastPercent_ = -1;
};

// QKBeginTransaction with the process's lock limit; *held: an End is owed.
uint32_t BeginTransaction(QKContext* context, bool* held);

// One token, listed, optionally opened in one transaction, closed on scope exit.
class Session {
 public:
  explicit Session(const Options& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Lists the tokens (closes nothing: no context of this process is open yet).
  // With none found, *failure (when given) gets the error the listing met,
  // if any: a token that was there but could not be opened to be listed.
  static std::vector<QKContext> List(uint32_t* failure = nullptr);
  // Opens the chosen token inside a transaction and selects --dir.
  void Open();
  // Verifies the PIN `need` asks for (the --login option overrides it).
  void Login(PinNeed need);
  QKContext* Context() { return &context_; }
  void Check(const std::string& step, uint32_t result);

 private:
  const Options& options_;
  QKContext context_{};
  bool inTransaction_ = false;
  bool open_ = false;
};

// Writes `data` into file `fileId` chunk by chunk with progress; on a failure
// after a write has begun, says how much was written.
void StoreWithProgress(Session& session, const Options& options, const std::string& fileId,
                       const std::vector<uint8_t>& data, bool create, uint32_t type);

// A JSON result with "ok": true and "command" already in it.
JsonObject Result(const Options& options);
// Prints the outcome: `text` as it stands, or the JSON object and a newline.
void Emit(const Options& options, const std::string& text, const JsonObject& result);

int RunCommand(const Options& options);
int Watch(const Options& options);
int RunProvision(const Options& options);

}  // namespace qktool
