// Directory, file and program commands: record layouts, refusals before any
// command, multi-step calls and chunking.
#include "api/files.h"

#include <string>

#include "tests/api/scripted_token.h"
#include "tests/support/pins.h"

using namespace qktest;

const Bytes kData = Pattern(3000), kValue = Pattern(24, 0x40);
const std::string kLong(128, 'A');

static Bytes Select(const char* p1p2) { return Cat({Hex("00 A4"), Hex(p1p2), Hex("00 00")}); }

TEST(FileCommands, LayoutsAndRefusals) {
  Bytes value(kValue.begin() + 4, kValue.begin() + 20);
  value[15] = 0;  // the sixteenth byte of a 0x25 command always goes out as 0
  const std::string pin = kDeveloperPin;
  std::vector<Bytes> path127(25, Select("AA AA"));  // 25 full steps, then "AA"
  path127.push_back(Select("AA 00"));
  uint8_t out[8];
  const uint8_t* in = kData.data();
  const struct {
    Call call;
    uint32_t result = QK_E_PARAMETER;
    std::vector<Bytes> sent = {};
  } cases[] = {
      {CALL(QKMakeDir(c, "0002", 0x012345, QK_DIR_SUB)), 0,
       {Hex("00 E0 00 00 00 00 02 00 45 23 01")}},
      {CALL(QKMakeDirEx(c, "zz", 0, QK_DIR_ROOT, kValue.data())), 0,
       {Hex("00 E0 00 00 00 00 00 3F 00 00 00"),
        Cat({Hex("00 20 01 00 18 00"), Bytes(pin.begin(), pin.end())}),
        Cat({Hex("00 25 00 00 10 00"), value})}},
      {CALL(QKSelectDir(c, "\\0001\\abcd")), 0,
       {Select("00 3F"), Select("01 00"), Select("CD AB")}},
      {CALL(QKSelectDir(c, kLong.substr(1).c_str())), 0, path127},
      {CALL(QKWipeDir(c, "")), 0, {Hex("00 E4 00 00 00 00")}},
      {CALL(QKMakeFile(c, "0010", 65535, 0x1A2)), 0, {Hex("00 E1 00 00 05 00 10 00 FF FF A2")}},
      {CALL(QKExecute(c, "0001", Hex("00 05 00 08").data(), 4, nullptr, 0, nullptr)), 0,
       {Hex("00 CF 01 00 04 00 00 05 00 08")}},
      {CALL(QKMakeAndStoreFile(c, "0001", 0, kData.data(), 1, 64, 0, 0, 2)), 0,
       {Hex("00 E1 00 00 05 00 01 00 40 00 02"), Cat({Hex("00 D6 01 00 05 00 00 00 01 00"), {1}})}},
      // refused before any command
      {CALL(QKMakeDir(c, "0001", 0, 2))}, {CALL(QKMakeDirEx(c, 0, 0, QK_DIR_ROOT, 0))},
      {CALL(QKSelectDir(c, kLong.c_str()))}, {CALL(QKWipeDir(c, "0001"))},
      {CALL(QKMakeFile(c, "0001", 65536, 0)), QK_E_DIR_SPACE},  // would travel as 00 00
      {CALL(QKStoreFile(c, "0001", 0, nullptr, 4))}, {CALL(qk::WriteFileChunk(c, 1, 0, in, 1021))},
      {CALL(QKExecute(c, "0001", in, 1025, out, 8, nullptr))},
      {CALL(QKExecute(c, "0001", in, 4, nullptr, 8, nullptr))},
  };
  for (const auto& c : cases) {
    ScriptedToken token;
    EXPECT_EQ(c.result, c.call(token.context())) << &c - cases;
    EXPECT_EQ(c.sent, token.sent) << &c - cases;
    EXPECT_EQ(QK_E_CONTEXT, c.call(token.closed())) << "a closed slot comes first";
  }
}

TEST(StoreFile, CutsTheDataIntoChunksAndStopsAtARefusal) {
  const std::pair<uint32_t, std::vector<uint32_t>> cases[] = {{1021, {1020, 1}},
                                                              {3000, {1020, 1020}}};
  for (const auto& [length, chunks] : cases) {
    ScriptedToken token;  // refuses the second chunk of 3000 bytes
    const uint32_t result = length == 3000 ? QK_E_OFFSET_BEYOND_FILE : QK_E_SUCCESS;
    token.Answer({}), token.Fail(result);
    EXPECT_EQ(result, QKStoreFile(token.context(), "0A0B", 7, kData.data(), length));
    ASSERT_EQ(chunks.size(), token.sent.size());
    for (uint32_t i = 0, done = 0; i < chunks.size(); done += chunks[i++]) {
      const uint32_t n = chunks[i], offset = 7 + done;
      const Bytes header = {0x00, 0xD6, 0x0B, 0x0A, uint8_t(n + 4), uint8_t((n + 4) >> 8),
                            uint8_t(offset), uint8_t(offset >> 8), uint8_t(n), uint8_t(n >> 8)};
      EXPECT_EQ(Cat({header, Bytes(&kData[done], &kData[done + n])}), token.sent[i]);
    }
  }
}

TEST(Execute, CopiesTheAnswerOnlyWhenItFits) {
  ScriptedToken token;
  token.Answer(Pattern(4));
  Bytes output(4, 0xEE);
  uint32_t n = 77;
  EXPECT_EQ(QK_E_BUFFER_TOO_SMALL, QKExecute(token.context(), "1", 0, 0, output.data(), 3, &n));
  EXPECT_TRUE(n == 77 && output == Bytes(4, 0xEE));
}
