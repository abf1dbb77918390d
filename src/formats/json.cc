#include "formats/json.h"

#include <cstdio>

#include "formats/utf8.h"

namespace pinnet::formats {

JsonValue::JsonValue() = default;
JsonValue::JsonValue(const JsonValue&) = default;
JsonValue::JsonValue(JsonValue&&) noexcept = default;
JsonValue& JsonValue::operator=(const JsonValue&) = default;
JsonValue& JsonValue::operator=(JsonValue&&) noexcept = default;
JsonValue::~JsonValue() = default;

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Parser {
 public:
  Parser(std::string_view text, size_t max_depth) : s_(text), max_depth_(max_depth) {}

  core::Result<JsonValue, JsonError> run() {
    JsonValue v;
    skip_space();
    if (!value(v, 0)) return core::Err{error_};
    skip_space();
    if (i_ < s_.size()) {
      fail("unexpected text after the value");
      return core::Err{error_};
    }
    return v;
  }

 private:
  bool fail(const char* what) {
    error_.offset = i_;
    error_.what = what;
    error_.line = 1;
    size_t line_start = 0;
    for (size_t k = 0; k < i_ && k < s_.size(); ++k) {
      if (s_[k] == '\n') {
        ++error_.line;
        line_start = k + 1;
      }
    }
    error_.column = i_ - line_start + 1;
    return false;
  }

  void skip_space() {
    while (i_ < s_.size() && is_space(s_[i_])) ++i_;
  }

  bool eat(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }

  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return fail("invalid literal");
    i_ += word.size();
    return true;
  }

  bool value(JsonValue& v, size_t depth) {
    if (i_ >= s_.size()) return fail("unexpected end of text, expected a value");
    switch (s_[i_]) {
      case '{': return object(v, depth);
      case '[': return array(v, depth);
      case '"':
        v.kind = JsonValue::Kind::kString;
        return string(v.text);
      case 't':
        v.kind = JsonValue::Kind::kBool;
        v.boolean = true;
        return literal("true");
      case 'f':
        v.kind = JsonValue::Kind::kBool;
        return literal("false");
      case 'n':
        v.kind = JsonValue::Kind::kNull;
        return literal("null");
      default:
        if (s_[i_] == '-' || is_digit(s_[i_])) return number(v);
        return fail("unexpected character, expected a value");
    }
  }

  bool digits() {
    if (i_ >= s_.size() || !is_digit(s_[i_])) return fail("expected a digit");
    while (i_ < s_.size() && is_digit(s_[i_])) ++i_;
    return true;
  }

  bool number(JsonValue& v) {
    const size_t start = i_;
    eat('-');
    if (eat('0')) {
      if (i_ < s_.size() && is_digit(s_[i_])) return fail("leading zero in a number");
    } else if (!digits()) {
      return false;
    }
    if (eat('.') && !digits()) return false;
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    v.kind = JsonValue::Kind::kNumber;
    v.text.assign(s_.substr(start, i_ - start));
    return true;
  }

  // Four hex digits after "\u".
  bool hex4(char32_t* out) {
    if (s_.size() - i_ < 4) return fail("truncated \\u escape");
    char32_t c = 0;
    for (int k = 0; k < 4; ++k) {
      const int h = hex_value(s_[i_]);
      if (h < 0) return fail("invalid hex digit in a \\u escape");
      c = (c << 4) | static_cast<char32_t>(h);
      ++i_;
    }
    *out = c;
    return true;
  }

