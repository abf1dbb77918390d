// Token masks of strict tool calls, and the decoder that applies them inside
// the decode loop.
//
// A token is allowed exactly when the grammar accepts every byte of its text
// in sequence (and, near the end of the budget, when the shortest way to
// finish the call from the state it leaves still fits in the tokens left,
// counted one byte a token). The mask walks the vocabulary's piece trie with
// the grammar state, dropping a subtree at its first rejected byte. Inside a
// free string or a run of digits, where nearly every piece is allowed, the
// pieces that stay inside (no quote, backslash or control byte, whole UTF-8;
// or only digits) are a class made once per vocabulary, and only the others
// are walked.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/constrained.h"
#include "engine/tool_grammar.h"

namespace pinnet::engine {

// Masks already made, shared by every strict call on one vocabulary: calls
// with the same tools pass through the same grammar states, so after the
// first few calls most states find their mask here. A direct-mapped table of
// kSlots entries keyed by (grammar serial, state frames), each valid for a
// range of rooms; made on first use (kSlots x about 3 KB on a 16k vocabulary).
class MaskMemo {
 public:
  static constexpr size_t kSlots = 512;
  // Copies the mask of `state` at `room` into *bits, and the range of rooms
  // it holds for into *lo, *hi; false when absent.
  bool find(const GrammarState& state, uint64_t room, std::vector<uint64_t>* bits, uint64_t* lo,
            uint64_t* hi);
  // Remembers `bits` for `state` at rooms in [lo, hi).
  void put(const GrammarState& state, uint64_t lo, uint64_t hi, const std::vector<uint64_t>& bits);

 private:
  struct Slot {
    uint64_t serial = 0, hash = 0, lo = 0, hi = 0;  // serial 0: empty
    uint32_t key_len = 0;
    std::array<uint8_t, GrammarState::kMaxFrameBytes> key;
    std::vector<uint64_t> bits;
  };
  static uint64_t hash_of(const GrammarState& state);
  Slot* match(const GrammarState& state, uint64_t hash);
  std::mutex mutex_;
  std::vector<Slot> slots_;
};

// Per vocabulary, read-only (but for the memo), shared by every strict call.
class StrictVocab {
 public:
  StrictVocab(const PieceTrie& all, const std::vector<std::string>& piece_texts);
  uint32_t piece_count() const { return all_.piece_count(); }
  // Bytes of the longest piece: a text of n bytes takes at least
  // ⌈n / max_piece_len()⌉ ids.
  uint32_t max_piece_len() const { return max_piece_len_; }

 private:
  friend class StrictMasker;
  friend class StrictDecoder;
  mutable MaskMemo memo_;
  const PieceTrie& all_;
  // Declared before the tries: the tries' initialisers fill them.
  std::vector<uint64_t> string_plain_;  // bit per id: stays inside a string, whole characters
  std::vector<uint64_t> digits_;        // bit per id: digits only
  PieceTrie string_rest_;  // the pieces outside string_plain_
  PieceTrie digits_rest_;  // the pieces outside digits_
  std::vector<uint64_t> blank_;  // bit per id: white space only
  uint32_t max_piece_len_ = 0;
};

// A bit per id.
class TokenMask {
 public:
  void clear(size_t ids) {
    bits_.assign((ids + 63) / 64, 0);
    ids_ = ids;
  }
  void set(uint32_t id) { bits_[id >> 6] |= uint64_t{1} << (id & 63); }
  void reset(uint32_t id) {
    if (id < ids_) bits_[id >> 6] &= ~(uint64_t{1} << (id & 63));
  }
  bool test(uint32_t id) const { return id < ids_ && (bits_[id >> 6] >> (id & 63) & 1); }
  std::vector<uint64_t>& bits() { return bits_; }
  const std::vector<uint64_t>& bits() const { return bits_; }
  void set_ids(size_t ids) { ids_ = ids; }
  // This mask's bits become those of `o` (no scratch is copied).
  void copy_bits(const TokenMask& o) {
    bits_.assign(o.bits_.begin(), o.bits_.end());
    ids_ = o.ids_;
  }
  void add(const std::vector<uint64_t>& other) {
    for (size_t w = 0; w < bits_.size() && w < other.size(); ++w) bits_[w] |= other[w];
  }
  size_t count() const;
  bool any() const;
  bool fewer_than(size_t limit) const;
  // logits[i] + -1e9 for every id not in the mask (ids past the vocabulary
  // included), the others untouched.
  void apply(std::span<float> logits);

