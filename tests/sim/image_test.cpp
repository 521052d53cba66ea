// The image file: round trip, and refusal of damaged or hostile images.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "sim/image.h"
#include "sim/token.h"
#include "tests/sim/sim_test_util.h"

namespace qksimtest {
namespace {

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Bytes Flipped(Bytes b, size_t at, uint8_t x) { return b[at] ^= x, b; }

bool Decodes(const Bytes& image) {
  qksim::TokenState state;
  std::string error;
  return qksim::DecodeImage(image, &state, &error);
}

TEST(SimImage, RoundTripKeepsEverythingAndDamageIsRefused) {
  Interpreter t;  // nested directories, a written file, the 0x25 value, a spent try
  ASSERT_EQ(t.VerifyDeveloper(), 0x9000);
  ASSERT_EQ(t.MakeDir(0x0002, 2000), 0x9000);
  ASSERT_EQ(t.Select(0x0002), 0x9000);
  ASSERT_EQ(t.MakeDir(0x0003, 500), 0x9000);
  ASSERT_EQ(t.MakeFile(0x0010, 5, qksim::kFileData), 0x9000);
  ASSERT_EQ(t.Write(0x0010, 1, {9, 8, 7}), 0x9000);
  ASSERT_EQ(t.Send(0x25, 0, 0, {1, 2, 3, 4}).sw, 0x9000);
  ASSERT_EQ(t.VerifyUser("bad"), 0x630E);
  const Bytes good = qksim::EncodeImage(t.state);
  qksim::TokenState loaded;
  std::string error;
  ASSERT_TRUE(qksim::DecodeImage(good, &loaded, &error)) << error;
  EXPECT_EQ(qksim::EncodeImage(loaded), good);
  EXPECT_EQ(loaded.userPin.remaining, 14);
  EXPECT_EQ(loaded.serial, t.state.serial);

  const struct {
    const char* name;
    Bytes image;
  } cases[] = {
      {"empty", {}},
      {"truncated by one byte", Bytes(good.begin(), good.end() - 1)},
      {"truncated to the header", Bytes(good.begin(), good.begin() + 16)},
      {"extended", Cat({good, {0}})},
      {"one bit flipped in the payload", Flipped(good, 40, 0x10)},
      {"wrong magic", Flipped(good, 0, 0x20)},
      {"future version", Flipped(good, 8, 3)},
  };
  for (const auto& c : cases) {
    qksim::TokenState state;
    EXPECT_FALSE(qksim::DecodeImage(c.image, &state, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

// A checksummed image around a hand-made payload, to reach the structural
// checks behind the checksum.
Bytes Sealed(const Bytes& payload) {
  Bytes image = Cat({Text("QKTOKIMG"), {1, 0, 0, 0}, Le16(payload.size()), {0, 0}, payload});
  const uint32_t crc = qksim::Crc32(image.data(), image.size());
  return Cat({image, Le16(crc), Le16(crc >> 16)});
}

Bytes Head() {
  Bytes p(8 + 16 + 2, 0);
  for (const std::string& pin : {kUserPin, kDeveloperPin}) {
    p = Cat({p, {static_cast<uint8_t>(pin.size())}, Text(pin), {15, 15}});
  }
  return p;
}

Bytes Dir(uint16_t id, uint32_t capacity, uint16_t count) {
  return Cat(
      {{0x80}, Le16(id), Le16(capacity), {static_cast<uint8_t>(capacity >> 16), 0}, Le16(count)});
}

Bytes File(uint16_t id, uint8_t type, uint16_t size) {
  return Cat({{type}, Le16(id), Le16(size), Bytes(size, 0xEE)});
}

TEST(SimImage, HostileStructuresAreRefused) {
  Bytes deep = Cat({Head(), {1}});
  for (size_t level = 0; level <= qksim::kMaxDepth + 1; ++level) {
    deep = Cat({deep, Dir(level == 0 ? 0x3F00 : 0x0010, 0xFFFFFF, 1)});
  }
  const struct {
    const char* name;
    Bytes payload;
  } cases[] = {
      {"entry count beyond the bytes", Cat({Head(), {1}, Dir(0x3F00, 0x40000, 60000)})},
      {"nested too deeply", Cat({deep, File(0x20, 1, 1)})},
      {"repeated identifier",
       Cat({Head(), {1}, Dir(0x3F00, 1000, 2), File(1, 1, 1), File(1, 1, 1)})},
      {"contents exceed the space", Cat({Head(), {1}, Dir(0x3F00, 40, 1), File(1, 1, 30)})},
      {"counter above its limit", Cat({Flipped(Head(), 8 + 16 + 2 + 1 + 8 + 1, 15 ^ 16), {0}})},
  };
  for (const auto& c : cases) EXPECT_FALSE(Decodes(Sealed(c.payload))) << c.name;
  EXPECT_TRUE(Decodes(Sealed(Cat({Head(), {0}})))) << "a token without a file system is valid";
}

TEST(SimImage, ACorruptImageFileIsRefusedAndLeftAsItWas) {
  const std::string path = ::testing::TempDir() + "qksim_persist_" +
                           std::to_string(::testing::UnitTest::GetInstance()->random_seed());
  std::remove(path.c_str());
  std::string error;
  ASSERT_NE(qksim::Token::OpenImage(path, &error), nullptr) << error;
  const Bytes image = Flipped(ReadAll(path), 20, 1);  // a new image is written at once
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  EXPECT_EQ(qksim::Token::OpenImage(path, &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(ReadAll(path), image) << "a refused image is left as it was";
  std::remove(path.c_str());
}

}  // namespace
}  // namespace qksimtest
