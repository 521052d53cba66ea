// qktool's manifest reader: strict syntax, bounds, and what it keeps.
#include <gtest/gtest.h>

#include <string>

#include "json.h"

using qktool::JsonValue;

TEST(QktoolJson, ReadsNestedValuesAndUnicode) {
  JsonValue v;
  std::string error;
  ASSERT_TRUE(qktool::ParseJson(
      R"( {"a": [1, true, null, "x\u00e9\ud83d\ude00\n"], "b": {"c": 9007199254740992}} )", &v,
      &error))
      << error;
  ASSERT_EQ(v.kind, JsonValue::Kind::kObject);
  const JsonValue* a = v.Find("a");
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->items.size(), 4u);
  EXPECT_EQ(a->items[0].number, 1u);
  EXPECT_TRUE(a->items[1].boolean);
  EXPECT_EQ(a->items[2].kind, JsonValue::Kind::kNull);
  EXPECT_EQ(a->items[3].text, "x\xC3\xA9\xF0\x9F\x98\x80\n");
  EXPECT_EQ(v.Find("b")->Find("c")->number, 9007199254740992u);
  EXPECT_EQ(qktool::JsonQuote("a\"\\\x01"), "\"a\\\"\\\\\\u0001\"");
}

TEST(QktoolJson, RefusesWhatIsNotStrictJsonOrOutOfBounds) {
  qktool::JsonLimits small;
  small.maxDepth = 3;
  small.maxStringBytes = 8;
  small.maxElements = 6;
  const std::pair<std::string, const char*> cases[] = {
      {"", "unexpected end"},
      {"{} x", "trailing text"},
      {"{\"a\":1,\"a\":2}", "given twice"},
      {"[1,]", "unexpected character"},
      {"{'a':1}", "expected a key"},
      {"01", "leading zero"},
      {"-1", "negative"},
      {"1.5", "whole numbers"},
      {"9007199254740993", "too large"},
      {"\"a\nb\"", "control character"},
      {"\"\\ud800\"", "lone high surrogate"},
      {"\"\\udc00\"", "lone low surrogate"},
      {"\"\\q\"", "bad escape"},
      {"[[[[1]]]]", "nested too deeply"},
      {"\"123456789\"", "string too long"},
      {"[1,2,3,4,5,6]", "too many values"},
      {"{\"a\" 1}", "expected ':'"},
      {"[1 2]", "expected ',' or ']'"},
  };
  for (const auto& [text, message] : cases) {
    JsonValue v;
    std::string error;
    EXPECT_FALSE(qktool::ParseJson(text, &v, &error, small)) << text;
    EXPECT_NE(error.find(message), std::string::npos) << text << ": " << error;
    EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
  }
  JsonValue v;
  std::string error;
  EXPECT_FALSE(qktool::ParseJson("{\n  \"a\": tru }", &v, &error));
  EXPECT_NE(error.find("line 2, column 8"), std::string::npos) << error;
}
