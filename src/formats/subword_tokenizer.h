// The subword tokenizer carried inside generation-2 and generation-3
// containers as one raw-bytes tensor.
//
// Segmentation is score-driven pair merging over a piece vocabulary, with an
// optional byte fallback and a set of literal pieces (chat markers) that are
// cut out of the text before merging. U+2581 ("▁") stands for a space inside
// pieces.
//
// Blob layout (little-endian):
//   0..3   u32 piece count N (non-zero)
//   4..19  u32 pad, eos, bos, unk ids (each < N)
//   20     u8 add_dummy_prefix (non-zero = true)
//   21     u8 byte_fallback (non-zero = true)
//   22..23 ignored
//   24..   N records: f32 score, u8 kind, u16 length L, L bytes of UTF-8 text.
//          Record i defines id i. Bytes after the last record are ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.h"

namespace pinnet::formats {

// U+2581, the word-boundary marker that stands for a space inside pieces.
inline constexpr std::string_view kWordMarker = "\xE2\x96\x81";

// Piece kinds as stored in the blob. Any value not listed behaves as normal.
inline constexpr uint8_t kPieceNormal = 0;
inline constexpr uint8_t kPieceControl = 1;  // silent: no decoded text
inline constexpr uint8_t kPieceUnknown = 2;  // silent: no decoded text
inline constexpr uint8_t kPieceLiteral = 3;  // cut out of the text verbatim
inline constexpr uint8_t kPieceByte = 4;     // "<0xNN>": the single byte 0xNN

struct TokenizerBlobError {
  enum class Kind : uint8_t { kTruncated, kBadText, kNoPieces, kSpecialOutOfRange, kBadBytePiece };
  Kind kind = Kind::kTruncated;
  uint64_t need = 0;          // kTruncated: bytes required
  uint64_t got = 0;           // kTruncated: blob length
  uint64_t index = 0;         // kBadText, kBadBytePiece: the piece id
  std::string_view name;      // kSpecialOutOfRange: "pad", "eos", "bos" or "unk"
  uint32_t id = 0;            // kSpecialOutOfRange: the header value
  uint32_t count = 0;         // kSpecialOutOfRange: the piece count

  // "tokenizer blob truncated: need 24 bytes, got 3" and so on.
  std::string message() const;
};

// What one id contributes to decoded output (see piece_bytes below).
struct PieceBytes {
  uint32_t id;
  std::string bytes;
};

class SubwordTokenizer {
 public:
  // Every read is bounds-checked; checks run in a fixed order and the first
  // failure is returned. Storage reserved for the piece table is bounded by
  // what the blob can hold (a record is at least 7 bytes).
  static core::Result<SubwordTokenizer, TokenizerBlobError> parse(std::span<const uint8_t> blob);

  // Text to ids; no begin or end id is added. The text is UTF-8; a byte that
  // does not start a well-formed sequence is a one-byte character of its own
  // (its maximal ill-formed subsequence, to be exact), so it falls back to
  // byte pieces or unk like any unknown character.
  // Steps: spaces become U+2581 (plus one in front with add_dummy_prefix);
  // literals are cut out, longest first; each stretch between literals is
  // split into characters and merged pairwise, always the adjacent pair whose
  // joined text is the highest-scoring piece, the leftmost on equal scores;
  // each final symbol emits its id, else its bytes' byte pieces (or unk per
  // missing byte) with byte_fallback, else unk.
  // Allocation-free per call once the calling thread's scratch has grown to
  // the text size (apart from growing `out`); scratch beyond 4 MiB is freed
  // after the call. A stretch between literals of 4 GiB or more throws
  // std::length_error (its merge state could not be held in memory anyway).
  std::vector<uint32_t> encode(std::string_view text) const;
  void encode_into(std::string_view text, std::vector<uint32_t>& out) const;  // appends

  // The same ids by the plain quadratic rule: rescan every adjacent pair
  // after each merge. Kept as the reference the fast merge is tested
  // against; also what encode uses when a score is NaN (no total order).
  std::vector<uint32_t> encode_reference(std::string_view text) const;

  // Ids to text. Ids >= piece_count() and silent ids contribute nothing.
  //
  // Exactly:  decode(ids) == decode_raw(raw_bytes(ids[0]) + raw_bytes(ids[1]) + ...)
  // and decode_raw(A + B) == decode_raw(A) + decode_raw(B, false) whenever A
  // is non-empty valid UTF-8. So an incremental decoder can keep the raw
  // bytes, convert everything up to the last complete character, and hold
  // back only a trailing incomplete sequence (which decode, at the very end,
  // turns into U+FFFD).
  //
  // Relation to piece_bytes: concatenating piece_bytes(id) gives the raw bytes
  // with every U+2581 that lies wholly inside one id's bytes already turned
  // into a space. It equals decode(ids), apart from the leading-space rule,
  // whenever the raw bytes are valid UTF-8 and no U+2581 is spelled by byte
  // pieces: ill-formed bytes become U+FFFD only in decode, and decode turns
  // U+2581 built from byte pieces into a space too.
  std::string decode(std::span<const uint32_t> ids) const;

  // The raw bytes of one id: its text (normal, literal, other kinds), its one
  // byte (byte pieces), nothing (silent kinds, ids out of range).
  std::string_view raw_bytes(uint32_t id) const;

