#include <gtest/gtest.h>

#include <functional>
#include <iterator>
#include <string>

#include "api/files.h"
#include "tests/api/scripted_token.h"

namespace {

using namespace qktest;
using Call = std::function<uint32_t(QKContext*)>;

const Bytes kData = Pattern(3000);
const Bytes kValue = Pattern(24, 0x40);

Bytes Select(const char* p1p2) { return Join(Hex("00 A4"), Join(Hex(p1p2), Hex("00 00"))); }

TEST(FileCommands, Layouts) {
  Bytes value = Bytes(kValue.begin() + 4, kValue.begin() + 20);
  value[15] = 0;  // the sixteenth byte of a 0x25 command always goes out as 0
  const std::string devPin = "904817263590481726359048";
  struct Case {
    Call call;
    std::vector<Bytes> images;
  } cases[] = {
      {[](QKContext* c) { return QKMakeDir(c, nullptr, 0, QK_DIR_ROOT); },
       {Hex("00 E0 00 00 00 00 00 3F 00 00 00")}},
      {[](QKContext* c) { return QKMakeDir(c, "0002", 0x012345, QK_DIR_SUB); },
       {Hex("00 E0 00 00 00 00 02 00 45 23 01")}},
      {[](QKContext* c) { return QKMakeDirEx(c, "0002", 16, QK_DIR_SUB, kValue.data()); },
       {Hex("00 E0 00 00 00 00 02 00 10 00 00")}},
      {[](QKContext* c) { return QKMakeDirEx(c, "zz", 0, QK_DIR_ROOT, kValue.data()); },
       {Hex("00 E0 00 00 00 00 00 3F 00 00 00"),
        Join(Hex("00 20 01 00 18 00"), Bytes(devPin.begin(), devPin.end())),
        Join(Hex("00 25 00 00 10 00"), value)}},
      {[](QKContext* c) { return QKSelectDir(c, "\\"); }, {Select("00 3F")}},
      {[](QKContext* c) { return QKSelectDir(c, ".."); }, {Select("00 00")}},
      {[](QKContext* c) { return QKSelectDir(c, "0001\\"); }, {Select("01 00")}},
      {[](QKContext* c) { return QKSelectDir(c, "\\0001\\abcd"); },
       {Select("00 3F"), Select("01 00"), Select("CD AB")}},
      {[](QKContext* c) { return QKSelectDir(c, "0001\\.."); }, {Select("01 00"), Select("00 00")}},
      {[](QKContext* c) { return QKSelectDir(c, std::string(127, 'A').c_str()); },
       [] {  // 25 full steps, then "AA"
         std::vector<Bytes> steps(25, Select("AA AA"));
         steps.push_back(Select("AA 00"));
         return steps;
       }()},
      {[](QKContext* c) { return QKWipeDir(c, ""); }, {Hex("00 E4 00 00 00 00")}},
      {[](QKContext* c) { return QKMakeFile(c, "0010", 65535, 0x1A2); },
       {Hex("00 E1 00 00 05 00 10 00 FF FF A2")}},
      {[](QKContext* c) { return QKExecute(c, "0001", Hex("00 05 00 08").data(), 4, nullptr, 0, nullptr); },
       {Hex("00 CF 01 00 04 00 00 05 00 08")}},
      {[](QKContext* c) { return QKMakeAndStoreFile(c, "0001", 0, kData.data(), 1, 64, 0, 0, 2); },
       {Hex("00 E1 00 00 05 00 01 00 40 00 02"), Join(Hex("00 D6 01 00 05 00 00 00 01 00"), {kData[0]})}},
      {[](QKContext* c) { return QKMakeAndStoreFile(c, "0001", 0x12345, kData.data(), 1, 64, 0, 1, 2); },
       {Join(Hex("00 D6 01 00 05 00 45 23 01 00"), {kData[0]})}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    ScriptedToken token;
    EXPECT_EQ(QK_E_SUCCESS, cases[i].call(token.context())) << "case " << i;
    EXPECT_EQ(cases[i].images, token.Images()) << "case " << i;
  }
}

TEST(FileCommands, RefusalsSendNothing) {
  uint8_t out[8];
  struct Case {
    Call call;
    uint32_t result;
  } cases[] = {
      {[](QKContext* c) { return QKMakeDir(c, nullptr, 1, QK_DIR_ROOT); }, QK_E_PARAMETER},
      {[](QKContext* c) { return QKMakeDir(c, "0001", 0, 2); }, QK_E_PARAMETER},
      {[](QKContext* c) { return QKMakeDir(c, nullptr, 0, QK_DIR_SUB); }, QK_E_PARAMETER},
      {[](QKContext* c) { return QKMakeDirEx(c, nullptr, 0, QK_DIR_ROOT, nullptr); }, QK_E_PARAMETER},
      {[](QKContext* c) { return QKSelectDir(c, nullptr); }, QK_E_PARAMETER},
      {[](QKContext* c) { return QKSelectDir(c, ""); }, QK_E_PARAMETER},
      {[](QKContext* c) { return QKSelectDir(c, std::string(128, 'A').c_str()); }, QK_E_PARAMETER},
      {[](QKContext* c) { return QKWipeDir(c, "0001"); }, QK_E_PARAMETER},
      // 65536 would travel as 00 00 and make a file of another size.
      {[](QKContext* c) { return QKMakeFile(c, "0001", 65536, 0); }, QK_E_DIR_SPACE},
      {[](QKContext* c) { return QKMakeFile(c, nullptr, 65537, 0); }, QK_E_DIR_SPACE},
      {[](QKContext* c) { return QKMakeFile(c, nullptr, 16, 0); }, QK_E_PARAMETER},
      {[](QKContext* c) { return QKStoreFile(c, "0001", 0, nullptr, 4); }, QK_E_PARAMETER},
      {[](QKContext* c) { return QKStoreFile(c, nullptr, 0, kData.data(), 4); }, QK_E_PARAMETER},
      {[](QKContext* c) { return QKStoreFile(c, "0001", 0, nullptr, 0); }, QK_E_SUCCESS},
      {[](QKContext* c) { return qk::WriteFileChunk(c, 1, 0, kData.data(), 1021); }, QK_E_PARAMETER},
      {[](QKContext* c) { return qk::SendData25(c, kData.data(), 0); }, QK_E_PARAMETER},
      {[](QKContext* c) { return qk::SendData25(c, kData.data(), 17); }, QK_E_PARAMETER},
      {[](QKContext* c) { return QKMakeAndStoreFile(c, "0001", 0, nullptr, 9, 64, 0, 0, 0); }, QK_E_PARAMETER},
      {[&](QKContext* c) { return QKExecute(c, "0001", kData.data(), 1025, out, 8, nullptr); }, QK_E_PARAMETER},
      {[&](QKContext* c) { return QKExecute(c, "0001", nullptr, 4, out, 8, nullptr); }, QK_E_PARAMETER},
      {[&](QKContext* c) { return QKExecute(c, "0001", kData.data(), 4, nullptr, 8, nullptr); }, QK_E_PARAMETER},
      {[&](QKContext* c) { return QKExecute(c, nullptr, kData.data(), 4, out, 8, nullptr); }, QK_E_PARAMETER},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    ScriptedToken token;
    EXPECT_EQ(cases[i].result, cases[i].call(token.context())) << "case " << i;
    EXPECT_TRUE(token.sent().empty()) << "case " << i;
    // A closed slot is refused before anything else, except for a bad mode.
    EXPECT_EQ(QK_E_CONTEXT, cases[i].call(token.closed())) << "case " << i;
  }
  ScriptedToken token;
  EXPECT_EQ(QK_E_PARAMETER, QKMakeAndStoreFile(token.closed(), "0001", 0, nullptr, 0, 64, 0, 2, 0));
}

TEST(FileCommands, MultiStepCallsStopAtTheFirstRefusal) {
  ScriptedToken token;
  token.Answer({});
  token.Fail(QK_E_DIR_NOT_FOUND);
  EXPECT_EQ(QK_E_DIR_NOT_FOUND, QKSelectDir(token.context(), "0001\\0002\\0003"));
  EXPECT_EQ(2u, token.sent().size());

  ScriptedToken rooted;  // the root selection's own result is not what counts
  rooted.Fail(QK_E_COMMUNICATION);
  EXPECT_EQ(QK_E_SUCCESS, QKSelectDir(rooted.context(), "\\0001"));
  EXPECT_EQ(2u, rooted.sent().size());
}

TEST(FileCommands, MakeDirExWritesTheValueOnlyAfterTheRootIsMade) {
  for (uint32_t verify : {QK_E_SUCCESS, QK_E_WRONG_PIN + 1}) {
    ScriptedToken token;
    token.Answer({});
    token.Fail(verify);  // a failed verification still lets the write answer for itself
    EXPECT_EQ(QK_E_SUCCESS, QKMakeDirEx(token.context(), nullptr, 0, QK_DIR_ROOT, kValue.data()));
    EXPECT_EQ(3u, token.sent().size());
  }
  ScriptedToken token;
  token.Fail(QK_E_DIR_EXISTS);
  EXPECT_EQ(QK_E_DIR_EXISTS, QKMakeDirEx(token.context(), nullptr, 0, QK_DIR_ROOT, kValue.data()));
  EXPECT_EQ(1u, token.sent().size());
}

TEST(StoreFile, CutsTheDataIntoChunksAndStopsAtARefusal) {
  struct Case {
    uint32_t length;
    std::vector<uint32_t> chunks;
    uint32_t refusedAt;  // chunk index the token refuses, or none
  } cases[] = {{2500, {1020, 1020, 460}, 99}, {1020, {1020}, 99}, {1021, {1020, 1}, 99},
               {3000, {1020, 1020}, 1}};
  for (const Case& c : cases) {
    ScriptedToken token;
    for (uint32_t i = 0; i < c.refusedAt && i < 8; ++i) token.Answer({});
    token.Fail(QK_E_OFFSET_BEYOND_FILE);
    const uint32_t result = QKStoreFile(token.context(), "0A0B", 7, kData.data(), c.length);
    EXPECT_EQ(c.refusedAt == 99 ? QK_E_SUCCESS : QK_E_OFFSET_BEYOND_FILE, result);
    ASSERT_EQ(c.chunks.size(), token.sent().size());
    uint32_t done = 0;
    for (size_t i = 0; i < c.chunks.size(); ++i) {
      const uint32_t n = c.chunks[i], offset = 7 + done;
      const Bytes header = {0x00, 0xD6, 0x0B, 0x0A, uint8_t(n + 4), uint8_t((n + 4) >> 8),
                            uint8_t(offset), uint8_t(offset >> 8), uint8_t(n), uint8_t(n >> 8)};
      EXPECT_EQ(Join(header, Bytes(kData.begin() + done, kData.begin() + done + n)),
                token.Images()[i]);
      done += n;
    }
  }
}

TEST(Execute, CopiesTheAnswerOnlyWhenItFits) {
  struct Case {
    size_t answer;
    uint32_t capacity;
    uint32_t transport;
    uint32_t result;
  } cases[] = {{2, 256, 0, QK_E_SUCCESS},          {3, 3, 0, QK_E_SUCCESS},
               {4, 3, 0, QK_E_BUFFER_TOO_SMALL},   {1022, 1022, 0, QK_E_SUCCESS},
               {0, 0, 0, QK_E_SUCCESS},            {3, 8, QK_E_FILE_NOT_FOUND, QK_E_FILE_NOT_FOUND}};
  for (const Case& c : cases) {
    ScriptedToken token;
    token.Answer(Pattern(c.answer), c.transport);
    Bytes output(c.capacity + 1, 0xEE);
    uint32_t length = 77;
    EXPECT_EQ(c.result, QKExecute(token.context(), "0001", nullptr, 0, output.data(), c.capacity,
                                  &length));
    if (c.result == QK_E_SUCCESS) {
      EXPECT_EQ(c.answer, length);
      EXPECT_EQ(Join(Pattern(c.answer), Bytes(c.capacity + 1 - c.answer, 0xEE)), output);
    } else {
      EXPECT_EQ(77u, length);
      EXPECT_EQ(Bytes(c.capacity + 1, 0xEE), output);
    }
  }
}

}  // namespace
