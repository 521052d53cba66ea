#include "platform/linux/report_descriptor.h"

#include <gtest/gtest.h>

#include <vector>

namespace qk::platform::hidraw {
namespace {

using Bytes = std::vector<uint8_t>;

// Short-item builders: prefix with tag, type and a one- or two-byte value.
Bytes ReportSize(uint8_t bits) { return {0x75, bits}; }
Bytes ReportCount(uint16_t n) {
  if (n < 256) return {0x95, static_cast<uint8_t>(n)};
  return {0x96, static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)};
}
Bytes ReportId(uint8_t id) { return {0x85, id}; }
Bytes Feature() { return {0xB1, 0x02}; }
Bytes Input() { return {0x81, 0x02}; }
Bytes Output() { return {0x91, 0x02}; }
Bytes Push() { return {0xA4}; }
Bytes Pop() { return {0xB4}; }

Bytes Join(std::initializer_list<Bytes> parts) {
  // A vendor usage page and application collection around the items, as real
  // descriptors have; the parser must step over them.
  Bytes out = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  out.push_back(0xC0);
  return out;
}

struct LayoutCase {
  const char* name;
  Bytes descriptor;
  uint16_t featureLength;
  bool usesReportIds;
};

TEST(ReportDescriptor, CountsFeatureLengthAsWindowsDoes) {
  const LayoutCase cases[] = {
      {"token: 64 data bytes, no ids",
       Join({ReportSize(8), ReportCount(64), Input(), ReportCount(64), Output(), ReportCount(64),
             Feature()}),
       65, false},
      {"72 data bytes", Join({ReportSize(8), ReportCount(72), Feature()}), 73, false},
      {"64-byte feature is 64+1 but 63 gives 64",
       Join({ReportSize(8), ReportCount(63), Feature()}), 64, false},
      {"largest of two numbered reports, id byte once",
       Join({ReportId(1), ReportSize(8), ReportCount(8), Feature(), ReportId(2), ReportCount(64),
             Feature()}),
       65, true},
      {"items of one report add up",
       Join({ReportSize(8), ReportCount(32), Feature(), ReportCount(32), Feature()}), 65, false},
      {"bits round up to whole bytes",
       Join({ReportSize(1), ReportCount(3), Feature(), ReportSize(1), ReportCount(2), Feature()}),
       2, false},
      {"input and output do not count",
       Join({ReportSize(8), ReportCount(200), Input(), Output()}), 0, false},
      {"numbered input only still uses ids",
       Join({ReportId(3), ReportSize(8), ReportCount(4), Input()}), 0, true},
      {"pop restores the pushed size",
       Join({ReportSize(8), Push(), ReportSize(16), Pop(), ReportCount(64), Feature()}), 65,
       false},
      {"two-byte count", Join({ReportSize(8), ReportCount(300), Feature()}), 301, false},
      {"long item skipped", Join({Bytes{0xFE, 2, 0x10, 0xAA, 0xBB}, ReportSize(8),
                                  ReportCount(64), Feature()}),
       65, false},
  };
  for (const LayoutCase& c : cases) {
    ReportLayout layout{};
    ASSERT_TRUE(ParseReportDescriptor(c.descriptor.data(), c.descriptor.size(), &layout))
        << c.name;
    EXPECT_EQ(layout.featureReportLength, c.featureLength) << c.name;
    EXPECT_EQ(layout.usesReportIds, c.usesReportIds) << c.name;
  }
}

TEST(ReportDescriptor, RejectsMalformedDescriptors) {
  const struct {
    const char* name;
    Bytes descriptor;
  } cases[] = {
      {"truncated item data", Bytes{0x75, 0x08, 0x96, 0x40}},
      {"truncated long item", Bytes{0xFE, 5, 0x10, 1, 2}},
      {"long item header cut", Bytes{0xFE, 5}},
      {"pop without push", Join({Pop()})},
      {"report id 0", Join({ReportId(0)})},
      {"report larger than 16-bit length",
       Join({Bytes{0x77, 0xFF, 0xFF, 0x00, 0x00}, Bytes{0x97, 0xFF, 0xFF, 0x00, 0x00}, Feature()})},
      {"push stack overflow", Join({Push(), Push(), Push(), Push(), Push(), Push(), Push(), Push(),
                                    Push(), Push(), Push(), Push(), Push(), Push(), Push(), Push(),
                                    Push()})},
  };
  for (const auto& c : cases) {
    ReportLayout layout{};
    EXPECT_FALSE(ParseReportDescriptor(c.descriptor.data(), c.descriptor.size(), &layout))
        << c.name;
  }
}

TEST(ReportDescriptor, HugeCountTimesSizeDoesNotWrap) {
  // 2^32-1 bits would wrap a 32-bit product to a small, plausible length.
  const Bytes d = Join({Bytes{0x77, 0x01, 0x00, 0x01, 0x00}, Bytes{0x97, 0x00, 0x00, 0x01, 0x00},
                        Feature()});
  ReportLayout layout{};
  EXPECT_FALSE(ParseReportDescriptor(d.data(), d.size(), &layout));
}

}  // namespace
}  // namespace qk::platform::hidraw
