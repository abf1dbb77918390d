#include "formats/subword_tokenizer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "tokenizer_blob_writer.h"

namespace pinnet::formats {
namespace {

using testing::BlobPiece;
using testing::BlobSpec;
using testing::byte_piece_text;
using testing::write_tokenizer_blob;
using Ids = std::vector<uint32_t>;

const std::string kMark = "\xE2\x96\x81";  // U+2581

SubwordTokenizer make(const BlobSpec& spec) {
  const std::vector<uint8_t> blob = write_tokenizer_blob(spec);
  auto r = SubwordTokenizer::parse(blob);
  if (!r.ok()) ADD_FAILURE() << "parse failed: " << r.error().message();
  return std::move(r).value();
}

std::string parse_error(const std::vector<uint8_t>& blob) {
  auto r = SubwordTokenizer::parse(blob);
  return r.ok() ? std::string("<parsed>") : r.error().message();
}

// ---------------------------------------------------------------------------
// A plain reference written straight from the rules, with std::map and string
// copies, sharing no code with the tokenizer.

std::vector<std::string> split_chars(const std::string& s) {
  std::vector<std::string> out;
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;  // valid input only
    out.push_back(s.substr(i, len));
    i += len;
  }
  return out;
}

struct Reference {
  explicit Reference(const BlobSpec& spec) : spec(spec) {
    for (uint32_t id = 0; id < spec.pieces.size(); ++id) {
      const BlobPiece& p = spec.pieces[id];
      map[p.text] = id;  // later ids overwrite earlier ones
      if (p.kind == kPieceByte) {
        bytes[std::stoi(p.text.substr(3, 2), nullptr, 16)] = id;
      }
      if (p.kind == kPieceLiteral && !p.text.empty()) literals.push_back(id);
    }
    std::stable_sort(literals.begin(), literals.end(), [&](uint32_t a, uint32_t b) {
      return spec.pieces[a].text.size() > spec.pieces[b].text.size();
    });
  }

  void segment(const std::string& buffer, Ids& out) const {
    std::vector<std::string> sym = split_chars(buffer);
    while (sym.size() > 1) {
      int best = -1;
      float best_score = 0;
      for (std::size_t i = 0; i + 1 < sym.size(); ++i) {
        const auto it = map.find(sym[i] + sym[i + 1]);
        if (it == map.end()) continue;
        const float score = spec.pieces[it->second].score;
        if (best < 0 || score > best_score) {
          best = static_cast<int>(i);
          best_score = score;
        }
      }
      if (best < 0) break;
      sym[best] += sym[best + 1];
      sym.erase(sym.begin() + best + 1);
    }
    for (const std::string& s : sym) {
      const auto it = map.find(s);
      if (it != map.end()) {
        out.push_back(it->second);
      } else if (spec.byte_fallback) {
        for (unsigned char c : s) {
          const auto b = bytes.find(c);
          out.push_back(b != bytes.end() ? b->second : spec.unk_id);
        }
      } else {
        out.push_back(spec.unk_id);
      }
    }
  }

  Ids encode(const std::string& text) const {
    Ids out;
    if (text.empty()) return out;
    std::string norm = spec.add_dummy_prefix ? kMark : "";
    for (char c : text) norm += c == ' ' ? kMark : std::string(1, c);
    std::string pending;
    for (std::size_t pos = 0; pos < norm.size();) {
      bool hit = false;
      for (uint32_t id : literals) {
        const std::string& lit = spec.pieces[id].text;
        if (norm.compare(pos, lit.size(), lit) == 0) {
          segment(pending, out);
          pending.clear();
          out.push_back(id);
          pos += lit.size();
          hit = true;
          break;
        }
      }
      if (hit) continue;
      const std::string ch = split_chars(norm.substr(pos, 4)).front();
      pending += ch;
      pos += ch.size();
    }
    segment(pending, out);
    return out;
  }

  const BlobSpec& spec;
  std::map<std::string, uint32_t> map;
  std::map<int, uint32_t> bytes;
  std::vector<uint32_t> literals;
};

// ---------------------------------------------------------------------------
// Parse errors, each with its exact text, and the order of the checks.

BlobSpec three_pieces() {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {"a", -1, 0}, {"b", -2, 0}};
  return s;
}