  // The text of collected raw bytes: ill-formed UTF-8 becomes U+FFFD (one per
  // maximal ill-formed subsequence), every U+2581 becomes a space, and, when
  // the bytes start the text and add_dummy_prefix is set, one leading space
  // is dropped.
  std::string decode_raw(std::string_view raw, bool at_text_start = true) const;

  // The bytes one id contributes to decoded output: empty for silent kinds
  // and ids out of range, the one byte for byte pieces, otherwise the text
  // with every U+2581 replaced by a space. Valid as long as the tokenizer.
  std::string_view piece_bytes(uint32_t id) const;
  // piece_bytes of every id in id order, as owned records.
  std::vector<PieceBytes> piece_bytes_table() const;

  // The id of a piece text; a text that occurs twice maps to its highest id.
  std::optional<uint32_t> lookup(std::string_view piece) const;

  uint32_t piece_count() const { return static_cast<uint32_t>(scores_.size()); }
  uint32_t pad_id() const { return pad_id_; }
  uint32_t eos_id() const { return eos_id_; }
  uint32_t bos_id() const { return bos_id_; }
  uint32_t unk_id() const { return unk_id_; }
  bool add_dummy_prefix() const { return add_dummy_prefix_; }
  bool byte_fallback() const { return byte_fallback_; }

  // Per-id fields; an id >= piece_count() throws std::out_of_range.
  std::string_view piece(uint32_t id) const { return view(texts_.at(id)); }
  float score(uint32_t id) const { return scores_.at(id); }
  uint8_t kind(uint32_t id) const { return kinds_.at(id); }

  // The id of the byte piece for byte `b`, if any (the highest such id).
  std::optional<uint32_t> byte_piece(uint8_t b) const;

 private:
  // A byte range of arena_.
  struct Span {
    uint64_t offset = 0;
    uint32_t length = 0;
  };
  struct Literal {
    uint32_t id;
    Span text;
  };
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  SubwordTokenizer() = default;

  std::string_view view(Span s) const { return {arena_.data() + s.offset, s.length}; }
  uint32_t find(const char* p, std::size_t n) const;  // kNone when absent
  uint32_t find_hashed(const char* p, std::size_t n) const;
  void build_piece_map();
  void build_score_keys();
  void build_literals();

  // Segments normalized[begin, end) and appends the ids.
  void segment(std::string_view normalized, std::size_t begin, std::size_t end,
               std::vector<uint32_t>& out, bool reference) const;
  // id: the piece of `text`, or kNone when `text` is not a piece.
  void emit_symbol(std::string_view text, uint32_t id, std::vector<uint32_t>& out) const;
  void encode_impl(std::string_view text, std::vector<uint32_t>& out, bool reference) const;

  // All text bytes: piece texts, then the 256 byte values, then the surface
  // forms of texts that contain U+2581. Spans (not views) keep copies valid.
  std::vector<char> arena_;
  std::vector<Span> texts_;    // piece text per id
  std::vector<Span> raw_;      // raw_bytes per id
  std::vector<Span> surface_;  // piece_bytes per id
  std::vector<float> scores_;
  std::vector<uint8_t> kinds_;

  // Piece map: open addressing, linear probing, power-of-two size. A slot
  // holds the upper hash half as a tag and id + 1 (0 = empty).
  struct Slot {
    uint32_t tag = 0;
    uint32_t id_plus_one = 0;
  };
  std::vector<Slot> slots_;
  uint64_t slot_mask_ = 0;
  std::array<uint32_t, 128> ascii_id_{};  // id of each one-byte text, kNone when absent

  // Pair table for the merge loop: (id of left text, id of right text) ->
  // id of the joined text, for every piece of at most kMaxPairText bytes
  // that the piece map returns for its text. Symbols of the chain carry the
  // id of their text, so most candidate lookups hash two integers instead of
  // a byte string; longer joins and symbols without an id use the piece map.
  static constexpr std::size_t kMaxPairText = 32;
  struct PairSlot {
    uint64_t key = ~uint64_t{0};  // (left id << 32) | right id; all ones = empty
    uint32_t id = 0;
  };
  std::vector<PairSlot> pair_slots_;
  uint64_t pair_mask_ = 0;
  uint64_t pair_seed_ = 0;
  void build_pair_table();
  uint32_t find_pair(uint32_t left, uint32_t right) const;  // kNone when absent

  // Per id: the score as an order-preserving unsigned key (-0 folded into
  // +0 so equal scores stay equal), for integer comparisons in the heap.
  std::vector<uint32_t> score_keys_;

  std::array<uint32_t, 256> byte_table_{};  // kNone when empty

  // Literals sorted longest first (stable), grouped by first byte; the order
  // inside a group is the global order, so the first match is the same.
  std::vector<Literal> literals_;
  std::array<uint32_t, 257> literal_group_{};  // literals_[group[b] .. group[b+1])

  uint32_t pad_id_ = 0, eos_id_ = 0, bos_id_ = 0, unk_id_ = 0;
  bool add_dummy_prefix_ = false;
  bool byte_fallback_ = false;
  bool has_nan_score_ = false;
};

}  // namespace pinnet::formats
