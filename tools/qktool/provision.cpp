// qktool provision MANIFEST.json: directories, files, programs and PIN
// changes, applied in order in one transaction. Everything is read and
// checked (files read, programs assembled, PINs found) before the token is
// touched; a failing step stops the run and is named.
#include <cstdio>
#include <cstdlib>

#include "cli.h"

namespace qktool {

namespace {

constexpr size_t kMaxManifestBytes = 1024 * 1024;
constexpr size_t kMaxSteps = 256;

struct Step {
  std::string action;  // mkdir, cd, put, load, pin-change
  std::string what;    // shown to the user: an id or a path
  std::string id;
  std::string path;
  uint32_t size = 0;
  uint32_t type = QK_FILE_DATA;
  bool existing = false;
  std::vector<uint8_t> data;
  uint32_t kind = QK_PIN_USER;
  std::string oldPin, newPin;
  uint32_t retryLimit = 0;
};

[[noreturn]] void Bad(size_t index, const std::string& what) {
  throw UsageError("manifest step " + std::to_string(index + 1) + ": " + what);
}

const JsonValue* Member(const JsonValue& step, size_t index, const char* key, JsonValue::Kind kind,
                        bool required) {
  const JsonValue* value = step.Find(key);
  if (value == nullptr) {
    if (required) Bad(index, std::string("\"") + key + "\" is missing");
    return nullptr;
  }
  if (value->kind != kind) Bad(index, std::string("\"") + key + "\" has the wrong type");
  return value;
}

std::string StringMember(const JsonValue& step, size_t index, const char* key, bool required) {
  const JsonValue* v = Member(step, index, key, JsonValue::Kind::kString, required);
  return v == nullptr ? "" : v->text;
}

uint32_t NumberMember(const JsonValue& step, size_t index, const char* key, uint32_t max,
                      uint32_t fallback) {
  const JsonValue* v = Member(step, index, key, JsonValue::Kind::kNumber, false);
  if (v == nullptr) return fallback;
  if (v->number > max) Bad(index, std::string("\"") + key + "\" is above " + std::to_string(max));
  return static_cast<uint32_t>(v->number);
}

void OnlyKeys(const JsonValue& step, size_t index, std::initializer_list<const char*> keys) {
  for (const auto& member : step.members) {
    bool known = false;
    for (const char* key : keys) known = known || member.first == key;
    if (!known) Bad(index, "unknown key \"" + member.first + "\"");
  }
}

std::string Resolve(const std::string& base, const std::string& file) {
  if (file.empty() || file[0] == '/') return file;
  return base + file;
}

// A PIN from "NAME" (given in the manifest) or "NAME_env" (an environment variable).
std::string PinMember(const JsonValue& step, size_t index, const std::string& key) {
  const std::string literal = StringMember(step, index, key.c_str(), false);
  const std::string env = StringMember(step, index, (key + "_env").c_str(), false);
  if (literal.empty() == env.empty())
    Bad(index, "give one of \"" + key + "\" and \"" + key + "_env\"");
  std::string pin = literal;
  if (!env.empty()) {
    const char* value = std::getenv(env.c_str());
    if (value == nullptr || *value == '\0')
      Bad(index, "environment variable " + env + " is not set");
    pin = value;
  }
  if (pin.size() != 8 && pin.size() != 24) Bad(index, "a PIN has 8 or 24 characters");
  return pin;
}

// Every string of a step, keys included, must be well-formed UTF-8 without
// control characters: the token is sent C strings (a NUL would cut a path
// short of what was planned and reported), file names go to the system, and
// everything is shown on a terminal.
void CheckStrings(const JsonValue& value, size_t index, const std::string& where) {
  const auto check = [&](const std::string& text, const std::string& what) {
    for (size_t i = 0; i < text.size();) {
      const size_t length = Utf8SequenceLength(text, i);
      if (length == 0) Bad(index, what + " is not valid UTF-8");
      const unsigned char c = static_cast<unsigned char>(text[i]);
      const bool c1 = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
      if ((length == 1 && (c < 0x20 || c == 0x7F)) || c1) {
        Bad(index, what + " holds a control character");
      }
      i += length;
    }
  };
  if (value.kind == JsonValue::Kind::kString) check(value.text, where);
  for (const JsonValue& item : value.items) CheckStrings(item, index, where);
  for (const auto& member : value.members) {
    check(member.first, "a key");
    CheckStrings(member.second, index, "\"" + member.first + "\"");
  }
}

Step ReadStep(const JsonValue& value, size_t index, const std::string& base) {
  if (value.kind != JsonValue::Kind::kObject) Bad(index, "a step is an object");
  CheckStrings(value, index, "a value");
  Step step;
  step.action = StringMember(value, index, "do", true);
  try {
    if (step.action == "mkdir") {
      OnlyKeys(value, index, {"do", "id", "size"});
      step.id = ParseFileId("id", StringMember(value, index, "id", true));
      step.size = NumberMember(value, index, "size", 0xFFFFFF, 0);
      step.what = step.id;
    } else if (step.action == "cd") {
      OnlyKeys(value, index, {"do", "path"});
      step.path = StringMember(value, index, "path", true);
      if (step.path.empty() || step.path.size() > QK_MAX_PATH_CHARS) Bad(index, "bad path");
      step.what = step.path;
    } else if (step.action == "put" || step.action == "load") {
      const bool program = step.action == "load";
      if (program) {
        OnlyKeys(value, index, {"do", "id", "file", "existing"});
      } else {
        OnlyKeys(value, index, {"do", "id", "file", "hex", "type", "existing"});
      }
      step.id = ParseFileId("id", StringMember(value, index, "id", true));
      const std::string file = StringMember(value, index, "file", program);
      const std::string hex = program ? "" : StringMember(value, index, "hex", false);
      if (file.empty() == hex.empty()) Bad(index, "give one of \"file\" and \"hex\"");
      if (program) {
        step.data = LoadProgram(Resolve(base, file));
        step.type = QK_FILE_EXECUTABLE;
      } else {
        step.data = file.empty() ? ParseHex("hex", hex)
                                 : ReadFileBytes(Resolve(base, file), QK_MAX_FILE_SIZE);
        step.type = ParseFileType(StringMember(value, index, "type", false).empty()
                                      ? "data"
                                      : StringMember(value, index, "type", false));
      }
      if (step.data.empty() || step.data.size() > QK_MAX_FILE_SIZE)
        Bad(index, "a file holds 1 to 65535 bytes");
      const JsonValue* existing = Member(value, index, "existing", JsonValue::Kind::kBool, false);
      step.existing = existing != nullptr && existing->boolean;
      step.what = step.id + " (" + std::to_string(step.data.size()) + " bytes)";
    } else if (step.action == "pin-change") {
      OnlyKeys(value, index, {"do", "kind", "old", "old_env", "new", "new_env", "retry_limit"});
      const std::string kind = StringMember(value, index, "kind", true);
      if (kind != "user" && kind != "dev") Bad(index, "\"kind\" is user or dev");
      step.kind = kind == "dev" ? QK_PIN_DEVELOPER : QK_PIN_USER;
      step.oldPin = PinMember(value, index, "old");
      step.newPin = PinMember(value, index, "new");
      step.retryLimit = NumberMember(value, index, "retry_limit", 254, 0);
      if (value.Find("retry_limit") != nullptr && step.retryLimit == 0)
        Bad(index, "\"retry_limit\" is 1 to 254");
      step.what = kind + " PIN";
    } else {
      Bad(index, "unknown action \"" + step.action + "\"");
    }
  } catch (const UsageError& e) {
    const std::string message = e.what();
    if (message.rfind("manifest step", 0) == 0) throw;
    Bad(index, message);
  }
  return step;
}

std::vector<Step> ReadManifest(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path, kMaxManifestBytes);
  JsonValue root;
  std::string error;
  if (!ParseJson(std::string(bytes.begin(), bytes.end()), &root, &error)) {
    throw UsageError(path + ": " + error);
  }
  if (root.kind != JsonValue::Kind::kObject) throw UsageError(path + ": the manifest is an object");
  for (const auto& member : root.members) {
    if (member.first != "steps") throw UsageError(path + ": unknown key \"" + member.first + "\"");
  }
  const JsonValue* steps = root.Find("steps");
  if (steps == nullptr || steps->kind != JsonValue::Kind::kArray) {
    throw UsageError(path + ": \"steps\" must be an array");
  }
  if (steps->items.size() > kMaxSteps) throw UsageError(path + ": more than 256 steps");
  const size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  std::vector<Step> out;
  for (size_t i = 0; i < steps->items.size(); ++i)
    out.push_back(ReadStep(steps->items[i], i, base));
  return out;
}

void Apply(Session& session, const Options& options, const Step& step) {
  QKContext* c = session.Context();
  if (step.action == "mkdir") {
    session.Check("making directory " + step.id,
                  QKMakeDir(c, step.id.c_str(), step.size, QK_DIR_SUB));
  } else if (step.action == "cd") {
    session.Check("selecting " + step.path, QKSelectDir(c, step.path.c_str()));
  } else if (step.action == "put" || step.action == "load") {
    StoreWithProgress(session, options, step.id, step.data, !step.existing, step.type);
  } else {
    session.Check(
        "changing the " + step.what,
        QKUpdatePin(c, reinterpret_cast<const uint8_t*>(step.oldPin.data()),
                    static_cast<uint32_t>(step.oldPin.size()),
                    reinterpret_cast<const uint8_t*>(step.newPin.data()),
                    static_cast<uint32_t>(step.newPin.size()), step.kind, step.retryLimit));
  }
}

}  // namespace