TEST(SubwordTokenizerParse, ShortHeaderIsTruncated) {
  EXPECT_EQ(parse_error({}), "tokenizer blob truncated: need 24 bytes, got 0");
  std::vector<uint8_t> blob = write_tokenizer_blob(three_pieces());
  blob.resize(23);
  EXPECT_EQ(parse_error(blob), "tokenizer blob truncated: need 24 bytes, got 23");
}

TEST(SubwordTokenizerParse, ZeroPieces) {
  BlobSpec s;
  EXPECT_EQ(parse_error(write_tokenizer_blob(s)), "tokenizer blob declares zero pieces");
}

TEST(SubwordTokenizerParse, MissingRecordHead) {
  BlobSpec s = three_pieces();
  s.declared_count = 4;  // records end at 24 + (7+5) + (7+1) + (7+1) = 52
  EXPECT_EQ(parse_error(write_tokenizer_blob(s)), "tokenizer blob truncated: need 59 bytes, got 52");
  std::vector<uint8_t> blob = write_tokenizer_blob(three_pieces());
  blob.resize(50);  // two bytes into the third record's head
  EXPECT_EQ(parse_error(blob), "tokenizer blob truncated: need 51 bytes, got 50");
}

TEST(SubwordTokenizerParse, TextRunsPastTheEnd) {
  std::vector<uint8_t> blob = write_tokenizer_blob(three_pieces());
  blob.resize(34);  // first record: head 24..31, text 31..36
  EXPECT_EQ(parse_error(blob), "tokenizer blob truncated: need 36 bytes, got 34");
}

TEST(SubwordTokenizerParse, HugeDeclaredCountFailsWithoutReservingIt) {
  BlobSpec s;
  s.pieces = {{"", 0, 0}};
  s.declared_count = 0xFFFFFFFFu;
  EXPECT_EQ(parse_error(write_tokenizer_blob(s)), "tokenizer blob truncated: need 38 bytes, got 31");
}

TEST(SubwordTokenizerParse, InvalidUtf8Text) {
  for (const std::string bad : {"\xC3\x28", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x96",
                                "\xFF", "a\x80"}) {
    BlobSpec s = three_pieces();
    s.pieces[2].text = bad;
    EXPECT_EQ(parse_error(write_tokenizer_blob(s)), "piece 2 is not valid UTF-8") << bad;
  }
  BlobSpec s = three_pieces();
  s.pieces[1].text = "\xF0\x9F\x98\x80\xE4\xB8\xAD\xC3\xA9";  // valid 4-, 3- and 2-byte forms
  EXPECT_EQ(parse_error(write_tokenizer_blob(s)), "<parsed>");
}

TEST(SubwordTokenizerParse, TruncationOfALaterRecordComesAfterBadText) {
  BlobSpec s = three_pieces();
  s.pieces[0].text = "\xFF";
  s.declared_count = 9;
  EXPECT_EQ(parse_error(write_tokenizer_blob(s)), "piece 0 is not valid UTF-8");
}

TEST(SubwordTokenizerParse, SpecialIdsOutsideTheTableInHeaderOrder) {
  BlobSpec s = three_pieces();
  s.eos_id = 3;
  s.unk_id = 7;
  EXPECT_EQ(parse_error(write_tokenizer_blob(s)), "header eos=3 is outside the 3-piece table");
  s.pad_id = 4000000000u;
  EXPECT_EQ(parse_error(write_tokenizer_blob(s)),
            "header pad=4000000000 is outside the 3-piece table");
  s = three_pieces();
  s.bos_id = 3;
  EXPECT_EQ(parse_error(write_tokenizer_blob(s)), "header bos=3 is outside the 3-piece table");
  s.bos_id = 2;
  s.unk_id = 3;
  EXPECT_EQ(parse_error(write_tokenizer_blob(s)), "header unk=3 is outside the 3-piece table");
}

