#include "formats/vocab_tokenizer.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "formats/subword_tokenizer.h"
#include "formats/utf8.h"

namespace pinnet::formats {
namespace {

// A decimal number with an optional sign, or inf/infinity/nan in any case;
// anything else (including hexadecimal and trailing text) scores 0.
float parse_score(std::string_view s) {
  if (s.size() >= 2 && s[0] == '+' && s[1] != '-' && s[1] != '+') s.remove_prefix(1);
  if (s.empty() || s.find('(') != std::string_view::npos) return 0.0f;
  float v = 0.0f;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (end != s.data() + s.size()) return 0.0f;
  if (ec == std::errc::result_out_of_range) {
    // Overflow gives an infinity and underflow zero or a subnormal, as
    // correctly rounded by strtof; the syntax is already known to be good.
    return std::strtof(std::string(s).c_str(), nullptr);
  }
  return ec == std::errc() ? v : 0.0f;
}

// Orders scores as unsigned integers; -0 and +0 are equal.
uint32_t score_key(float f) {
  const uint32_t bits = f == 0.0f ? 0u : std::bit_cast<uint32_t>(f);
  return (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
}

void append_byte_piece(std::string& out, unsigned char b) {
  char text[8];
  std::snprintf(text, sizeof text, "<0x%02X>", b);
  out += text;
}

// The symbol chain of the scored merge: byte ranges of the expanded text (the
// characters' and byte pieces' texts laid end to end), linked to their alive
// neighbours. A symbol only dies by being absorbed into its left neighbour,
// so `begin` never changes and symbol 0 heads the chain.
struct Symbol {
  size_t begin, end;
  size_t prev, next;  // kNoSymbol at the ends
  uint32_t id;
  bool alive;
};
constexpr size_t kNoSymbol = static_cast<size_t>(-1);

// A merge of `left` with its right neighbour ending at `right_end`; stale
// unless `left` is alive and its right neighbour still ends there (the
// joined text, and so the piece, is then unchanged).
struct Candidate {
  uint32_t key;  // score_key of the joined piece
  size_t left;
  size_t right_end;
  uint32_t id;
};
// Max-heap order: higher score first, then the leftmost pair.
bool heap_less(const Candidate& a, const Candidate& b) {
  return a.key != b.key ? a.key < b.key : a.left > b.left;
}

}  // namespace

VocabTokenizer VocabTokenizer::build(std::string_view text) {
  VocabTokenizer t;
  bool any_tab = false;
  std::vector<float> scores;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string_view line;
    if (nl == std::string_view::npos) {
      line = text.substr(start);
      nl = text.size();
    } else {
      line = text.substr(start, nl - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    }
    start = nl + 1;
    const size_t tab = line.find('\t');
    if (tab == std::string_view::npos) {
      t.pieces_.emplace_back(line);
      scores.push_back(0.0f);
    } else {
      any_tab = true;
      t.pieces_.emplace_back(line.substr(0, tab));
      scores.push_back(parse_score(trim_white_space(line.substr(tab + 1))));
    }
  }
  if (any_tab) {
    t.scores_ = std::move(scores);
    t.has_nan_score_ = std::any_of(t.scores_.begin(), t.scores_.end(),
                                   [](float s) { return std::isnan(s); });
  }
  t.ids_.reserve(t.pieces_.size());
  for (uint32_t id = 0; id < t.pieces_.size(); ++id) {
    t.ids_.insert_or_assign(t.pieces_[id], id);  // a later repeat takes the text
    t.longest_piece_ = std::max(t.longest_piece_, t.pieces_[id].size());
  }
  for (unsigned b = 0; b < 256; ++b) {
    std::string name;
    append_byte_piece(name, static_cast<unsigned char>(b));
    const uint32_t id = t.find(name);
    t.byte_ids_[b] = id == kNone ? kUnknown : id;
  }
  return t;
}

uint32_t VocabTokenizer::find(std::string_view text) const {
  if (text.size() > longest_piece_) return kNone;
  const auto it = ids_.find(text);
  return it == ids_.end() ? kNone : it->second;
}

std::optional<uint32_t> VocabTokenizer::lookup(std::string_view piece) const {
  const uint32_t id = find(piece);
  if (id == kNone) return std::nullopt;
  return id;
}

std::string_view VocabTokenizer::piece(uint32_t id) const {
  return id < pieces_.size() ? std::string_view(pieces_[id]) : std::string_view();
}

float VocabTokenizer::score(uint32_t id) const { return id < scores_.size() ? scores_[id] : 0.0f; }

std::vector<uint32_t> VocabTokenizer::encode(std::string_view text) const {
  return encode_impl(text, has_nan_score_);
}

std::vector<uint32_t> VocabTokenizer::encode_reference(std::string_view text) const {
  return encode_impl(text, true);
}

std::vector<uint32_t> VocabTokenizer::encode_impl(std::string_view text, bool reference) const {
  std::vector<uint32_t> out;
  text = trim_white_space(text);
  if (text.empty()) return out;

  std::string normalized(kWordMarker);
  normalized.reserve(text.size() + kWordMarker.size());
  const auto* u = reinterpret_cast<const unsigned char*>(text.data());
  bool prev_space = false;
  for (size_t i = 0; i < text.size();) {
    const Utf8Step step = utf8_step(u + i, text.size() - i);
    const bool space = step.valid && is_white_space(utf8_scalar(u + i, step.len));
    if (!space) {
      normalized.append(text.substr(i, step.len));
    } else if (!prev_space) {
      normalized.append(kWordMarker);
    }
    prev_space = space;
    i += step.len;
  }

  if (has_scores()) {
    segment_scored(normalized, reference, out);
  } else {
    segment_greedy(normalized, out);
  }
  return out;
}

void VocabTokenizer::segment_scored(std::string_view normalized, bool reference,
                                    std::vector<uint32_t>& out) const {
  std::string expanded;
  std::vector<Symbol> syms;
  const auto* u = reinterpret_cast<const unsigned char*>(normalized.data());
  auto add = [&](uint32_t id, size_t begin) {
    const size_t index = syms.size();
    syms.push_back({begin, expanded.size(), index == 0 ? kNoSymbol : index - 1, kNoSymbol, id, true});
    if (index > 0) syms[index - 1].next = index;
  };
  for (size_t i = 0; i < normalized.size();) {
    const size_t len = utf8_step(u + i, normalized.size() - i).len;
    const std::string_view ch = normalized.substr(i, len);
    const uint32_t id = find(ch);
    if (id != kNone) {
      const size_t begin = expanded.size();
      expanded.append(ch);
      add(id, begin);
    } else {
      for (size_t k = 0; k < len; ++k) {
        const size_t begin = expanded.size();
        append_byte_piece(expanded, u[i + k]);
        add(byte_ids_[u[i + k]], begin);
      }
    }
    i += len;
  }

  // The piece of `left` joined with its right neighbour, kNone when none.
  auto join = [&](size_t left) -> uint32_t {
    const size_t right = syms[left].next;
    if (right == kNoSymbol) return kNone;
    return find(std::string_view(expanded).substr(syms[left].begin, syms[right].end - syms[left].begin));
  };
  auto merge = [&](size_t left, uint32_t id) {
    Symbol& l = syms[left];
    Symbol& r = syms[l.next];
    l.end = r.end;
    l.id = id;
    l.next = r.next;
    if (r.next != kNoSymbol) syms[r.next].prev = left;
    r.alive = false;
  };

  if (reference) {
    for (;;) {
      size_t best = kNoSymbol;
      uint32_t best_id = kNone;
      for (size_t s = 0; s != kNoSymbol; s = syms[s].next) {
        const uint32_t id = join(s);
        // A later pair wins only with a strictly greater score.
        if (id != kNone && (best_id == kNone || scores_[id] > scores_[best_id])) {
          best = s;
          best_id = id;
        }
      }
      if (best_id == kNone) break;
      merge(best, best_id);
    }
  } else {
    std::vector<Candidate> heap;
    auto push = [&](size_t left) {
      if (left == kNoSymbol) return;
      const uint32_t id = join(left);
      if (id == kNone) return;
      heap.push_back({score_key(scores_[id]), left, syms[syms[left].next].end, id});
      std::push_heap(heap.begin(), heap.end(), heap_less);
    };
    for (size_t s = 0; s + 1 < syms.size(); ++s) push(s);
    while (!heap.empty()) {
      std::pop_heap(heap.begin(), heap.end(), heap_less);
      const Candidate c = heap.back();
      heap.pop_back();
      const Symbol& l = syms[c.left];
      if (!l.alive || l.next == kNoSymbol || syms[l.next].end != c.right_end) continue;
      merge(c.left, c.id);
      push(syms[c.left].prev);
      push(c.left);
    }
  }
  for (size_t s = 0; s != kNoSymbol && !syms.empty(); s = syms[s].next) out.push_back(syms[s].id);
}

void VocabTokenizer::segment_greedy(std::string_view normalized, std::vector<uint32_t>& out) const {
  const auto* u = reinterpret_cast<const unsigned char*>(normalized.data());
  const size_t n = normalized.size();
  size_t p = 0;
  while (p < n) {
    size_t end = std::min(p + longest_piece_, n);
    while (end > p && end < n && is_utf8_continuation(u[end])) --end;
    // Every candidate end lies on a character start, so [p, end) is valid
    // UTF-8 exactly when it lies within the well-formed run from p.
    size_t valid_to = p;
    while (valid_to < end) {
      const Utf8Step step = utf8_step(u + valid_to, n - valid_to);
      if (!step.valid) break;
      valid_to += step.len;
    }
    bool matched = false;
    while (end > p) {
      if (end <= valid_to) {
        const uint32_t id = find(normalized.substr(p, end - p));
        if (id != kNone) {
          out.push_back(id);
          p = end;
          matched = true;
          break;
        }
      }
      do --end;
      while (end > p && is_utf8_continuation(u[end]));
    }
    if (!matched) out.push_back(byte_ids_[u[p++]]);
  }
}

std::string VocabTokenizer::decode(std::span<const uint32_t> ids) const {
  std::string text;
  for (const uint32_t id : ids) {
    if (id >= pieces_.size()) continue;
    std::string_view piece = pieces_[id];
    for (size_t at; (at = piece.find(kWordMarker)) != std::string_view::npos;) {
      text.append(piece.substr(0, at)).push_back(' ');
      piece.remove_prefix(at + kWordMarker.size());
    }
    text.append(piece);
  }
  return std::string(trim_white_space_front(text));
}

}  // namespace pinnet::formats
