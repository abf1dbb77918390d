// The generation-1 tokenizer, built from a vocabulary text of one piece per
// line ("piece" or "piece<TAB>score"; line i defines id i). With scores it
// segments by score-driven pair merging, without them by greedy longest
// match; characters no piece covers fall back to "<0xNN>" byte pieces, or to
// the unknown id 3 when a byte piece is missing. U+2581 ("▁") stands for a
// space inside pieces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "formats/byte_hash.h"

namespace pinnet::formats {

class VocabTokenizer {
 public:
  static constexpr uint32_t kUnknown = 3;

  // Lines are split at "\n" (a "\r" right before it is dropped; a final
  // "\n" starts no further line; empty lines are pieces of empty text). A
  // line with a tab is the piece before the first tab and a score after it
  // (trimmed; text that is not a number scores 0). The tokenizer has scores
  // when at least one line has a tab. Never fails.
  static VocabTokenizer build(std::string_view vocabulary_text);

  // Trims Unicode White_Space from both ends, puts one U+2581 in front and
  // turns each run of White_Space into one U+2581, then segments. Bytes
  // that are not well-formed UTF-8 are characters of their own (one per
  // maximal ill-formed subsequence) that no piece matches.
  // Scored: each character is a symbol (its id, or byte symbols), then the
  // adjacent pair whose joined text is the highest-scoring piece merges,
  // leftmost on equal scores, until no pair joins to a piece.
  // Greedy: at each byte position the longest piece that is valid UTF-8,
  // else the byte's "<0xNN>" piece (or kUnknown), one byte on.
  std::vector<uint32_t> encode(std::string_view text) const;
  // The scored merge by rescanning every pair after each merge (quadratic):
  // the reference for encode's heap merge, and what encode uses when a score
  // is NaN (no total order). Same as encode for a tokenizer without scores.
  std::vector<uint32_t> encode_reference(std::string_view text) const;

  // Piece texts with U+2581 as a space, ids past the end skipped, byte
  // pieces as their literal text; leading White_Space of the result removed.
  std::string decode(std::span<const uint32_t> ids) const;

  size_t piece_count() const { return pieces_.size(); }
  std::string_view piece(uint32_t id) const;  // raw piece text (with U+2581), empty past the end
  bool has_scores() const { return !scores_.empty(); }
  float score(uint32_t id) const;  // 0 without scores or past the end
  // The piece map: the last id of a repeated text.
  std::optional<uint32_t> lookup(std::string_view piece) const;

 private:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  VocabTokenizer() = default;
  uint32_t find(std::string_view text) const;  // kNone when absent
  std::vector<uint32_t> encode_impl(std::string_view text, bool reference) const;
  void segment_scored(std::string_view normalized, bool reference, std::vector<uint32_t>& out) const;
  void segment_greedy(std::string_view normalized, std::vector<uint32_t>& out) const;

  std::vector<std::string> pieces_;
  std::vector<float> scores_;  // empty when no line has a tab
  std::unordered_map<std::string, uint32_t, SeededStringHash, std::equal_to<>> ids_;
  size_t longest_piece_ = 0;               // bytes
  std::array<uint32_t, 256> byte_ids_{};   // id of "<0xNN>", else kUnknown
  bool has_nan_score_ = false;
};

}  // namespace pinnet::formats