TEST(SubwordTokenizerParse, BadBytePieces) {
  for (const std::string bad : {"<0x4G>", "<0x", "<0x4", "<0x-1>", "<0x++>", "<0x +>", "<0x\xC3\xA9>"}) {
    BlobSpec s = three_pieces();
    s.pieces.push_back({byte_piece_text(0x41), 0, kPieceByte});
    s.pieces.push_back({bad, 0, kPieceByte});
    EXPECT_EQ(parse_error(write_tokenizer_blob(s)), "byte piece 4 is not of the form <0xNN>") << bad;
  }
  // Special ids are checked before byte pieces.
  BlobSpec s = three_pieces();
  s.pieces.push_back({"<0x4G>", 0, kPieceByte});
  s.unk_id = 9;
  EXPECT_EQ(parse_error(write_tokenizer_blob(s)), "header unk=9 is outside the 4-piece table");
}

TEST(SubwordTokenizerParse, BytePieceFormIsLenient) {
  BlobSpec s = three_pieces();
  // Only positions 3 and 4 are read; a leading '+' is part of the number.
  s.pieces.push_back({"<0x+F>", 0, kPieceByte});
  s.pieces.push_back({"xyz41", 0, kPieceByte});
  s.pieces.push_back({"<0xfe" + kMark, 0, kPieceByte});
  const SubwordTokenizer t = make(s);
  EXPECT_EQ(t.byte_piece(0x0F), 3u);
  EXPECT_EQ(t.byte_piece(0x41), 4u);
  EXPECT_EQ(t.byte_piece(0xFE), 5u);
  EXPECT_FALSE(t.byte_piece(0x00).has_value());
  EXPECT_EQ(t.decode(Ids{3, 4, 5}), std::string("\x0F" "A\xEF\xBF\xBD"));
}

TEST(SubwordTokenizerParse, HeaderFieldsAndTrailingBytes) {
  BlobSpec s = three_pieces();
  s.pad_id = 1;
  s.eos_id = 2;
  s.bos_id = 0;
  s.unk_id = 0;
  s.add_dummy_prefix = true;
  std::vector<uint8_t> blob = write_tokenizer_blob(s);
  blob[22] = 0xAB;  // unused header bytes are ignored
  blob.insert(blob.end(), {1, 2, 3});  // bytes after the last record are ignored
  blob[21] = 7;  // any non-zero flag byte means true
  const auto r = SubwordTokenizer::parse(blob);
  ASSERT_TRUE(r.ok());
  const SubwordTokenizer& t = r.value();
  EXPECT_EQ(t.piece_count(), 3u);
  EXPECT_EQ(t.pad_id(), 1u);
  EXPECT_EQ(t.eos_id(), 2u);
  EXPECT_EQ(t.bos_id(), 0u);
  EXPECT_EQ(t.unk_id(), 0u);
  EXPECT_TRUE(t.add_dummy_prefix());
  EXPECT_TRUE(t.byte_fallback());
  EXPECT_EQ(t.piece(1), "a");
  EXPECT_EQ(t.score(2), -2.0f);
  EXPECT_EQ(t.kind(0), kPieceUnknown);
  EXPECT_THROW((void)t.piece(3), std::out_of_range);
  EXPECT_THROW((void)t.score(3), std::out_of_range);
  EXPECT_THROW((void)t.kind(3), std::out_of_range);
}

// ---------------------------------------------------------------------------
// Encoding rules.

TEST(SubwordTokenizerEncode, EmptyTextAndEmptyIds) {
  BlobSpec s = three_pieces();
  s.add_dummy_prefix = true;
  const SubwordTokenizer t = make(s);
  EXPECT_TRUE(t.encode("").empty());
  EXPECT_EQ(t.decode(Ids{}), "");
}

TEST(SubwordTokenizerEncode, DummyPrefixAndSpaces) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {kMark, -5, 0}, {"h", -5, 0}, {"i", -5, 0},
              {kMark + "h", -2, 0}, {kMark + "hi", -1, 0}};
  s.add_dummy_prefix = true;
  const SubwordTokenizer t = make(s);
  EXPECT_EQ(t.encode("hi"), (Ids{5}));
  EXPECT_EQ(t.decode(t.encode("hi")), "hi");
  EXPECT_EQ(t.encode(" hi"), (Ids{1, 5}));
  EXPECT_EQ(t.decode(t.encode(" hi")), " hi");
  EXPECT_EQ(t.encode("hi hi"), (Ids{5, 5}));
  EXPECT_EQ(t.decode(t.encode("hi hi")), "hi hi");

  s.add_dummy_prefix = false;
  const SubwordTokenizer plain = make(s);
  EXPECT_EQ(plain.encode("hi"), (Ids{2, 3}));
  EXPECT_EQ(plain.encode(" hi"), (Ids{5}));
  EXPECT_EQ(plain.decode(Ids{5}), " hi");  // no leading space is dropped
}

