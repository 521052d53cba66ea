// Reassembly of host reports and fragmentation of answers.
#include <gtest/gtest.h>

#include "sim/framing.h"

namespace {

using qksim::Reassembler;
using qksim::ReportBody;
using Bytes = std::vector<uint8_t>;

ReportBody Chunk(size_t total, size_t offset, size_t length, uint8_t fill) {
  ReportBody body{};
  body[0] = static_cast<uint8_t>(total >> 8);
  body[1] = static_cast<uint8_t>(total);
  body[2] = static_cast<uint8_t>(offset >> 8);
  body[3] = static_cast<uint8_t>(offset);
  body[5] = static_cast<uint8_t>(length);
  for (size_t i = 0; i < length && i < 58; ++i) body[6 + i] = static_cast<uint8_t>(fill + i);
  return body;
}

// Feeds the chunks of a well-formed command of `total` bytes.
std::vector<ReportBody> Command(size_t total) {
  std::vector<ReportBody> chunks;
  for (size_t offset = 0; offset < total; offset += 58) {
    chunks.push_back(Chunk(total, offset, std::min<size_t>(58, total - offset), static_cast<uint8_t>(offset)));
  }
  return chunks;
}

TEST(SimFraming, WellFormedCommandsOfEverySizeClass) {
  for (size_t total : {6u, 58u, 59u, 116u, 1030u}) {
    Reassembler r;
    Bytes command;
    auto chunks = Command(total);
    for (size_t i = 0; i < chunks.size(); ++i) {
      auto outcome = r.Add(chunks[i], &command);
      EXPECT_EQ(outcome, i + 1 == chunks.size() ? Reassembler::Outcome::kComplete
                                                : Reassembler::Outcome::kIncomplete)
          << total << " chunk " << i;
    }
    ASSERT_EQ(command.size(), total);
    EXPECT_EQ(command[total - 1], static_cast<uint8_t>(((total - 1) / 58) * 58 + (total - 1) % 58));
  }
}

TEST(SimFraming, HostileReportsAreDroppedWithThePartialCommand) {
  struct Case {
    const char* name;
    ReportBody second;
  };
  const Case cases[] = {
      {"gap in offsets", Chunk(116, 59, 57, 0)},
      {"repeated chunk", Chunk(116, 0, 58, 0)},
      {"total changes", Chunk(117, 58, 58, 0)},
      {"chunk longer than 58", Chunk(116, 58, 59, 0)},
      {"zero-length chunk", Chunk(116, 58, 0, 0)},
      {"short chunk that is not the last", Chunk(200, 58, 20, 0)},
  };
  for (const Case& c : cases) {
    Reassembler r;
    Bytes command;
    ASSERT_EQ(r.Add(Chunk(116, 0, 58, 0), &command), Reassembler::Outcome::kIncomplete);
    auto outcome = r.Add(c.second, &command);
    if (std::string(c.name) == "repeated chunk") {
      EXPECT_EQ(outcome, Reassembler::Outcome::kIncomplete) << "offset 0 starts afresh";
      continue;
    }
    EXPECT_EQ(outcome, Reassembler::Outcome::kDropped) << c.name;
    EXPECT_FALSE(r.Pending()) << c.name;
    EXPECT_EQ(r.Add(Chunk(116, 58, 58, 0), &command), Reassembler::Outcome::kDropped)
        << c.name << ": the rest of a dropped command is not accepted";
  }
}

TEST(SimFraming, HeaderLimits) {
  const ReportBody bad[] = {Chunk(5, 0, 5, 0), Chunk(30, 0, 31, 0), Chunk(1031, 0, 58, 0), Chunk(0, 0, 0, 0),
                            Chunk(0xFFFF, 0, 58, 0)};
  for (const ReportBody& body : bad) {
    Reassembler r;
    Bytes command;
    EXPECT_EQ(r.Add(body, &command), Reassembler::Outcome::kDropped);
  }
}

TEST(SimFraming, AnswersAreCutInto58ByteChunks) {
  for (size_t total : {2u, 58u, 59u, 66u, 1024u}) {
    Bytes answer(total);
    for (size_t i = 0; i < total; ++i) answer[i] = static_cast<uint8_t>(i * 7);
    auto bodies = qksim::FragmentAnswer(answer);
    ASSERT_EQ(bodies.size(), (total + 57) / 58) << total;
    Bytes joined;
    for (size_t i = 0; i < bodies.size(); ++i) {
      const ReportBody& b = bodies[i];
      EXPECT_EQ((b[0] << 8) | b[1], static_cast<int>(total));
      EXPECT_EQ(static_cast<size_t>((b[2] << 8) | b[3]), i * 58);
      EXPECT_EQ(b[4], 0);
      size_t length = b[5];
      EXPECT_EQ(length, std::min<size_t>(58, total - i * 58));
      for (size_t j = 6 + length; j < 64; ++j) EXPECT_EQ(b[j], 0) << "payload tail must be clean";
      joined.insert(joined.end(), b.begin() + 6, b.begin() + 6 + static_cast<long>(length));
    }
    EXPECT_EQ(joined, answer);
  }
}

TEST(SimFraming, SessionKeyReportIsRecognisedExactly) {
  uint8_t report[65] = {0, 0x00, 0x06, 0x00, 0x00, 0x00, 0x06, 0x00, 0x47, 0x47, 0x4B, 0x00, 0x00};
  EXPECT_TRUE(qksim::IsPlainSessionKeyReport(report));
  report[10] = 0x4C;
  EXPECT_FALSE(qksim::IsPlainSessionKeyReport(report));
}

}  // namespace
