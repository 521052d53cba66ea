// The driver's scenario against a scripted token, and its exit status.
#include "driver/scenario.h"

#include <string>
#include <tuple>

#include "driver/exit_status.h"
#include "tests/api/scripted_token.h"

using namespace qktest;

// Listing and opening are scripted; the PIN and the program go through the
// library to the scripted token.
struct Steps {
  uint32_t countResult, count, listResult, listed, openResult;
} g_steps;
int g_opens, g_closes, g_begins, g_ends;
uint32_t g_beginResult;

uint32_t QK_CALL FakeList(QKContext* contexts, uint32_t* count) {
  if (contexts == nullptr) return *count = g_steps.count, g_steps.countResult;
  for (uint32_t i = 0; i < g_steps.listed && i < *count; ++i)
    contexts[i].slotIndex = ScriptedToken::kSlot + i;
  return *count = g_steps.listed, g_steps.listResult;
}
uint32_t QK_CALL FakeOpen(QKContext* context) {
  EXPECT_EQ(ScriptedToken::kSlot, context->slotIndex);  // the first listed token
  return ++g_opens, g_steps.openResult;
}
uint32_t QK_CALL FakeClose(QKContext*) { return ++g_closes, QK_E_SUCCESS; }
uint32_t QK_CALL FakeBegin(QKContext* context, uint32_t timeoutMs) {
  EXPECT_EQ(g_opens, 0) << "the transaction comes before the open";
  EXPECT_TRUE(context->slotIndex == ScriptedToken::kSlot && timeoutMs == QK_WAIT_DEFAULT);
  return ++g_begins, g_beginResult;
}
uint32_t QK_CALL FakeEnd(QKContext*) { return ++g_ends, QK_E_SUCCESS; }

// Runs the scenario; returns its result and what it printed.
std::pair<uint32_t, std::string> RunDriver(const Steps& steps, uint32_t beginResult = 0) {
  g_steps = steps, g_opens = g_closes = g_begins = g_ends = 0, g_beginResult = beginResult;
  qkdriver::DriverApi api = qkdriver::LibraryApi();
  api.listDevices = FakeList, api.openDevice = FakeOpen, api.closeDevice = FakeClose;
  api.beginTransaction = FakeBegin, api.endTransaction = FakeEnd;
  std::FILE* out = std::tmpfile();
  const uint32_t code = qkdriver::RunScenario(api, out);
  std::string printed(256, '\0');
  std::rewind(out);
  printed.resize(std::fread(printed.data(), 1, printed.size(), out));
  std::fclose(out);
  return {code, printed};
}

TEST(Scenario, PresentsThePinRunsFiveAndEightAndPrintsTheAnswer) {
  const std::tuple<uint32_t, Bytes, uint32_t, std::string> cases[] = {
      // the PIN's result, the program's answer and result, what is printed
      {0, Hex("00 0D"), 0, "Result: 13\n"},
      {0, Hex("FF FE"), 0, "Result: -2\n"},
      {0, Hex("01"), 0, "QKExecute Error 1:0x00000000\n"},  // not two bytes: code 0, yet an error
      {QK_E_WRONG_PIN + 0x0E, {}, 0, "QKVerifyPin Error:0xF0000C0E\n"},
  };
  const Bytes pin = Hex("00 20 00 00 08 00 36 30 37 31 39 32 38 33");
  const Bytes run = Hex("00 CF 01 00 04 00 00 05 00 08");
  const Steps kOneToken = {QK_E_BUFFER_TOO_SMALL, 1, QK_E_SUCCESS, 1, QK_E_SUCCESS};
  for (const auto& [pinResult, answer, runResult, printed] : cases) {
    ScriptedToken token;
    token.Fail(pinResult);
    token.Answer(answer, runResult);
    EXPECT_EQ(std::make_pair(pinResult | runResult, printed), RunDriver(kOneToken));
    EXPECT_EQ(printed[0] == 'R' ? 1 : 0, g_closes);  // closed only after a result
    EXPECT_TRUE(g_begins == 1 && g_ends == 1) << "one transaction, ended on every path";
    EXPECT_EQ(pinResult == 0 ? std::vector<Bytes>({pin, run}) : std::vector<Bytes>({pin}),
              token.sent);
  }
}

TEST(Scenario, ListingAndOpeningFailuresEndSilently) {
  const std::pair<Steps, uint32_t> cases[] = {
      {{QK_E_NO_DEVICE_LIST, 0, 0, 0, 0}, QK_E_NO_DEVICE_LIST},
      {{QK_E_BUFFER_TOO_SMALL, 1, QK_E_ACCESS_DENIED, 1, 0}, QK_E_ACCESS_DENIED},
      {{QK_E_BUFFER_TOO_SMALL, 2, 0, 2, QK_E_DEVICE_NOT_CONNECTED}, QK_E_DEVICE_NOT_CONNECTED},
  };
  for (const auto& [steps, code] : cases) {
    ScriptedToken token;
    EXPECT_EQ(std::make_pair(code, std::string()), RunDriver(steps));
    EXPECT_TRUE(g_opens == (steps.openResult != 0 ? 1 : 0) && token.sent.empty());
    EXPECT_EQ(g_begins, g_ends);
  }
  // A token whose lock cannot be had is not opened.
  const Steps oneToken = {QK_E_BUFFER_TOO_SMALL, 1, QK_E_SUCCESS, 1, QK_E_SUCCESS};
  EXPECT_EQ(std::make_pair(QK_E_LOCK_UNAVAILABLE, std::string()),
            RunDriver(oneToken, QK_E_LOCK_UNAVAILABLE));
  EXPECT_TRUE(g_opens == 0 && g_ends == 0);
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
