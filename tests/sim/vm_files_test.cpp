// Programs reading the token's files: the rdf instruction, and the readfile
// sample run through the token's execute command.
#include <gtest/gtest.h>

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
struct FakeFiles : VmFiles {
  uint16_t Open(uint16_t id, const uint8_t** data, size_t* size) const override {
    if (id == 0x20) return kVmNotADataFile;
    if (id != 0x10 && id != 0x11) return kVmFileNotFound;
    *data = ten;
    *size = id == 0x10 ? 10 : 0;
    return kVmSuccess;
  }
  const uint8_t ten[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
};

// Reads `length` bytes of `id` from `offset` to `address`, then answers the
// count and the eight bytes of memory from `address`.
VmOutcome Read(const VmFiles* files, unsigned id, unsigned offset, unsigned length,
               unsigned address) {
  std::ostringstream s;
  s << "movi r1, " << id << "\nmovi r2, " << offset << "\nmovi r3, " << length << "\nmovi r5, "
    << address << "\nrdf r5, r1, r2, r3\noutw r3\nmovi r6, 8\noutm r5, r6\nhalt\n";
  Bytes program;
  std::string error;
  EXPECT_TRUE(Assemble(s.str(), &program, &error)) << error;
  return RunProgram(program.data(), program.size(), nullptr, 0, VmLimits{}, files);
}

TEST(VmReadFile, CopiesWhatTheFileHoldsAndCountsIt) {
  const Bytes nothing(10, 0);
  const struct {
    const char* name;
    unsigned id, offset, length, address;
    uint16_t status;
    Bytes output;  // count (2 bytes) then eight bytes of memory
  } cases[] = {
      {"whole file", 0x10, 0, 10, 100, kVmSuccess, {0, 10, 0, 1, 2, 3, 4, 5, 6, 7}},
      {"middle", 0x10, 3, 4, 100, kVmSuccess, {0, 4, 3, 4, 5, 6, 0, 0, 0, 0}},
      {"cut at the end", 0x10, 8, 500, 100, kVmSuccess, {0, 2, 8, 9, 0, 0, 0, 0, 0, 0}},
      {"past the end", 0x10, 0xFFFF, 0xFFFF, 100, kVmSuccess, nothing},
      {"empty file", 0x11, 0, 10, 100, kVmSuccess, nothing},
      {"missing file", 0x12, 0, 10, 100, kVmFileNotFound, {}},
      {"not a data file", 0x20, 0, 10, 100, kVmNotADataFile, {}},
      {"runs past the memory", 0x10, 0, 10, 4090, kVmAddressOverflow, {}},
      {"starts past the memory", 0x10, 0, 1, 5000, kVmAddressOverflow, {}},
      {"what is copied must fit, not what is asked", 0x10, 8, 100, 4094, kVmAddressOverflow, {}},
  };
  const FakeFiles files;
  for (const auto& c : cases) {
    const VmOutcome outcome = Read(&files, c.id, c.offset, c.length, c.address);
    EXPECT_EQ(outcome.statusWord, c.status) << c.name;
    EXPECT_EQ(outcome.output, c.output) << c.name;
  }
  EXPECT_EQ(Read(nullptr, 0x10, 0, 1, 0).statusWord, kVmFileNotFound) << "no file access";
  const Bytes badRegister = {'Q', 'K', 'V', 'M', 1, 0, 0, 4, 0x60, 0x12, 0x83, 0x01};
  EXPECT_EQ(
      RunProgram(badRegister.data(), badRegister.size(), nullptr, 0, VmLimits{}, &files).statusWord,
      kVmIllegalInstruction);
}

}  // namespace
}  // namespace qksim

// Through the token's execute command: directory, file types and PINs.
namespace qksimtest {
namespace {

Bytes Request(uint16_t id, uint16_t offset, uint16_t length) {
  return Cat({Be16(id), Be16(offset), Be16(length)});
}

// The readfile program as 0002, a 1500-byte data file 0010 holding i * 7 at
// byte i, a private-key file 0011 and a directory 0003.
struct ReaderToken : Interpreter {
  ReaderToken() {
    EXPECT_EQ(VerifyDeveloper(), 0x9000);
    InstallReader();
    for (size_t i = 0; i < 1500; ++i) content.push_back(static_cast<uint8_t>(i * 7));
    EXPECT_EQ(MakeFile(0x0010, 1500, qksim::kFileData), 0x9000);
    for (long at : {0, 750}) {
      EXPECT_EQ(Write(0x10, uint32_t(at), Bytes(&content[at], &content[at] + 750)), 0x9000);
    }
    EXPECT_EQ(MakeFile(0x0011, 64, qksim::kFilePrivateKey), 0x9000);
    EXPECT_EQ(MakeDir(0x0003, 200), 0x9000);
  }
  void InstallReader() {
    const Bytes& program = qksim::SampleReadFileProgram();
    EXPECT_EQ(MakeFile(0x0002, uint32_t(program.size()), qksim::kFileExecutable), 0x9000);
    EXPECT_EQ(Write(0x0002, 0, program), 0x9000);
  }
  Bytes content;
};

TEST(ReadFileThroughExecute, AnswersStoredDataOnlyFromThisDirectory) {
  const struct {
    const char* name;
    Bytes input;
    uint16_t sw;
    long from, count;  // expected bytes of the content
  } cases[] = {
      {"largest answer", Request(0x0010, 0, 1022), 0x9000, 0, 1022},
      {"cut at the end", Request(0x0010, 1400, 500), 0x9000, 1400, 100},
      {"too long an answer", Request(0x0010, 0, 1023), 0x65E3, 0, 0},
      {"missing file", Request(0x0077, 0, 4), 0x6A82, 0, 0},
      {"private key stays unreadable", Request(0x0011, 0, 4), 0x6981, 0, 0},
      {"a program is not data", Request(0x0002, 0, 4), 0x6981, 0, 0},
      {"a directory", Request(0x0003, 0, 4), 0x6981, 0, 0},
      {"short input", Bytes{0, 0x10, 0, 0, 0}, 0x6A80, 0, 0},
  };
  ReaderToken t;
  ASSERT_EQ(t.VerifyUser(), 0x9000);
  for (const auto& c : cases) {
    const Reply r = t.Execute(0x0002, c.input);
    EXPECT_EQ(r.sw, c.sw) << c.name;
    EXPECT_FALSE(t.lastChanged) << c.name << ": reading changes nothing";
    EXPECT_EQ(r.data, Bytes(t.content.begin() + c.from, t.content.begin() + c.from + c.count))
        << c.name;
  }
  ASSERT_EQ(t.VerifyDeveloper(), 0x9000);
  ASSERT_EQ(t.Select(0x0003), 0x9000);
  t.InstallReader();
  EXPECT_EQ(t.Execute(0x0002, Request(0x0010, 0, 3)).sw, 0x6A82) << "looked up in this directory";
}

}  // namespace
}  // namespace qksimtest
