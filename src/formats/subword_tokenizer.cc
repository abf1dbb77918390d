#include "formats/subword_tokenizer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "formats/byte_hash.h"
#include "formats/utf8.h"

namespace pinnet::formats {
namespace {

using Error = TokenizerBlobError;

constexpr std::size_t kHeaderBytes = 24;
constexpr std::size_t kRecordHeadBytes = 7;  // f32 score, u8 kind, u16 length

uint32_t read_u32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

float read_f32(const uint8_t* p) {
  const uint32_t bits = read_u32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

Error truncated(uint64_t need, uint64_t got) {
  Error e;
  e.kind = Error::Kind::kTruncated;
  e.need = need;
  e.got = got;
  return e;
}

Error at_piece(Error::Kind kind, uint64_t index) {
  Error e;
  e.kind = kind;
  e.index = index;
  return e;
}

bool is_silent(uint8_t kind) { return kind == kPieceControl || kind == kPieceUnknown; }

bool is_marker_at(const unsigned char* p, std::size_t avail) {
  return avail >= 3 && p[0] == 0xE2 && p[1] == 0x96 && p[2] == 0x81;
}

// "<0xNN>": at least 5 bytes, bytes 3 and (when longer than 5) 5 start
// characters, bytes 3..4 an unsigned hexadecimal number where a leading '+'
// is accepted. The characters around them are not examined.
std::optional<uint8_t> parse_byte_piece(std::string_view text) {
  if (text.size() < 5) return std::nullopt;
  const auto* u = reinterpret_cast<const unsigned char*>(text.data());
  if (is_utf8_continuation(u[3]) || (text.size() > 5 && is_utf8_continuation(u[5]))) {
    return std::nullopt;
  }
  auto hex = [](unsigned char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (u[3] == '+') {
    const int d = hex(u[4]);
    if (d < 0) return std::nullopt;
    return static_cast<uint8_t>(d);
  }
  const int hi = hex(u[3]), lo = hex(u[4]);
  if (hi < 0 || lo < 0) return std::nullopt;
  return static_cast<uint8_t>(hi * 16 + lo);
}

// One symbol of the merge chain: a byte range of the segment, linked to its
// alive neighbours. A symbol only ever dies by being absorbed into its left
// neighbour, so symbol 0 always heads the chain and `begin` never changes.
struct Symbol {
  uint32_t begin;
  uint32_t end;   // 0 once absorbed (an alive symbol has end > begin >= 0)
  uint32_t prev;  // kNoSymbol at the ends
  uint32_t next;
  uint32_t id;    // the id of the symbol's text, all ones when it is not a piece
};
constexpr uint32_t kNoSymbol = 0xFFFFFFFFu;

// A candidate merge of symbol `left` with its right neighbour whose range
// ends at `end`. It is stale (skipped) unless `left` is alive and its right
// neighbour still ends at `end`: `left.begin` is fixed, so the joined range,
// and with it the piece, is then the same.
// key = (score key << 32) | (~left): the largest key is the highest score,
// then the leftmost pair, so one integer comparison orders the heap.
struct Candidate {
  uint64_t key;
  uint32_t end;
  uint32_t id;
  uint32_t left() const { return ~static_cast<uint32_t>(key); }
};
struct CandidateLess {
  bool operator()(const Candidate& a, const Candidate& b) const { return a.key < b.key; }
};

// Per-thread buffers reused across calls so a warm encode allocates nothing.
struct EncodeScratch {
  std::string normalized;
  std::vector<Symbol> symbols;
  std::vector<Candidate> heap;
};
EncodeScratch& scratch() {
  thread_local EncodeScratch s;
  return s;
}

}  // namespace

std::string TokenizerBlobError::message() const {
  switch (kind) {
    case Kind::kTruncated:
      return "tokenizer blob truncated: need " + std::to_string(need) + " bytes, got " +
             std::to_string(got);
    case Kind::kBadText:
      return "piece " + std::to_string(index) + " is not valid UTF-8";
    case Kind::kNoPieces:
      return "tokenizer blob declares zero pieces";
    case Kind::kSpecialOutOfRange:
      return "header " + std::string(name) + "=" + std::to_string(id) + " is outside the " +
             std::to_string(count) + "-piece table";
    case Kind::kBadBytePiece:
      return "byte piece " + std::to_string(index) + " is not of the form <0xNN>";
  }
  return "tokenizer blob error";
}

core::Result<SubwordTokenizer, TokenizerBlobError> SubwordTokenizer::parse(
    std::span<const uint8_t> blob) {
  const uint64_t len = blob.size();
  if (len < kHeaderBytes) {
    return core::Err{truncated(kHeaderBytes, len)};
  }
  const uint8_t* b = blob.data();
  const uint32_t count = read_u32(b);
  if (count == 0) {
    Error e;
    e.kind = Error::Kind::kNoPieces;
    return core::Err{e};
  }

  SubwordTokenizer t;
  t.pad_id_ = read_u32(b + 4);
  t.eos_id_ = read_u32(b + 8);
  t.bos_id_ = read_u32(b + 12);
  t.unk_id_ = read_u32(b + 16);
  t.add_dummy_prefix_ = b[20] != 0;
  t.byte_fallback_ = b[21] != 0;

  // The declared count is only trusted as far as the blob can hold records.
  const uint64_t fit = std::min<uint64_t>(count, (len - kHeaderBytes) / kRecordHeadBytes);
  t.texts_.reserve(fit);
  t.scores_.reserve(fit);
  t.kinds_.reserve(fit);
  t.arena_.reserve(len - kHeaderBytes + 256);

  uint64_t pos = kHeaderBytes;
  for (uint32_t i = 0; i < count; ++i) {
    if (len - pos < kRecordHeadBytes) {
      return core::Err{truncated(pos + kRecordHeadBytes, len)};
    }
    const float score = read_f32(b + pos);
    const uint8_t kind = b[pos + 4];
    const uint32_t length = uint32_t{b[pos + 5]} | uint32_t{b[pos + 6]} << 8;
    if (pos + kRecordHeadBytes + length > len) {
      return core::Err{truncated(pos + kRecordHeadBytes + length, len)};
    }
    const char* text = reinterpret_cast<const char*>(b + pos + kRecordHeadBytes);
    if (!is_valid_utf8({text, length})) {
      return core::Err{at_piece(Error::Kind::kBadText, i)};
    }
    t.texts_.push_back({t.arena_.size(), length});
    t.arena_.insert(t.arena_.end(), text, text + length);
    t.scores_.push_back(score);
    t.kinds_.push_back(kind);
    if (std::isnan(score)) t.has_nan_score_ = true;
    pos += kRecordHeadBytes + length;
  }

  const std::pair<std::string_view, uint32_t> specials[] = {
      {"pad", t.pad_id_}, {"eos", t.eos_id_}, {"bos", t.bos_id_}, {"unk", t.unk_id_}};
  for (const auto& [name, id] : specials) {
    if (id >= count) {
      Error e;
      e.kind = Error::Kind::kSpecialOutOfRange;
      e.name = name;
      e.id = id;
      e.count = count;
      return core::Err{e};
    }
  }

  t.build_piece_map();

  t.byte_table_.fill(kNone);
  const uint64_t byte_base = t.arena_.size();
  for (int v = 0; v < 256; ++v) t.arena_.push_back(static_cast<char>(v));
  t.raw_.resize(count);
  t.surface_.resize(count);
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t kind = t.kinds_[i];
    if (is_silent(kind)) continue;  // both spans stay empty
    if (kind == kPieceByte) {
      const auto v = parse_byte_piece(t.view(t.texts_[i]));
      if (!v) return core::Err{at_piece(Error::Kind::kBadBytePiece, i)};
      t.byte_table_[*v] = i;
      t.raw_[i] = t.surface_[i] = {byte_base + *v, 1};
      continue;
    }
    t.raw_[i] = t.texts_[i];
    const std::string_view text = t.view(t.texts_[i]);
    if (text.find(kWordMarker) == std::string_view::npos) {
      t.surface_[i] = t.texts_[i];
      continue;
    }
    std::string spaced;
    spaced.reserve(text.size());
    for (std::size_t k = 0; k < text.size();) {
      if (text.compare(k, kWordMarker.size(), kWordMarker) == 0) {
        spaced.push_back(' ');
        k += kWordMarker.size();
      } else {
        spaced.push_back(text[k++]);
      }
    }
    t.surface_[i] = {t.arena_.size(), static_cast<uint32_t>(spaced.size())};
    t.arena_.insert(t.arena_.end(), spaced.begin(), spaced.end());
  }

  t.build_literals();
  t.build_score_keys();
  t.build_pair_table();
  return t;
}

void SubwordTokenizer::build_piece_map() {
  const uint64_t count = texts_.size();
  uint64_t capacity = 16;
  while (capacity < 2 * count) capacity <<= 1;
  slots_.assign(capacity, Slot{});
  slot_mask_ = capacity - 1;
  const uint64_t seed = hash_seed();
  for (uint32_t id = 0; id < count; ++id) {
    const std::string_view text = view(texts_[id]);
    const uint64_t h = hash_bytes(text.data(), text.size(), seed);
    const auto tag = static_cast<uint32_t>(h >> 32);
    for (uint64_t i = h & slot_mask_;; i = (i + 1) & slot_mask_) {
      Slot& s = slots_[i];
      if (s.id_plus_one == 0) {
        s = {tag, id + 1};
        break;
      }
      if (s.tag == tag && view(texts_[s.id_plus_one - 1]) == text) {
        s.id_plus_one = id + 1;  // a later duplicate takes the text over
        break;
      }
    }
  }
  for (int v = 0; v < 128; ++v) {
    const char c = static_cast<char>(v);
    ascii_id_[v] = find_hashed(&c, 1);
  }
}

uint32_t SubwordTokenizer::find(const char* p, std::size_t n) const {
  if (n == 1 && static_cast<unsigned char>(p[0]) < 128) {
    return ascii_id_[static_cast<unsigned char>(p[0])];
  }
  return find_hashed(p, n);
}

uint32_t SubwordTokenizer::find_hashed(const char* p, std::size_t n) const {
  const uint64_t h = hash_bytes(p, n, hash_seed());
  const auto tag = static_cast<uint32_t>(h >> 32);
  for (uint64_t i = h & slot_mask_;; i = (i + 1) & slot_mask_) {
    const Slot& s = slots_[i];
    if (s.id_plus_one == 0) return kNone;
    if (s.tag == tag) {
      const Span t = texts_[s.id_plus_one - 1];
      if (t.length == n && std::memcmp(arena_.data() + t.offset, p, n) == 0) {
        return s.id_plus_one - 1;
      }
    }
  }
}

void SubwordTokenizer::build_literals() {
  // An empty literal would match everywhere without advancing: left out.
  std::vector<Literal> sorted;
  for (uint32_t id = 0; id < kinds_.size(); ++id) {
    if (kinds_[id] == kPieceLiteral && texts_[id].length > 0) sorted.push_back({id, texts_[id]});
  }
  std::stable_sort(sorted.begin(), sorted.end(), [](const Literal& a, const Literal& b) {
    return a.text.length > b.text.length;
  });
  // Stable counting sort by first byte keeps the longest-first order per group.
  literal_group_.fill(0);
  for (const Literal& l : sorted) ++literal_group_[static_cast<unsigned char>(arena_[l.text.offset]) + 1];
  for (int b = 0; b < 256; ++b) literal_group_[b + 1] += literal_group_[b];
  literals_.resize(sorted.size());
  std::array<uint32_t, 256> next{};
  std::copy(literal_group_.begin(), literal_group_.end() - 1, next.begin());
  for (const Literal& l : sorted) {
    literals_[next[static_cast<unsigned char>(arena_[l.text.offset])]++] = l;
  }
}

void SubwordTokenizer::build_score_keys() {
  score_keys_.resize(scores_.size());
  for (std::size_t i = 0; i < scores_.size(); ++i) {
    const float score = scores_[i] == 0.0f ? 0.0f : scores_[i];  // -0 -> +0
    uint32_t bits;
    std::memcpy(&bits, &score, sizeof bits);
    score_keys_[i] = (bits & 0x80000000u) ? ~bits : bits | 0x80000000u;
  }
}

void SubwordTokenizer::build_pair_table() {
  // Every way to write a short piece as (piece, piece), split at character
  // boundaries; only the id the piece map gives for a text takes part.
  std::vector<PairSlot> entries;
  for (uint32_t id = 0; id < texts_.size(); ++id) {
    const Span t = texts_[id];
    if (t.length < 2 || t.length > kMaxPairText) continue;
    const char* p = arena_.data() + t.offset;
    if (find_hashed(p, t.length) != id) continue;
    for (uint32_t k = 1; k < t.length; ++k) {
      if (is_utf8_continuation(static_cast<unsigned char>(p[k]))) continue;
      const uint32_t left = find(p, k);
      if (left == kNone) continue;
      const uint32_t right = find(p + k, t.length - k);
      if (right == kNone) continue;
      entries.push_back({uint64_t{left} << 32 | right, id});
    }
  }
  uint64_t capacity = 16;
  while (capacity < 2 * entries.size()) capacity <<= 1;
  pair_slots_.assign(capacity, PairSlot{});
  pair_mask_ = capacity - 1;
  pair_seed_ = hash_seed() * kHashMul1;
  for (const PairSlot& e : entries) {
    // A pair of texts has one joined text, so keys are unique.
    for (uint64_t i = hash_mum(e.key ^ pair_seed_, kHashMul0) & pair_mask_;; i = (i + 1) & pair_mask_) {
      if (pair_slots_[i].key == ~uint64_t{0}) {
        pair_slots_[i] = e;
        break;
      }
    }
  }
}

uint32_t SubwordTokenizer::find_pair(uint32_t left, uint32_t right) const {
  const uint64_t key = uint64_t{left} << 32 | right;
  for (uint64_t i = hash_mum(key ^ pair_seed_, kHashMul0) & pair_mask_;; i = (i + 1) & pair_mask_) {
    const PairSlot& s = pair_slots_[i];
    if (s.key == key) return s.id;
    if (s.key == ~uint64_t{0}) return kNone;
  }
}

std::optional<uint32_t> SubwordTokenizer::lookup(std::string_view piece) const {
  const uint32_t id = find(piece.data(), piece.size());
  if (id == kNone) return std::nullopt;
  return id;
}

std::optional<uint32_t> SubwordTokenizer::byte_piece(uint8_t b) const {
  if (byte_table_[b] == kNone) return std::nullopt;
  return byte_table_[b];
}

std::vector<uint32_t> SubwordTokenizer::encode(std::string_view text) const {
  std::vector<uint32_t> ids;
  encode_impl(text, ids, false);
  return ids;
}

void SubwordTokenizer::encode_into(std::string_view text, std::vector<uint32_t>& out) const {
  encode_impl(text, out, false);
}

std::vector<uint32_t> SubwordTokenizer::encode_reference(std::string_view text) const {
  std::vector<uint32_t> ids;
  encode_impl(text, ids, true);
  return ids;
}

void SubwordTokenizer::encode_impl(std::string_view text, std::vector<uint32_t>& out,
                                   bool reference) const {
  if (text.empty()) return;
  std::string& norm = scratch().normalized;
  norm.clear();
  if (add_dummy_prefix_) norm.append(kWordMarker);
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t space = text.find(' ', i);
    const std::size_t stop = space == std::string_view::npos ? text.size() : space;
    norm.append(text.data() + i, stop - i);
    if (stop == text.size()) break;
    norm.append(kWordMarker);
    i = stop + 1;
  }

