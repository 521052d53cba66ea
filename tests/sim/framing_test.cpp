// Reassembly of host reports, hostile ones included.
#include <gtest/gtest.h>

#include "sim/framing.h"

namespace {

using qksim::Reassembler;
using qksim::ReportBody;
using Bytes = std::vector<uint8_t>;
using Outcome = Reassembler::Outcome;

ReportBody Chunk(size_t total, size_t offset, size_t length) {
  ReportBody body{};
  const size_t head[] = {total >> 8, total, offset >> 8, offset, 0, length};
  for (size_t i = 0; i < 6; ++i) body[i] = static_cast<uint8_t>(head[i]);
  for (size_t i = 0; i < length && i < 58; ++i) body[6 + i] = static_cast<uint8_t>(offset + i);
  return body;
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
    if (c.afterFirst) r.Add(first, &command);
    EXPECT_EQ(r.Add(c.report, &command), Outcome::kDropped) << c.name;
    EXPECT_FALSE(r.Pending()) << c.name;
    EXPECT_EQ(r.Add(Chunk(116, 58, 58), &command), Outcome::kDropped)
        << c.name << ": the rest of a dropped command is not accepted";
  }
  Reassembler r;
  Bytes command;
  r.Add(first, &command);
  EXPECT_EQ(r.Add(first, &command), Outcome::kIncomplete) << "offset 0 starts afresh";
  ASSERT_EQ(r.Add(Chunk(116, 58, 58), &command), Outcome::kComplete);
  ASSERT_EQ(command.size(), 116u);
  EXPECT_EQ(command[115], 115);
}

}  // namespace
