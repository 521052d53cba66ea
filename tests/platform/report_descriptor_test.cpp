#include "platform/linux/report_descriptor.h"

#include <gtest/gtest.h>

#include <vector>

namespace qk::platform::hidraw {
namespace {

using Bytes = std::vector<uint8_t>;

// Short items: report size, count (two bytes), id, feature, input, push, pop.
Bytes Size(uint8_t bits) { return {0x75, bits}; }
Bytes Count(uint16_t n) { return {0x96, uint8_t(n & 0xFF), uint8_t(n >> 8)}; }
Bytes Id(uint8_t id) { return {0x85, id}; }
const Bytes kFeature = {0xB1, 0x02}, kInput = {0x81, 0x02}, kPush = {0xA4}, kPop = {0xB4};

// Wraps the items in a vendor usage page and collection, as real descriptors do.
Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  out.push_back(0xC0);
  return out;
}

TEST(ReportDescriptor, FeatureLengthAsWindowsCountsIt) {
  const struct { const char* name; Bytes descriptor; uint16_t length; bool ids; } cases[] = {
      {"token: 64 bytes each way, no ids",
       Join({Size(8), Count(64), kInput, Count(64), kFeature}), 65, false},
      {"largest numbered report, id byte once",
       Join({Id(1), Size(8), Count(8), kFeature, Id(2), Count(64), kFeature}), 65, true},
      {"bits round up to whole bytes",
       Join({Size(1), Count(3), kFeature, Size(1), Count(2), kFeature}), 2, false},
      {"input only counts nothing", Join({Id(3), Size(8), Count(200), kInput}), 0, true},
      {"pop restores the pushed size", Join({Size(8), kPush, Size(16), kPop, Count(64), kFeature}),
       65, false},
      {"long item skipped", Join({Bytes{0xFE, 2, 0x10, 0xAA, 0xBB}, Size(8), Count(300), kFeature}),
       301, false},
  };
  for (const auto& c : cases) {
    ReportLayout layout{};
    ASSERT_TRUE(ParseReportDescriptor(c.descriptor.data(), c.descriptor.size(), &layout)) << c.name;
    EXPECT_TRUE(layout.featureReportLength == c.length && layout.usesReportIds == c.ids) << c.name;
  }
}

TEST(ReportDescriptor, RejectsMalformedOrOversizedDescriptors) {
  const Bytes kHugeSize = {0x77, 0xFF, 0xFF, 0, 0}, kHugeCount = {0x97, 0xFF, 0xFF, 0, 0};
  const struct { const char* name; Bytes descriptor; } cases[] = {
      {"truncated item data", Bytes{0x75, 0x08, 0x96, 0x40}},
      {"truncated long item", Bytes{0xFE, 5, 0x10, 1, 2}},
      {"pop without push", Join({kPop})},
      {"report id 0", Join({Id(0)})},
      {"report above a 16-bit length", Join({kHugeSize, kHugeCount, kFeature})},
      // 2^32 bits would wrap a 32-bit product to a small, plausible length.
      {"count times size wraps", Join({Bytes{0x77, 1, 0, 1, 0}, Bytes{0x97, 0, 0, 1, 0}, kFeature})},
      {"push stack overflow", Bytes(17, kPush[0])},
  };
  for (const auto& c : cases) {
    ReportLayout layout{};
    EXPECT_FALSE(ParseReportDescriptor(c.descriptor.data(), c.descriptor.size(), &layout)) << c.name;
  }
}

}  // namespace
}  // namespace qk::platform::hidraw
