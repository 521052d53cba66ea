// qktool as a program, against simulated tokens served by qktoken-sim:
// outputs, exit codes (0 done, 1 token error, 2 usage), and the token's state
// across runs (each run is a fresh process; an image file keeps the token).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <string>

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
                              "keygen", "control", "provision"}) {
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
  };
  for (const auto& b : bad) {
    o = Run("provision " + Write("bad.json", b.json), env);
    EXPECT_EQ(o.status, 2) << b.json;
    EXPECT_HAS(o.err, b.message);
  }
}

TEST_F(QktoolTest, TimeoutBoundsASilentToken) {
  // The library's own limit would hold this for a minute.
  const Outcome o = Run("info --timeout 300", "", "", "--fault silent");
  EXPECT_EQ(o.status, 1);
  EXPECT_HAS(o.err, "[QK_E_COMMUNICATION]");
}

}  // namespace
