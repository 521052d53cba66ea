// Programs reading the token's files: the rdf instruction, the readfile
// sample and the token's rules around it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/assembler.h"
#include "sim/samples.h"
#include "sim/vm.h"
#include "tests/sim/sim_test_util.h"

namespace qksim {
namespace {

using Bytes = std::vector<uint8_t>;

// Files 0x0010 (ten bytes 0..9), 0x0011 (empty) and 0x0020 (not a data file).
class FakeFiles : public VmFiles {
 public:
  uint16_t Open(uint16_t id, const uint8_t** data, size_t* size) const override {
    if (id == 0x0020) return kVmNotADataFile;
    const auto it = files_.find(id);
    if (it == files_.end()) return kVmFileNotFound;
    *data = it->second.data();
    *size = it->second.size();
    return kVmSuccess;
  }

 private:
  std::map<uint16_t, Bytes> files_ = {{0x0010, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}}, {0x0011, {}}};
};

VmOutcome RunWithFiles(const std::string& source, const VmFiles* files, const Bytes& input = {},
                       size_t memorySize = 4096) {
  Bytes program;
  std::string error;
  EXPECT_TRUE(Assemble(source, &program, &error)) << error;
  VmLimits limits;
  limits.memorySize = memorySize;
  return RunProgram(program.data(), program.size(), input.data(), input.size(), limits, files);
}

// Reads `length` bytes of `id` from `offset` to `address`, then answers the
// count and the memory from `address` (eight bytes).
std::string ReadSource(unsigned id, unsigned offset, unsigned length, unsigned address) {
  std::ostringstream s;
  s << "movi r1, " << id << "\nmovi r2, " << offset << "\nmovi r3, " << length
    << "\nmovi r5, " << address << "\nrdf r5, r1, r2, r3\noutw r3\nmovi r6, 8\n"
    << "outm r5, r6\nhalt\n";
  return s.str();
}

TEST(VmReadFile, CopiesWhatTheFileHoldsAndCountsIt) {
  struct Case {
    const char* name;
    unsigned id, offset, length, address;
    uint16_t status;
    Bytes output;  // count (2 bytes) then eight bytes of memory
  };
  const Case cases[] = {
      {"whole file", 0x10, 0, 10, 100, kVmSuccess, {0, 10, 0, 1, 2, 3, 4, 5, 6, 7}},
      {"middle", 0x10, 3, 4, 100, kVmSuccess, {0, 4, 3, 4, 5, 6, 0, 0, 0, 0}},
      {"cut at the end", 0x10, 8, 500, 100, kVmSuccess, {0, 2, 8, 9, 0, 0, 0, 0, 0, 0}},
      {"at the end", 0x10, 10, 4, 100, kVmSuccess, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"past the end", 0x10, 0xFFFF, 0xFFFF, 100, kVmSuccess, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"empty file", 0x11, 0, 10, 100, kVmSuccess, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"length 0", 0x10, 0, 0, 100, kVmSuccess, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {"missing file", 0x12, 0, 10, 100, kVmFileNotFound, {}},
      {"not a data file", 0x20, 0, 10, 100, kVmNotADataFile, {}},
      // The copy is bounded by the memory like a store: 4090 + 10 > 4096.
      {"runs past the memory", 0x10, 0, 10, 4090, kVmAddressOverflow, {}},
      {"starts past the memory", 0x10, 0, 1, 5000, kVmAddressOverflow, {}},
      {"what is copied must fit, not what is asked", 0x10, 8, 100, 4094, kVmAddressOverflow, {}},
  };
  const FakeFiles files;
  for (const Case& c : cases) {
    const VmOutcome outcome =
        RunWithFiles(ReadSource(c.id, c.offset, c.length, c.address), &files);
    EXPECT_EQ(outcome.statusWord, c.status) << c.name;
    EXPECT_EQ(outcome.output, c.output) << c.name;
  }
  // The copy may end exactly at the memory's end (the outm after it may not).
  EXPECT_EQ(RunWithFiles("movi r1, 0x10\nmovi r3, 10\nmovi r5, 4086\nrdf r5, r1, r2, r3\n"
                         "ldb r7, [r5 + 9]\noutw r3\noutb r7\nhalt",
                         &files)
                .output,
            (Bytes{0, 10, 9}));
}

TEST(VmReadFile, WithoutFileAccessEveryReadFindsNothing) {
  const VmOutcome outcome = RunWithFiles(ReadSource(0x10, 0, 1, 0), nullptr);
  EXPECT_EQ(outcome.statusWord, kVmFileNotFound);
  // The plain entry point has no file access either.
  Bytes program;
  std::string error;
  ASSERT_TRUE(Assemble(ReadSource(0x10, 0, 1, 0), &program, &error)) << error;
  EXPECT_EQ(RunProgram(program.data(), program.size(), nullptr, 0).statusWord, kVmFileNotFound);
}

TEST(VmReadFile, EncodingIsCheckedLikeEveryInstruction) {
  struct Case {
    const char* name;
    Bytes code;
    uint16_t status;
  };
  const auto header = [](Bytes code) {
    Bytes file = {'Q', 'K', 'V', 'M', 1, 0, 0, static_cast<uint8_t>(code.size())};
    for (uint8_t b : code) file.push_back(b);
    return file;
  };
  const Case cases[] = {
      {"third register 8", {0x60, 0x12, 0x83, 0x01}, kVmIllegalInstruction},
      {"fourth register 9", {0x60, 0x12, 0x39, 0x01}, kVmIllegalInstruction},
      {"first register 8", {0x60, 0x82, 0x34, 0x01}, kVmIllegalInstruction},
      {"cut short", {0x01, 0x60, 0x12}, kVmIllegalInstruction},
      {"well formed, no files", {0x60, 0x12, 0x34, 0x01}, kVmFileNotFound},
  };
  for (const Case& c : cases) {
    const Bytes file = header(c.code);
    EXPECT_EQ(RunProgram(file.data(), file.size(), nullptr, 0, VmLimits{}, nullptr).statusWord,
              c.status)
        << c.name;
  }
  Bytes code;
  std::string error;
  ASSERT_TRUE(Assemble("rdf r7, r0, r3, R4", &code, &error)) << error;
  EXPECT_EQ(Bytes(code.begin() + 8, code.end()), (Bytes{0x60, 0x70, 0x34}));
  for (const char* bad : {"rdf r1, r2, r3", "rdf r1, r2, r3, r4, r5", "rdf r1, r2, r3, 4",
                          "rdf r1, r2, r8, r4"}) {
    EXPECT_FALSE(Assemble(bad, &code, &error)) << bad;
  }
}

// ---- The readfile sample ---------------------------------------------------------

TEST(VmReadFileSample, MatchesItsSource) {
  std::ifstream in(std::string(QK_SAMPLE_DIR) + "/readfile.qasm");
  std::stringstream source;
  source << in.rdbuf();
  Bytes file;
  std::string error;
  ASSERT_TRUE(Assemble(source.str(), &file, &error)) << error;
  EXPECT_EQ(file, SampleReadFileProgram()) << "regenerate sim/samples.cpp";
}

}  // namespace
}  // namespace qksim

