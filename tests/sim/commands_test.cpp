// The command interpreter's rules and status words, driven without the cipher.
#include <gtest/gtest.h>

#include "sim/commands.h"
#include "sim/filesystem.h"
#include "tests/sim/sim_test_util.h"

namespace qktest {
namespace {

TEST(SimPins, CountersBlockAndReset) {
  Interpreter t;
  EXPECT_EQ(t.Send(0x20, 2, 0, Text(kUserPin)).sw, 0x6A86);
  EXPECT_EQ(t.Send(0x20, 0, 0, {}).sw, 0x6A87);
  EXPECT_EQ(t.Send(0x20, 1, 0, Bytes(25, '9')).sw, 0x6A87);
  EXPECT_EQ(t.VerifyUser("6071928"), 0x630E)
      << "malformed commands cost no tries; a prefix is wrong";
  EXPECT_EQ(t.VerifyUser(), 0x9000);
  EXPECT_EQ(t.Execute(0x0001, {0, 5, 0, 8}).data, (Bytes{0, 13}));
  EXPECT_EQ(t.VerifyUser("00000000"), 0x630E) << "success restored the counter";
  EXPECT_EQ(t.Execute(0x0001, {0, 5, 0, 8}).sw, 0x6D81) << "a failed try ends the verified state";
  for (int left = 13; left >= 0; --left) {
    ASSERT_EQ(t.VerifyUser("00000000"), 0x6300 + left);
    EXPECT_TRUE(t.lastChanged) << "counter must be stored before answering";
  }
  EXPECT_EQ(t.VerifyUser(), 0x6983) << "blocked: even the right PIN is refused";
  EXPECT_EQ(t.VerifyDeveloper(), 0x9000) << "the developer counter is separate";
}

TEST(SimFileSystem, RulesAndStatusWords) {
  Interpreter t;
  EXPECT_EQ(t.MakeFile(0x10, 10, 1), 0x6D80) << "make file needs the developer PIN";
  ASSERT_EQ(t.VerifyDeveloper(), 0x9000);
  EXPECT_EQ(t.MakeFile(0x0001, 10, 1), 0x6A89) << "file exists";
  EXPECT_EQ(t.MakeDir(0x0002, 100), 0x9000);
  EXPECT_EQ(t.MakeDir(0x0002, 100), 0x6D82) << "directory exists";
  EXPECT_EQ(t.MakeFile(0x10, 0, 1), 0x6A80) << "file size 0 (also what 65536 becomes)";
  EXPECT_EQ(t.MakeFile(0x3F00, 1, 1), 0x6A80) << "reserved id 3F00 for a file";
  EXPECT_EQ(t.MakeDir(0x0003, qksim::kTokenCapacity), 0x6A84) << "larger than the root's room";
  EXPECT_EQ(t.Select(0x0002), 0x9000);
  EXPECT_EQ(t.MakeFile(0x10, 84, 1), 0x9000) << "filling it exactly (entry overhead 16)";
  EXPECT_EQ(t.MakeFile(0x11, 1, 1), 0x6A84) << "no room for one more byte";
  EXPECT_EQ(t.Write(0x10, 80, {1, 2, 3, 4}), 0x9000) << "write up to the end";
  EXPECT_EQ(t.Write(0x10, 81, {1, 2, 3, 4}), 0x6700) << "write past the end";
  EXPECT_EQ(t.Send(0xD6, 0x10, 0, {0, 0, 5, 0, 1}).sw, 0x6A87) << "length disagrees with data";
  EXPECT_EQ(t.Write(0x99, 0, {1}), 0x6A82) << "write to a missing file";
  EXPECT_EQ(t.Select(0x10), 0x6981) << "select a file";
  EXPECT_EQ(t.Select(0x99), 0x6D88) << "select a missing directory";
  EXPECT_EQ(t.Select(0x0000), 0x9000) << "parent";
  EXPECT_EQ(t.Execute(0x0002, {}).sw, 0x6981) << "execute a directory";
  EXPECT_EQ(t.MakeFile(0x0005, 4, 1), 0x9000);
  EXPECT_EQ(t.Execute(0x0005, {}).sw, 0x6D85) << "execute a data file";
}

}  // namespace
}  // namespace qktest
