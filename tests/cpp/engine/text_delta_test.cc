#include "engine/text_delta.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "formats/tokenizer_blob_writer.h"
#include "formats/utf8.h"

namespace pinnet::engine {
namespace {

using formats::SubwordTokenizer;
using formats::testing::BlobPiece;
using formats::testing::BlobSpec;

// A vocabulary mixing silent ids, word pieces with the U+2581 marker,
// multi-byte characters, and all 256 byte pieces.
SubwordTokenizer make_tokenizer(bool dummy_prefix) {
  BlobSpec spec;
  spec.pieces = {{"<unk>", 0, 2}, {"</s>", 0, 1}, {"<s>", 0, 1}};
  for (const char* t : {"\xE2\x96\x81", "\xE2\x96\x81the", "a", "b", "\xC3\xA9", "\xE4\xB8\x96",
                        "<tool_call>", "\xF0\x9F\x8E\x89", " x", "\xE2\x96\x81\xE2\x96\x81"}) {
    spec.pieces.push_back({t, 0, 0});
  }
  for (unsigned b = 0; b < 256; ++b) {
    spec.pieces.push_back({formats::testing::byte_piece_text(b), 0, 4});
  }
  spec.unk_id = 0;
  spec.eos_id = 1;
  spec.bos_id = 2;
  spec.add_dummy_prefix = dummy_prefix;
  spec.byte_fallback = true;
  auto blob = formats::testing::write_tokenizer_blob(spec);
  auto parsed = SubwordTokenizer::parse(blob);
  EXPECT_TRUE(parsed.ok());
  return std::move(parsed).value();
}

void expect_deltas_rebuild_decode(const SubwordTokenizer& tok, const std::vector<uint32_t>& ids) {
  TextDeltas deltas(tok);
  std::string joined;
  for (uint32_t id : ids) {
    std::string_view d = deltas.push(id);
    // A delta never splits a character.
    ASSERT_TRUE(formats::is_valid_utf8(d) || d.find("\xEF\xBF\xBD") != std::string_view::npos);
    joined.append(d);
  }
  joined.append(deltas.finish());
  std::string want = tok.decode(ids);
  ASSERT_EQ(joined, want);
}

TEST(TextDeltas, MultiByteCharacterOverByteFallbackIds) {
  SubwordTokenizer tok = make_tokenizer(false);
  auto byte_id = [&](uint8_t b) { return *tok.byte_piece(b); };
  // "é" as two byte pieces: nothing is sent until the character completes.
  TextDeltas d(tok);
  EXPECT_EQ(d.push(*tok.lookup("a")), "a");
  EXPECT_EQ(d.push(byte_id(0xC3)), "");
  EXPECT_EQ(d.push(byte_id(0xA9)), "\xC3\xA9");
  // U+2581 spelled by byte pieces decodes to a space once complete.
  EXPECT_EQ(d.push(byte_id(0xE2)), "");
  EXPECT_EQ(d.push(byte_id(0x96)), "");
  EXPECT_EQ(d.push(byte_id(0x81)), " ");
  // A sequence that can never complete is released at once as U+FFFD.
  EXPECT_EQ(d.push(byte_id(0xFF)), "\xEF\xBF\xBD");
  // A cut-off sequence at the end becomes U+FFFD, as in the full decode.
  EXPECT_EQ(d.push(byte_id(0xF0)), "");
  EXPECT_EQ(d.finish(), "\xEF\xBF\xBD");
}

TEST(TextDeltas, LeadingSpaceRuleAppliesOnceAtTheStart) {
  SubwordTokenizer tok = make_tokenizer(true);
  std::vector<uint32_t> silent_first = {1, 2, *tok.lookup("\xE2\x96\x81the"),
                                        *tok.lookup("\xE2\x96\x81the")};
  expect_deltas_rebuild_decode(tok, silent_first);
  TextDeltas d(tok);
  EXPECT_EQ(d.push(*tok.lookup("\xE2\x96\x81")), "");
  EXPECT_EQ(d.push(*tok.lookup("\xE2\x96\x81")), " ");
}

TEST(TextDeltas, RandomSequencesRebuildTheDecoding) {
  for (bool prefix : {false, true}) {
    SubwordTokenizer tok = make_tokenizer(prefix);
    std::mt19937 rng(prefix ? 11 : 5);
    for (int round = 0; round < 3000; ++round) {
      std::vector<uint32_t> ids;
      int len = static_cast<int>(rng() % 24);
      for (int i = 0; i < len; ++i) {
        // Bias towards bytes that build (and break) multi-byte sequences.
        uint32_t pick = rng() % 4;
        if (pick == 0) {
          static const uint8_t interesting[] = {0xC3, 0xA9, 0xE2, 0x96, 0x81, 0xF0, 0x9F,
                                                0x8E, 0x89, 0x80, 0xFF, 0xED, 0xA0, 'z'};
          ids.push_back(*tok.byte_piece(interesting[rng() % sizeof(interesting)]));
        } else {
          ids.push_back(rng() % (tok.piece_count() + 3));  // some ids out of range
        }
      }
      expect_deltas_rebuild_decode(tok, ids);
    }
  }
}

}  // namespace
}  // namespace pinnet::engine
