// The image file: round trip, and refusal of damaged or hostile images.
#include <gtest/gtest.h>

#include <string>

#include "sim/image.h"
#include "sim/random.h"
#include "sim/state.h"
#include "tests/sim/sim_test_util.h"
#include "tests/sim/wrapping_image.h"

namespace qktest {
namespace {

Bytes Flipped(Bytes b, size_t at, uint8_t x) { return b[at] ^= x, b; }

// Catches state lost on a save and damaged images taken for good ones.
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
      {"extended", Cat({good, {0}})},
      {"one bit flipped in the payload", Flipped(good, 40, 0x10)},
      {"future version", Flipped(good, 8, 3)},
  };
  for (const auto& c : cases) {
    qksim::TokenState state;
    EXPECT_FALSE(qksim::DecodeImage(c.image, &state, &error)) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
}

// Sizes summed in 32 bits would wrap to an empty token and let the image in.
TEST(SimImage, DirectorySizesThatWrapIn32BitsAreRefused) {
  const qksim::TokenState wrapping = qktest::WrappingState();
  ASSERT_EQ(uint64_t{256} * (qksim::kEntryOverhead + 0xFFFFF0), uint64_t{1} << 32);
  qksim::TokenState loaded;
  std::string error;
  EXPECT_FALSE(qksim::DecodeImage(qksim::EncodeImage(wrapping), &loaded, &error));
  EXPECT_NE(error.find("exceed"), std::string::npos) << error;
  EXPECT_EQ(qksim::FileSystem::Used(wrapping.fileSystem.Root()), uint64_t{1} << 32);
  EXPECT_EQ(qksim::FileSystem::Free(wrapping.fileSystem.Root()), 0u);
}

}  // namespace
}  // namespace qktest
