// qktool as a program, against simulated tokens served by qktoken-sim:
// outputs, exit codes (0 done, 1 token error, 2 usage), and the token's state
// across runs (each run is a fresh process; an image file keeps the token).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/pins.h"
#include "tests/support/temp_dir.h"

namespace {

const std::string kDevPin = std::string("QKTOOL_DEV_PIN=") + qktest::kDeveloperPin;
const std::string kUserPin = std::string("QKTOOL_USER_PIN=") + qktest::kUserPin;

struct Outcome {
  int status = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

class QktoolTest : public ::testing::Test {
 protected:
  // Runs `env qktool ARGS` (shell words) against the token kept in image_,
  // with `input` on standard input.
  Outcome Run(const std::string& args, const std::string& env = "", const std::string& input = "",
              const std::string& simOptions = "") {
    const std::string in = dir_ / "stdin", out = dir_ / "stdout", err = dir_ / "stderr";
    std::ofstream(in) << input;
    const std::string command = "env " + env + " '" + QK_SIM_TOOL + "' run --image '" + image_ +
                                "' " + simOptions + " -- '" + QK_TOOL + "' " + args + " <'" + in +
                                "' >'" + out + "' 2>'" + err + "'";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadText(out),
            ReadText(err)};
  }

  static std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::string Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
    return dir_ / name;
  }

  qktest::TempDir dir_;
  const std::string image_ = dir_ / "token.img";
};

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

// One row for each part of the argument handling (command, options, counts,
// files, identifiers, hex, numbers, the assembler, token selection) and for
// each guard of a destructive command.
TEST_F(QktoolTest, BadInputIsOneLineAndTheUsageWithStatus2) {
  const struct {
    std::string args;
    const char* message;
  } cases[] = {
      {"", "no command given"},
      {"frobnicate", "unknown command 'frobnicate'"},
      {"list --bogus", "unknown option --bogus"},
      {"put", "missing argument"},
      {"put a b c", "unexpected argument 'c'"},
      {"put /nonexistent/file.bin 0042", "cannot read '/nonexistent/file.bin'"},
      {"put " + Write("x", "x") + " 12", "four hexadecimal digits, not '12'"},
      {"put " + Write("y", "y") + " 3F00", "reserved"},
      {"load " + Write("bad.qasm", "halt\nbogus r1\n") + " 0050", "line 2: unknown instruction"},
      {"exec 0001 --hex 0G", "'G' is not a hexadecimal digit"},
      {"exec 0001 --hex 123", "odd number"},
      {"mkdir 0010 --size 16777216", "--size takes a number from 0 to 16777215"},
      {"mkdir --root --size 5", "takes no --size"},
      {"list --timeout 0", "--timeout takes a number from 1 to 3600000"},
      {"list --timeout 3600001", "--timeout takes a number"},
      {"list --token 1 --path p", "not both"},
      {"info --token 3", "only 1 token(s) attached"},
      {"wipe", "add --yes"},
      {"control factory-reset", "add --yes"},
  };
  for (const auto& c : cases) {
    const Outcome o = Run(c.args);
    EXPECT_EQ(o.status, 2) << c.args << ": " << o.err;
    EXPECT_HAS(o.err, c.message);
    EXPECT_EQ(o.err.rfind("qktool: ", 0), 0u) << o.err;
    EXPECT_HAS(o.err, "usage: ");
    EXPECT_EQ(o.out, "") << c.args;
  }
}

TEST_F(QktoolTest, EveryCommandHasHelp) {
  for (const char* command : {"list", "info", "pin", "mkdir", "cd", "wipe", "put", "load", "exec",
                              "keygen", "control", "provision", "watch"}) {
    const Outcome o = Run(std::string(command) + " --help");
    EXPECT_EQ(o.status, 0) << command;
    EXPECT_EQ(o.out.rfind(std::string("usage: qktool ") + command, 0), 0u) << o.out;
    EXPECT_HAS(o.out, "exit status: 0 success, 1 token or library error, 2 usage error");
  }
  EXPECT_HAS(Run("--help").out, "qktool provision MANIFEST.json");
}