TEST(SubwordTokenizerEncode, EqualScoresMergeLeftmostFirst) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {"a", 0, 0}, {"b", 0, 0}, {"c", 0, 0},
              {"ab", -1, 0}, {"bc", -1, 0}};
  const SubwordTokenizer t = make(s);
  EXPECT_EQ(t.encode("abc"), (Ids{4, 3}));
  s.pieces[5].score = -0.5f;  // a strictly higher score wins wherever it is
  EXPECT_EQ(make(s).encode("abc"), (Ids{1, 5}));
}

TEST(SubwordTokenizerEncode, LiteralsAreCutOutLongestFirst) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {"<", 0, 0},        {"|", 0, 0},
              {"e", 0, 0},                 {">", 0, 0},        {"<|e|>", 0, kPieceLiteral},
              {"<|e|>>", 0, kPieceLiteral}, {"e<", 5, 0},      {"|>", 5, 0}};
  const SubwordTokenizer t = make(s);
  // "e<" would merge across the literal's start; the literal is cut out first.
  EXPECT_EQ(t.encode("e<|e|>e"), (Ids{3, 5, 3}));
  // Of two literals where one is a prefix of the other, the longer wins.
  EXPECT_EQ(t.encode("<|e|>>|>"), (Ids{6, 8}));
  EXPECT_EQ(t.decode(t.encode("e<|e|>e")), "e<|e|>e");
}

TEST(SubwordTokenizerEncode, EqualLengthLiteralsKeepIdOrder) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {"ab", 0, kPieceLiteral}, {"ab", 0, kPieceLiteral}};
  // Both match; the first in id order is tried first and emits its own id.
  EXPECT_EQ(make(s).encode("abab"), (Ids{1, 1}));
}

TEST(SubwordTokenizerEncode, EmptyLiteralNeverMatches) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {"", 0, kPieceLiteral}, {"a", 0, 0},
              {"<t>", 0, kPieceLiteral}};
  const SubwordTokenizer t = make(s);
  EXPECT_EQ(t.encode("a<t>a"), (Ids{2, 3, 2}));
  EXPECT_EQ(t.encode("b"), (Ids{0}));
}

TEST(SubwordTokenizerEncode, ByteFallbackAndUnknown) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {"a", 0, 0}};
  for (unsigned b = 0; b < 256; ++b) {
    if (b != 0xA9) s.pieces.push_back({byte_piece_text(b), 0, kPieceByte});
  }
  s.byte_fallback = true;
  const SubwordTokenizer t = make(s);
  const uint32_t c3 = *t.byte_piece(0xC3);
  EXPECT_EQ(t.encode("a\xC3\xA9"), (Ids{1, c3, 0}));  // A9 has no byte piece: unk
  EXPECT_EQ(t.encode("\xE4\xB8\xAD"),
            (Ids{*t.byte_piece(0xE4), *t.byte_piece(0xB8), *t.byte_piece(0xAD)}));
  s.byte_fallback = false;
  EXPECT_EQ(make(s).encode("a\xC3\xA9" "a"), (Ids{1, 0, 1}));
}

TEST(SubwordTokenizerEncode, IllFormedInputFallsBackPerByte) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {"a", 0, 0}, {"<0x80>", 0, kPieceByte},
              {"<0xE2>", 0, kPieceByte}, {"<0x96>", 0, kPieceByte}};
  s.byte_fallback = true;
  const SubwordTokenizer t = make(s);
  EXPECT_EQ(t.encode("a\x80" "a\xE2\x96" "a"), (Ids{1, 2, 1, 3, 4, 1}));
  EXPECT_EQ(t.encode_reference("a\x80" "a\xE2\x96" "a"), t.encode("a\x80" "a\xE2\x96" "a"));
}

