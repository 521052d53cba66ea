// What the hidraw backend needs to know of a HID report descriptor: the
// feature-report length as Windows reports it, and whether reports carry a
// report-identifier byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qk::platform::hidraw {

struct ReportLayout {
  // The largest feature report's data bytes plus one report-identifier byte
  // (0 when the device has no feature report), as HidP_GetCaps counts it.
  uint16_t featureReportLength;
  // True when the descriptor declares report identifiers: reads and writes
  // then carry the identifier as their first byte.
  bool usesReportIds;
};

// Parses `size` bytes of a report descriptor. False when the descriptor is
// malformed (a truncated item, an unbalanced Pop, a report identifier of 0,
// too deep a Push stack, a report too large to count).
bool ParseReportDescriptor(const uint8_t* descriptor, size_t size, ReportLayout* layout);

}  // namespace qk::platform::hidraw
