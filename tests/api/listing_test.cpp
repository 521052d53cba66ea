// Listing: which error a caller sees when no interface becomes a slot, which
// interfaces do, and the two-call protocol.
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
  const struct {
    std::string steps;
    uint32_t result, found;
  } cases[] = {{"", QK_E_SUCCESS, 0}, {"0", QK_E_NO_DEVICE_LIST, 0}, {"N", QK_E_NO_DEVICE_LIST, 0},
               {"DS", QK_E_SHARING_VIOLATION, 0}, {"UD", QK_E_ACCESS_DENIED, 0},
               {"DM", QK_E_ACCESS_DENIED, 0}, {"LD", QK_E_NO_DEVICE_LIST, 0},
               {"DTULT", QK_E_SUCCESS, 1}};  // a token drops the error
  for (const auto& [steps, result, found] : cases) {
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
    QKContext contexts[2];
    std::memset(contexts, 0x5A, sizeof(contexts));
    uint32_t count = 2;
    EXPECT_EQ(QKListDevices(contexts, &count), result) << steps;
    EXPECT_TRUE(count == found && qk::GetDeviceTable().count == found) << steps;
    EXPECT_EQ(contexts[found].slotIndex, 0x5A5A5A5Au) << "past the count untouched";
  }
}

TEST_F(ListingTest, TwoCallProtocol) {
  Add("a"), Add("mouse").vendorId = 1, Add("short report").featureReportLength = 64, Add("b");
  Add(std::string(273, 'p'));  // a path that would be cut is not listed
  EXPECT_EQ(QKListDevices(nullptr, nullptr), QK_E_PARAMETER);
  QKContext contexts[3];
  std::memset(contexts, 0x5A, sizeof(contexts));
  uint32_t count = 1;
  EXPECT_EQ(QKListDevices(contexts, &count), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(contexts[0].slotIndex, 0x5A5A5A5Au) << "array untouched";
  count = 3;
  EXPECT_EQ(QKListDevices(contexts, &count), QK_E_SUCCESS);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(contexts[1].slotIndex, 1u);
  EXPECT_STREQ(qk::GetDeviceTable().slots[1].path, "b");
  EXPECT_EQ(backend.LiveDevices(), 0) << "every probe handle closed";
  // After a listing that found tokens, the error of an empty walk is dropped once.
  backend.interfaces.clear();
  Add("denied").openError = plat::kErrorAccessDenied;
  EXPECT_EQ(Count(&count), QK_E_SUCCESS) << "the previous count was non-zero";
  EXPECT_EQ(Count(&count), QK_E_ACCESS_DENIED) << "this listing found nothing";
}
