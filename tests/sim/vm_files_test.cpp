// Programs reading the token's files: the rdf instruction.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "sim/assembler.h"
#include "sim/vm.h"

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
  const struct {
    const char* name;
    unsigned id, offset, length, address;
    uint16_t status;
    Bytes output;  // count (2 bytes) then eight bytes of memory
  } cases[] = {
      {"whole file", 0x10, 0, 10, 100, kVmSuccess, {0, 10, 0, 1, 2, 3, 4, 5, 6, 7}},
      {"cut at the end", 0x10, 8, 500, 100, kVmSuccess, {0, 2, 8, 9, 0, 0, 0, 0, 0, 0}},
      {"missing file", 0x12, 0, 10, 100, kVmFileNotFound, {}},
      {"not a data file", 0x20, 0, 10, 100, kVmNotADataFile, {}},
      {"runs past the memory", 0x10, 0, 10, 4090, kVmAddressOverflow, {}},
      {"what is copied must fit, not what is asked", 0x10, 8, 100, 4094, kVmAddressOverflow, {}},
  };
  const FakeFiles files;
  for (const auto& c : cases) {
    const VmOutcome outcome = Read(&files, c.id, c.offset, c.length, c.address);
    EXPECT_EQ(outcome.statusWord, c.status) << c.name;
    EXPECT_EQ(outcome.output, c.output) << c.name;
  }
  EXPECT_EQ(Read(nullptr, 0x10, 0, 1, 0).statusWord, kVmFileNotFound) << "no file access";
}

}  // namespace
}  // namespace qksim