TEST(SubwordTokenizerEncode, DuplicatedTextsMapToTheHighestId) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {"x", 0, 0}, {"y", 0, 0}, {"x", 0, kPieceControl},
              {"<0x41>", 0, kPieceByte}, {"<0x41>", 0, kPieceByte}};
  const SubwordTokenizer t = make(s);
  EXPECT_EQ(t.lookup("x"), 3u);
  EXPECT_EQ(t.lookup("y"), 2u);
  EXPECT_FALSE(t.lookup("z").has_value());
  EXPECT_FALSE(t.lookup("").has_value());
  EXPECT_EQ(t.lookup("<0x41>"), 5u);
  EXPECT_EQ(t.byte_piece(0x41), 5u);
  // Encoding does not care that the winning id is silent.
  EXPECT_EQ(t.encode("xy"), (Ids{3, 2}));
}

TEST(SubwordTokenizerEncode, LookupOfLongAndMultibyteTexts) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}};
  std::vector<std::string> texts;
  for (int i = 0; i < 500; ++i) {
    std::string text = "\xE4\xB8\xAD" + std::to_string(i * 7919) + std::string(i % 40, 'q');
    texts.push_back(text);
    s.pieces.push_back({text, 0, 0});
  }
  const SubwordTokenizer t = make(s);
  for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(t.lookup(texts[i]), i + 1);
  EXPECT_FALSE(t.lookup("\xE4\xB8\xAD" "0q").has_value());
}

// ---------------------------------------------------------------------------
// Decoding and the per-id byte table.

BlobSpec decode_vocab() {
  BlobSpec s;
  s.pieces = {{"<pad>", 0, kPieceControl}, {"</s>", 0, kPieceControl}, {"<unk>", 0, kPieceUnknown},
              {kMark + "hi", 0, 0},        {"<0xE2>", 0, kPieceByte},  {"<0x96>", 0, kPieceByte},
              {"<0x81>", 0, kPieceByte},   {"<t>", 0, kPieceLiteral},  {"a" + kMark + "b", 0, 9},
              {"<0xED>", 0, kPieceByte},   {"<0xA0>", 0, kPieceByte},  {"<0x20>", 0, kPieceByte}};
  s.add_dummy_prefix = true;
  return s;
}

TEST(SubwordTokenizerDecode, SilentAndOutOfRangeIdsVanish) {
  const SubwordTokenizer t = make(decode_vocab());
  EXPECT_EQ(t.decode(Ids{0, 3, 1, 2, 12, 0xFFFFFFFFu, 7, 8}), "hi<t>a b");
}

TEST(SubwordTokenizerDecode, BytePiecesAndReplacement) {
  const SubwordTokenizer t = make(decode_vocab());
  // U+2581 spelled by byte pieces still becomes a space (then the leading
  // space goes, with add_dummy_prefix).
  EXPECT_EQ(t.decode(Ids{4, 5, 6, 3}), " hi");
  EXPECT_EQ(t.decode(Ids{3, 4, 5, 6}), "hi ");
  // One U+FFFD per maximal ill-formed subsequence.
  EXPECT_EQ(t.decode(Ids{3, 4, 5}), "hi\xEF\xBF\xBD");
  EXPECT_EQ(t.decode(Ids{3, 9, 10, 6}), "hi\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(t.decode(Ids{6, 3}), "\xEF\xBF\xBD hi");
  // The leading-space rule drops exactly one space of the text, whatever id made it.
  EXPECT_EQ(t.decode(Ids{11, 11, 3}), "  hi");
  EXPECT_EQ(t.decode(Ids{0, 11, 3}), " hi");
}

TEST(SubwordTokenizerDecode, PieceBytesTable) {
  const SubwordTokenizer t = make(decode_vocab());
  const std::vector<PieceBytes> table = t.piece_bytes_table();
  const std::vector<std::string> want = {"", "", "", " hi", "\xE2", "\x96", "\x81",
                                         "<t>", "a b", "\xED", "\xA0", " "};
  ASSERT_EQ(table.size(), want.size());
  for (uint32_t id = 0; id < want.size(); ++id) {
    EXPECT_EQ(table[id].id, id);
    EXPECT_EQ(table[id].bytes, want[id]) << id;
    EXPECT_EQ(t.piece_bytes(id), want[id]) << id;
  }
  EXPECT_EQ(t.piece_bytes(99), "");
  EXPECT_EQ(t.raw_bytes(3), kMark + "hi");
  EXPECT_EQ(t.raw_bytes(4), "\xE2");
  EXPECT_EQ(t.raw_bytes(1), "");
  EXPECT_EQ(t.raw_bytes(99), "");
}

// decode of a list equals decode_raw of its raw bytes, and splitting the raw
// bytes after any complete character gives the same text piecewise.
TEST(SubwordTokenizerDecode, IncrementalDecodingMatchesWholeDecoding) {
  const SubwordTokenizer t = make(decode_vocab());
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    Ids ids(rng() % 12);
    for (uint32_t& id : ids) id = rng() % 14;
    std::string raw;
    for (uint32_t id : ids) raw += t.raw_bytes(id);
    const std::string whole = t.decode(ids);
    EXPECT_EQ(whole, t.decode_raw(raw));
    // Cut after every prefix of ids whose raw bytes are non-empty valid UTF-8.
    std::string prefix;
    for (std::size_t k = 0; k < ids.size(); ++k) {
      prefix += t.raw_bytes(ids[k]);
      Ids head(ids.begin(), ids.begin() + static_cast<std::ptrdiff_t>(k) + 1);
      if (prefix.empty() || t.decode(head).find("\xEF\xBF\xBD") != std::string::npos) continue;
      EXPECT_EQ(whole, t.decode_raw(prefix) + t.decode_raw(raw.substr(prefix.size()), false));
    }
  }
}

