#include "platform/virtual/frame.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "platform/virtual/directory.h"

namespace qk::platform::vlink {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Header(char type, size_t length) {
  return {static_cast<uint8_t>(type), static_cast<uint8_t>(length >> 8),
          static_cast<uint8_t>(length & 0xFF)};
}

Bytes ReportFrame(uint8_t fill) {
  Bytes frame;
  const Bytes report(kReportSize, fill);
  AppendFrame(kFrameReport, report.data(), report.size(), &frame);
  return frame;
}

TEST(Frame, EncodesTypeAndBigEndianLength) {
  Bytes out;
  const Bytes payload(300, 7);
  AppendFrame(kFrameOpen, payload.data(), payload.size(), &out);
  ASSERT_EQ(out.size(), 303u);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 3), (Bytes{'O', 0x01, 0x2C}));
}

TEST(FrameReader, SplitsStreamsHoweverTheyArrive) {
  Bytes stream = ReportFrame(1);
  const Bytes second = ReportFrame(2);
  stream.insert(stream.end(), second.begin(), second.end());
  const Bytes identity = {'I', 0, 7, 1, 0x7A, 0x5C, 0x0B, 0x21, 0, 65};
  stream.insert(stream.end(), identity.begin(), identity.end());
  for (size_t piece : {size_t{1}, size_t{2}, size_t{67}, size_t{500}}) {
    FrameReader reader;
    std::vector<Frame> frames;
    for (size_t pos = 0; pos < stream.size(); pos += piece) {
      reader.Feed(stream.data() + pos, std::min(piece, stream.size() - pos));
      Frame f;
      FrameReader::Result r;
      while ((r = reader.Next(&f)) == FrameReader::Result::kFrame) frames.push_back(f);
      ASSERT_EQ(r, FrameReader::Result::kNeedMore) << piece;
    }
    ASSERT_EQ(frames.size(), 3u) << piece;
    EXPECT_EQ(frames[0].payload, Bytes(kReportSize, 1));
    EXPECT_EQ(frames[1].payload, Bytes(kReportSize, 2));
    EXPECT_EQ(frames[2].type, kFrameIdentity);
    EXPECT_EQ(frames[2].payload.size(), 7u);
    EXPECT_FALSE(reader.HasPartialFrame());
  }
}

TEST(FrameReader, RejectsHostileHeadersBeforeTheirPayload) {
  const struct {
    const char* name;
    Bytes bytes;
  } cases[] = {
      {"length above 1024", Header('R', 1025)},
      {"largest length", Header('I', 0xFFFF)},
      {"unknown type", Header('X', 4)},
      {"zero type", Header(0, 0)},
      {"report of 64 bytes", Header('R', 64)},
      {"report of 66 bytes", Header('R', 66)},
  };
  for (const auto& c : cases) {
    FrameReader reader;
    reader.Feed(c.bytes.data(), c.bytes.size());
    Frame f;
    EXPECT_EQ(reader.Next(&f), FrameReader::Result::kError) << c.name;
    // The stream cannot be trusted again: valid frames after it are refused.
    const Bytes good = ReportFrame(0);
    reader.Feed(good.data(), good.size());
    EXPECT_EQ(reader.Next(&f), FrameReader::Result::kError) << c.name;
    EXPECT_TRUE(reader.Failed());
  }
}

TEST(FrameReader, TruncatedFrameWaitsAndIsReportedPartial) {
  const Bytes frame = ReportFrame(3);
  FrameReader reader;
  reader.Feed(frame.data(), 10);
  Frame f;
  EXPECT_EQ(reader.Next(&f), FrameReader::Result::kNeedMore);
  EXPECT_TRUE(reader.HasPartialFrame());
  reader.Feed(frame.data() + 10, frame.size() - 10);
  EXPECT_EQ(reader.Next(&f), FrameReader::Result::kFrame);
  EXPECT_FALSE(reader.HasPartialFrame());
}

TEST(TcpFile, ParsesPortAndSecret) {
  const std::string secret(64, 'a');
  const std::string good = "port 40123\nsecret " + secret + "\n";
  TcpEndpoint endpoint;
  ASSERT_TRUE(ParseTcpFile(good.data(), good.size(), &endpoint));
  EXPECT_EQ(endpoint.port, 40123);
  EXPECT_EQ(endpoint.secret[0], 0xAA);
  EXPECT_EQ(endpoint.secret[31], 0xAA);

  const struct {
    const char* name;
    std::string text;
    bool ok;
  } cases[] = {
      {"any order, CRLF, blank lines", "\r\nsecret " + secret + "\r\nport 1\r\n", true},
      {"missing secret", "port 40123\n", false},
      {"missing port", "secret " + secret + "\n", false},
      {"port 0", "port 0\nsecret " + secret, false},
      {"port too large", "port 65536\nsecret " + secret, false},
      {"port not a number", "port 12a\nsecret " + secret, false},
      {"secret too short", "port 1\nsecret " + secret.substr(2), false},
      {"secret not hex", "port 1\nsecret " + std::string(63, 'a') + "g", false},
      {"repeated key", "port 1\nport 2\nsecret " + secret, false},
      {"unknown key", "port 1\nsecret " + secret + "\nhost x", false},
      {"key without value", "port\nsecret " + secret, false},
  };
  for (const auto& c : cases) {
    TcpEndpoint e;
    EXPECT_EQ(ParseTcpFile(c.text.data(), c.text.size(), &e), c.ok) << c.name;
  }
}

}  // namespace
}  // namespace qk::platform::vlink