TEST_F(QktoolTest, ListsDescribesAndChecksPins) {
  Outcome o = Run("list");
  EXPECT_EQ(o.status, 0);
  EXPECT_HAS(o.out, "0  qkvirtual:");
  EXPECT_HAS(o.out, "7a5c:0b21  model QK-SIM  serial ");

  o = Run("info --json");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("{\"ok\":true,\"command\":\"info\",\"path\":\"qkvirtual:", 0), 0u) << o.out;
  EXPECT_HAS(o.out, "\"model\":\"QK-SIM\"");
  EXPECT_HAS(o.out, "\"version\":\"1.2\"");
  EXPECT_HAS(o.out, "\"capacity\":262144");

  const struct {
    std::string args, env, input;
    int status;
    const char* out;
    const char* err;
  } pins[] = {
      {"pin verify --pin-stdin", "", "60719283\n", 0, "user PIN verified", ""},
      {"pin verify", kUserPin, "", 0, "user PIN verified", ""},
      {"pin verify --kind dev --pin-stdin", "", "904817263590481726359048\n", 0,
       "developer PIN verified", ""},
      {"pin verify --pin-stdin", "", "11111111\n", 1, "",
       "wrong PIN, 14 tries left [QK_E_WRONG_PIN+14]"},
      {"pin verify --pin-stdin --json", "", "22222222\n", 1, "\"tries_left\":13", "13 tries left"},
      {"pin verify --pin-stdin --native", "", "33333333\n", 1, "", "密码错误,剩余次数12"},
      {"pin verify --pin-stdin", "", "123\n", 2, "", "8 or 24 characters"},
      {"pin verify --pin-stdin", "", "", 2, "", "no user PIN on standard input"},
      // The right PIN restores the counter; then change it and back.
      {"pin change --pin-stdin", "", "60719283\n12345678\n", 0, "user PIN changed", ""},
      {"pin verify", "QKTOOL_USER_PIN=12345678", "", 0, "verified", ""},
      {"pin change", "QKTOOL_USER_PIN=12345678 QKTOOL_NEW_PIN=60719283", "", 0, "changed", ""},
  };
  for (const auto& p : pins) {
    o = Run(p.args, p.env, p.input);
    EXPECT_EQ(o.status, p.status) << p.args << ": " << o.err;
    EXPECT_HAS(o.out, p.out);
    EXPECT_HAS(o.err, p.err);
  }
  // Without a terminal and without a PIN source, the tool says where a PIN may come from.
  o = Run("exec 0001", "", "");
  EXPECT_EQ(o.status, 2);
  EXPECT_HAS(o.err, "give --pin-stdin, set QKTOOL_USER_PIN");
}

