// The strict JSON reader: what it accepts, what it refuses and where it says
// the text went wrong.
#include <gtest/gtest.h>

#include <string>

#include "formats/json.h"

namespace pinnet::formats {
namespace {

TEST(Json, ReadsValuesAndKeepsNumberText) {
  auto v = parse_json(" {\"a\": [1, -2.50e3, true, null, {\"b\": \"x\\\"\\\\\\u00e9\\ud83c\\udf89\\/\"}],\n \"a\": {}} ");
  ASSERT_TRUE(v.ok()) << v.error().message();
  const JsonValue& o = v.value();
  ASSERT_EQ(o.members.size(), 2u);
  EXPECT_EQ(o.get("a")->kind, JsonValue::Kind::kObject);  // the last of equal keys
  const JsonValue& arr = o.members[0].second;
  ASSERT_EQ(arr.items.size(), 5u);
  EXPECT_EQ(arr.items[1].text, "-2.50e3");
  EXPECT_FALSE(arr.items[1].is_integer_literal());
  EXPECT_TRUE(arr.items[0].is_integer_literal());
  EXPECT_EQ(arr.items[4].get("b")->text, "x\"\\\xC3\xA9\xF0\x9F\x8E\x89/");
  EXPECT_EQ(to_json(arr), "[1,-2.50e3,true,null,{\"b\":\"x\\\"\\\\\xC3\xA9\xF0\x9F\x8E\x89/\"}]");
}

TEST(Json, QuotesOnlyWhatMustBeEscaped) {
  EXPECT_EQ(json_quote("a\"b\\c\n\x01\xC3\xA9"), "\"a\\\"b\\\\c\\n\\u0001\xC3\xA9\"");
  auto back = parse_json(json_quote("tab\there \"q\" \x1F"));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value().text, "tab\there \"q\" \x1F");
}

struct Bad {
  const char* text;
  const char* what;
  size_t line, column;
};

TEST(Json, ErrorsSayWhatAndWhere) {
  const Bad cases[] = {
      {"", "unexpected end of text, expected a value", 1, 1},
      {"[1,]", "unexpected character, expected a value", 1, 4},
      {"{\"a\":1,}", "expected a string key in an object", 1, 8},
      {"{\"a\" 1}", "expected ':' after an object key", 1, 6},
      {"[\n  {\"a\": tru}]", "invalid literal", 2, 9},
      {"[1] [2]", "unexpected text after the value", 1, 5},
      {"01", "leading zero in a number", 1, 2},
      {"1.", "expected a digit", 1, 3},
      {"-", "expected a digit", 1, 2},
      {"\"open", "unterminated string", 1, 6},
      {"\"tab\there\"", "control character in a string", 1, 5},
      {"\"\\x\"", "invalid escape in a string", 1, 3},
      {"\"\\ud800\"", "unpaired high surrogate in a \\u escape", 1, 8},
      {"\"\\udc00\"", "unpaired low surrogate in a \\u escape", 1, 8},
      {"\"\\u12g4\"", "invalid hex digit in a \\u escape", 1, 6},
      {"\"\xC3\x28\"", "invalid UTF-8 in a string", 1, 2},
      {"\"\xED\xA0\x80\"", "invalid UTF-8 in a string", 1, 2},
      {"{'a':1}", "expected a string key in an object", 1, 2},
      {"[1 2]", "expected ',' or ']' in an array", 1, 4},
      {"{\"a\":1 \"b\":2}", "expected ',' or '}' in an object", 1, 8},
  };
  for (const Bad& b : cases) {
    auto r = parse_json(b.text);
    ASSERT_FALSE(r.ok()) << b.text;
    EXPECT_EQ(r.error().what, b.what) << b.text;
    EXPECT_EQ(r.error().line, b.line) << b.text;
    EXPECT_EQ(r.error().column, b.column) << b.text;
  }
  EXPECT_EQ(parse_json("[\n  {\"a\": tru}]").error().message(), "invalid literal at line 2 column 9 (byte 10)");
}

TEST(Json, NestingIsBounded) {
  const std::string deep(200, '[');
  auto r = parse_json(deep + std::string(200, ']'));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().what, "nesting too deep");
  EXPECT_EQ(r.error().offset, kJsonMaxDepth);
  EXPECT_TRUE(parse_json(std::string(kJsonMaxDepth, '[') + std::string(kJsonMaxDepth, ']')).ok());
}

}  // namespace
}  // namespace pinnet::formats
