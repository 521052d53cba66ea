// qktool's subcommands other than provision.
#include <cstdio>
#include <cstring>
#include <map>

#include "cli.h"

namespace qktool {

namespace {

// Walks a subcommand's own words: flags, options with a value, positionals.
class Words {
 public:
  explicit Words(const std::vector<std::string>& words) : words_(words) {}
  bool Flag(const std::string& name) {
    for (size_t i = 0; i < words_.size(); ++i) {
      if (!used_[i] && words_[i] == name) {
        used_[i] = true;
        return true;
      }
    }
    return false;
  }
  bool Value(const std::string& name, std::string* value) {
    for (size_t i = 0; i < words_.size(); ++i) {
      if (!used_[i] && words_[i] == name) {
        if (i + 1 >= words_.size()) throw UsageError(name + " needs a value");
        used_[i] = used_[i + 1] = true;
        *value = words_[i + 1];
        return true;
      }
    }
    return false;
  }
  // The remaining words, which must be exactly `count` positionals.
  std::vector<std::string> Positionals(size_t min, size_t max) {
    std::vector<std::string> out;
    for (size_t i = 0; i < words_.size(); ++i) {
      if (used_[i]) continue;
      if (words_[i].size() > 1 && words_[i][0] == '-')
        throw UsageError("unknown option " + words_[i]);
      out.push_back(words_[i]);
    }
    if (out.size() < min) throw UsageError("missing argument");
    if (out.size() > max) throw UsageError("unexpected argument '" + out[max] + "'");
    return out;
  }