// ---------------------------------------------------------------------------
// The heap-driven merge against the plain rescanning rule and the reference.

struct RandomVocab {
  BlobSpec spec;
  std::vector<std::string> alphabet;
};

RandomVocab random_vocab(std::mt19937& rng, bool byte_fallback, bool dummy) {
  RandomVocab v;
  v.alphabet = {"a", "b", "c", "x", kMark, "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "<", ">", " "};
  BlobSpec& s = v.spec;
  s.byte_fallback = byte_fallback;
  s.add_dummy_prefix = dummy;
  s.pieces = {{"<pad>", 0, kPieceControl}, {"<unk>", 0, kPieceUnknown}};
  s.unk_id = 1;
  const float scores[] = {0.0f, -1.0f, -1.0f, -2.0f, -2.5f, -3.0f};
  auto draw = [&](int len) {
    std::string text;
    for (int i = 0; i < len; ++i) {
      const std::string& c = v.alphabet[rng() % (v.alphabet.size() - 1)];  // no plain space
      text += c;
    }
    return text;
  };
  for (std::size_t i = 0; i + 1 < v.alphabet.size(); ++i) {
    if (rng() % 5 != 0) s.pieces.push_back({v.alphabet[i], scores[rng() % 6], 0});
  }
  const int merges = 20 + static_cast<int>(rng() % 60);
  for (int i = 0; i < merges; ++i) s.pieces.push_back({draw(2 + rng() % 4), scores[rng() % 6], 0});
  s.pieces.push_back({"<a>", 0, kPieceLiteral});
  s.pieces.push_back({"<a>b", 0, kPieceLiteral});
  s.pieces.push_back({"", 0, kPieceLiteral});
  s.pieces.push_back({"c" + kMark, 0, kPieceLiteral});
  for (unsigned b = 0; b < 256; ++b) {
    if (rng() % 8 != 0) s.pieces.push_back({byte_piece_text(b), 0, kPieceByte});
  }
  std::shuffle(s.pieces.begin() + 2, s.pieces.end(), rng);
  return v;
}

TEST(SubwordTokenizerMerge, HeapMergeMatchesRescanningOnRandomText) {
  std::mt19937 rng(12345);
  for (int vocab = 0; vocab < 40; ++vocab) {
    const RandomVocab v = random_vocab(rng, vocab % 2 == 0, vocab % 3 != 0);
    const SubwordTokenizer t = make(v.spec);
    const Reference ref(v.spec);
    for (int round = 0; round < 25; ++round) {
      std::string text;
      const int len = static_cast<int>(rng() % 300);
      for (int i = 0; i < len; ++i) text += v.alphabet[rng() % v.alphabet.size()];
      const Ids fast = t.encode(text);
      ASSERT_EQ(fast, t.encode_reference(text)) << text;
      ASSERT_EQ(fast, ref.encode(text)) << text;
    }
  }
}

TEST(SubwordTokenizerMerge, LongRunsWithEqualScores) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {"a", 0, 0},    {"aa", -1, 0},  {"aaa", -1, 0},
              {"aaaa", -1, 0},             {"b", 0, 0},    {"ab", -1, 0},  {"ba", -1, 0},
              {"aab", -1, 0},              {"abab", -1, 0}};
  const SubwordTokenizer t = make(s);
  const Reference ref(s);
  for (const std::string& text :
       {std::string(1001, 'a'), std::string(700, 'a') + "b" + std::string(299, 'a'),
        [] {
          std::string x;
          for (int i = 0; i < 400; ++i) x += i % 7 == 3 ? "b" : "ab";
          return x;
        }()}) {
    const Ids fast = t.encode(text);
    EXPECT_EQ(fast, t.encode_reference(text));
    EXPECT_EQ(fast, ref.encode(text));
  }
}