TEST_F(QktoolTest, StoresRunsAndLoadsFiles) {
  std::string data(2500, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  const std::string file = Write("data.bin", data);
  const std::string dev = kDevPin;
  const struct {
    std::string args, env;
    int status;
    const char* out;
    const char* err;
  } steps[] = {
      {"put " + file + " 0042 --progress", dev, 0, "0042: 2500 bytes stored (data)",
       "0042 [##############################] 100% 2500/2500 bytes"},
      {"put " + file + " 0042", dev, 1, "", "making file 0042: the file already exists"},
      {"put " + file + " 0042 --existing --json", dev, 0,
       "{\"ok\":true,\"command\":\"put\",\"id\":\"0042\",\"type\":\"data\",\"bytes\":2500,"
       "\"created\":false}",
       ""},
      {"put " + file + " 0042", "", 2, "", "no developer PIN"},
      {"put " + file + " 0043 --login none", "", 1, "", "[QK_E_DEV_PIN_NOT_VERIFIED]"},
      // Identifier in host order, then the token's type and size (low byte first).
      {"control file-record --text 0042", "", 0, "420001C409\n", ""},
      {"exec 0001 --hex 00050008", kUserPin, 0, "000D\n", ""},
      {"exec 0001 --hex 0005000800 --json", kUserPin, 1, "\"name\":\"QK_E_PARAMETER\"",
       "running 0001"},
      {"load " + std::string(QK_SAMPLE_DIR) + "/echo.qasm 0050", dev, 0,
       "0050: 15 bytes stored (exec)", ""},
      {"exec 0050 --hex 'DE AD be ef'", kUserPin, 0, "DEADBEEF\n", ""},
      {"exec 0050 --raw --in " + Write("in.txt", "hello"), kUserPin, 0, "hello", ""},
      {"exec 0042", kUserPin, 1, "", "[QK_E_FILE_TYPE_MISMATCH]"},
      {"mkdir 0010 --size 4096", dev, 0, "directory 0010 made", ""},
      {"cd \\\\0010", "", 0, "selected \\0010", ""},
      {"cd 0011", "", 1, "", "[QK_E_DIR_NOT_FOUND]"},
      {"put " + file + " 0044 --dir 0010 --type exec", dev, 0, "(exec)", ""},
      {"wipe --yes --dir 0010", dev, 0, "erased 0010", ""},
      {"cd 0010", "", 1, "", "[QK_E_DIR_NOT_FOUND]"},
      {"keygen 0020 0021 --bits 512 --json", dev, 0, "\"public_block\":\"00000200", ""},
      {"control free", "", 0, "", ""},
      {"control set-serial --hex 0102030405060708", dev, 0, "done", ""},
      {"control serial", "", 0, "0102030405060708\n", ""},
  };
  for (const auto& s : steps) {
    const Outcome o = Run(s.args, s.env);
    EXPECT_EQ(o.status, s.status) << s.args << ": " << o.err;
    EXPECT_HAS(o.out, s.out);
    EXPECT_HAS(o.err, s.err);
  }
}

TEST_F(QktoolTest, ProvisionsInOrderAndNamesTheFailingStep) {
  Write("prog.qasm", ReadText(std::string(QK_SAMPLE_DIR) + "/echo.qasm"));
  Write("blob.bin", std::string(1500, 'b'));
  const std::string manifest = Write("m.json", R"({"steps": [
    {"do": "mkdir", "id": "0030", "size": 8192},
    {"do": "cd", "path": "0030"},
    {"do": "put", "id": "0001", "file": "blob.bin"},
    {"do": "put", "id": "0002", "hex": "CAFE", "type": "private"},
    {"do": "load", "id": "0003", "file": "prog.qasm"},
    {"do": "pin-change", "kind": "user", "old": "60719283", "new_env": "NEWPIN"}
  ]})");
  const std::string env = kDevPin + " NEWPIN=87654321";

  Outcome o = Run("provision " + manifest + " --dry-run --json", env);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_HAS(o.out, "\"dry_run\":true");
  EXPECT_HAS(o.out,
             "{\"step\":3,\"do\":\"put\",\"what\":\"0001 (1500 bytes)\",\"status\":\"planned\"}");
  EXPECT_EQ(Run("cd 0030").status, 1) << "a dry run touches nothing";

  o = Run("provision " + manifest + " --json", env);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out.rfind("{\"ok\":true,\"command\":\"provision\",\"dry_run\":false,\"steps\":[", 0),
            0u)
      << o.out;
  EXPECT_HAS(o.out, "{\"step\":6,\"do\":\"pin-change\",\"what\":\"user PIN\",\"status\":\"done\"}");
  EXPECT_EQ(Run("exec 0003 --hex 0102 --dir 0030", "QKTOOL_USER_PIN=87654321").out, "0102\n");

  // Again: the directory exists, so step 1 fails and nothing after it runs.
  o = Run("provision " + manifest + " --json", env);
  EXPECT_EQ(o.status, 1);
  EXPECT_HAS(o.out, "\"ok\":false");
  EXPECT_HAS(o.out, "\"failed_step\":1");
  EXPECT_HAS(o.out, "{\"step\":2,\"do\":\"cd\",\"what\":\"0030\",\"status\":\"skipped\"}");
  EXPECT_HAS(o.err, "provision stopped at step 1 (making directory 0030)");
  EXPECT_HAS(o.err, "no step was applied");

  const struct {
    std::string json;
    const char* message;
  } bad[] = {
      {"[]", "the manifest is an object"},
      {R"({"steps": [], "extra": 1})", "unknown key \"extra\""},
      {R"({"steps": [{"do": "dance"}]})", "step 1: unknown action \"dance\""},
      {R"({"steps": [{"do": "mkdir", "id": "30"}]})", "step 1: id takes four hexadecimal digits"},
      {R"({"steps": [{"do": "cd", "path": "0030"}, {"do": "put", "id": "0001"}]})",
       "step 2: give one of \"file\" and \"hex\""},
      {R"({"steps": [{"do": "put", "id": "0001", "file": "missing.bin"}]})", "cannot read"},
      {R"({"steps": [{"do": "mkdir", "id": "0031", "size": 99999999}]})", "\"size\" is above"},
      {R"({"steps": [{"do": "mkdir", "id": "0031", "colour": "red"}]})", "unknown key \"colour\""},
      {R"({"steps": [{"do": "pin-change", "kind": "user", "old": "60719283", "new_env": "UNSET_VAR"}]})",
       "UNSET_VAR is not set"},
      {R"({"steps": [{"do": "mkdir", "id": "0031"})", "line 1"},
      // Strings the token, the file system or the terminal would read otherwise
      // than planned: a NUL cuts a path short, ESC drives the terminal.
      {R"({"steps": [{"do": "mkdir", "id": "0031"}, {"do": "cd", "path": "0030\u0000\\0031"}]})",
       "step 2: \"path\" holds a control character"},
      {R"({"steps": [{"do": "put", "id": "0001", "file": "prog.bin\u0000.qasm"}]})",
       "step 1: \"file\" holds a control character"},
      {R"({"steps": [{"do": "cd", "path": "\u001b[2J"}]})", "holds a control character"},
      {"{\"steps\": [{\"do\": \"cd\", \"path\": \"00\xff\"}]}",
       "step 1: \"path\" is not valid UTF-8"},
      {R"({"steps": [{"do": "cd", "p\u0007": "0030"}]})",
       "step 1: a key holds a control character"},
      {R"({"steps": [{"do": "pin-change", "kind": "user", "old": "60719283", "new": "12345678", "retry_limit": 0}]})",
       "step 1: \"retry_limit\" is 1 to 254"},
  };
  for (const auto& b : bad) {
    o = Run("provision " + Write("bad.json", b.json), env);
    EXPECT_EQ(o.status, 2) << b.json;
    EXPECT_HAS(o.err, b.message);
  }
}

