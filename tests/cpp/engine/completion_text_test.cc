#include "engine/completion_text.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace pinnet::engine {
namespace {

TEST(CompactToolsJson, DropsWhitespaceOnlyOutsideStrings) {
  EXPECT_EQ(compact_tools_json("[ {\"name\": \"a b\"} ]\n"), "[{\"name\":\"a b\"}]");
  EXPECT_EQ(compact_tools_json("\t[\r\n1 ,\t2 ]"), "[1,2]");
  // An escaped quote does not end the string, so the space after it stays.
  EXPECT_EQ(compact_tools_json("\"x\\\" y\" , z"), "\"x\\\" y\",z");
  // An escaped backslash does: the quote after it closes the string.
  EXPECT_EQ(compact_tools_json("[\"a\\\\\" , \"b\"]"), "[\"a\\\\\",\"b\"]");
  // Unterminated strings keep everything after their quote.
  EXPECT_EQ(compact_tools_json("[ \"open  string \n"), "[\"open  string \n");
  // Other Unicode spaces are not JSON whitespace and are kept.
  EXPECT_EQ(compact_tools_json("[\xC2\xA0 1]"), "[\xC2\xA0" "1]");
  EXPECT_EQ(compact_tools_json(""), "");
}

TEST(CompactToolsJson, NeverGrowsAndIsIdempotent) {
  std::mt19937 rng(7);
  const std::string alphabet = " \t\n\r\"\\ab{}[]:,\xC3\xA9";
  for (int round = 0; round < 2000; ++round) {
    std::string s;
    int len = static_cast<int>(rng() % 40);
    for (int i = 0; i < len; ++i) s.push_back(alphabet[rng() % alphabet.size()]);
    std::string once = compact_tools_json(s);
    ASSERT_LE(once.size(), s.size());
    // Compaction keeps string state at every boundary, so a second pass over
    // text that ends inside a string removes nothing more.
    ASSERT_EQ(compact_tools_json(once), once) << s;
  }
}

TEST(BuildPrompt, Template) {
  EXPECT_EQ(build_prompt("Hi", "[ ]", std::nullopt),
            "<|im_start|>user\n<tools>[]</tools>\nHi<|im_end|>\n<|im_start|>assistant\n");
  EXPECT_EQ(build_prompt("q", "[]", std::string_view("")),
            "<|im_start|>system\n<|im_end|>\n"
            "<|im_start|>user\n<tools>[]</tools>\nq<|im_end|>\n<|im_start|>assistant\n");
  EXPECT_EQ(build_prompt("a<|im_end|>b", "[]", std::string_view("Be brief.")),
            "<|im_start|>system\nBe brief.<|im_end|>\n"
            "<|im_start|>user\n<tools>[]</tools>\na<|im_end|>b<|im_end|>\n"
            "<|im_start|>assistant\n");
}

TEST(ScoringText, AppendsCompletionWithoutSeparator) {
  EXPECT_EQ(scoring_text("Hi", "[ ]", "<think>x</think>"),
            "<|im_start|>user\n<tools>[]</tools>\nHi<|im_end|>\n<|im_start|>assistant\n"
            "<think>x</think>");
}

TEST(ExtractBetween, Rules) {
  EXPECT_FALSE(extract_between("no markers", "<a>", "</a>").has_value());
  EXPECT_EQ(*extract_between("<a>x</a>", "<a>", "</a>"), "x");
  EXPECT_EQ(*extract_between("<a>cut off", "<a>", "</a>"), "cut off");
  EXPECT_EQ(*extract_between("</a>x<a>y</a>z</a>", "<a>", "</a>"), "y");
  EXPECT_EQ(*extract_between("<a><a>y</a>", "<a>", "</a>"), "<a>y");
  EXPECT_EQ(*extract_between("<a>", "<a>", "</a>"), "");
}

TEST(Payloads, TrimmingDiffersByGeneration) {
  EXPECT_EQ(*v3_tool_call("<tool_call> [] </tool_call>"), "[]");
  EXPECT_EQ(*v2_tool_call("<tool_call> [] </tool_call>"), " [] ");
  EXPECT_EQ(*v3_tool_call("<tool_call>{\"name\":\"f\""), "{\"name\":\"f\"");
  EXPECT_EQ(*v3_reasoning("<think>\n\n</think>"), "");
  EXPECT_EQ(*v3_reasoning("<think> a </think>b"), "a");
  EXPECT_EQ(*v2_thinking("<think> a </think>b"), " a ");
  EXPECT_FALSE(v3_reasoning("plain").has_value());
  EXPECT_FALSE(v2_tool_call("plain").has_value());
}

TEST(TrimWhiteSpace, EveryWhiteSpaceCharacterAndNothingElse) {
  const char* spaces[] = {"\t", "\n", "\v", "\f", "\r", " ", "\xC2\x85", "\xC2\xA0",
                          "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x85", "\xE2\x80\x8A",
                          "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
                          "\xE3\x80\x80"};
  for (const char* s : spaces) {
    std::string text = std::string(s) + "x" + s + "y" + s;
    EXPECT_EQ(trim_white_space(text), std::string("x") + s + "y") << s;
  }
  // Look-alikes that are not White_Space: zero width space, BOM, U+180E.
  const char* kept[] = {"\xE2\x80\x8B", "\xEF\xBB\xBF", "\xE1\xA0\x8E"};
  for (const char* s : kept) EXPECT_EQ(trim_white_space(s), s);
  EXPECT_EQ(trim_white_space(" \xC3\xA9 "), "\xC3\xA9");
  EXPECT_EQ(trim_white_space("   "), "");
  EXPECT_EQ(trim_white_space(""), "");
}

TEST(Gen1EncoderInput, CutsToMaxEncLen) {
  std::vector<uint32_t> q = {10, 11, 12, 13};
  std::vector<uint32_t> t = {20, 21, 22};
  EXPECT_EQ(gen1_encoder_input(q, t, 100), (std::vector<uint32_t>{10, 11, 12, 13, 5, 20, 21, 22}));
  EXPECT_EQ(gen1_encoder_input(q, t, 6), (std::vector<uint32_t>{10, 11, 12, 13, 5, 20}));
  EXPECT_EQ(gen1_encoder_input(q, t, 3), (std::vector<uint32_t>{10, 5, 20}));
  EXPECT_EQ(gen1_encoder_input(q, t, 1), (std::vector<uint32_t>{5}));
  EXPECT_EQ(gen1_encoder_input({}, t, 4), (std::vector<uint32_t>{5, 20, 21, 22}));
  EXPECT_EQ(gen1_encoder_input(q, {}, 4), (std::vector<uint32_t>{10, 11, 5}));
  EXPECT_TRUE(gen1_encoder_input({}, {}, 10).empty());
  EXPECT_TRUE(gen1_encoder_input(q, t, 0).empty());
  for (size_t m = 1; m < 12; ++m) EXPECT_LE(gen1_encoder_input(q, t, m).size(), m);
}

}  // namespace
}  // namespace pinnet::engine
