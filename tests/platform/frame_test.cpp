#include "platform/virtual/frame.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/virtual/directory.h"

namespace qk::platform::vlink {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(FrameReader, SplitsStreamsHoweverTheyArrive) {
  Bytes stream;
  AppendFrame(kFrameReport, Bytes(kReportSize, 1).data(), kReportSize, &stream);
  AppendFrame(kFrameReport, Bytes(kReportSize, 2).data(), kReportSize, &stream);
  stream.insert(stream.end(), {'I', 0, 7, 1, 0x7A, 0x5C, 0x0B, 0x21, 0, 65});
  for (size_t piece : {size_t{1}, size_t{67}, size_t{500}}) {
    FrameReader reader;
    std::vector<Frame> frames;
    for (size_t pos = 0; pos < stream.size(); pos += piece) {
      reader.Feed(stream.data() + pos, std::min(piece, stream.size() - pos));
      Frame f;
      FrameReader::Result r;
      while ((r = reader.Next(&f)) == FrameReader::Result::kFrame) frames.push_back(f);
      ASSERT_EQ(r, FrameReader::Result::kNeedMore) << piece;
      EXPECT_TRUE(piece != 67 || pos + piece >= stream.size() || reader.HasPartialFrame());
    }
    EXPECT_FALSE(reader.HasPartialFrame());
    ASSERT_EQ(frames.size(), 3u) << piece;
    EXPECT_EQ(frames[0].payload, Bytes(kReportSize, 1));
    EXPECT_EQ(frames[1].payload, Bytes(kReportSize, 2));
    EXPECT_EQ(frames[2].type, kFrameIdentity);
    EXPECT_EQ(frames[2].payload.size(), 7u);
  }
}

TEST(FrameReader, RejectsHostileHeadersBeforeTheirPayloadAndForGood) {
  const struct { const char* name; Bytes bytes; } cases[] = {
      {"length above 1024", {'R', 0x04, 0x01}},
      {"unknown type", {'X', 0, 4}},
      {"report of 64 bytes", {'R', 0, 64}},
      {"report of 66 bytes", {'R', 0, 66}},
  };
  for (const auto& c : cases) {
    FrameReader reader;
    reader.Feed(c.bytes.data(), c.bytes.size());
    Frame f;
    EXPECT_EQ(reader.Next(&f), FrameReader::Result::kError) << c.name;
    Bytes good;
    AppendFrame(kFrameReport, Bytes(kReportSize, 0).data(), kReportSize, &good);
    reader.Feed(good.data(), good.size());
    EXPECT_EQ(reader.Next(&f), FrameReader::Result::kError) << c.name;
    EXPECT_TRUE(reader.Failed());
  }
}

TEST(TcpFile, ParsesPortAndSecretStrictly) {
  const std::string secret(64, 'a');
  TcpEndpoint endpoint;
  const std::string good = "\r\nsecret " + secret + "\r\nport 40123\r\n";
  ASSERT_TRUE(ParseTcpFile(good.data(), good.size(), &endpoint));
  EXPECT_EQ(endpoint.port, 40123);
  EXPECT_TRUE(endpoint.secret[0] == 0xAA && endpoint.secret[31] == 0xAA);
  const std::string bad[] = {
      "port 40123\n", "secret " + secret, "port 65536\nsecret " + secret,
      "port 1\nsecret " + secret.substr(2), "port 1\nsecret " + std::string(63, 'a') + "g",
      "port 1\nport 2\nsecret " + secret,
  };
  for (const std::string& text : bad) {
    EXPECT_FALSE(ParseTcpFile(text.data(), text.size(), &endpoint)) << text;
  }
}

}  // namespace
}  // namespace qk::platform::vlink