// Catches raw bytes of a token's path reaching --json output or the terminal,
// and a token that could not be opened to be listed passing for no token.
TEST_F(QktoolTest, OutputIsValidUtf8AndATokenThatCannotBeOpenedIsReported) {
  const std::string tokens = dir_ / "tokens\xff\x1b[2J";
  ASSERT_EQ(mkdir(tokens.c_str(), 0700), 0);
  const std::string env = "QKTOKEN_VIRTUAL_DIR='" + tokens + "'";
  const std::string command = "env " + env + " '" + QK_SIM_TOOL + "' serve --dir '" + tokens +
                              "' --name t & sleep 0.5; env " + env + " '" + QK_TOOL + "' ";
  const auto run = [&](const std::string& args) {
    const std::string out = dir_ / "out";
    const int status =
        std::system((command + args + " >'" + out + "'; s=$?; kill $!; exit $s").c_str());
    return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out));
  };
  auto [status, out] = run("list --json");
  EXPECT_EQ(status, 0);
  EXPECT_HAS(out, "tokens\\ufffd\\u001b[2J/t.sock");
  std::tie(status, out) = run("list");
  EXPECT_HAS(out, "tokens\\xff\\x1b[2J/t.sock");
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  // A socket nobody serves: listed by the directory, not openable.
  const std::string deadDir = dir_ / "dead";
  ASSERT_EQ(mkdir(deadDir.c_str(), 0700), 0);
  const std::string dead = deadDir + "/dead.sock";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dead.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
  chmod(dead.c_str(), 0600);
  const std::string out2 = dir_ / "out2";
  status = std::system(
      ("env QKTOKEN_VIRTUAL_DIR='" + deadDir + "' '" + QK_TOOL + "' list >'" + out2 + "'").c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
  EXPECT_HAS(ReadText(out2), "a token was found but could not be opened");
}

