// The native texts: each UTF-8 form against its GBK form through an
// independent converter, QKFormatErrorMessage's choice of text, and its
// text-length protocol.
#include "api/messages.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "api/native_texts.h"
#include "include/qktoken.h"
#include "tests/support/gbk.h"

namespace {

std::string Format(uint32_t code) {
  char text[256] = {};
  EXPECT_EQ(QKFormatErrorMessage(code, text, 255), QK_E_SUCCESS);
  return text;
}

}  // namespace

// Catches a text whose two forms disagree (one edited without the other), a
// slot copied over its neighbour, and a slot left empty.
TEST(Messages, EveryNativeTextHasMatchingFormsAndASlotOfItsOwn) {
  REQUIRE_ICONV();
  std::set<std::string> seen;
  for (size_t i = 0; i < qk::kNativeTextCount; ++i) {
    const qk::NativeText& text = qk::kNativeTexts[i];
    EXPECT_FALSE(std::string(text.utf8).empty()) << i;
    EXPECT_EQ(Gbk(text.utf8), text.gbk) << i << ": " << text.utf8;
    EXPECT_TRUE(seen.insert(text.gbk).second) << i << " repeats another slot";
  }
  for (const qk::NativeText* text : {&qk::kWrongPinPrefix, &qk::kUnknownErrorText}) {
    EXPECT_EQ(Gbk(text->utf8), text->gbk) << text->utf8;
  }
}

TEST(Messages, FormatChoosesTheTextByTheFirstTestThatHolds) {
  const std::string wrongPin = qk::kWrongPinPrefix.gbk;
  const std::string unknown = qk::kUnknownErrorText.gbk;
  const std::pair<uint32_t, std::string> cases[] = {
      {0xFFFFFFFF, unknown},
      {0xF0000C05, wrongPin + "5"},  // before the table
      {0xF0001C07, wrongPin + "7"},
      {0x00006E00, qk::kNativeTexts[0].gbk},                 // raw word: low byte
      {QK_E_SHARING_VIOLATION, qk::kNativeTexts[0x1A].gbk},  // the table's last slots
      {QK_E_UNKNOWN, qk::kNativeTexts[0x1B].gbk},
      {QK_E_SESSION_REPLACED, unknown},  // added after the table
      {QK_E_LOCK_UNAVAILABLE, unknown},
      {0xF00000FF, unknown}};
  for (const auto& c : cases) EXPECT_EQ(Format(c.first), c.second) << std::hex << c.first;
}

TEST(Messages, FormatNeedsRoomForTheWholeText) {
  char text[8];
  EXPECT_EQ(QKFormatErrorMessage(0, text, 7), QK_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(QKFormatErrorMessage(0xF0000CFF, nullptr, 100), QK_E_PARAMETER);
}

// The rules around the status-word table (its rows are checked end to end
// against the simulated token's answers).
TEST(Messages, StatusWordsOutsideTheTable) {
  const std::pair<uint16_t, uint32_t> cases[] = {
      {0x9000, QK_E_SUCCESS},
      {0x6300, QK_E_WRONG_PIN},  // 63 xx carries the tries left whole
      {0x63FF, QK_E_WRONG_PIN | 0xFF},
      {0x6D8B, QK_E_WRONG_PIN},  // the table's wrong-PIN row: no tries left
      {0x6E00, 0x6E00},          // any other word comes back raw
      {0x9001, 0x9001},
      {0x0000, 0x0000}};
  for (const auto& [sw, code] : cases) {
    EXPECT_EQ(qk::MapStatusWord(uint8_t(sw >> 8), uint8_t(sw)), code) << std::hex << sw;
  }
}
