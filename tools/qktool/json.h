// A small strict JSON reader (bounded depth, sizes and counts) for manifests,
// and a writer for the tool's --json output.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qktool {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  uint64_t number = 0;  // only non-negative integers are accepted
  std::string text;
  std::vector<JsonValue> items;
  // Members in the order written; keys are unique (a repeated key is an error).
  std::vector<std::pair<std::string, JsonValue>> members;

  const JsonValue* Find(const std::string& key) const;
};

struct JsonLimits {
  size_t maxDepth = 16;
  size_t maxStringBytes = 64 * 1024;
  size_t maxElements = 4096;  // values in the whole document
};

// Parses `text` as one JSON document. On failure returns false and puts
// "line L, column C: what" in *error.
bool ParseJson(const std::string& text, JsonValue* value, std::string* error,
               const JsonLimits& limits = JsonLimits());

// The length of the well-formed UTF-8 sequence at text[pos] (1 to 4), or 0
// when the bytes there are not one (overlong forms, surrogates and values
// above U+10FFFF included).
size_t Utf8SequenceLength(const std::string& text, size_t pos);

// The JSON form of a string, quotes included: always valid UTF-8 JSON, each
// byte that is not part of well-formed UTF-8 written as U+FFFD.
std::string JsonQuote(const std::string& text);

// Builds one JSON object, members in the order added.
class JsonObject {
 public:
  JsonObject& Add(const std::string& key, const std::string& text);
  JsonObject& Add(const std::string& key, const char* text);
  JsonObject& Add(const std::string& key, uint64_t number);
  JsonObject& Add(const std::string& key, bool value);
  JsonObject& AddRaw(const std::string& key, const std::string& json);
  std::string Str() const { return "{" + body_ + "}"; }

 private:
  std::string body_;
};

}  // namespace qktool