TEST_F(QktoolTest, TimeoutBoundsASilentToken) {
  // The library's own limit would hold this for a minute.
  const Outcome o = Run("info --timeout 300", "", "", "--fault silent");
  EXPECT_EQ(o.status, 1);
  EXPECT_HAS(o.err, "[QK_E_COMMUNICATION]");
}

// `qktool watch` beside the token that `qktoken-sim run` serves, while a
// second token is served into the same directory and stopped again; then
// the same watch stopped by SIGINT instead of --count.
TEST_F(QktoolTest, WatchPrintsArrivalsAndRemovalsUntilInterrupted) {
  const struct {
    const char* args;
    const char* stop;  // how the script ends the watch
    std::vector<std::string> events;
  } cases[] = {
      {"watch --json --count 2", "", {"\"present\"", "\"arrived\"", "\"removed\""}},
      {"watch", "kill -INT $w;", {"present", "arrived", "removed"}},
  };
  for (const auto& c : cases) {
    // A file of its own per case: the shell truncates it only in the forked
    // watch, so the wait for "present" could read the previous case's lines.
    const std::string out = dir_ / ("watch" + std::to_string(&c - cases) + ".out");
    const std::string script = std::string("'") + QK_TOOL + "' " + c.args + " >'" + out +
                               "' 2>&1 & w=$!; for i in $(seq 100); do grep -q present '" + out +
                               "' && break; sleep 0.1; done; '" + QK_SIM_TOOL +
                               "' serve --dir \"$QKTOKEN_VIRTUAL_DIR\" --name extra "
                               ">/dev/null 2>&1 & p=$!; sleep 1; kill $p; wait $p; sleep 0.5; " +
                               c.stop + " wait $w";
    // The script holds single quotes of its own: hand it over in a file.
    const std::string file = Write("watch.sh", script + "\n");
    const int status = std::system(
        ("timeout -s KILL 30 '" + std::string(QK_SIM_TOOL) + "' run -- sh '" + file + "'").c_str());
    const std::string text = ReadText(out);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << c.args << ": " << text;
    size_t at = 0;
    for (const std::string& event : c.events) {
      const size_t found = text.find(event, at);
      EXPECT_NE(found, std::string::npos) << c.args << ": " << event << " in order:\n" << text;
      if (found == std::string::npos) break;
      at = found;
    }
    EXPECT_HAS(text, "extra.sock");
    EXPECT_EQ(text.find("token0.sock", text.find("arrived")), std::string::npos)
        << "the served token stayed: " << text;
  }
}

// --verbose: the library's decisions on standard error, and no PIN in them.
TEST_F(QktoolTest, VerboseShowsTheLibrarysLinesWithoutThePin) {
  const Outcome o =
      Run("pin verify --verbose --kind dev --pin-stdin", "", "904817263590481726359048\n");
  EXPECT_EQ(o.status, 0) << o.err;
  for (const char* part : {"qktoken: list: ", "qktoken: open: ", "qktoken: lock: ",
                           "qktoken: exchange: instruction "}) {
    EXPECT_HAS(o.err, part);
  }
  for (const char* secret : {"904817263590481726359048", "393034383137323633353930"}) {
    EXPECT_EQ(o.err.find(secret), std::string::npos) << secret;
  }
}

}  // namespace