  const auto* u = reinterpret_cast<const unsigned char*>(norm.data());
  const std::size_t n = norm.size();
  std::size_t pending = 0;  // start of the text not yet segmented
  if (!literals_.empty()) {
    for (std::size_t pos = 0; pos < n;) {
      const unsigned c = u[pos];
      const Literal* hit = nullptr;
      for (uint32_t g = literal_group_[c]; g < literal_group_[c + 1]; ++g) {
        const Literal& l = literals_[g];
        if (l.text.length <= n - pos &&
            std::memcmp(arena_.data() + l.text.offset, u + pos, l.text.length) == 0) {
          hit = &l;
          break;
        }
      }
      if (hit == nullptr) {
        pos += c < 0x80 ? 1 : utf8_step(u + pos, n - pos).len;
        continue;
      }
      segment(norm, pending, pos, out, reference);
      out.push_back(hit->id);
      pos += hit->text.length;
      pending = pos;
    }
  }
  segment(norm, pending, n, out, reference);

  // Keep warm buffers, but not the memory of one huge text.
  constexpr std::size_t kKeepBytes = std::size_t{1} << 22;
  EncodeScratch& s = scratch();
  if (s.normalized.capacity() > kKeepBytes) std::string().swap(s.normalized);
  if (s.symbols.capacity() * sizeof(Symbol) > kKeepBytes) std::vector<Symbol>().swap(s.symbols);
  if (s.heap.capacity() * sizeof(Candidate) > kKeepBytes) std::vector<Candidate>().swap(s.heap);
}

void SubwordTokenizer::emit_symbol(std::string_view text, uint32_t id,
                                   std::vector<uint32_t>& out) const {
  if (id != kNone) {
    out.push_back(id);
  } else if (byte_fallback_) {
    for (const char ch : text) {
      const uint32_t b = byte_table_[static_cast<unsigned char>(ch)];
      out.push_back(b != kNone ? b : unk_id_);
    }
  } else {
    out.push_back(unk_id_);
  }
}

void SubwordTokenizer::segment(std::string_view normalized, std::size_t begin, std::size_t end,
                               std::vector<uint32_t>& out, bool reference) const {
  if (begin == end) return;
  if (end - begin >= kNoSymbol) throw std::length_error("text segment too long to tokenize");
  const std::string_view seg = normalized.substr(begin, end - begin);
  const auto* u = reinterpret_cast<const unsigned char*>(seg.data());
  const auto n = static_cast<uint32_t>(seg.size());
  const bool plain = reference || has_nan_score_;

  // One symbol per character, carrying the id of its text (kNone when the
  // character is not a piece; the plain rule looks ids up at the end).
  EncodeScratch& s = scratch();
  std::vector<Symbol>& sym = s.symbols;
  sym.clear();
  for (uint32_t pos = 0; pos < n;) {
    uint32_t len = 1;
    uint32_t id = kNone;
    if (u[pos] < 0x80) {
      id = ascii_id_[u[pos]];
    } else {
      len = utf8_step(u + pos, n - pos).len;
      if (!plain) id = find_hashed(seg.data() + pos, len);
    }
    const auto index = static_cast<uint32_t>(sym.size());
    sym.push_back({pos, pos + len, index == 0 ? kNoSymbol : index - 1, index + 1,
                   plain ? kNone : id});
    pos += len;
  }
  sym.back().next = kNoSymbol;

  if (plain) {
    // The plain rule: rescan every adjacent pair after each merge; a later
    // pair wins only with a strictly greater score. `sym` is kept compact.
    while (sym.size() > 1) {
      std::size_t best = sym.size();
      uint32_t best_id = kNone;
      for (std::size_t i = 0; i + 1 < sym.size(); ++i) {
        const uint32_t id = find(seg.data() + sym[i].begin, sym[i + 1].end - sym[i].begin);
        if (id != kNone && (best_id == kNone || scores_[id] > scores_[best_id])) {
          best = i;
          best_id = id;
        }
      }
      if (best_id == kNone) break;
      sym[best].end = sym[best + 1].end;
      sym.erase(sym.begin() + static_cast<std::ptrdiff_t>(best) + 1);
    }
    for (const Symbol& x : sym) {
      const std::string_view text = seg.substr(x.begin, x.end - x.begin);
      emit_symbol(text, find(text.data(), text.size()), out);
    }
    return;
  }

  std::vector<Candidate>& heap = s.heap;
  heap.clear();
  auto candidate = [&](uint32_t left) -> bool {
    const Symbol& l = sym[left];
    const Symbol& r = sym[l.next];
    const uint32_t joined = r.end - l.begin;
    uint32_t id;
    if (l.id != kNone && r.id != kNone && joined <= kMaxPairText) {
      id = find_pair(l.id, r.id);
    } else {
      id = find_hashed(seg.data() + l.begin, joined);
    }
    if (id == kNone) return false;
    heap.push_back({uint64_t{score_keys_[id]} << 32 | ~left, r.end, id});
    return true;
  };
  for (uint32_t i = 0; i + 1 < sym.size(); ++i) candidate(i);
  std::make_heap(heap.begin(), heap.end(), CandidateLess{});
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), CandidateLess{});
    const Candidate c = heap.back();
    heap.pop_back();
    const uint32_t left = c.left();
    Symbol& l = sym[left];
    if (l.end == 0 || l.next == kNoSymbol || sym[l.next].end != c.end) continue;  // stale
    Symbol& r = sym[l.next];
    l.end = r.end;
    l.next = r.next;
    l.id = c.id;
    if (r.next != kNoSymbol) sym[r.next].prev = left;
    r.end = 0;
    if (l.prev != kNoSymbol && candidate(l.prev)) {
      std::push_heap(heap.begin(), heap.end(), CandidateLess{});
    }
    if (sym[left].next != kNoSymbol && candidate(left)) {
      std::push_heap(heap.begin(), heap.end(), CandidateLess{});
    }
  }
  for (uint32_t i = 0; i != kNoSymbol; i = sym[i].next) {
    emit_symbol(seg.substr(sym[i].begin, sym[i].end - sym[i].begin), sym[i].id, out);
  }
}