  bool string(std::string& out) {
    ++i_;  // the opening quote
    out.clear();
    while (true) {
      if (i_ >= s_.size()) return fail("unterminated string");
      const auto b = static_cast<unsigned char>(s_[i_]);
      if (b == '"') {
        ++i_;
        return true;
      }
      if (b < 0x20) return fail("control character in a string");
      if (b == '\\') {
        ++i_;
        if (i_ >= s_.size()) return fail("unterminated string");
        const char e = s_[i_++];
        switch (e) {
          case '"': out.push_back('"'); break;
          case '\\': out.push_back('\\'); break;
          case '/': out.push_back('/'); break;
          case 'b': out.push_back('\b'); break;
          case 'f': out.push_back('\f'); break;
          case 'n': out.push_back('\n'); break;
          case 'r': out.push_back('\r'); break;
          case 't': out.push_back('\t'); break;
          case 'u': {
            char32_t c = 0;
            if (!hex4(&c)) return false;
            if (c >= 0xDC00 && c <= 0xDFFF) return fail("unpaired low surrogate in a \\u escape");
            if (c >= 0xD800 && c <= 0xDBFF) {
              char32_t low = 0;
              if (!eat('\\') || !eat('u')) return fail("unpaired high surrogate in a \\u escape");
              if (!hex4(&low)) return false;
              if (low < 0xDC00 || low > 0xDFFF) return fail("unpaired high surrogate in a \\u escape");
              c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            }
            append_utf8(out, c);
            break;
          }
          default:
            --i_;
            return fail("invalid escape in a string");
        }
        continue;
      }
      const Utf8Step step = utf8_step(reinterpret_cast<const unsigned char*>(s_.data()) + i_,
                                      s_.size() - i_);
      if (!step.valid) return fail("invalid UTF-8 in a string");
      out.append(s_.substr(i_, step.len));
      i_ += step.len;
    }
  }

  bool enter(size_t depth) {
    if (depth + 1 > max_depth_) return fail("nesting too deep");
    ++i_;
    skip_space();
    return true;
  }

  bool array(JsonValue& v, size_t depth) {
    if (!enter(depth)) return false;
    v.kind = JsonValue::Kind::kArray;
    if (eat(']')) return true;
    while (true) {
      v.items.emplace_back();
      if (!value(v.items.back(), depth + 1)) return false;
      skip_space();
      if (eat(']')) return true;
      if (!eat(',')) return fail("expected ',' or ']' in an array");
      skip_space();
    }
  }

  bool object(JsonValue& v, size_t depth) {
    if (!enter(depth)) return false;
    v.kind = JsonValue::Kind::kObject;
    if (eat('}')) return true;
    while (true) {
      if (i_ >= s_.size() || s_[i_] != '"') return fail("expected a string key in an object");
      v.members.emplace_back();
      if (!string(v.members.back().first)) return false;
      skip_space();
      if (!eat(':')) return fail("expected ':' after an object key");
      skip_space();
      if (!value(v.members.back().second, depth + 1)) return false;
      skip_space();
      if (eat('}')) return true;
      if (!eat(',')) return fail("expected ',' or '}' in an object");
      skip_space();
    }
  }

  std::string_view s_;
  size_t max_depth_;
  size_t i_ = 0;
  JsonError error_;
};

}  // namespace

const JsonValue* JsonValue::get(std::string_view key) const {
  for (auto it = members.rbegin(); it != members.rend(); ++it) {
    if (it->first == key) return &it->second;
  }
  return nullptr;
}

bool JsonValue::is_integer_literal() const {
  return kind == Kind::kNumber && text.find_first_of(".eE") == std::string::npos;
}

std::string JsonError::message() const {
  return what + " at line " + std::to_string(line) + " column " + std::to_string(column) +
         " (byte " + std::to_string(offset) + ")";
}

core::Result<JsonValue, JsonError> parse_json(std::string_view text, size_t max_depth) {
  return Parser(text, max_depth).run();
}

std::string json_quote(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return out;
}

std::string to_json(const JsonValue& v) {
  switch (v.kind) {
    case JsonValue::Kind::kNull: return "null";
    case JsonValue::Kind::kBool: return v.boolean ? "true" : "false";
    case JsonValue::Kind::kNumber: return v.text;
    case JsonValue::Kind::kString: return json_quote(v.text);
    case JsonValue::Kind::kArray: {
      std::string out = "[";
      for (size_t k = 0; k < v.items.size(); ++k) {
        if (k) out.push_back(',');
        out += to_json(v.items[k]);
      }
      return out + "]";
    }
    case JsonValue::Kind::kObject: {
      std::string out = "{";
      for (size_t k = 0; k < v.members.size(); ++k) {
        if (k) out.push_back(',');
        out += json_quote(v.members[k].first) + ":" + to_json(v.members[k].second);
      }
      return out + "}";
    }
  }
  return "null";
}

}  // namespace pinnet::formats
