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
  } cases[] = {
      {"", QK_E_SUCCESS, 0},          {"0", QK_E_NO_DEVICE_LIST, 0},
      {"N", QK_E_NO_DEVICE_LIST, 0},  {"DS", QK_E_SHARING_VIOLATION, 0},
      {"UD", QK_E_ACCESS_DENIED, 0},  {"DM", QK_E_ACCESS_DENIED, 0},
      {"LD", QK_E_NO_DEVICE_LIST, 0}, {"DTULT", QK_E_SUCCESS, 1}};  // a token drops the error
  backend.readsIdentity = false;  // every interface is opened to be identified
  for (const auto& [steps, result, found] : cases) {
    Restart();
    backend.setAvailable = steps != "0";
    for (char step : steps) {
      FakeInterface& i = Add("path" + std::to_string(backend.interfaces.size()));
      if (step == 'M') i.vendorId = 0x046D;
      if (step == 'D') i.openStatus = plat::DeviceStatus::kAccessDenied;
      if (step == 'S') i.openStatus = plat::DeviceStatus::kSharingViolation;
      if (step == 'N') i.openStatus = plat::DeviceStatus::kNotFound;
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
  backend.readsIdentity = true;
}

TEST_F(ListingTest, OnlyTheTokensInterfacesAreOpenedWhereIdentityIsReadFirst) {
  // Keyboard of another identity the user may not open, identity Hidden
  // (cannot be read), Denied token, Busy token (held by another process for
  // itself: still attached, so listed when its identity is known), Token.
  // Each entry: read identities first
  // (as on Windows) or ask the opened device (as on Linux).
  const struct {
    std::string steps;
    bool readsIdentity;
    uint32_t result, found;
    std::string opened;  // the interfaces opened for use
  } cases[] = {{"KH", true, QK_E_SUCCESS, 0, ""},
               {"KHD", true, QK_E_ACCESS_DENIED, 0, "D"},
               {"KTHD", true, QK_E_SUCCESS, 1, "TD"},
               {"KT", false, QK_E_SUCCESS, 1, "KT"},
               {"HK", false, QK_E_ACCESS_DENIED, 0, "HK"},
               {"KB", true, QK_E_SUCCESS, 1, "B"},
               {"B", false, QK_E_SHARING_VIOLATION, 0, "B"}};
  for (const auto& c : cases) {
    Restart();
    backend.identityReads.clear(), backend.logs.clear();
    backend.readsIdentity = c.readsIdentity;
    for (char step : c.steps) {
      FakeInterface& i = Add(std::string(1, step));
      if (step == 'K') i.vendorId = 0x046D, i.openStatus = plat::DeviceStatus::kAccessDenied;
      if (step == 'H') i.identityReadable = false, i.openStatus = plat::DeviceStatus::kAccessDenied;
      if (step == 'D') i.openStatus = plat::DeviceStatus::kAccessDenied;
      if (step == 'B') i.openStatus = plat::DeviceStatus::kSharingViolation;
    }
    QKContext contexts[4];
    uint32_t count = 4;
    EXPECT_EQ(QKListDevices(contexts, &count), c.result) << c.steps;
    EXPECT_EQ(count, c.found) << c.steps;
    std::string opened;
    for (const auto& call : backend.opens) opened += call.path;
    EXPECT_EQ(opened, c.opened) << c.steps;
    // Each interface's identity is read once, before opening or from the
    // opened device, never both.
    size_t deviceReads = 0;
    for (const auto& log : backend.logs) deviceReads += static_cast<size_t>(log->attributeReads);
    EXPECT_EQ(backend.identityReads.size(), c.readsIdentity ? c.steps.size() : 0u) << c.steps;
    EXPECT_EQ(deviceReads, c.readsIdentity ? 0u : backend.logs.size()) << c.steps;
  }
  backend.readsIdentity = true;
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
  Add("denied").openStatus = plat::DeviceStatus::kAccessDenied;
  EXPECT_EQ(Count(&count), QK_E_SUCCESS) << "the previous count was non-zero";
  EXPECT_EQ(Count(&count), QK_E_ACCESS_DENIED) << "this listing found nothing";
}
