// A small strict JSON parser for checking generated tool calls: the whole
// text must be one value (white space around it allowed), strings must be
// valid (escapes decoded, \u pairs joined, no raw control characters), and
// objects keep their members in order with duplicates, so a test can see a
// repeated key.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pinnet::engine::testing {

struct JsonValue {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  double number = 0.0;
  std::string string;
  std::vector<JsonValue> items;                               // kArray
  std::vector<std::pair<std::string, JsonValue>> members;     // kObject, in order

  // The first member called `key`, or null.
  const JsonValue* get(std::string_view key) const {
    for (const auto& [k, v] : members) {
      if (k == key) return &v;
    }
    return nullptr;
  }
};

class MiniJson {
 public:
  static std::optional<JsonValue> parse(std::string_view text) {
    MiniJson p(text);
    JsonValue v;
    p.space();
    if (!p.value(&v, 0)) return std::nullopt;
    p.space();
    if (p.i_ != text.size()) return std::nullopt;
    return v;
  }

 private:
  explicit MiniJson(std::string_view s) : s_(s) {}

  static constexpr int kMaxDepth = 64;

  void space() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) {
      ++i_;
    }
  }
  bool eat(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool word(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }

  bool value(JsonValue* v, int depth) {
    if (depth > kMaxDepth || i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '{') return object(v, depth);
    if (c == '[') return array(v, depth);
    if (c == '"') {
      v->kind = JsonValue::Kind::kString;
      return string(&v->string);
    }
    if (word("true") || word("false")) {
      v->kind = JsonValue::Kind::kBool;
      v->boolean = c == 't';
      return true;
    }
    if (word("null")) {
      v->kind = JsonValue::Kind::kNull;
      return true;
    }
    return number(v);
  }

  bool object(JsonValue* v, int depth) {
    v->kind = JsonValue::Kind::kObject;
    ++i_;
    space();
    if (eat('}')) return true;
    while (true) {
      std::string key;
      space();
      if (i_ >= s_.size() || s_[i_] != '"' || !string(&key)) return false;
      space();
      if (!eat(':')) return false;
      space();
      JsonValue member;
      if (!value(&member, depth + 1)) return false;
      v->members.emplace_back(std::move(key), std::move(member));
      space();
      if (eat('}')) return true;
      if (!eat(',')) return false;
    }
  }

  bool array(JsonValue* v, int depth) {
    v->kind = JsonValue::Kind::kArray;
    ++i_;
    space();
    if (eat(']')) return true;
    while (true) {
      space();
      JsonValue item;
      if (!value(&item, depth + 1)) return false;
      v->items.push_back(std::move(item));
      space();
      if (eat(']')) return true;
      if (!eat(',')) return false;
    }
  }

  bool hex4(uint32_t* out) {
    if (s_.size() - i_ < 4) return false;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = s_[i_++];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        return false;
      }
    }
    *out = v;
    return true;
  }

  static void put_utf8(std::string* out, uint32_t c) {
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }

  // Raw bytes are taken as they are (the generated text is already UTF-8).
  bool string(std::string* out) {
    ++i_;  // the opening quote
    while (i_ < s_.size()) {
      const auto c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        continue;
      }
      if (i_ >= s_.size()) return false;
      const char e = s_[i_++];
      switch (e) {
        case '"': out->push_back('"'); break;
        case '\\': out->push_back('\\'); break;
        case '/': out->push_back('/'); break;
        case 'b': out->push_back('\b'); break;
        case 'f': out->push_back('\f'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case 't': out->push_back('\t'); break;
        case 'u': {
          uint32_t cp;
          if (!hex4(&cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {
            uint32_t low;
            if (!word("\\u") || !hex4(&low) || low < 0xDC00 || low >= 0xE000) return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp < 0xE000) {
            return false;
          }
          put_utf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  bool digits() {
    const size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    return i_ > start;
  }

  bool number(JsonValue* v) {
    const size_t start = i_;
    eat('-');
    if (eat('0')) {
      if (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') return false;  // no leading zeros
    } else if (!digits()) {
      return false;
    }
    if (eat('.') && !digits()) return false;
    if (eat('e') || eat('E')) {
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    v->kind = JsonValue::Kind::kNumber;
    v->number = std::stod(std::string(s_.substr(start, i_ - start)));
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace pinnet::engine::testing
