// Listing: which interfaces become slots, which error a caller sees when
// none does, and the two-call protocol.
#include <cstring>
#include <string>

#include "api/device_table.h"
#include "tests/api/core_fixture.h"

namespace {

using qk::platform::EnumStatus;
using qk::platform::kErrorAccessDenied;
using qk::platform::kErrorFileNotFound;
using qk::platform::kErrorSharingViolation;

class ListingTest : public qktest::CoreTest {
 public:
  qktest::FakeInterface& Add(const std::string& path) { return backend.AddToken(path); }
  void AddStatus(EnumStatus status) { Add("").status = status; }
  void AddFailingOpen(uint32_t error) { Add("fail" + std::to_string(error)).openError = error; }

  uint32_t List(uint32_t* count) { return QKListDevices(nullptr, count); }
};

TEST_F(ListingTest, ResultWhenNothingIsFound) {
  const struct {
    const char* name;
    std::function<void(ListingTest*)> setUp;
    uint32_t result;
  } cases[] = {
      {"no interface", [](ListingTest*) {}, QK_E_SUCCESS},
      {"set unavailable", [](ListingTest* t) { t->backend.setAvailable = false; },
       QK_E_NO_DEVICE_LIST},
      {"access denied", [](ListingTest* t) { t->AddFailingOpen(kErrorAccessDenied); },
       QK_E_ACCESS_DENIED},
      {"sharing violation", [](ListingTest* t) { t->AddFailingOpen(kErrorSharingViolation); },
       QK_E_SHARING_VIOLATION},
      {"other open error", [](ListingTest* t) { t->AddFailingOpen(kErrorFileNotFound); },
       QK_E_NO_DEVICE_LIST},
      {"detail unreadable", [](ListingTest* t) { t->AddStatus(EnumStatus::kDetailUnreadable); },
       QK_E_NO_DEVICE_LIST},
      {"detail too large", [](ListingTest* t) { t->AddStatus(EnumStatus::kDetailTooLarge); },
       QK_E_NO_DEVICE_LIST},
      {"later error replaces earlier",
       [](ListingTest* t) {
         t->AddFailingOpen(kErrorAccessDenied);
         t->AddFailingOpen(kErrorSharingViolation);
       },
       QK_E_SHARING_VIOLATION},
      {"unreadable detail then denied",
       [](ListingTest* t) {
         t->AddStatus(EnumStatus::kDetailUnreadable);
         t->AddFailingOpen(kErrorAccessDenied);
       },
       QK_E_ACCESS_DENIED},
      {"later success does not clear",
       [](ListingTest* t) {
         t->AddFailingOpen(kErrorAccessDenied);
         t->Add("mouse").vendorId = 0x046D;
       },
       QK_E_ACCESS_DENIED},
      {"feature report of 64 bytes", [](ListingTest* t) { t->Add("t64").featureReportLength = 64; },
       QK_E_SUCCESS},
      {"too large ends the walk before a later error",
       [](ListingTest* t) {
         t->AddStatus(EnumStatus::kDetailTooLarge);
         t->AddFailingOpen(kErrorAccessDenied);
       },
       QK_E_NO_DEVICE_LIST},
  };
  for (const auto& c : cases) {
    qktest::ResetDeviceTable();
    backend.interfaces.clear();
    backend.setAvailable = true;
    c.setUp(this);
    QKContext contexts[2];
    std::memset(contexts, 0x5A, sizeof(contexts));
    uint32_t count = 2;
    EXPECT_EQ(QKListDevices(contexts, &count), c.result) << c.name;
    EXPECT_EQ(count, 0u) << c.name;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(contexts)[0], 0x5A) << c.name << ": contexts untouched";
    EXPECT_EQ(qk::GetDeviceTable().count, 0u) << c.name;
  }
}

