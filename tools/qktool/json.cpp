// Strict JSON: RFC 8259 syntax, except that numbers must be non-negative
// integers below 2^53 (manifests need nothing else). Every bound is checked
// before it can be passed.
#include "json.h"

#include <cstdio>

namespace qktool {

const JsonValue* JsonValue::Find(const std::string& key) const {
  for (const auto& member : members) {
    if (member.first == key) return &member.second;
  }
  return nullptr;
}

namespace {

class Parser {
 public:
  Parser(const std::string& text, const JsonLimits& limits) : text_(text), limits_(limits) {}

  bool Document(JsonValue* value, std::string* error) {
    const bool ok = Value(value, 0) && (SkipSpace(), pos_ == text_.size() || Fail("trailing text"));
    if (!ok) *error = Where() + ": " + error_;
    return ok;
  }

 private:
  bool Fail(const std::string& what) {
    if (error_.empty()) error_ = what;
    return false;
  }

  std::string Where() const {
    size_t line = 1, column = 1;
    for (size_t i = 0; i < pos_ && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
  }

  void SkipSpace() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r'))
      ++pos_;
  }

  bool Literal(const char* word) {
    const std::string w(word);
    if (text_.compare(pos_, w.size(), w) != 0) return Fail("unexpected character");
    pos_ += w.size();
    return true;
  }

  bool Value(JsonValue* value, size_t depth) {
    if (depth > limits_.maxDepth) return Fail("nested too deeply");
    if (++elements_ > limits_.maxElements) return Fail("too many values");
    SkipSpace();
    if (pos_ >= text_.size()) return Fail("unexpected end");
    const char c = text_[pos_];
    if (c == '{') return Object(value, depth);
    if (c == '[') return Array(value, depth);
    if (c == '"') {
      value->kind = JsonValue::Kind::kString;
      return String(&value->text);
    }
    if (c == 't' || c == 'f') {
      value->kind = JsonValue::Kind::kBool;
      value->boolean = c == 't';
      return Literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') return Literal("null");
    if (c >= '0' && c <= '9') return Number(value);
    if (c == '-') return Fail("negative numbers are not accepted");
    return Fail("unexpected character");
  }

  bool Number(JsonValue* value) {
    value->kind = JsonValue::Kind::kNumber;
    if (text_[pos_] == '0' && pos_ + 1 < text_.size() && text_[pos_ + 1] >= '0' &&
        text_[pos_ + 1] <= '9')
      return Fail("leading zero");
    uint64_t n = 0;
    while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') {
      n = n * 10 + static_cast<uint64_t>(text_[pos_] - '0');
      if (n > (uint64_t{1} << 53)) return Fail("number too large");
      ++pos_;
    }
    if (pos_ < text_.size() && (text_[pos_] == '.' || text_[pos_] == 'e' || text_[pos_] == 'E'))
      return Fail("only whole numbers are accepted");
    value->number = n;
    return true;
  }

  bool Hex4(uint32_t* unit) {
    if (pos_ + 4 > text_.size()) return Fail("short \\u escape");
    *unit = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[pos_++];
      uint32_t digit;
      if (c >= '0' && c <= '9')
        digit = static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        digit = static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        digit = static_cast<uint32_t>(c - 'A' + 10);
      else
        return Fail("bad \\u escape");
      *unit = *unit << 4 | digit;
    }
    return true;
  }

