// Listing: which interfaces become slots, which error a caller sees when none
// does, and the two-call protocol.
#include <cstring>
#include <string>
#include <vector>

#include "api/device_table.h"
#include "tests/api/core_fixture.h"

namespace {

using qk::platform::EnumStatus;
using qktest::FakeInterface;

class ListingTest : public qktest::CoreTest {
 public:
  FakeInterface& Add(const std::string& path) { return backend.AddToken(path); }
  uint32_t Count(uint32_t* count) { return QKListDevices(nullptr, count); }
};

// What one interface of the walk does (kNoSet: the interface set cannot be had).
enum Step { kNoSet, kToken, kMouse, kDenied, kSharing, kNotFound, kUnreadable, kTooLarge };

TEST_F(ListingTest, ErrorPrecedenceWhenNoTokenIsFound) {
  const struct {
    const char* name;
    std::vector<Step> steps;
    uint32_t result, count;
  } cases[] = {
      {"no interface", {}, QK_E_SUCCESS, 0},
      {"set unavailable", {kNoSet}, QK_E_NO_DEVICE_LIST, 0},
      {"access denied", {kDenied}, QK_E_ACCESS_DENIED, 0},
      {"sharing violation", {kSharing}, QK_E_SHARING_VIOLATION, 0},
      {"other open error", {kNotFound}, QK_E_NO_DEVICE_LIST, 0},
      {"detail unreadable", {kUnreadable}, QK_E_NO_DEVICE_LIST, 0},
      {"detail too large", {kTooLarge}, QK_E_NO_DEVICE_LIST, 0},
      {"later error replaces earlier", {kDenied, kSharing}, QK_E_SHARING_VIOLATION, 0},
      {"unreadable detail then denied", {kUnreadable, kDenied}, QK_E_ACCESS_DENIED, 0},
      {"later non-token does not clear", {kDenied, kMouse}, QK_E_ACCESS_DENIED, 0},
      {"too large ends the walk", {kTooLarge, kDenied}, QK_E_NO_DEVICE_LIST, 0},
      {"a token drops the error", {kDenied, kToken, kUnreadable, kTooLarge, kToken}, 0, 1},
  };
  for (const auto& c : cases) {
    qktest::ResetDeviceTable();
    backend.interfaces.clear();
    backend.setAvailable = true;
    for (Step step : c.steps) {
      if (step == kNoSet) backend.setAvailable = false;
      FakeInterface& i = Add("path" + std::to_string(backend.interfaces.size()));
      if (step == kMouse) i.vendorId = 0x046D;
      if (step == kDenied) i.openError = qk::platform::kErrorAccessDenied;
      if (step == kSharing) i.openError = qk::platform::kErrorSharingViolation;
      if (step == kNotFound) i.openError = qk::platform::kErrorFileNotFound;
      if (step == kUnreadable) i.status = EnumStatus::kDetailUnreadable;
      if (step == kTooLarge) i.status = EnumStatus::kDetailTooLarge;
    }
    QKContext contexts[2];
    std::memset(contexts, 0x5A, sizeof(contexts));
    uint32_t count = 2;
    EXPECT_EQ(QKListDevices(contexts, &count), c.result) << c.name;
    EXPECT_EQ(count, c.count) << c.name;
    EXPECT_EQ(contexts[c.count].slotIndex, 0x5A5A5A5Au) << c.name << ": past the count untouched";
    EXPECT_EQ(qk::GetDeviceTable().count, c.count) << c.name;
  }
}

TEST_F(ListingTest, WhichInterfacesAreTheToken) {
  const struct {
    const char* name;
    void (*change)(FakeInterface&);
    bool listed;
  } cases[] = {
      {"65-byte feature report", [](FakeInterface&) {}, true},
      {"73-byte feature report", [](FakeInterface& i) { i.featureReportLength = 73; }, true},
      {"64-byte feature report", [](FakeInterface& i) { i.featureReportLength = 64; }, false},
      {"66-byte feature report", [](FakeInterface& i) { i.featureReportLength = 66; }, false},
      {"capabilities unreadable", [](FakeInterface& i) { i.featureLengthReadable = false; }, false},
      {"attributes unreadable", [](FakeInterface& i) { i.attributesReadable = false; }, false},
      {"other vendor", [](FakeInterface& i) { i.vendorId = 0x7A5D; }, false},
      {"other product", [](FakeInterface& i) { i.productId = 0x0B20; }, false},
      {"272-character path", [](FakeInterface& i) { i.path = std::string(272, 'p'); }, true},
      {"273-character path", [](FakeInterface& i) { i.path = std::string(273, 'p'); }, false},
  };
  for (const auto& c : cases) {
    qktest::ResetDeviceTable();
    backend.interfaces.clear();
    backend.opens.clear();
    c.change(Add("\\\\?\\hid#token"));
    uint32_t count = 0;
    EXPECT_EQ(Count(&count), c.listed ? QK_E_BUFFER_TOO_SMALL : QK_E_SUCCESS) << c.name;
    EXPECT_EQ(count, c.listed ? 1u : 0u) << c.name;
    EXPECT_EQ(c.listed ? backend.interfaces[0].path : "", qk::GetDeviceTable().slots[0].path);
    ASSERT_EQ(backend.opens.size(), 1u) << c.name;
    EXPECT_EQ(backend.opens[0].io, qk::platform::IoMode::kSynchronous) << c.name;
    EXPECT_EQ(backend.opens[0].share, qk::platform::ShareMode::kShared) << c.name;
    EXPECT_EQ(backend.LiveDevices(), 0) << c.name << ": every probe handle closed";
  }
}

TEST_F(ListingTest, TwoCallProtocol) {
  Add("a");
  Add("mouse").vendorId = 1;
  Add("b");
  EXPECT_EQ(QKListDevices(nullptr, nullptr), QK_E_PARAMETER);
  EXPECT_TRUE(backend.opens.empty());
  uint32_t count = 0;
  EXPECT_EQ(Count(&count), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);
  QKContext contexts[3];
  std::memset(contexts, 0x5A, sizeof(contexts));
  count = 1;
  EXPECT_EQ(QKListDevices(contexts, &count), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(contexts[0].slotIndex, 0x5A5A5A5Au) << "array untouched";
  count = 3;
  EXPECT_EQ(QKListDevices(contexts, &count), QK_E_SUCCESS);
  EXPECT_EQ(count, 2u);
  for (uint32_t i = 0; i < 2; ++i) {
    QKContext expected{};
    expected.slotIndex = i;
    EXPECT_EQ(std::memcmp(&contexts[i], &expected, sizeof(QKContext)), 0) << i;
  }
  EXPECT_EQ(contexts[2].slotIndex, 0x5A5A5A5Au) << "records past the count untouched";
  EXPECT_STREQ(qk::GetDeviceTable().slots[1].path, "b");
}

TEST_F(ListingTest, AfterAListingThatFoundATokenTheErrorOfAnEmptyWalkIsDropped) {
  Add("token");
  uint32_t count = 0;
  ASSERT_EQ(Count(&count), QK_E_BUFFER_TOO_SMALL);
  backend.interfaces.clear();
  Add("denied").openError = qk::platform::kErrorAccessDenied;
  EXPECT_EQ(Count(&count), QK_E_SUCCESS) << "the previous count was non-zero";
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(Count(&count), QK_E_ACCESS_DENIED) << "this listing found nothing";
}

TEST_F(ListingTest, ExaminesAtMost128Interfaces) {
  for (int i = 0; i < 130; ++i) Add("token" + std::to_string(i));
  uint32_t count = 0;
  EXPECT_EQ(Count(&count), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 128u);
  EXPECT_EQ(backend.opens.size(), 128u);
  EXPECT_STREQ(qk::GetDeviceTable().slots[127].path, "token127");
}

}  // namespace