// Through the token's execute command: directory, file types and PINs.
namespace qksimtest {
namespace {

using qksim::kFileData;
using qksim::kFileExecutable;
using qksim::kFilePrivateKey;

Bytes Request(uint16_t id, uint16_t offset, uint16_t length) {
  return {static_cast<uint8_t>(id >> 8),     static_cast<uint8_t>(id),
          static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset),
          static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
}

// A token with the readfile program as 0002, a 1500-byte data file 0010
// holding i * 7 at byte i, and a private-key file 0011.
struct ReaderToken : Interpreter {
  ReaderToken() {
    EXPECT_EQ(VerifyDeveloper(), 0x9000);
    const Bytes& program = qksim::SampleReadFileProgram();
    EXPECT_EQ(MakeFile(0x0002, static_cast<uint32_t>(program.size()), kFileExecutable), 0x9000);
    EXPECT_EQ(Write(0x0002, 0, program), 0x9000);
    for (size_t i = 0; i < 1500; ++i) content.push_back(static_cast<uint8_t>(i * 7));
    EXPECT_EQ(MakeFile(0x0010, 1500, kFileData), 0x9000);
    EXPECT_EQ(Write(0x0010, 0, Bytes(content.begin(), content.begin() + 1000)), 0x9000);
    EXPECT_EQ(Write(0x0010, 1000, Bytes(content.begin() + 1000, content.end())), 0x9000);
    EXPECT_EQ(MakeFile(0x0011, 64, kFilePrivateKey), 0x9000);
    EXPECT_EQ(MakeDir(0x0003, 200), 0x9000);
  }
  Bytes content;
};

TEST(ReadFileThroughExecute, AnswersTheStoredBytes) {
  struct Case {
    const char* name;
    Bytes input;
    uint16_t sw;
    size_t from, count;  // expected bytes of the content
  };
  const Case cases[] = {
      {"a piece", Request(0x0010, 100, 50), 0x9000, 100, 50},
      {"largest answer", Request(0x0010, 0, 1022), 0x9000, 0, 1022},
      {"cut at the end", Request(0x0010, 1400, 500), 0x9000, 1400, 100},
      {"the tail", Request(0x0010, 1000, 500), 0x9000, 1000, 500},
      {"too long an answer", Request(0x0010, 0, 1023), 0x65E3, 0, 0},
      {"missing file", Request(0x0077, 0, 4), 0x6A82, 0, 0},
      {"private key stays unreadable", Request(0x0011, 0, 4), 0x6981, 0, 0},
      {"a program is not data", Request(0x0002, 0, 4), 0x6981, 0, 0},
      {"a directory", Request(0x0003, 0, 4), 0x6981, 0, 0},
      {"short input", Bytes{0, 0x10, 0, 0, 0}, 0x6A80, 0, 0},
  };
  for (const Case& c : cases) {
    ReaderToken t;
    ASSERT_EQ(t.VerifyUser(), 0x9000);
    const Reply r = t.Execute(0x0002, c.input);
    EXPECT_EQ(r.sw, c.sw) << c.name;
    const auto from = t.content.begin() + static_cast<std::ptrdiff_t>(c.from);
    EXPECT_EQ(r.data, Bytes(from, from + static_cast<std::ptrdiff_t>(c.count))) << c.name;
  }
}

TEST(ReadFileThroughExecute, FollowsTheExecuteRules) {
  ReaderToken t;
  // The fixture verified the developer PIN, which also lets programs run.
  EXPECT_EQ(t.Execute(0x0002, Request(0x0010, 0, 3)).sw, 0x9000);
  t.session.developerEpoch = 0;
  EXPECT_EQ(t.Execute(0x0002, Request(0x0010, 0, 3)).sw, 0x6D81) << "no PIN, no run";
  ASSERT_EQ(t.VerifyUser(), 0x9000);
  EXPECT_EQ(t.Execute(0x0002, Request(0x0010, 0, 3)).data, (Bytes{0, 7, 14}));
  // Files are looked up in the current directory, which here has no 0010.
  ASSERT_EQ(t.VerifyDeveloper(), 0x9000);
  ASSERT_EQ(t.Select(0x0003), 0x9000);
  const Bytes& program = qksim::SampleReadFileProgram();
  ASSERT_EQ(t.MakeFile(0x0002, static_cast<uint32_t>(program.size()), kFileExecutable), 0x9000);
  ASSERT_EQ(t.Write(0x0002, 0, program), 0x9000);
  EXPECT_EQ(t.Execute(0x0002, Request(0x0010, 0, 3)).sw, 0x6A82);
  EXPECT_FALSE(t.lastChanged) << "reading changes nothing";
}

}  // namespace
}  // namespace qksimtest