TEST(SubwordTokenizerMerge, AllScoresEqualOnLongRandomText) {
  std::mt19937 rng(99);
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}};
  const std::string chars[] = {"a", "b", kMark};
  for (const auto& a : chars) {
    s.pieces.push_back({a, 0, 0});
    for (const auto& b : chars) {
      s.pieces.push_back({a + b, 0, 0});
      for (const auto& c : chars) s.pieces.push_back({a + b + c, 0, 0});
    }
  }
  const SubwordTokenizer t = make(s);
  const Reference ref(s);
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "ab "[rng() % 3];
  EXPECT_EQ(t.encode(text), t.encode_reference(text));
  EXPECT_EQ(t.encode(text), ref.encode(text));
}

// Joins longer than the id-pair table covers, and pieces whose characters
// are not pieces themselves, go through the text lookup.
TEST(SubwordTokenizerMerge, LongJoinsAndPiecesWithoutTheirCharacters) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}};
  for (int len : {1, 2, 4, 8, 16, 32, 40, 64}) {
    s.pieces.push_back({std::string(static_cast<std::size_t>(len), 'q'), -static_cast<float>(len), 0});
  }
  s.pieces.push_back({"\xE4\xB8\xAD\xE4\xB8\xAD", -1, 0});          // two unknown characters
  s.pieces.push_back({"\xE4\xB8\xAD\xE4\xB8\xAD" "q", -1, 0});
  const SubwordTokenizer t = make(s);
  const Reference ref(s);
  EXPECT_EQ(t.encode(std::string(40, 'q')), (Ids{7}));
  EXPECT_EQ(t.encode(std::string(64, 'q')), (Ids{8}));
  EXPECT_EQ(t.encode("\xE4\xB8\xAD\xE4\xB8\xAD"), (Ids{9}));
  EXPECT_EQ(t.encode("\xE4\xB8\xAD\xE4\xB8\xAD" "q"), (Ids{10}));
  for (int len = 0; len < 150; ++len) {
    const std::string text = std::string(static_cast<std::size_t>(len), 'q') + "\xE4\xB8\xAD\xE4\xB8\xAD" + "qq";
    EXPECT_EQ(t.encode(text), ref.encode(text)) << len;
    EXPECT_EQ(t.encode(text), t.encode_reference(text)) << len;
  }
}

// Negative and positive zero compare equal: the leftmost pair wins.
TEST(SubwordTokenizerMerge, SignedZeroScoresTie) {
  BlobSpec s;
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {"a", 0, 0}, {"b", 0, 0}, {"c", 0, 0},
              {"ab", -0.0f, 0}, {"bc", 0.0f, 0}};
  EXPECT_EQ(make(s).encode("abc"), (Ids{4, 3}));
}

TEST(SubwordTokenizerMerge, NanScoresFollowThePlainRule) {
  BlobSpec s;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  s.pieces = {{"<unk>", 0, kPieceUnknown}, {"a", 0, 0}, {"b", 0, 0},
              {"ab", nan, 0},              {"ba", 1, 0}, {"bab", 2, 0}};
  const SubwordTokenizer t = make(s);
  const Reference ref(s);
  for (const std::string text : {"ab", "aba", "bab", "abab", "babab", "aabba"}) {
    EXPECT_EQ(t.encode(text), ref.encode(text)) << text;
  }
  EXPECT_EQ(t.encode("aba"), (Ids{3, 1}));  // the NaN pair is first, nothing beats it
  EXPECT_EQ(t.encode("bab"), (Ids{5}));
}

}  // namespace
}  // namespace pinnet::formats