 private:
  std::vector<uint64_t> bits_;
  size_t ids_ = 0;
  std::vector<uint32_t> kept_;  // scratch of apply
  std::vector<float> saved_;
};

class StrictMasker {
 public:
  explicit StrictMasker(const StrictVocab& v) : v_(v) {}
  // The ids allowed from `state` when at most `room` bytes may follow them.
  void compute(const GrammarState& state, uint64_t room, TokenMask& out);

 private:
  void walk(const PieceTrie& trie, uint64_t room, TokenMask& out);
  // Whether a completion of `shortest` bytes fits in `room`, narrowing the
  // range of rooms the mask being made holds for.
  bool fits(uint64_t shortest, uint64_t room) {
    if (shortest <= room) {
      lo_ = std::max(lo_, shortest);
      return true;
    }
    hi_ = std::min(hi_, shortest);
    return false;
  }
  const StrictVocab& v_;
  // The last mask, for the same state again (every id inside a string or a
  // run of digits leaves the state as it was): it holds for rooms in
  // [lo_, hi_).
  std::optional<GrammarState> last_state_;
  TokenMask last_;
  uint64_t lo_ = 0, hi_ = 0;
  std::vector<GrammarState> levels_;  // levels_[d]: the state after d bytes of the path
  struct Pending {
    uint32_t node;
    uint8_t byte;
    uint32_t level;
  };
  std::vector<Pending> stack_;
};

// Strict tool calls inside the decode loop. With a forced grammar the call
// starts at the first generated id (or after a reasoning block, see
// allow_thinking) and, once closed, only an end id may follow; otherwise the
// call starts when the text reaches "<tool_call>" and the model is free again
// after the close marker.
class StrictDecoder {
 public:
  StrictDecoder(std::shared_ptr<const ToolGrammar> grammar, const StrictVocab& vocab,
                std::optional<uint32_t> open_id, std::vector<uint32_t> end_ids);

  // A forced call may follow a reasoning block, as models trained to think
  // first write it: the first id may open "<think>" instead of the call; the
  // block is free text, but it cannot end the generation or open a call, and
  // it is closed by `close_id` once only the close and the shortest call
  // still fit in the budget; white space may stand between the block and the
  // call. What a forced choice takes away is the plain reply, not the
  // reasoning. No effect on an automatic grammar.
  void allow_thinking(uint32_t open_id, uint32_t close_id);

  // Before an id is chosen, with `tokens_left` ids of budget (this one
  // included): forbids what may not come next. False when nothing may.
  bool apply(std::span<float> logits, uint64_t tokens_left);
  // The bytes of the id that was kept.
  void feed(std::string_view bytes);
  // The id apply() would leave as the only one allowed with `tokens_left`
  // ids of budget, whatever the logits; nothing when there is a choice (or
  // none at all).
  std::optional<uint32_t> only_id(uint64_t tokens_left);
  // Inside a call: the next bytes the grammar allows no alternative to (at
  // most `limit`), e.g. '","arguments":{"' after a name; empty elsewhere.
  std::string fixed_bytes(size_t limit) const;

  bool in_call() const { return phase_ == Phase::kInCall; }
  const GrammarState& state() const { return state_; }
  const TokenMask& mask() const { return mask_; }

 private:
  enum class Phase : uint8_t {
    kOutside,     // automatic: free text until "<tool_call>"
    kMayThink,    // forced, first id: "<think>" or the call
    kThinking,    // forced: inside the reasoning block
    kAfterThink,  // forced: white space, then the call
    kInCall,
    kAfter,       // forced: the call is closed, only an end id
  };
  // The mask of the call's first id, plus `extra` when the budget still
  // leaves room for the call after it.
  void call_start_mask(uint64_t room, std::optional<uint32_t> extra, bool blanks);
  // Makes mask_ for `room` bytes after the next id; false in the phases
  // that only bias a few ids (free text, reasoning).
  bool make_mask(uint64_t room);
  std::shared_ptr<const ToolGrammar> grammar_;
  const StrictVocab& vocab_;
  std::optional<uint32_t> open_id_;
  std::optional<uint32_t> think_open_, think_close_;
  std::vector<uint32_t> end_ids_;
  Phase phase_;
  const GrammarState start_;
  GrammarState state_;
  StrictMasker masker_;
  TokenMask mask_;
  // The last bytes outside a call, to see the open marker (automatic) or the
  // close of the reasoning block (forced).
  std::string window_;
  uint32_t blank_ids_ = 0;  // forced: white-space ids before the block or the call
};

}  // namespace pinnet::engine
