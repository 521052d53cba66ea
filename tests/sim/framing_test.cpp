// Reassembly of host reports and fragmentation of answers.
#include <gtest/gtest.h>

#include "sim/framing.h"

namespace {

using qksim::Reassembler;
using qksim::ReportBody;
using Bytes = std::vector<uint8_t>;
using Outcome = Reassembler::Outcome;

ReportBody Chunk(size_t total, size_t offset, size_t length) {
  ReportBody body{};
  body = {static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total),
          static_cast<uint8_t>(offset >> 8), static_cast<uint8_t>(offset), 0,
          static_cast<uint8_t>(length)};
  for (size_t i = 0; i < length && i < 58; ++i) body[6 + i] = static_cast<uint8_t>(offset + i);
  return body;
}

TEST(SimFraming, WellFormedCommandsOfEverySizeClass) {
  for (size_t total : {6u, 58u, 59u, 116u, 1030u}) {
    Reassembler r;
    Bytes command;
    for (size_t offset = 0; offset < total; offset += 58) {
      const bool last = offset + 58 >= total;
      EXPECT_EQ(r.Add(Chunk(total, offset, std::min<size_t>(58, total - offset)), &command),
                last ? Outcome::kComplete : Outcome::kIncomplete) << total << " @" << offset;
    }
    ASSERT_EQ(command.size(), total);
    EXPECT_EQ(command[total - 1], static_cast<uint8_t>(total - 1));
  }
}

TEST(SimFraming, HostileReportsAreDroppedWithThePartialCommand) {
  const ReportBody first = Chunk(116, 0, 58);
  const struct {
    const char* name;
    bool afterFirst;
    ReportBody report;
  } cases[] = {
      {"gap in offsets", true, Chunk(116, 59, 57)},
      {"total changes", true, Chunk(117, 58, 58)},
      {"chunk longer than 58", true, Chunk(116, 58, 59)},
      {"zero-length chunk", true, Chunk(116, 58, 0)},
      {"short chunk that is not the last", true, Chunk(200, 58, 20)},
      {"total below 6", false, Chunk(5, 0, 5)},
      {"chunk beyond the total", false, Chunk(30, 0, 31)},
      {"total above 1030", false, Chunk(1031, 0, 58)},
      {"total 0xFFFF", false, Chunk(0xFFFF, 0, 58)},
  };
  for (const auto& c : cases) {
    Reassembler r;
    Bytes command;
    if (c.afterFirst) { ASSERT_EQ(r.Add(first, &command), Outcome::kIncomplete); }
    EXPECT_EQ(r.Add(c.report, &command), Outcome::kDropped) << c.name;
    EXPECT_FALSE(r.Pending()) << c.name;
    EXPECT_EQ(r.Add(Chunk(116, 58, 58), &command), Outcome::kDropped)
        << c.name << ": the rest of a dropped command is not accepted";
  }
  Reassembler r;
  Bytes command;
  r.Add(first, &command);
  EXPECT_EQ(r.Add(first, &command), Outcome::kIncomplete) << "offset 0 starts afresh";
}

TEST(SimFraming, AnswersAreCutInto58ByteChunks) {
  for (size_t total : {2u, 58u, 59u, 1024u}) {
    Bytes answer(total), joined;
    for (size_t i = 0; i < total; ++i) answer[i] = static_cast<uint8_t>(i * 7);
    const auto bodies = qksim::FragmentAnswer(answer);
    ASSERT_EQ(bodies.size(), (total + 57) / 58) << total;
    for (size_t i = 0; i < bodies.size(); ++i) {
      const ReportBody& b = bodies[i];
      const size_t length = b[5];
      EXPECT_EQ((b[0] << 8) | b[1], static_cast<int>(total));
      EXPECT_EQ(static_cast<size_t>((b[2] << 8) | b[3]), i * 58);
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
