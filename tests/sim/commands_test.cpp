// The command interpreter's rules and status words, driven without the cipher.
#include <gtest/gtest.h>

#include "sim/commands.h"
#include "sim/filesystem.h"
#include "tests/sim/sim_test_util.h"

namespace qksimtest {
namespace {

Bytes ChangeRecord(size_t field, const std::string& oldPin, const std::string& newPin,
                   uint8_t limit) {
  Bytes data(2 * (1 + field) + 1, 0);
  data[0] = static_cast<uint8_t>(oldPin.size());
  std::copy(oldPin.begin(), oldPin.end(), data.begin() + 1);
  data[1 + field] = static_cast<uint8_t>(newPin.size());
  std::copy(newPin.begin(), newPin.end(), data.begin() + 2 + static_cast<long>(field));
  data.back() = limit;
  return data;
}

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

TEST(SimPins, ChangePin) {
  const Bytes good = ChangeRecord(8, kUserPin, "22222222", 3);
  const struct {
    const char* name;
    Bytes data;
    uint8_t p1;
    uint16_t sw;
  } cases[] = {
      {"wrong old PIN", ChangeRecord(8, "11111111", "22222222", 3), 3, 0x630E},
      {"user layout with developer P1", good, 1, 0x6A87},
      {"old length beyond the field", Cat({{24}, Bytes(good.begin() + 1, good.end())}), 3, 0x6A80},
      {"limit zero", ChangeRecord(8, kUserPin, "22222222", 0), 3, 0x6A80},
  };
  for (const auto& c : cases) {
    Interpreter t;
    EXPECT_EQ(t.Send(0x24, c.p1, 0, c.data).sw, c.sw) << c.name;
    EXPECT_EQ(t.VerifyUser(), 0x9000) << c.name << ": PIN must be unchanged";
  }
  Interpreter t;
  ASSERT_EQ(t.Send(0x24, 3, 0, ChangeRecord(8, kUserPin, "1234", 3)).sw, 0x9000);
  EXPECT_EQ(t.VerifyUser(), 0x6302) << "old PIN no longer valid; the new limit applies";
  EXPECT_EQ(t.VerifyUser("1234"), 0x9000);
  ASSERT_EQ(t.Send(0x24, 3, 0, ChangeRecord(8, "1234", "5678", 0xFF)).sw, 0x9000);
  EXPECT_EQ(t.VerifyUser("0000"), 0x6302) << "0xFF keeps the current limit";
}

TEST(SimFileSystem, RulesAndStatusWords) {
  Interpreter t;
  EXPECT_EQ(t.MakeFile(0x10, 10, 1), 0x6D80) << "make file needs the developer PIN";
  EXPECT_EQ(t.MakeDir(0x02, 100), 0x6D80) << "make directory too";
  EXPECT_EQ(t.Write(0x0001, 0, {1}), 0x6D80) << "write too";
  ASSERT_EQ(t.VerifyDeveloper(), 0x9000);
  EXPECT_EQ(t.MakeFile(0x0001, 10, 1), 0x6A89) << "file exists";
  EXPECT_EQ(t.MakeDir(0x0001, 10), 0x6A89) << "directory over a file";
  EXPECT_EQ(t.MakeDir(0x0002, 100), 0x9000);
  EXPECT_EQ(t.MakeDir(0x0002, 100), 0x6D82) << "directory exists";
  EXPECT_EQ(t.MakeFile(0x0002, 10, 1), 0x6D82) << "file over a directory";
  EXPECT_EQ(t.MakeFile(0x10, 0, 1), 0x6A80) << "file size 0 (also what 65536 becomes)";
  EXPECT_EQ(t.MakeFile(0x10, 1, 0x09), 0x6A80) << "unknown file type";
  EXPECT_EQ(t.MakeFile(0x0000, 1, 1), 0x6A80) << "reserved id 0000";
  EXPECT_EQ(t.MakeFile(0x3F00, 1, 1), 0x6A80) << "reserved id 3F00 for a file";
  EXPECT_EQ(t.Send(0xE1, 0, 0, {1, 0, 1, 0}).sw, 0x6A87) << "make-file data too short";
  EXPECT_EQ(t.MakeDir(0x0003, qksim::kTokenCapacity), 0x6A84) << "larger than the root's room";
  EXPECT_EQ(t.Select(0x0002), 0x9000);
  EXPECT_EQ(t.MakeFile(0x10, 84, 1), 0x9000) << "filling it exactly (entry overhead 16)";
  EXPECT_EQ(t.MakeFile(0x11, 1, 1), 0x6A84) << "no room for one more byte";
  EXPECT_EQ(t.Write(0x10, 80, {1, 2, 3, 4}), 0x9000) << "write up to the end";
  EXPECT_EQ(t.Write(0x10, 81, {1, 2, 3, 4}), 0x6700) << "write past the end";
  EXPECT_EQ(t.Write(0x10, 85, {}), 0x6700) << "offset alone past the end";
  EXPECT_EQ(t.Send(0xD6, 0x10, 0, {0, 0, 5, 0, 1}).sw, 0x6A87) << "length disagrees with data";
  EXPECT_EQ(t.Write(0x99, 0, {1}), 0x6A82) << "write to a missing file";
  EXPECT_EQ(t.Select(0x10), 0x6981) << "select a file";
  EXPECT_EQ(t.Select(0x99), 0x6D88) << "select a missing directory";
  EXPECT_EQ(t.Select(0x0000), 0x9000) << "parent";
  EXPECT_EQ(t.Select(0x0000), 0x9000) << "parent of the root stays at the root";
  EXPECT_EQ(t.MakeFile(0x0001, 1, 1), 0x6A89) << "back at the root: 0001 is here";
  EXPECT_EQ(t.Execute(0x0002, {}).sw, 0x6981) << "execute a directory";
  EXPECT_EQ(t.Execute(0x0077, {}).sw, 0x6A82) << "execute a missing file";
  EXPECT_EQ(t.MakeFile(0x0005, 4, 1), 0x9000);
  EXPECT_EQ(t.Execute(0x0005, {}).sw, 0x6D85) << "execute a data file";
  uint32_t size = 1000;
  for (size_t level = 1; level <= qksim::kMaxDepth; ++level, size -= 100) {
    ASSERT_EQ(t.MakeDir(0x0010, size), 0x9000) << level;
    ASSERT_EQ(t.Select(0x0010), 0x9000);
  }
  EXPECT_EQ(t.MakeDir(0x0010, 10), 0x6A84) << "depth is bounded";
}

TEST(SimFileSystem, EraseFreesSpaceOtherSessionsNoticeAndTheRootIsMadeAgain) {
  Interpreter t;
  ASSERT_EQ(t.VerifyDeveloper(), 0x9000);
  const uint32_t freeBefore = qksim::FileSystem::Free(t.state.fileSystem.Root());
  ASSERT_EQ(t.MakeDir(0x0002, 1000), 0x9000);
  ASSERT_EQ(t.Select(0x0002), 0x9000);
  ASSERT_EQ(t.MakeDir(0x0003, 100), 0x9000);
  ASSERT_EQ(t.MakeFile(0x0004, 10, 1), 0x9000);
  qksim::SessionState other = t.session;  // a second handle inside 0002
  ASSERT_EQ(t.Send(0xE4).sw, 0x9000);
  EXPECT_EQ(qksim::FileSystem::Free(t.state.fileSystem.Root()), freeBefore);
  EXPECT_EQ(t.Select(0x0002), 0x6D88) << "gone, and the session is back at the root";
  std::swap(t.session, other);
  EXPECT_EQ(t.MakeFile(0x0009, 1, 1), 0x6D88);
  EXPECT_EQ(t.Send(0xE4).sw, 0x6D88) << "must not erase some other directory";
  EXPECT_EQ(t.Select(0x3F00), 0x9000);
  EXPECT_EQ(t.MakeFile(0x0009, 1, 1), 0x9000);
  ASSERT_EQ(t.Send(0xE4).sw, 0x9000) << "erasing the root leaves no file system";
  EXPECT_EQ(t.Select(0x3F00), 0x6A81);
  EXPECT_EQ(t.MakeFile(0x0009, 1, 1), 0x6A81);
  EXPECT_EQ(t.MakeDir(0x3F00, 5), 0x6A80) << "the root takes no size";
  t.session.developerEpoch = 0;
  EXPECT_EQ(t.MakeDir(0x3F00, 0), 0x9000) << "an empty token needs no PIN to be built";
  EXPECT_EQ(t.MakeDir(0x3F00, 0), 0x6D82);
  EXPECT_EQ(t.VerifyUser(), 0x9000);
  EXPECT_EQ(t.Execute(0x0001, {}).sw, 0x6A82) << "the new root is empty";
}

TEST(SimInformation, RecordsKeysModesAndFactoryReset) {
  Interpreter t;
  const auto key = [&](uint16_t a, uint16_t b, uint8_t code, uint8_t e) {
    return t.Send(0x46, 0, 0, Cat({Le16(a), Le16(b), {code, 4, 0, 0, 0, e}}));
  };
  EXPECT_EQ(key(0x101, 0x102, 1, 0).sw, 0x6D80) << "keys need the developer PIN";
  EXPECT_EQ(t.Send(0x47, 0x47, 0x4B).sw, 0x6D00) << "the session-key command is plain only";
  ASSERT_EQ(t.VerifyUser(), 0x9000);
  EXPECT_EQ(t.Send(0x50, 1).sw, 0x9000);
  EXPECT_EQ(t.Execute(0x0001, {}).sw, 0x6D81) << "mode 1 logs the user out";
  ASSERT_EQ(t.VerifyDeveloper(), 0x9000);

  ASSERT_EQ(t.Send(0x25, 0, 0, {1, 2, 3}).sw, 0x9000);
  ASSERT_EQ(t.Send(0x30, 0, 0, Bytes(8, 0x5A)).sw, 0x9000);
  const Bytes info = t.Send(0xCA).data;
  ASSERT_EQ(info.size(), 38u);
  EXPECT_EQ(Bytes(info.begin() + 4, info.begin() + 20), Cat({{1, 2, 3}, Bytes(13, 0)}));
  EXPECT_EQ(Bytes(info.begin() + 26, info.begin() + 34), Bytes(8, 0x5A)) << "serial number";
  const auto freeSpace = [&] {
    const Bytes b = t.Send(0xCD).data;
    return b[4] | (b[5] << 8) | (b[6] << 16);
  };
  const int before = freeSpace();
  ASSERT_EQ(t.MakeFile(0x0040, 84, 1), 0x9000);
  EXPECT_EQ(before - freeSpace(), 100) << "the file and its entry";
  EXPECT_EQ(t.SendId(0xCE, 0x40).data, (Bytes{qksim::kFileData, 84, 0}));
  EXPECT_EQ(t.SendId(0xCE, 0x99).sw, 0x6A82);

  const struct {
    const char* name;
    uint16_t a, b;
    uint8_t code, e;
  } refused[] = {{"size code", 0x101, 0x102, 3, 0},
                 {"even exponent", 0x101, 0x102, 1, 4},
                 {"exponent 1", 0x101, 0x102, 1, 1},
                 {"one file for both", 0x101, 0x101, 1, 0}};
  for (const auto& c : refused) EXPECT_EQ(key(c.a, c.b, c.code, c.e).sw, 0x6A80) << c.name;
  EXPECT_EQ(key(0x0001, 0x102, 1, 0).sw, 0x6D85) << "an executable is not a key file";
  const Reply r = key(0x101, 0x102, 1, 0);
  ASSERT_EQ(r.data.size(), 76u + 180u);
  EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 8), (Bytes{0, 0, 2, 0, 0, 1, 0, 1}));
  EXPECT_EQ(t.SendId(0xCE, 0x101).data, (Bytes{qksim::kFilePublicKey, 76, 0}));
  EXPECT_EQ(key(0x101, 0x102, 2, 3).data.size(), 140u + 340u) << "key files are replaced";
  EXPECT_EQ(t.SendId(0xCE, 0x102).data, (Bytes{qksim::kFilePrivateKey, 0x54, 1}));

