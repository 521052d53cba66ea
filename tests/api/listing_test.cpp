// Listing: which interfaces become slots, which error a caller sees when none
// does, and the two-call protocol.
#include <algorithm>
#include <cstring>
#include <string>

#include "api/device_table.h"
#include "tests/api/core_fixture.h"

using qktest::FakeInterface;
namespace plat = qk::platform;

class ListingTest : public qktest::CoreTest {
 public:
  FakeInterface& Add(const std::string& path) { return backend.AddToken(path); }
  uint32_t Count(uint32_t* count) { return QKListDevices(nullptr, count); }
  void Restart() { qktest::ResetDeviceTable(), backend.interfaces.clear(), backend.opens.clear(); }
};

TEST_F(ListingTest, ErrorPrecedenceWhenNoTokenIsFound) {
  // One letter per interface: Token, Mouse, access Denied, Sharing violation,
  // Not found, Unreadable detail, too Large detail (ends the walk); 0: no set.
  const std::pair<std::string, uint32_t> cases[] = {
      {"", QK_E_SUCCESS}, {"0", QK_E_NO_DEVICE_LIST}, {"N", QK_E_NO_DEVICE_LIST},
      {"U", QK_E_NO_DEVICE_LIST}, {"L", QK_E_NO_DEVICE_LIST}, {"DS", QK_E_SHARING_VIOLATION},
      {"UD", QK_E_ACCESS_DENIED}, {"DM", QK_E_ACCESS_DENIED}, {"LD", QK_E_NO_DEVICE_LIST},
      {"DTULT", QK_E_SUCCESS}};  // a token drops the error
  for (const auto& [steps, result] : cases) {
    Restart();
    backend.setAvailable = steps != "0";
    for (char step : steps) {
      FakeInterface& i = Add("path" + std::to_string(backend.interfaces.size()));
      if (step == 'M') i.vendorId = 0x046D;
      if (step == 'D') i.openError = plat::kErrorAccessDenied;
      if (step == 'S') i.openError = plat::kErrorSharingViolation;
      if (step == 'N') i.openError = plat::kErrorFileNotFound;
      if (step == 'U') i.status = plat::EnumStatus::kDetailUnreadable;
      if (step == 'L') i.status = plat::EnumStatus::kDetailTooLarge;
    }
    const auto walked = steps.begin() + std::min(steps.find('L'), steps.size());
    const uint32_t found = static_cast<uint32_t>(std::count(steps.begin(), walked, 'T'));
    QKContext contexts[2];
    std::memset(contexts, 0x5A, sizeof(contexts));
    uint32_t count = 2;
    EXPECT_EQ(QKListDevices(contexts, &count), result) << steps;
    EXPECT_TRUE(count == found && qk::GetDeviceTable().count == found) << steps;
    EXPECT_EQ(contexts[found].slotIndex, 0x5A5A5A5Au) << "past the count untouched";
  }
}

TEST_F(ListingTest, WhichInterfacesAreTheToken) {
  const std::pair<void (*)(FakeInterface&), bool> cases[] = {
      {[](FakeInterface&) {}, true},  // 65-byte feature report
      {[](FakeInterface& i) { i.featureReportLength = 73; }, true},
      {[](FakeInterface& i) { i.featureReportLength = 64; }, false},
      {[](FakeInterface& i) { i.featureLengthReadable = false; }, false},
      {[](FakeInterface& i) { i.attributesReadable = false; }, false},
      {[](FakeInterface& i) { i.vendorId = 0x7A5D; }, false},
      {[](FakeInterface& i) { i.productId = 0x0B20; }, false},
      {[](FakeInterface& i) { i.path = std::string(272, 'p'); }, true},
      {[](FakeInterface& i) { i.path = std::string(273, 'p'); }, false},  // would be cut
  };
  for (const auto& c : cases) {
    const bool listed = c.second;
    Restart();
    c.first(Add("\\\\?\\hid#token"));
    uint32_t count = 0;
    EXPECT_EQ(Count(&count), listed ? QK_E_BUFFER_TOO_SMALL : QK_E_SUCCESS) << &c - cases;
    EXPECT_EQ(listed ? backend.interfaces[0].path : "", qk::GetDeviceTable().slots[0].path);
    ASSERT_EQ(backend.opens.size(), 1u);
    EXPECT_EQ(backend.opens[0].io, plat::IoMode::kSynchronous);
    EXPECT_EQ(backend.opens[0].share, plat::ShareMode::kShared);
    EXPECT_EQ(backend.LiveDevices(), 0) << "every probe handle closed";
  }
}

TEST_F(ListingTest, TwoCallProtocol) {
  Add("a"), Add("mouse").vendorId = 1, Add("b");
  EXPECT_EQ(QKListDevices(nullptr, nullptr), QK_E_PARAMETER);
  EXPECT_TRUE(backend.opens.empty());
  QKContext contexts[3];
  std::memset(contexts, 0x5A, sizeof(contexts));
  uint32_t count = 1;
  EXPECT_EQ(QKListDevices(contexts, &count), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(contexts[0].slotIndex, 0x5A5A5A5Au) << "array untouched";
  count = 3;
  EXPECT_EQ(QKListDevices(contexts, &count), QK_E_SUCCESS);
  EXPECT_EQ(count, 2u);
  QKContext expected[2] = {};
  expected[1].slotIndex = 1;
  EXPECT_EQ(std::memcmp(contexts, expected, sizeof(expected)), 0);
  EXPECT_EQ(contexts[2].slotIndex, 0x5A5A5A5Au) << "records past the count untouched";
  EXPECT_STREQ(qk::GetDeviceTable().slots[1].path, "b");
  // After a listing that found tokens, the error of an empty walk is dropped once.
  backend.interfaces.clear();
  Add("denied").openError = plat::kErrorAccessDenied;
  EXPECT_EQ(Count(&count), QK_E_SUCCESS) << "the previous count was non-zero";
  EXPECT_EQ(Count(&count), QK_E_ACCESS_DENIED) << "this listing found nothing";
}

TEST_F(ListingTest, ExaminesAtMost128Interfaces) {
  for (int i = 0; i < 130; ++i) Add("token" + std::to_string(i));
  uint32_t count = 0;
  EXPECT_EQ(Count(&count), QK_E_BUFFER_TOO_SMALL);
  EXPECT_TRUE(count == 128 && backend.opens.size() == 128);
}