 private:
  const std::vector<std::string>& words_;
  std::map<size_t, bool> used_;
};

std::string Printable(const uint8_t* bytes, size_t length) {
  std::string text;
  for (size_t i = 0; i < length && bytes[i] != 0; ++i) {
    text.push_back(bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '.');
  }
  return text;
}

struct Described {
  std::string model, serial;
};

Described Describe(QKContext* context) {
  Described d;
  uint8_t six[6] = {};
  uint32_t length = 0;
  if (QKDeviceControl(context, QK_CTRL_GET_INFO_SIX, nullptr, 0, six, sizeof six, &length) == 0)
    d.model = Printable(six, length);
  d.serial = Hex(context->infoEight, sizeof context->infoEight);
  return d;
}

int List(const Options& options) {
  Words(options.args).Positionals(0, 0);
  const std::vector<QKContext> found = Session::List();
  std::vector<QKContext> contexts = found;
  std::string text, tokens;
  char vendor[8], product[8];
  std::snprintf(vendor, sizeof vendor, "%04x", QK_VENDOR_ID);
  std::snprintf(product, sizeof product, "%04x", QK_PRODUCT_ID);
  for (size_t i = 0; i < contexts.size(); ++i) {
    QKContext* context = &contexts[i];
    char path[512] = "";
    QKGetDevicePath(context, path, sizeof path, nullptr);
    JsonObject token;
    token.Add("index", uint64_t{i}).Add("path", path).Add("vendor", vendor).Add("product", product);
    text += std::to_string(i) + "  " + path + "  " + vendor + ":" + product;
    // Each token is opened briefly in a transaction of its own.
    bool held = false;
    uint32_t rc = BeginTransaction(context, &held);
    if (rc == QK_E_SUCCESS) {
      rc = QKOpenDevice(context);
      if (rc == QK_E_SUCCESS) {
        const Described d = Describe(context);
        token.Add("model", d.model).Add("serial", d.serial).Add("openable", true);
        text += "  model " + d.model + "  serial " + d.serial + "\n";
        QKCloseDevice(context);
      }
      if (held) QKEndTransaction(context);
    }
    if (rc != QK_E_SUCCESS) {
      token.Add("openable", false).AddRaw("error", ErrorJson(rc, options.native));
      text += "  cannot be opened: " + CodeMessage(rc, options.native) + "\n";
    }
    tokens += (tokens.empty() ? "" : ",") + token.Str();
  }
  if (contexts.empty()) text = "no token attached\n";
  JsonObject result = Result(options);
  result.AddRaw("tokens", "[" + tokens + "]");
  Emit(options, text, result);
  return kExitOk;
}

int Info(const Options& options) {
  Words(options.args).Positionals(0, 0);
  Session session(options);
  session.Open();
  QKContext* c = session.Context();
  uint8_t infoByte = 0, block[16] = {};
  uint16_t version = 0;
  uint32_t capacity = 0, free = 0, length = 0;
  session.Check("reading the information record",
                QKDeviceControl(c, QK_CTRL_GET_INFO_BYTE, nullptr, 0, &infoByte, 1, &length));
  session.Check("reading the version",
                QKDeviceControl(c, QK_CTRL_GET_INFO_WORD, nullptr, 0,
                                reinterpret_cast<uint8_t*>(&version), 2, &length));
  session.Check("reading the value",
                QKDeviceControl(c, QK_CTRL_GET_INFO_BLOCK, nullptr, 0, block, 16, &length));
  session.Check("reading the capacity",
                QKDeviceControl(c, QK_CTRL_GET_INFO_NUMBER, nullptr, 0,
                                reinterpret_cast<uint8_t*>(&capacity), 4, &length));
  session.Check("reading the free space",
                QKDeviceControl(c, QK_CTRL_GET_CC_VALUE, nullptr, 0,
                                reinterpret_cast<uint8_t*>(&free), 4, &length));
  const Described d = Describe(c);
  char path[512] = "", versionText[16];
  QKGetDevicePath(c, path, sizeof path, nullptr);
  std::snprintf(versionText, sizeof versionText, "%u.%u", version >> 8u, version & 0xFFu);
  const std::string value = Hex(block, sizeof block);
  JsonObject result = Result(options);
  result.Add("path", path)
      .Add("model", d.model)
      .Add("serial", d.serial)
      .Add("version", versionText)
      .Add("info_byte", uint64_t{infoByte})
      .Add("value", value)
      .Add("capacity", uint64_t{capacity})
      .Add("free", uint64_t{free});
  std::string text;
  text += "path       " + std::string(path) + "\n";
  text += "model      " + d.model + "\n";
  text += "serial     " + d.serial + "\n";
  text += "version    " + std::string(versionText) + "\n";
  text += "info byte  " + std::to_string(infoByte) + "\n";
  text += "value      " + value + "\n";
  text += "capacity   " + std::to_string(capacity) + " bytes\n";
  text += "free       " + std::to_string(free) + " bytes\n";
  Emit(options, text, result);
  return kExitOk;
}

uint32_t PinKind(Words& words) {
  std::string kind = "user";
  words.Value("--kind", &kind);
  if (kind == "user") return QK_PIN_USER;
  if (kind == "dev" || kind == "developer") return QK_PIN_DEVELOPER;
  throw UsageError("--kind takes user or dev, not '" + kind + "'");
}

int Pin(const Options& options) {
  Words words(options.args);
  const uint32_t kind = PinKind(words);
  std::string limitText = "0";
  const bool hasLimit = words.Value("--retry-limit", &limitText);
  const std::vector<std::string> action = words.Positionals(1, 1);
  const uint32_t limit = ParseNumber("--retry-limit", limitText, 254);
  if (action[0] != "verify" && action[0] != "change") {
    throw UsageError("pin takes verify or change, not '" + action[0] + "'");
  }
  if (hasLimit && action[0] != "change") throw UsageError("--retry-limit belongs to pin change");
  const bool developer = kind == QK_PIN_DEVELOPER;
  const char* env = developer ? "QKTOOL_DEV_PIN" : "QKTOOL_USER_PIN";
  const char* name = developer ? "developer PIN" : "user PIN";
  // Read every secret before the token is touched.
  const std::string pin = ReadPin(options, env, developer ? "developer PIN" : "user PIN");
  std::string fresh;
  if (action[0] == "change") {
    fresh = ReadPin(options, "QKTOOL_NEW_PIN", "new PIN");
    if (fresh.size() != 8 && fresh.size() != 24) throw UsageError("a PIN has 8 or 24 characters");
  }
  if (pin.size() != 8 && pin.size() != 24) throw UsageError("a PIN has 8 or 24 characters");
  Session session(options);
  session.Open();
  const auto* old = reinterpret_cast<const uint8_t*>(pin.data());
  if (action[0] == "verify") {
    session.Check(std::string("verifying the ") + name,
                  QKVerifyPin(session.Context(), old, static_cast<uint32_t>(pin.size()), kind));
    Emit(options, std::string(name) + " verified\n",
         Result(options).Add("kind", developer ? "dev" : "user"));
  } else {
    session.Check(std::string("changing the ") + name,
                  QKUpdatePin(session.Context(), old, static_cast<uint32_t>(pin.size()),
                              reinterpret_cast<const uint8_t*>(fresh.data()),
                              static_cast<uint32_t>(fresh.size()), kind, limit));
    Emit(options, std::string(name) + " changed\n",
         Result(options).Add("kind", developer ? "dev" : "user"));
  }
  return kExitOk;
}

int MakeDir(const Options& options) {
  Words words(options.args);
  std::string sizeText = "0";
  const bool root = words.Flag("--root");
  words.Value("--size", &sizeText);
  const std::vector<std::string> ids = words.Positionals(root ? 0 : 1, root ? 0 : 1);
  const uint32_t size = ParseNumber("--size", sizeText, 0xFFFFFF);
  if (root && size != 0) throw UsageError("the root takes no --size");
  const std::string id = root ? std::string(QK_ROOT_ID_TEXT) : ParseFileId("mkdir", ids[0]);
  Session session(options);
  session.Open();
  session.Login(root ? PinNeed::kNone : PinNeed::kDeveloper);
  session.Check("making directory " + id,
                QKMakeDir(session.Context(), id.c_str(), size, root ? QK_DIR_ROOT : QK_DIR_SUB));
  Emit(options, "directory " + id + " made\n",
       Result(options).Add("id", id).Add("size", uint64_t{size}));
  return kExitOk;
}

int ChangeDir(const Options& options) {
  const std::vector<std::string> path = Words(options.args).Positionals(1, 1);
  if (path[0].size() > QK_MAX_PATH_CHARS)
    throw UsageError("the path is longer than 127 characters");
  Session session(options);
  session.Open();
  session.Check("selecting " + path[0], QKSelectDir(session.Context(), path[0].c_str()));
  Emit(options, "selected " + path[0] + "\n", Result(options).Add("path", path[0]));
  return kExitOk;
}

int Wipe(const Options& options) {
  Words words(options.args);
  const bool yes = words.Flag("--yes");
  words.Positionals(0, 0);
  if (!yes) throw UsageError("wipe erases the directory and all in it; add --yes to do it");
  Session session(options);
  session.Open();
  session.Login(PinNeed::kDeveloper);
  session.Check("erasing the directory", QKWipeDir(session.Context(), nullptr));
  const std::string what = options.dir.empty() ? std::string("\\") : options.dir;
  Emit(options, "erased " + what + "\n", Result(options).Add("dir", what));
  return kExitOk;
}

int Put(const Options& options, bool program) {
  Words words(options.args);
  std::string typeText = program ? "exec" : "data";
  const bool existing = words.Flag("--existing");
  if (!program) words.Value("--type", &typeText);
  const std::vector<std::string> positionals = words.Positionals(2, 2);
  const uint32_t type = ParseFileType(typeText);
  const std::string id = ParseFileId(program ? "load" : "put", positionals[1]);
  const std::vector<uint8_t> data =
      program ? LoadProgram(positionals[0]) : ReadFileBytes(positionals[0], QK_MAX_FILE_SIZE);
  if (data.empty()) throw UsageError("'" + positionals[0] + "' is empty");
  Session session(options);
  session.Open();
  session.Login(PinNeed::kDeveloper);
  StoreWithProgress(session, options, id, data, !existing, type);
  JsonObject result = Result(options);
  result.Add("id", id)
      .Add("type", FileTypeName(type))
      .Add("bytes", uint64_t{data.size()})
      .Add("created", !existing);
  Emit(options,
       id + ": " + std::to_string(data.size()) + " bytes " + (existing ? "written" : "stored") +
           " (" + FileTypeName(type) + ")\n",
       result);
  return kExitOk;
}

int Exec(const Options& options) {
  Words words(options.args);
  std::string hex, file;
  const bool fromHex = words.Value("--hex", &hex);
  const bool fromFile = words.Value("--in", &file);
  const bool fromStdin = words.Flag("--stdin");
  const bool raw = words.Flag("--raw");
  const std::string id = ParseFileId("exec", words.Positionals(1, 1)[0]);
  if (int{fromHex} + int{fromFile} + int{fromStdin} > 1)
    throw UsageError("give one of --hex, --in, --stdin");
  if (fromStdin && options.pinStdin)
    throw UsageError("--stdin and --pin-stdin cannot share standard input");
  if (raw && options.json) throw UsageError("--raw and --json do not mix");
  std::vector<uint8_t> input;
  if (fromHex) input = ParseHex("--hex", hex);
  if (fromFile) input = ReadFileBytes(file, QK_MAX_EXEC_INPUT);
  if (fromStdin) input = ReadStdinBytes(QK_MAX_EXEC_INPUT);
  if (input.size() > QK_MAX_EXEC_INPUT) throw UsageError("the input is longer than 1024 bytes");
  Session session(options);
  session.Open();
  session.Login(PinNeed::kUser);
  uint8_t output[QK_MAX_EXEC_OUTPUT];
  uint32_t length = 0;
  session.Check("running " + id,
                QKExecute(session.Context(), id.c_str(), input.data(),
                          static_cast<uint32_t>(input.size()), output, sizeof output, &length));
  if (raw) {
    std::fwrite(output, 1, length, stdout);
    return kExitOk;
  }
  const std::string hexOut = Hex(output, length);
  Emit(options, hexOut + "\n", Result(options).Add("id", id).Add("output", hexOut));
  return kExitOk;
}

int KeyGen(const Options& options) {
  Words words(options.args);
  std::string bitsText = "1024", exponentText = "65537";
  words.Value("--bits", &bitsText);
  words.Value("--exponent", &exponentText);
  const std::vector<std::string> ids = words.Positionals(2, 2);
  const uint32_t bits = ParseNumber("--bits", bitsText, 2048);
  if (bits != 512 && bits != 1024 && bits != 2048)
    throw UsageError("--bits takes 512, 1024 or 2048");
  const uint32_t exponent = ParseNumber("--exponent", exponentText, 0xFFFFFFFF);
  const std::string pub = ParseFileId("keygen", ids[0]), priv = ParseFileId("keygen", ids[1]);
  if (pub == priv) throw UsageError("the two key files need different identifiers");
  Session session(options);
  session.Open();
  session.Login(PinNeed::kDeveloper);
  uint8_t first[268], second[660];
  uint32_t firstLength = sizeof first, secondLength = sizeof second;
  session.Check(
      "generating the key pair",
      QKGenerateRsaKeyPair(session.Context(), static_cast<uint16_t>(bits), exponent, pub.c_str(),
                           priv.c_str(), first, &firstLength, second, &secondLength));
  // The private block stays on the token and out of the output.
  const std::string block = Hex(first, firstLength);
  JsonObject result = Result(options);
  result.Add("public_id", pub)
      .Add("private_id", priv)
      .Add("bits", uint64_t{bits})
      .Add("public_block", block);
  Emit(options,
       "key pair in " + pub + " (public) and " + priv + " (private)\npublic block " + block + "\n",
       result);
  return kExitOk;
}

struct ControlCode {
  const char* name;
  uint32_t code;
  uint32_t outputSize;  // 0: the code answers nothing
  PinNeed pin;
};

const ControlCode kControlCodes[] = {
    {"logout-user", QK_CTRL_MODE_1, 0, PinNeed::kNone},
    {"logout-all", QK_CTRL_MODE_2, 0, PinNeed::kNone},
    {"set-indicator", QK_CTRL_MODE_3, 0, PinNeed::kDeveloper},
    {"info-byte", QK_CTRL_GET_INFO_BYTE, 1, PinNeed::kNone},
    {"serial", QK_CTRL_GET_INFO_EIGHT, 8, PinNeed::kNone},
    {"capacity", QK_CTRL_GET_INFO_NUMBER, 4, PinNeed::kNone},
    {"value", QK_CTRL_GET_INFO_BLOCK, 16, PinNeed::kNone},
    {"free", QK_CTRL_GET_CC_VALUE, 4, PinNeed::kNone},
    {"model", QK_CTRL_GET_INFO_SIX, 6, PinNeed::kNone},
    {"cd-value", QK_CTRL_GET_CD_VALUE, 4, PinNeed::kNone},
    {"file-record", QK_CTRL_GET_FILE_RECORD, 5, PinNeed::kNone},
    {"version", QK_CTRL_GET_INFO_WORD, 2, PinNeed::kNone},
    {"set-value", QK_CTRL_SEND_25, 0, PinNeed::kDeveloper},
    {"set-info-byte", QK_CTRL_SEND_E7, 0, PinNeed::kDeveloper},
    {"set-serial", QK_CTRL_SEND_30, 0, PinNeed::kDeveloper},
    {"stir-random", QK_CTRL_SEND_CB, 0, PinNeed::kNone},
    {"factory-reset", QK_CTRL_RUN_E3, 0, PinNeed::kDeveloper},
};

int Control(const Options& options) {
  Words words(options.args);
  std::string hex, text;
  const bool hasHex = words.Value("--hex", &hex);
  const bool hasText = words.Value("--text", &text);
  const std::string name = words.Positionals(1, 1)[0];
  if (hasHex && hasText) throw UsageError("give --hex or --text, not both");
  const ControlCode* chosen = nullptr;
  for (const ControlCode& c : kControlCodes) {
    if (name == c.name) chosen = &c;
  }
  if (chosen == nullptr)
    throw UsageError("unknown control '" + name + "' (see qktool control --help)");
  if (chosen->code == QK_CTRL_RUN_E3 && !words.Flag("--yes")) {
    throw UsageError("factory-reset erases the token; add --yes to do it");
  }
  std::vector<uint8_t> input =
      hasHex ? ParseHex("--hex", hex) : std::vector<uint8_t>(text.begin(), text.end());
  if (input.size() > 256) throw UsageError("the input is longer than 256 bytes");
  Session session(options);
  session.Open();
  session.Login(chosen->pin);
  uint8_t output[16] = {};
  uint32_t length = 0;
  session.Check("control " + name, QKDeviceControl(session.Context(), chosen->code, input.data(),
                                                   static_cast<uint32_t>(input.size()), output,
                                                   chosen->outputSize, &length));
  const std::string out = chosen->outputSize == 0 ? "" : Hex(output, length);
  JsonObject result = Result(options);
  result.Add("control", name).Add("output", out);
  Emit(options, chosen->outputSize == 0 ? "done\n" : out + "\n", result);
  return kExitOk;
}

}  // namespace

int RunCommand(const Options& options) {
  const std::string& c = options.command;
  if (c == "list") return List(options);
  if (c == "info") return Info(options);
  if (c == "pin") return Pin(options);
  if (c == "mkdir") return MakeDir(options);
  if (c == "cd") return ChangeDir(options);
  if (c == "wipe") return Wipe(options);
  if (c == "put") return Put(options, false);
  if (c == "load") return Put(options, true);
  if (c == "exec") return Exec(options);
  if (c == "keygen") return KeyGen(options);
  if (c == "control") return Control(options);
  if (c == "provision") return RunProvision(options);
  throw UsageError("unknown command '" + c + "'");
}

}  // namespace qktool