std::string_view SubwordTokenizer::raw_bytes(uint32_t id) const {
  return id < raw_.size() ? view(raw_[id]) : std::string_view{};
}

std::string_view SubwordTokenizer::piece_bytes(uint32_t id) const {
  return id < surface_.size() ? view(surface_[id]) : std::string_view{};
}

std::vector<PieceBytes> SubwordTokenizer::piece_bytes_table() const {
  std::vector<PieceBytes> table;
  table.reserve(surface_.size());
  for (uint32_t id = 0; id < surface_.size(); ++id) {
    table.push_back({id, std::string(view(surface_[id]))});
  }
  return table;
}

std::string SubwordTokenizer::decode(std::span<const uint32_t> ids) const {
  std::size_t total = 0;
  for (const uint32_t id : ids) total += raw_bytes(id).size();
  std::string raw;
  raw.reserve(total);
  for (const uint32_t id : ids) raw.append(raw_bytes(id));
  return decode_raw(raw);
}

std::string SubwordTokenizer::decode_raw(std::string_view raw, bool at_text_start) const {
  const auto* u = reinterpret_cast<const unsigned char*>(raw.data());
  const std::size_t n = raw.size();
  std::size_t i = 0;
  // The first character decodes to a space exactly when it is ' ' or U+2581.
  if (at_text_start && add_dummy_prefix_ && n > 0) {
    if (u[0] == ' ') {
      i = 1;
    } else if (is_marker_at(u, n)) {
      i = kWordMarker.size();
    }
  }
  std::string out;
  out.reserve(n - i);
  while (i < n) {
    std::size_t run = i;
    while (run < n && u[run] < 0x80) ++run;
    out.append(raw.data() + i, run - i);
    i = run;
    if (i == n) break;
    const Utf8Step step = utf8_step(u + i, n - i);
    if (!step.valid) {
      out.append(kReplacementChar);
    } else if (is_marker_at(u + i, n - i)) {
      out.push_back(' ');
    } else {
      out.append(raw.data() + i, step.len);
    }
    i += step.len;
  }
  return out;
}

}  // namespace pinnet::formats
