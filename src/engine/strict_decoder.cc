#include "engine/strict_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "engine/completion_text.h"
#include "formats/utf8.h"

namespace pinnet::engine {

namespace {

constexpr float kForbidden = -1000000000.0f;  // as the written constraint

// White-space ids a forced call may take before its reasoning block or its
// call, and between the two: a word-start piece or a line feed, not a
// padding the model could fill its budget with.
constexpr uint32_t kMaxBlankIds = 2;

// '<' is walked: it may start the close marker, which a string may not hold.
bool stays_in_string(std::string_view p) {
  if (p.empty()) return false;
  for (char c : p) {
    const auto b = static_cast<uint8_t>(c);
    if (b < 0x20 || b == '"' || b == '\\' || b == '<') return false;
  }
  return formats::is_valid_utf8(p);
}

bool is_blank(char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

bool only_digits(std::string_view p) {
  return !p.empty() && std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The bit set of the ids whose text passes `in_class`, and the texts of all
// the others (empty for the members, so the rest trie never reaches them).
std::vector<uint64_t> split(const std::vector<std::string>& texts, bool (*in_class)(std::string_view),
                            std::vector<std::string>* rest) {
  std::vector<uint64_t> bits((texts.size() + 63) / 64, 0);
  rest->assign(texts.size(), std::string());
  for (size_t i = 0; i < texts.size(); ++i) {
    if (in_class(texts[i])) {
      bits[i >> 6] |= uint64_t{1} << (i & 63);
    } else {
      (*rest)[i] = texts[i];
    }
  }
  return bits;
}

PieceTrie rest_trie(const std::vector<std::string>& texts, bool (*in_class)(std::string_view),
                    std::vector<uint64_t>* bits) {
  std::vector<std::string> rest;
  *bits = split(texts, in_class, &rest);
  return PieceTrie(rest);
}

}  // namespace

StrictVocab::StrictVocab(const PieceTrie& all, const std::vector<std::string>& piece_texts)
    : all_(all),
      string_rest_(rest_trie(piece_texts, stays_in_string, &string_plain_)),
      digits_rest_(rest_trie(piece_texts, only_digits, &digits_)) {
  blank_.assign((piece_texts.size() + 63) / 64, 0);
  for (size_t i = 0; i < piece_texts.size(); ++i) {
    const std::string& t = piece_texts[i];
    max_piece_len_ = std::max<uint32_t>(max_piece_len_, static_cast<uint32_t>(t.size()));
    if (!t.empty() && std::all_of(t.begin(), t.end(), is_blank)) blank_[i >> 6] |= uint64_t{1} << (i & 63);
  }
}

const StrictVocab& LazyPieceTrie::strict() const {
  const PieceTrie& all = get();
  std::call_once(strict_once_, [&] { strict_ = std::make_shared<const StrictVocab>(all, piece_texts_()); });
  return *strict_;
}

size_t TokenMask::count() const {
  size_t n = 0;
  for (uint64_t w : bits_) n += static_cast<size_t>(std::popcount(w));
  return n;
}

bool TokenMask::any() const {
  for (uint64_t w : bits_) {
    if (w != 0) return true;
  }
  return false;
}

bool TokenMask::fewer_than(size_t limit) const {
  size_t n = 0;
  for (uint64_t w : bits_) {
    n += static_cast<size_t>(std::popcount(w));
    if (n >= limit) return false;
  }
  return true;
}

namespace {

// kAddend[b][k]: what the mask adds to the k-th of 8 logits whose bits are
// the byte b: 0 for an allowed id, kForbidden for the others.
struct Addends {
  float v[256][8];
  constexpr Addends() : v() {
    for (int b = 0; b < 256; ++b) {
      for (int k = 0; k < 8; ++k) v[b][k] = (b >> k & 1) ? 0.0f : kForbidden;
    }
  }
};
constexpr Addends kAddend;

}  // namespace

void TokenMask::apply(std::span<float> logits) {
  const size_t width = logits.size();
  kept_.clear();
  if (fewer_than(width / 8)) {
    // Few allowed: forbid everything in one pass, then put the allowed back.
    for (size_t w = 0; w < bits_.size(); ++w) {
      for (uint64_t m = bits_[w]; m; m &= m - 1) {
        const size_t id = w * 64 + static_cast<size_t>(std::countr_zero(m));
        if (id < width) kept_.push_back(static_cast<uint32_t>(id));
      }
    }
    saved_.clear();
    for (uint32_t id : kept_) saved_.push_back(logits[id]);
    for (float& x : logits) x += kForbidden;
    for (size_t k = 0; k < kept_.size(); ++k) logits[kept_[k]] = saved_[k];
    return;
  }
  // Eight logits per byte of the mask, each plus 0 (allowed: unchanged, up
  // to the sign of a zero) or kForbidden; fixed-width adds that vectorise.
  const size_t whole = std::min(width, bits_.size() * 64) / 8 * 8;
  for (size_t i = 0; i < whole; i += 8) {
    const uint64_t word = bits_[i / 64];
    if (word == ~uint64_t{0}) {
      i += 56 - i % 64;  // the rest of a fully allowed word (the loop adds 8)
      continue;
    }
    const float* add = kAddend.v[(word >> (i % 64)) & 0xFF];
    for (size_t k = 0; k < 8; ++k) logits[i + k] += add[k];
  }
  for (size_t i = whole; i < width; ++i) {
    if (!test(static_cast<uint32_t>(i))) logits[i] += kForbidden;
  }
}

uint64_t MaskMemo::hash_of(const GrammarState& state) {
  uint64_t h = 0xCBF29CE484222325ull ^ state.grammar().serial();
  for (uint8_t b : state.frame_bytes()) h = (h ^ b) * 0x100000001B3ull;
  return h;
}

MaskMemo::Slot* MaskMemo::match(const GrammarState& state, uint64_t hash) {
  if (slots_.empty()) return nullptr;
  Slot& slot = slots_[hash % kSlots];
  const auto key = state.frame_bytes();
  if (slot.serial != state.grammar().serial() || slot.hash != hash || slot.key_len != key.size() ||
      std::memcmp(slot.key.data(), key.data(), key.size()) != 0) {
    return nullptr;
  }
  return &slot;
}

bool MaskMemo::find(const GrammarState& state, uint64_t room, std::vector<uint64_t>* bits,
                    uint64_t* lo, uint64_t* hi) {
  const uint64_t hash = hash_of(state);
  std::lock_guard<std::mutex> lock(mutex_);
  const Slot* slot = match(state, hash);
  if (slot == nullptr || room < slot->lo || room >= slot->hi) return false;
  bits->assign(slot->bits.begin(), slot->bits.end());
  *lo = slot->lo;
  *hi = slot->hi;
  return true;
}

void MaskMemo::put(const GrammarState& state, uint64_t lo, uint64_t hi,
                   const std::vector<uint64_t>& bits) {
  const uint64_t hash = hash_of(state);
  const auto key = state.frame_bytes();
  std::lock_guard<std::mutex> lock(mutex_);
  if (slots_.empty()) slots_.resize(kSlots);
  Slot& slot = slots_[hash % kSlots];
  slot.serial = state.grammar().serial();
  slot.hash = hash;
  slot.lo = lo;
  slot.hi = hi;
  slot.key_len = static_cast<uint32_t>(key.size());
  std::memcpy(slot.key.data(), key.data(), key.size());
  slot.bits.assign(bits.begin(), bits.end());
}

void StrictMasker::compute(const GrammarState& state, uint64_t room, TokenMask& out) {
  if (last_state_ && room >= lo_ && room < hi_ && last_state_->same_as(state)) {
    out.copy_bits(last_);
    return;
  }
  if (v_.memo_.find(state, room, &out.bits(), &lo_, &hi_)) {
    out.set_ids(v_.piece_count());
    last_state_ = state;
    last_.copy_bits(out);
    return;
  }
  if (levels_.size() < v_.max_piece_len_ + 1u) {
    levels_.assign(v_.max_piece_len_ + 1u, state);
  } else {
    levels_[0] = state;
  }
  lo_ = 0;
  hi_ = std::numeric_limits<uint64_t>::max();
  out.clear(v_.piece_count());
  switch (state.context()) {
    case GrammarState::Context::kStringBody:
      // A piece of the class leaves the state (and its shortest completion)
      // as it was.
      if (fits(state.shortest(), room)) out.add(v_.string_plain_);
      walk(v_.string_rest_, room, out);
      break;
    case GrammarState::Context::kDigits:
      if (fits(state.shortest(), room)) out.add(v_.digits_);
      walk(v_.digits_rest_, room, out);
      break;
    case GrammarState::Context::kOther:
      walk(v_.all_, room, out);
      break;
  }
  last_state_ = state;
  last_.copy_bits(out);
  v_.memo_.put(state, lo_, hi_, out.bits());
}

void StrictMasker::walk(const PieceTrie& trie, uint64_t room, TokenMask& out) {
  // Depth first, so the state of a node's parent (levels_[level - 1]) stays
  // put until all of its children are done.
  stack_.clear();
  const PieceTrie::Node& root = trie.nodes_[0];
  for (uint32_t e = root.edges_begin; e < root.edges_end; ++e) {
    stack_.push_back({trie.edges_[e].node, trie.edges_[e].byte, 1});
  }
  while (!stack_.empty()) {
    const Pending p = stack_.back();
    stack_.pop_back();
    GrammarState& s = levels_[p.level];
    s = levels_[p.level - 1];
    if (!s.accept(p.byte)) continue;
    const PieceTrie::Node& n = trie.nodes_[p.node];
    if (n.ends_begin != n.ends_end && fits(s.shortest(), room)) {
      for (uint32_t k = n.ends_begin; k < n.ends_end; ++k) out.set(trie.ids_[k]);
    }
    for (uint32_t e = n.edges_begin; e < n.edges_end; ++e) {
      stack_.push_back({trie.edges_[e].node, trie.edges_[e].byte, p.level + 1});
    }
  }
}

StrictDecoder::StrictDecoder(std::shared_ptr<const ToolGrammar> grammar, const StrictVocab& vocab,
                             std::optional<uint32_t> open_id, std::vector<uint32_t> end_ids)
    : grammar_(std::move(grammar)),
      vocab_(vocab),
      open_id_(open_id),
      end_ids_(std::move(end_ids)),
      phase_(grammar_->forced() ? Phase::kInCall : Phase::kOutside),
      start_(*grammar_),
      state_(start_),
      masker_(vocab) {}

void StrictDecoder::allow_thinking(uint32_t open_id, uint32_t close_id) {
  if (!grammar_->forced() || open_id >= vocab_.piece_count() || close_id >= vocab_.piece_count())
    return;
  think_open_ = open_id;
  think_close_ = close_id;
  if (phase_ == Phase::kInCall) phase_ = Phase::kMayThink;  // before the first id
}

void StrictDecoder::call_start_mask(uint64_t room, std::optional<uint32_t> extra, bool blanks) {
  masker_.compute(state_, room, mask_);
  if (!mask_.any()) masker_.compute(state_, std::numeric_limits<uint64_t>::max(), mask_);
  for (uint32_t id : end_ids_) mask_.reset(id);
  if (extra) mask_.set(*extra);
  if (blanks) mask_.add(vocab_.blank_);
}

bool StrictDecoder::make_mask(uint64_t room) {
  switch (phase_) {
    case Phase::kOutside:
      return false;
    case Phase::kMayThink:
      // Thinking first needs room for the close marker and the call after
      // it; white space may come first (a tokenizer's word-start piece).
      call_start_mask(room, room > start_.shortest() ? think_open_ : std::nullopt,
                      room > start_.shortest() && blank_ids_ < kMaxBlankIds);
      return true;
    case Phase::kThinking:
      if (room > start_.shortest()) return false;
      // Only the close and the shortest call still fit: close now.
      mask_.clear(vocab_.piece_count());
      mask_.set(*think_close_);
      return true;
    case Phase::kAfterThink:
      call_start_mask(room, std::nullopt, room > start_.shortest() && blank_ids_ < kMaxBlankIds);
      return true;
    case Phase::kAfter:
      mask_.clear(vocab_.piece_count());
      for (uint32_t id : end_ids_) {
        if (id < vocab_.piece_count()) mask_.set(id);
      }
      return true;
    case Phase::kInCall:
      masker_.compute(state_, room, mask_);
      // A budget too short for any way out: keep the call valid as far as
      // it goes.
      if (!mask_.any()) masker_.compute(state_, std::numeric_limits<uint64_t>::max(), mask_);
      // An end id ends the generation whatever its text (a tokenizer may
      // spell "<|im_end|>" with bytes a string accepts).
      for (uint32_t id : end_ids_) mask_.reset(id);
      return true;
  }
  return false;
}

bool StrictDecoder::apply(std::span<float> logits, uint64_t tokens_left) {
  const uint64_t room = tokens_left > 0 ? tokens_left - 1 : 0;
  if (!make_mask(room)) {
    if (phase_ == Phase::kOutside) {
      // A call opened now must still be able to close within the budget.
      if (open_id_ && *open_id_ < logits.size() && start_.shortest() > room) {
        logits[*open_id_] += kForbidden;
      }
    } else {
      // Free reasoning, but no end of the generation and no call inside it.
      for (uint32_t id : end_ids_) {
        if (id < logits.size()) logits[id] += kForbidden;
      }
      if (open_id_ && *open_id_ < logits.size()) logits[*open_id_] += kForbidden;
    }
    return true;
  }
  if (!mask_.any()) return false;
  mask_.apply(logits);
  return true;
}

std::string StrictDecoder::fixed_bytes(size_t limit) const {
  std::string out;
  if (phase_ != Phase::kInCall) return out;
  GrammarState s = state_;
  while (out.size() < limit) {
    int only = -1;
    for (int b = 0; b < 256; ++b) {
      GrammarState t = s;
      if (!t.accept(static_cast<uint8_t>(b))) continue;
      if (only >= 0) return out;
      only = b;
    }
    if (only < 0) return out;
    s.accept(static_cast<uint8_t>(only));
    out.push_back(static_cast<char>(only));
  }
  return out;
}

std::optional<uint32_t> StrictDecoder::only_id(uint64_t tokens_left) {
  const uint64_t room = tokens_left > 0 ? tokens_left - 1 : 0;
  if (!make_mask(room) || !mask_.fewer_than(2)) return std::nullopt;
  const std::vector<uint64_t>& bits = mask_.bits();
  for (size_t w = 0; w < bits.size(); ++w) {
    if (bits[w] != 0) return static_cast<uint32_t>(w * 64 + std::countr_zero(bits[w]));
  }
  return std::nullopt;
}

void StrictDecoder::feed(std::string_view bytes) {
  if (phase_ == Phase::kMayThink) {
    if (bytes == markers::kThinkOpen) {
      phase_ = Phase::kThinking;
      window_.clear();
      blank_ids_ = 0;
      return;
    }
    if (!bytes.empty() && std::all_of(bytes.begin(), bytes.end(), is_blank)) {
      ++blank_ids_;
      return;
    }
    phase_ = Phase::kInCall;
  }
  if (phase_ == Phase::kAfterThink && !bytes.empty() &&
      std::all_of(bytes.begin(), bytes.end(), is_blank)) {
    ++blank_ids_;
    return;
  }
  for (char c : bytes) {
    switch (phase_) {
      case Phase::kMayThink:
        break;  // left above
      case Phase::kThinking:
        window_.push_back(c);
        if (window_.size() > markers::kThinkClose.size()) window_.erase(window_.begin());
        if (window_ == markers::kThinkClose) {
          phase_ = Phase::kAfterThink;
          window_.clear();
        }
        break;
      case Phase::kOutside:
        window_.push_back(c);
        if (window_.size() > markers::kToolCallOpen.size()) window_.erase(window_.begin());
        if (window_ == markers::kToolCallOpen) {
          phase_ = Phase::kInCall;
          state_ = start_;
          window_.clear();
        }
        break;
      case Phase::kAfterThink:
        if (is_blank(c)) break;
        phase_ = Phase::kInCall;
        [[fallthrough]];
      case Phase::kInCall:
        // Only the id that opened an automatic call can bring bytes the
        // mask did not see; such a call is left to the model.
        if (!state_.accept(static_cast<uint8_t>(c))) {
          phase_ = grammar_->forced() ? Phase::kAfter : Phase::kOutside;
        } else if (state_.done()) {
          phase_ = grammar_->forced() ? Phase::kAfter : Phase::kOutside;
        }
        break;
      case Phase::kAfter:
        break;
    }
  }
}

}  // namespace pinnet::engine