int RunProvision(const Options& options) {
  std::vector<std::string> words;
  bool dryRun = false;
  for (const std::string& word : options.args) {
    if (word == "--dry-run") {
      dryRun = true;
    } else if (word.size() > 1 && word[0] == '-') {
      throw UsageError("unknown option " + word);
    } else {
      words.push_back(word);
    }
  }
  if (words.size() != 1)
    throw UsageError(words.empty() ? "no manifest given" : "one manifest only");
  const std::vector<Step> steps = ReadManifest(words[0]);

  std::vector<std::string> status(steps.size(), dryRun ? "planned" : "skipped");
  std::string text;
  uint32_t failure = QK_E_SUCCESS;
  size_t failed = 0;
  std::string failedStep;
  if (!dryRun) {
    Session session(options);
    // A failure here has applied nothing: the ordinary error report says it all.
    session.Open();
    session.Login(PinNeed::kDeveloper);
    for (size_t i = 0; i < steps.size(); ++i) {
      try {
        Apply(session, options, steps[i]);
        status[i] = "done";
      } catch (const TokenError& e) {
        status[i] = "failed";
        failure = e.code;
        failed = i + 1;
        failedStep = e.what();
        break;
      }
    }
  }
  std::string list;
  for (size_t i = 0; i < steps.size(); ++i) {
    JsonObject s;
    s.Add("step", uint64_t{i + 1})
        .Add("do", steps[i].action)
        .Add("what", steps[i].what)
        .Add("status", status[i]);
    list += (list.empty() ? "" : ",") + s.Str();
    text += "step " + std::to_string(i + 1) + "/" + std::to_string(steps.size()) + "  " +
            steps[i].action + " " + steps[i].what + "  " + status[i] + "\n";
  }
  JsonObject result;
  result.Add("ok", failure == QK_E_SUCCESS).Add("command", "provision").Add("dry_run", dryRun);
  result.AddRaw("steps", "[" + list + "]");
  if (failure != QK_E_SUCCESS) {
    result.Add("failed_step", uint64_t{failed}).AddRaw("error", ErrorJson(failure, options.native));
    const std::string before = failed == 1
                                   ? "no step was applied"
                                   : "steps 1 to " + std::to_string(failed - 1) + " stay applied";
    std::fprintf(stderr, "qktool: provision stopped at step %zu (%s): %s [%s]; %s\n", failed,
                 TerminalSafe(failedStep).c_str(), CodeMessage(failure, options.native).c_str(),
                 CodeName(failure).c_str(), before.c_str());
  }
  Emit(options, text, result);
  return failure == QK_E_SUCCESS ? kExitOk : kExitToken;
}

}  // namespace qktool
