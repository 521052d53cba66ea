// SHA-256 and HMAC-SHA-256 against published vectors and, where available,
// OpenSSL on every length around the block and padding boundaries.
#include "platform/vlink/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/hex.h"

#ifdef QK_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>
#endif

namespace {

using qktest::Hex;

std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

qk::Sha256Digest Hmac(const std::vector<uint8_t>& key, const std::vector<uint8_t>& data) {
  const qk::ByteRange part{data.data(), data.size()};
  return qk::HmacSha256(key.data(), key.size(), &part, 1);
}

TEST(Sha256, PublishedVectors) {
  const struct {
    std::string message;
    const char* digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> m = Bytes(c.message);
    EXPECT_EQ(Hex(qk::Sha256Of(m.data(), m.size())), c.digest) << c.message.size();
    qk::Sha256 pieces;  // the same bytes fed in uneven pieces
    for (size_t at = 0, step = 1; at < m.size(); at += step, step = step * 3 % 97 + 1) {
      pieces.Update(m.data() + at, std::min(step, m.size() - at));
    }
    EXPECT_EQ(Hex(pieces.Finish()), c.digest) << c.message.size();
  }
}

// Published vectors (a short key and one longer than the block); parts are
// concatenated; digests compare whole, any one byte differing.
TEST(HmacSha256, PublishedVectorsPartsAndComparison) {
  EXPECT_EQ(Hex(Hmac(Bytes("Jefe"), Bytes("what do ya want for nothing?"))),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(Hex(Hmac(std::vector<uint8_t>(131, 0xaa),
                     Bytes("Test Using Larger Than Block-Size Key - Hash Key First"))),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
  const std::vector<uint8_t> key = Bytes("key"), a = Bytes("one"), b = Bytes("two");
  const qk::ByteRange parts[] = {{a.data(), a.size()}, {b.data(), b.size()}};
  const qk::Sha256Digest split = qk::HmacSha256(key.data(), key.size(), parts, 2);
  EXPECT_EQ(split, Hmac(key, Bytes("onetwo")));
  for (size_t i : {size_t{0}, size_t{17}, size_t{31}}) {
    qk::Sha256Digest other = split;
    EXPECT_TRUE(qk::SameDigest(split.data(), other.data(), other.size()));
    other[i] ^= 1;
    EXPECT_FALSE(qk::SameDigest(split.data(), other.data(), other.size())) << i;
  }
}

#ifdef QK_HAVE_OPENSSL
TEST(Sha256, AgreesWithOpenSslOnEveryLengthToThreeBlocks) {
  std::vector<uint8_t> data(200);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  for (size_t length = 0; length <= data.size(); ++length) {
    qk::Sha256Digest expected;
    SHA256(data.data(), length, expected.data());
    EXPECT_EQ(qk::Sha256Of(data.data(), length), expected) << length;
    // Keys of every length, below, at and above the block size.
    const std::vector<uint8_t> key(data.begin(), data.begin() + static_cast<long>(length % 150));
    const std::vector<uint8_t> message(data.begin(), data.begin() + static_cast<long>(length));
    unsigned macLength = 0;
    // (OpenSSL refuses a null key pointer even for an empty key.)
    HMAC(EVP_sha256(), data.data(), static_cast<int>(key.size()), data.data(), length,
         expected.data(), &macLength);
    ASSERT_EQ(macLength, 32u);
    EXPECT_EQ(Hmac(key, message), expected) << length;
  }
}
#endif

}  // namespace