  ASSERT_EQ(t.Send(0x24, 3, 0, ChangeRecord(8, kUserPin, "1", 3)).sw, 0x9000);
  ASSERT_EQ(t.Send(0xE3).sw, 0x9000);
  EXPECT_EQ(t.MakeFile(0x0050, 10, 1), 0x6D80) << "every session is logged out";
  EXPECT_EQ(t.VerifyUser(), 0x9000) << "shipped PIN again";
  EXPECT_EQ(t.SendId(0xCE, 0x40).sw, 0x6A82) << "file system back to the shipped one";
  EXPECT_EQ(t.Send(0xCA).data[26], 0x5A) << "the serial number survives";
}

TEST(SimTrace, SecretsAreBlanked) {
  const auto stars = [](const Bytes& b) { return std::count(b.begin(), b.end(), '*'); };
  Bytes redacted = qksim::RedactCommand(Cat({{0, 0x20, 0, 0, 8, 0}, Text(kUserPin)}));
  EXPECT_EQ(Bytes(redacted.begin() + 6, redacted.end()), Bytes(8, '*'));
  redacted =
      qksim::RedactCommand(Cat({{0, 0x24, 3, 0, 19, 0}, ChangeRecord(8, kUserPin, "12345678", 5)}));
  EXPECT_TRUE(redacted[6] == 8 && redacted[15] == 8 && redacted[24] == 5) << "lengths and limit";
  EXPECT_EQ(stars(redacted), 16);
  const Bytes keyCommand = {0, 0x46, 0, 0, 10, 0, 1, 1, 2, 1, 1, 4, 0, 0, 0, 0};
  redacted = qksim::RedactAnswer(keyCommand, Bytes(76 + 180 + 2, 0x11));
  EXPECT_EQ(stars(redacted), 180) << "the private half";
  EXPECT_TRUE(redacted[75] == 0x11 && redacted[257] == 0x11);
}

}  // namespace
}  // namespace qksimtest
