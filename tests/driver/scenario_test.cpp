// The driver's scenario against a scripted token, and its exit status.
#include "driver/scenario.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/exit_status.h"
#include "tests/api/scripted_token.h"

namespace {

using namespace qktest;

// Listing and opening are scripted; the PIN and the program go through the
// library to the scripted token.
struct Steps {
  uint32_t countResult, count, listResult, listed, openResult;
  int opens, closes;
};
Steps g_steps;

uint32_t QK_CALL FakeList(QKContext* contexts, uint32_t* count) {
  if (contexts == nullptr) return *count = g_steps.count, g_steps.countResult;
  for (uint32_t i = 0; i < g_steps.listed && i < *count; ++i) {
    contexts[i].slotIndex = ScriptedToken::kSlot + i;
  }
  *count = g_steps.listed;
  return g_steps.listResult;
}
uint32_t QK_CALL FakeOpen(QKContext* context) {
  ++g_steps.opens;
  EXPECT_EQ(ScriptedToken::kSlot, context->slotIndex);  // the first listed token
  return g_steps.openResult;
}
uint32_t QK_CALL FakeClose(QKContext*) { return ++g_steps.closes, QK_E_SUCCESS; }

std::pair<uint32_t, std::string> RunDriver(const Steps& steps) {
  g_steps = steps;
  qkdriver::DriverApi api = qkdriver::LibraryApi();
  api.listDevices = FakeList, api.openDevice = FakeOpen, api.closeDevice = FakeClose;
  std::FILE* out = std::tmpfile();
  const uint32_t code = qkdriver::RunScenario(api, out);
  std::rewind(out);
  std::string printed;
  for (int ch; (ch = std::fgetc(out)) != EOF;) printed += static_cast<char>(ch);
  std::fclose(out);
  return {code, printed};
}

TEST(Scenario, PresentsThePinRunsFiveAndEightAndPrintsTheAnswer) {
  const struct {
    uint32_t pinResult;
    Bytes answer;
    uint32_t runResult, code;
    std::string printed;
    int closes;
  } cases[] = {
      {0, Hex("00 0D"), 0, 0, "Result: 13\n", 1},
      {0, Hex("FF FE"), 0, 0, "Result: -2\n", 1},
      {0, Hex("7F FF"), 0, 0, "Result: 32767\n", 1},
      {0, Hex("01"), 0, 0, "QKExecute Error 1:0x00000000\n", 0},
      {0, Hex("00 01 02"), 0, 0, "QKExecute Error 1:0x00000000\n", 0},
      {0, {}, QK_E_FILE_NOT_FOUND, QK_E_FILE_NOT_FOUND, "QKExecute Error 1:0xF0000010\n", 0},
      {QK_E_WRONG_PIN + 0x0E, {}, 0, QK_E_WRONG_PIN + 0x0E, "QKVerifyPin Error:0xF0000C0E\n", 0},
  };
  const Bytes pin = Hex("00 20 00 00 08 00 36 30 37 31 39 32 38 33");
  const Bytes run = Hex("00 CF 01 00 04 00 00 05 00 08");
  for (const auto& c : cases) {
    ScriptedToken token;
    token.Fail(c.pinResult);
    token.Answer(c.answer, c.runResult);
    const Steps oneToken = {QK_E_BUFFER_TOO_SMALL, 1, QK_E_SUCCESS, 1, QK_E_SUCCESS, 0, 0};
    EXPECT_EQ(std::make_pair(c.code, c.printed), RunDriver(oneToken));
    EXPECT_EQ(c.closes, g_steps.closes);
    EXPECT_EQ(c.pinResult == 0 ? std::vector<Bytes>({pin, run}) : std::vector<Bytes>({pin}),
              token.sent);
  }
}

TEST(Scenario, ListingAndOpeningFailuresEndSilently) {
  const struct {
    Steps steps;
    uint32_t code;
    int opens;
  } cases[] = {
      {{QK_E_NO_DEVICE_LIST, 0, 0, 0, 0, 0, 0}, QK_E_NO_DEVICE_LIST, 0},
      {{QK_E_SUCCESS, 0, 0, 0, 0, 0, 0}, QK_E_NO_DEVICE_LIST, 0},  // no token attached
      {{QK_E_BUFFER_TOO_SMALL, 1, QK_E_ACCESS_DENIED, 1, 0, 0, 0}, QK_E_ACCESS_DENIED, 0},
      {{QK_E_BUFFER_TOO_SMALL, 1, QK_E_SUCCESS, 0, 0, 0, 0}, QK_E_NO_DEVICE_LIST, 0},
      {{QK_E_BUFFER_TOO_SMALL, 2, 0, 2, QK_E_DEVICE_NOT_CONNECTED, 0, 0}, QK_E_DEVICE_NOT_CONNECTED,
       1},
  };
  for (const auto& c : cases) {
    ScriptedToken token;
    EXPECT_EQ(std::make_pair(c.code, std::string()), RunDriver(c.steps));
    EXPECT_EQ(c.opens, g_steps.opens);
    EXPECT_TRUE(token.sent.empty());
  }
}

TEST(ExitStatus, NoFailureReadsAsSuccess) {
  const std::pair<uint32_t, int> cases[] = {{0, 0},          {0xF0000002, 2},  {0xF0000C03, 3},
                                            {0xF0000C00, 1}, {0x00006E00, 1}, {0xFFFFFFFF, 255}};
  for (const auto& [code, posix] : cases) {
    EXPECT_EQ(posix, qkdriver::PosixExitStatus(code)) << code;
    EXPECT_EQ(static_cast<int>(code), qkdriver::WindowsExitStatus(code));
    EXPECT_EQ(code == 0, qkdriver::ExitStatusFor(code) == 0);
  }
}

}  // namespace
