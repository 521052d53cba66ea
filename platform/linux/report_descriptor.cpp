#include "platform/linux/report_descriptor.h"

#include <array>

namespace qk::platform::hidraw {
namespace {

// Item prefix fields: size code in bits 0-1, type in bits 2-3, tag in bits 4-7.
constexpr uint8_t kTypeMain = 0;
constexpr uint8_t kTypeGlobal = 1;
constexpr uint8_t kLongItemPrefix = 0xFE;

constexpr uint8_t kMainFeature = 0xB;
constexpr uint8_t kGlobalReportSize = 0x7;
constexpr uint8_t kGlobalReportId = 0x8;
constexpr uint8_t kGlobalReportCount = 0x9;
constexpr uint8_t kGlobalPush = 0xA;
constexpr uint8_t kGlobalPop = 0xB;

// Report identifiers are one byte on the wire; 0 means "no identifier".
constexpr size_t kReportIdCount = 256;
constexpr size_t kMaxPushDepth = 16;
// The length must fit 16 bits after the identifier byte is added.
constexpr uint64_t kMaxFeatureBits = uint64_t{0xFFFE} * 8;

// The part of the global state that decides report sizes.
struct GlobalState {
  uint32_t reportSize = 0;
  uint32_t reportCount = 0;
  uint32_t reportId = 0;
};

uint32_t ItemValue(const uint8_t* data, size_t size) {
  uint32_t value = 0;
  for (size_t i = 0; i < size; ++i) value |= uint32_t{data[i]} << (8 * i);
  return value;
}

size_t DataSize(uint8_t prefix) {
  static constexpr size_t kSizes[4] = {0, 1, 2, 4};
  return kSizes[prefix & 3];
}

}  // namespace

bool ParseReportDescriptor(const uint8_t* descriptor, size_t size, ReportLayout* layout) {
  std::array<uint64_t, kReportIdCount> featureBits{};
  std::array<GlobalState, kMaxPushDepth> stack{};
  size_t depth = 0;
  GlobalState state;
  bool usesReportIds = false;

  size_t pos = 0;
  while (pos < size) {
    const uint8_t prefix = descriptor[pos];
    if (prefix == kLongItemPrefix) {
      // Long items carry vendor data only: skip them whole.
      if (size - pos < 3) return false;
      const size_t longSize = descriptor[pos + 1];
      if (size - pos - 3 < longSize) return false;
      pos += 3 + longSize;
      continue;
    }
    const size_t dataSize = DataSize(prefix);
    if (size - pos - 1 < dataSize) return false;
    const uint32_t value = ItemValue(descriptor + pos + 1, dataSize);
    pos += 1 + dataSize;

    const uint8_t type = (prefix >> 2) & 3;
    const uint8_t tag = prefix >> 4;
    if (type == kTypeMain && tag == kMainFeature) {
      uint64_t& bits = featureBits[state.reportId];
      bits += uint64_t{state.reportSize} * state.reportCount;
      if (bits > kMaxFeatureBits) return false;
    } else if (type == kTypeGlobal) {
      switch (tag) {
        case kGlobalReportSize:
          state.reportSize = value;
          break;
        case kGlobalReportCount:
          state.reportCount = value;
          break;
        case kGlobalReportId:
          if (value == 0 || value >= kReportIdCount) return false;
          state.reportId = value;
          usesReportIds = true;
          break;
        case kGlobalPush:
          if (depth == kMaxPushDepth) return false;
          stack[depth++] = state;
          break;
        case kGlobalPop:
          if (depth == 0) return false;
          state = stack[--depth];
          break;
        default:
          break;
      }
    }
  }

  uint64_t largestBytes = 0;
  bool anyFeature = false;
  for (uint64_t bits : featureBits) {
    if (bits == 0) continue;
    anyFeature = true;
    const uint64_t bytes = (bits + 7) / 8;
    if (bytes > largestBytes) largestBytes = bytes;
  }
  layout->featureReportLength = anyFeature ? static_cast<uint16_t>(largestBytes + 1) : 0;
  layout->usesReportIds = usesReportIds;
  return true;
}

}  // namespace qk::platform::hidraw