  static void AppendUtf8(uint32_t cp, std::string* out) {
    if (cp < 0x80) {
      out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out->push_back(static_cast<char>(0xC0 | cp >> 6));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | cp >> 12));
      out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | cp >> 18));
      out->push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }

  bool Escape(std::string* out) {
    if (pos_ >= text_.size()) return Fail("unterminated string");
    const char c = text_[pos_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        out->push_back(c);
        return true;
      case 'b':
        out->push_back('\b');
        return true;
      case 'f':
        out->push_back('\f');
        return true;
      case 'n':
        out->push_back('\n');
        return true;
      case 'r':
        out->push_back('\r');
        return true;
      case 't':
        out->push_back('\t');
        return true;
      case 'u':
        break;
      default:
        return Fail("bad escape");
    }
    uint32_t unit = 0;
    if (!Hex4(&unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return Fail("lone low surrogate");
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      uint32_t low = 0;
      if (text_.compare(pos_, 2, "\\u") != 0) return Fail("lone high surrogate");
      pos_ += 2;
      if (!Hex4(&low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return Fail("lone high surrogate");
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    AppendUtf8(unit, out);
    return true;
  }

  bool String(std::string* out) {
    ++pos_;  // the opening quote
    out->clear();
    while (true) {
      if (pos_ >= text_.size()) return Fail("unterminated string");
      const unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c < 0x20) return Fail("control character in string");
      if (c == '\\') {
        ++pos_;
        if (!Escape(out)) return false;
      } else {
        out->push_back(static_cast<char>(c));
        ++pos_;
      }
      if (out->size() > limits_.maxStringBytes) return Fail("string too long");
    }
  }

  bool Array(JsonValue* value, size_t depth) {
    value->kind = JsonValue::Kind::kArray;
    ++pos_;
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      return true;
    }
    while (true) {
      value->items.emplace_back();
      if (!Value(&value->items.back(), depth + 1)) return false;
      SkipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == ']') {
        ++pos_;
        return true;
      }
      return Fail("expected ',' or ']'");
    }
  }

  bool Object(JsonValue* value, size_t depth) {
    value->kind = JsonValue::Kind::kObject;
    ++pos_;
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return true;
    }
    while (true) {
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != '"') return Fail("expected a key");
      std::string key;
      if (!String(&key)) return false;
      if (value->Find(key) != nullptr) return Fail("key \"" + key + "\" given twice");
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != ':') return Fail("expected ':'");
      ++pos_;
      value->members.emplace_back(key, JsonValue());
      if (!Value(&value->members.back().second, depth + 1)) return false;
      SkipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == '}') {
        ++pos_;
        return true;
      }
      return Fail("expected ',' or '}'");
    }
  }

  const std::string& text_;
  const JsonLimits& limits_;
  size_t pos_ = 0;
  size_t elements_ = 0;
  std::string error_;
};

}  // namespace

bool ParseJson(const std::string& text, JsonValue* value, std::string* error,
               const JsonLimits& limits) {
  *value = JsonValue();
  return Parser(text, limits).Document(value, error);
}

size_t Utf8SequenceLength(const std::string& text, size_t pos) {
  const auto at = [&](size_t i) { return static_cast<unsigned char>(text[pos + i]); };
  const unsigned char lead = at(0);
  if (lead < 0x80) return 1;
  size_t length;
  uint32_t value, minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((at(i) & 0xC0) != 0x80) return 0;
    value = value << 6 | (at(i) & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  return length;
}

std::string JsonQuote(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += "\\ufffd";
    } else if (length > 1) {
      out.append(text, i, length);
      i += length - 1;
    } else if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out + "\"";
}

JsonObject& JsonObject::AddRaw(const std::string& key, const std::string& json) {
  if (!body_.empty()) body_ += ",";
  body_ += JsonQuote(key) + ":" + json;
  return *this;
}
JsonObject& JsonObject::Add(const std::string& key, const std::string& text) {
  return AddRaw(key, JsonQuote(text));
}
JsonObject& JsonObject::Add(const std::string& key, const char* text) {
  return AddRaw(key, JsonQuote(text));
}
JsonObject& JsonObject::Add(const std::string& key, uint64_t number) {
  return AddRaw(key, std::to_string(number));
}
JsonObject& JsonObject::Add(const std::string& key, bool value) {
  return AddRaw(key, value ? "true" : "false");
}

}  // namespace qktool
