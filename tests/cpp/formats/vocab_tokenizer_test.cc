// The generation-1 vocabulary tokenizer: building the piece table from the
// vocabulary text, normalisation, both segmentations with their fallbacks,
// and decoding.
#include "formats/vocab_tokenizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using pinnet::formats::VocabTokenizer;

#define M "\xE2\x96\x81"  // U+2581

// Ids written as piece texts, so expectations read as segmentations; "{3}"
// is the unknown id (the vocabularies below keep a filler piece there).
std::vector<std::string> texts(const VocabTokenizer& tok, const std::vector<uint32_t>& ids) {
  std::vector<std::string> out;
  for (uint32_t id : ids) {
    out.push_back(id == VocabTokenizer::kUnknown ? "{3}" : std::string(tok.piece(id)));
  }
  return out;
}

TEST(VocabTokenizer, Encode) {
  const std::string scored_abc = "<pad>\t0\n</s>\t0\n<s>\t0\n<unk>\t0\n" M "\t-1\na\t-1\nb\t-1\nc\t-1\n";
  struct Case {
    const char* what;
    std::string vocab;
    std::string text;
    std::vector<std::string> want;
  } cases[] = {
      {"greedy longest match", M "a\n" M "ab\nc\n", "abc", {M "ab", "c"}},
      {"no tab: greedy even though pieces look like scores", "x\n1.5\n" M "\nu\n" M "1\n.5\n", "1.5",
       {M "1", ".5"}},
      {"white space runs become one marker", M "hello" M "world\n", "  hello \t\xE3\x80\x80 world\n ",
       {M "hello" M "world"}},
      {"only white space", M "\n", " \t\n", {}},
      {"greedy byte fallback, missing byte piece is unknown", "p\nq\nr\nu\n<0xC3>\n" M "\n",
       "\xC3\xA9", {M, "<0xC3>", "{3}"}},
      {"greedy never matches inside a character", "p\nq\nr\nu\n\xA9\n" M "\n", "\xC3\xA9",
       {M, "{3}", "{3}"}},
      {"ill-formed bytes fall back byte by byte", "p\nq\nr\nu\n<0xFF>\n" M "a\n", "a\xFF",
       {M "a", "<0xFF>"}},
      {"scored: highest score merges first", scored_abc + "ab\t-5\nbc\t-2\n" M "a\t-9\n", "abc",
       {M "a", "bc"}},
      {"scored: leftmost of equal scores", scored_abc + "ab\t-2\nbc\t-2\n", "abc", {M, "ab", "c"}},
      {"scored: merges chain into longer pieces",
       scored_abc + "ab\t-1\nabc\t-1\n" M "abc\t-1\n", "abc abc", {M "abc", M "abc"}},
      {"scored: unknown character without byte pieces", scored_abc, "a\xC3\xA9",
       {M, "a", "{3}", "{3}"}},
      {"scored: byte pieces", scored_abc + "<0xC3>\t0\n<0xA9>\t0\n", "\xC3\xA9",
       {M, "<0xC3>", "<0xA9>"}},
      {"scored: byte symbols merge when their joined text is a piece",
       scored_abc + "<0xC3>\t0\n<0xA9>\t0\n<0xC3><0xA9>\t5\n", "\xC3\xA9", {M, "<0xC3><0xA9>"}},
      {"no pieces at all: every byte is unknown", "", "ab", std::vector<std::string>(5, "{3}")},
      {"scored, nothing but an empty piece", "\t1", "a", {"{3}", "{3}", "{3}", "{3}"}},
  };
  for (const Case& c : cases) {
    const VocabTokenizer tok = VocabTokenizer::build(c.vocab);
    const auto ids = tok.encode(c.text);
    EXPECT_EQ(texts(tok, ids), c.want) << c.what;
    EXPECT_EQ(ids, tok.encode_reference(c.text)) << c.what;
  }
}

TEST(VocabTokenizer, Build) {
  struct Case {
    std::string vocab;
    std::vector<std::string> pieces;
    std::vector<float> scores;  // empty: no scores
  } cases[] = {
      {"a\r\nb\n", {"a", "b"}, {}},
      {"a\n\nb\ra\r", {"a", "", "b\ra\r"}, {}},
      {"a\t -1.5 \nb\tx\nc\n\td\t2\n", {"a", "b", "c", ""}, {-1.5f, 0, 0, 0}},
      {"a\t+3\nb\t1e50\nc\t-inf\nd\t0x10\ne\t1e-50\n", {"a", "b", "c", "d", "e"},
       {3, INFINITY, -INFINITY, 0, 0}},
  };
  for (const Case& c : cases) {
    const VocabTokenizer tok = VocabTokenizer::build(c.vocab);
    ASSERT_EQ(tok.piece_count(), c.pieces.size()) << c.vocab;
    for (uint32_t i = 0; i < c.pieces.size(); ++i) {
      EXPECT_EQ(tok.piece(i), c.pieces[i]);
      if (!c.scores.empty()) {
        EXPECT_EQ(tok.score(i), c.scores[i]) << c.vocab << " " << i;
      }
    }
    EXPECT_EQ(tok.has_scores(), !c.scores.empty());
    EXPECT_EQ(tok.piece(static_cast<uint32_t>(c.pieces.size())), "");
  }
  const VocabTokenizer dup = VocabTokenizer::build("x\ny\nx\n");
  EXPECT_EQ(dup.lookup("x"), 2u);
  EXPECT_EQ(dup.lookup("z"), std::nullopt);
  EXPECT_EQ(dup.encode("x"), (std::vector<uint32_t>{3, 3, 3, 2}));  // "▁" unknown, then "x"
}

TEST(VocabTokenizer, Decode) {
  const VocabTokenizer tok = VocabTokenizer::build(M "hello\n" M "world\n<0x41>\n" M M "x\n\xE3\x80\x80y\n");
  struct Case {
    std::vector<uint32_t> ids;
    std::string want;
  } cases[] = {
      {{0, 1}, "hello world"},
      {{0, 99, 1}, "hello world"},
      {{2, 0}, "<0x41> hello"},
      {{3}, "x"},            // leading spaces go
      {{4, 3}, "y  x"},      // leading U+3000 goes too
      {{}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(tok.decode(c.ids), c.want);
}

}  // namespace
