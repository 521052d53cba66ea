// The image file: round trip, refusal of damaged or hostile images, and a
// token that keeps its state across restarts.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "sim/image.h"
#include "sim/token.h"
#include "tests/sim/sim_test_util.h"

namespace qksimtest {
namespace {

std::string TempPath(const char* name) {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/qksim_" + name + "_" +
         std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".img";
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A state with something of everything: nested directories, files of each
// kind, changed PINs and counters, the 0x25 value.
qksim::TokenState RichState(Interpreter* t) {
  EXPECT_EQ(t->VerifyDeveloper(), 0x9000);
  EXPECT_EQ(t->MakeDir(0x0002, 2000), 0x9000);
  EXPECT_EQ(t->Select(0x0002), 0x9000);
  EXPECT_EQ(t->MakeDir(0x0003, 500), 0x9000);
  EXPECT_EQ(t->MakeFile(0x0010, 5, qksim::kFileData), 0x9000);
  EXPECT_EQ(t->Write(0x0010, 1, {9, 8, 7}), 0x9000);
  EXPECT_EQ(t->Send(0x25, 0, 0, {1, 2, 3, 4}).sw, 0x9000);
  EXPECT_EQ(t->VerifyUser("bad"), 0x630E);
  return t->state;
}

TEST(SimImage, RoundTripKeepsEverything) {
  Interpreter t;
  qksim::TokenState state = RichState(&t);
  Bytes image = qksim::EncodeImage(state);
  qksim::TokenState loaded;
  std::string error;
  ASSERT_TRUE(qksim::DecodeImage(image, &loaded, &error)) << error;
  EXPECT_EQ(qksim::EncodeImage(loaded), image);
  EXPECT_EQ(loaded.userPin.remaining, 14);
  EXPECT_EQ(loaded.value[3], 4);
  EXPECT_EQ(loaded.serial, state.serial);
}

TEST(SimImage, DamagedImagesAreRefused) {
  Interpreter t;
  const Bytes good = qksim::EncodeImage(RichState(&t));
  struct Case {
    const char* name;
    Bytes image;
  };
  std::vector<Case> cases = {
      {"empty", {}},
      {"truncated by one byte", Bytes(good.begin(), good.end() - 1)},
      {"truncated to the header", Bytes(good.begin(), good.begin() + 16)},
      {"extended", [&] { Bytes b = good; b.push_back(0); return b; }()},
      {"one bit flipped in the payload", [&] { Bytes b = good; b[40] ^= 0x10; return b; }()},
      {"wrong magic", [&] { Bytes b = good; b[0] = 'X'; return b; }()},
      {"future version", [&] { Bytes b = good; b[8] = 2; return b; }()},
  };
  for (const Case& c : cases) {
    qksim::TokenState state;
    std::string error;
    EXPECT_FALSE(qksim::DecodeImage(c.image, &state, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

// Builds a checksummed image around a hand-made payload, to reach the
// structural checks behind the checksum.
Bytes Sealed(const Bytes& payload) {
  Bytes image = {'Q', 'K', 'T', 'O', 'K', 'I', 'M', 'G', 1, 0, 0, 0};
  const uint32_t n = static_cast<uint32_t>(payload.size());
  for (int i = 0; i < 4; ++i) image.push_back(static_cast<uint8_t>(n >> (8 * i)));
  image.insert(image.end(), payload.begin(), payload.end());
  const uint32_t crc = qksim::Crc32(image.data(), image.size());
  for (int i = 0; i < 4; ++i) image.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  return image;
}

Bytes Head() {
  Bytes p(8 + 16 + 2, 0);
  for (const std::string& pin : {kUserPin, kDeveloperPin}) {
    p.push_back(static_cast<uint8_t>(pin.size()));
    p.insert(p.end(), pin.begin(), pin.end());
    p.push_back(15);
    p.push_back(15);
  }
  return p;
}

Bytes Directory(uint16_t id, uint32_t capacity, uint16_t count) {
  return {0x80, static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8),
          static_cast<uint8_t>(capacity), static_cast<uint8_t>(capacity >> 8),
          static_cast<uint8_t>(capacity >> 16), 0, static_cast<uint8_t>(count),
          static_cast<uint8_t>(count >> 8)};
}

Bytes File(uint16_t id, uint8_t type, uint16_t size) {
  Bytes f(5 + size, 0xEE);
  f[0] = type;
  f[1] = static_cast<uint8_t>(id);
  f[2] = static_cast<uint8_t>(id >> 8);
  f[3] = static_cast<uint8_t>(size);
  f[4] = static_cast<uint8_t>(size >> 8);
  return f;
}

TEST(SimImage, HostileStructuresAreRefused) {
  Bytes deep = Cat({Head(), {1}});
  for (size_t level = 0; level <= qksim::kMaxDepth + 1; ++level) {
    deep = Cat({deep, Directory(level == 0 ? 0x3F00 : 0x0010, 0xFFFFFF, 1)});
  }
  deep = Cat({deep, File(0x20, 1, 1)});
  struct Case {
    const char* name;
    Bytes payload;
  };
  const Case cases[] = {
      {"entry count beyond the bytes", Cat({Head(), {1}, Directory(0x3F00, 0x40000, 60000)})},
      {"nested too deeply", deep},
      {"repeated identifier", Cat({Head(), {1}, Directory(0x3F00, 1000, 2), File(1, 1, 1), File(1, 1, 1)})},
      {"reserved identifier", Cat({Head(), {1}, Directory(0x3F00, 1000, 1), File(0, 1, 1)})},
      {"contents exceed the space", Cat({Head(), {1}, Directory(0x3F00, 40, 1), File(1, 1, 30)})},
      {"unknown file type", Cat({Head(), {1}, Directory(0x3F00, 1000, 1), File(1, 9, 1)})},
      {"empty file", Cat({Head(), {1}, Directory(0x3F00, 1000, 1), File(1, 1, 0)})},
      {"root is a file", Cat({Head(), {1}, File(0x3F00, 1, 1)})},
      {"root with another id", Cat({Head(), {1}, Directory(0x1234, 1000, 0)})},
      {"file system flag 2", Cat({Head(), {2}})},
      {"counter above its limit", [] { Bytes h = Head(); h[8 + 16 + 2 + 1 + 8 + 1] = 16; return Cat({h, {0}}); }()},
  };
  for (const Case& c : cases) {
    qksim::TokenState state;
    std::string error;
    EXPECT_FALSE(qksim::DecodeImage(Sealed(c.payload), &state, &error)) << c.name;
  }
  qksim::TokenState state;
  std::string error;
  EXPECT_TRUE(qksim::DecodeImage(Sealed(Cat({Head(), {0}})), &state, &error))
      << "a token without a file system is valid: " << error;
}

// Drives a Token through the interpreter's image: the token core stores each change.
TEST(SimImage, TokenStateSurvivesARestartAndCorruptionIsNeverOverwritten) {
  const std::string path = TempPath("persist");
  std::remove(path.c_str());
  std::string error;
  std::string serial;
  {
    auto token = qksim::Token::OpenImage(path, &error);
    ASSERT_NE(token, nullptr) << error;
    serial = token->Serial();
  }
  const Bytes created = ReadAll(path);
  ASSERT_FALSE(created.empty()) << "a new image is written at once";
  {
    auto again = qksim::Token::OpenImage(path, &error);
    ASSERT_NE(again, nullptr) << error;
    EXPECT_EQ(again->Serial(), serial);
  }
  Bytes corrupt = created;
  corrupt[corrupt.size() / 2] ^= 1;
  WriteAll(path, corrupt);
  error.clear();
  EXPECT_EQ(qksim::Token::OpenImage(path, &error), nullptr);
  EXPECT_NE(error.find("corrupt"), std::string::npos) << error;
  EXPECT_EQ(ReadAll(path), corrupt) << "a refused image is left as it was";
  std::remove(path.c_str());
}

}  // namespace
}  // namespace qksimtest