TEST_F(ListingTest, WhichInterfacesAreTheToken) {
  const struct {
    const char* name;
    std::function<void(qktest::FakeInterface&)> change;
    bool listed;
  } cases[] = {
      {"65-byte feature report", [](qktest::FakeInterface&) {}, true},
      {"73-byte feature report", [](qktest::FakeInterface& i) { i.featureReportLength = 73; },
       true},
      {"64-byte feature report", [](qktest::FakeInterface& i) { i.featureReportLength = 64; },
       false},
      {"66-byte feature report", [](qktest::FakeInterface& i) { i.featureReportLength = 66; },
       false},
      {"capabilities unreadable", [](qktest::FakeInterface& i) { i.featureLengthReadable = false; },
       false},
      {"attributes unreadable", [](qktest::FakeInterface& i) { i.attributesReadable = false; },
       false},
      {"other vendor", [](qktest::FakeInterface& i) { i.vendorId = 0x7A5D; }, false},
      {"other product", [](qktest::FakeInterface& i) { i.productId = 0x0B20; }, false},
      {"272-character path", [](qktest::FakeInterface& i) { i.path = std::string(272, 'p'); },
       true},
      {"273-character path", [](qktest::FakeInterface& i) { i.path = std::string(273, 'p'); },
       false},
  };
  for (const auto& c : cases) {
    qktest::ResetDeviceTable();
    backend.interfaces.clear();
    backend.opens.clear();
    c.change(Add("\\\\?\\hid#token"));
    const std::string path = backend.interfaces[0].path;
    uint32_t count = 0;
    EXPECT_EQ(List(&count), c.listed ? QK_E_BUFFER_TOO_SMALL : QK_E_SUCCESS) << c.name;
    EXPECT_EQ(count, c.listed ? 1u : 0u) << c.name;
    if (c.listed) {
      EXPECT_EQ(std::string(qk::GetDeviceTable().slots[0].path), path) << c.name;
    }
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

  uint32_t count = 0;
  EXPECT_EQ(QKListDevices(nullptr, &count), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);

  QKContext small[1];
  std::memset(small, 0x5A, sizeof(small));
  count = 1;
  EXPECT_EQ(QKListDevices(small, &count), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(small[0].slotIndex, 0x5A5A5A5Au) << "array untouched";

  QKContext contexts[3];
  std::memset(contexts, 0x5A, sizeof(contexts));
  count = 3;
  EXPECT_EQ(QKListDevices(contexts, &count), QK_E_SUCCESS);
  EXPECT_EQ(count, 2u);
  for (uint32_t i = 0; i < 2; ++i) {
    QKContext expected{};
    expected.slotIndex = i;
    EXPECT_EQ(std::memcmp(&contexts[i], &expected, sizeof(QKContext)), 0) << i;
  }
  EXPECT_EQ(contexts[2].slotIndex, 0x5A5A5A5Au) << "records past the count untouched";
  EXPECT_STREQ(qk::GetDeviceTable().slots[0].path, "a");
  EXPECT_STREQ(qk::GetDeviceTable().slots[1].path, "b");
  EXPECT_EQ(qk::GetDeviceTable().count, 2u);
}

TEST_F(ListingTest, FoundTokensDropTheRecordedError) {
  AddFailingOpen(kErrorAccessDenied);
  Add("token");
  AddStatus(EnumStatus::kDetailUnreadable);
  AddStatus(EnumStatus::kDetailTooLarge);
  Add("never examined");
  uint32_t count = 0;
  EXPECT_EQ(List(&count), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 1u);
}

TEST_F(ListingTest, AfterAListingThatFoundATokenTheErrorOfAnEmptyWalkIsDropped) {
  Add("token");
  uint32_t count = 0;
  ASSERT_EQ(List(&count), QK_E_BUFFER_TOO_SMALL);

  backend.interfaces.clear();
  AddFailingOpen(kErrorAccessDenied);
  EXPECT_EQ(List(&count), QK_E_SUCCESS) << "the previous count was non-zero";
  EXPECT_EQ(count, 0u);
  // This listing found nothing, so the next one reports the error again.
  EXPECT_EQ(List(&count), QK_E_ACCESS_DENIED);
  EXPECT_EQ(count, 0u);
}

TEST_F(ListingTest, ExaminesAtMost128Interfaces) {
  for (int i = 0; i < 130; ++i) Add("token" + std::to_string(i));
  uint32_t count = 0;
  EXPECT_EQ(List(&count), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 128u);
  EXPECT_EQ(backend.opens.size(), 128u);
  EXPECT_STREQ(qk::GetDeviceTable().slots[127].path, "token127");
}

TEST_F(ListingTest, RewritingASlotForgetsItsDeviceButKeepsKeyAndHistory) {
  Add("token");
  qk::DeviceSlot& slot = qk::GetDeviceTable().slots[0];
  auto* held = new qktest::FakeMutex;
  slot.opened = 1;
  slot.mutex = held;
  slot.sessionKey[0] = 0x11;
  slot.historical[0] = 0x22;
  uint32_t count = 0;
  EXPECT_EQ(List(&count), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(slot.opened, 0);
  EXPECT_EQ(slot.mutex, nullptr);
  EXPECT_EQ(slot.file, nullptr);
  EXPECT_EQ(slot.sessionKey[0], 0x11);
  EXPECT_EQ(slot.historical[0], 0x22);
  delete held;  // forgotten by the table, not closed
}

TEST_F(ListingTest, SlotsPastTheFoundCountKeepTheirState) {
  Add("token");
  qk::GetDeviceTable().slots[1].opened = 1;
  uint32_t count = 0;
  List(&count);
  EXPECT_EQ(qk::GetDeviceTable().slots[1].opened, 1);
}

TEST_F(ListingTest, NullCountIsAParameterError) {
  Add("token");
  EXPECT_EQ(QKListDevices(nullptr, nullptr), QK_E_PARAMETER);
  EXPECT_TRUE(backend.opens.empty());
}

}  // namespace
