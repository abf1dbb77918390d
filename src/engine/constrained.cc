#include "engine/constrained.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/char_classes.h"
#include "engine/completion_text.h"
#include "formats/utf8.h"

namespace pinnet::engine {

namespace {

constexpr float kForbidden = -1000000000.0f;

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

constexpr size_t kUnclosed = std::string_view::npos;

// Index just past the string whose opening quote is at `quote` (a backslash
// escapes the next byte), or kUnclosed when the string never closes.
size_t string_end(std::string_view s, size_t quote) {
  for (size_t i = quote + 1; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == '"') {
      return i + 1;
    }
  }
  return kUnclosed;
}

// Index just past the '}' that closes the object opening at `open`, counting
// braces outside strings; the end of the text when it never closes.
size_t object_end(std::string_view s, size_t open) {
  int64_t depth = 0;
  for (size_t i = open; i < s.size();) {
    const char c = s[i];
    if (c == '"') {
      i = string_end(s, i);
      if (i == kUnclosed) break;
      continue;
    }
    if (c == '{') {
      ++depth;
    } else if (c == '}' && --depth == 0) {
      return i + 1;
    }
    ++i;
  }
  return s.size();
}

// The text from `start` (just after an opening quote) to the next unescaped
// double quote; sets *end just past that quote. False when it never closes.
bool read_string(std::string_view s, size_t start, std::string_view* text, size_t* end) {
  const size_t after = string_end(s, start - 1);
  if (after == kUnclosed) return false;
  *text = s.substr(start, after - 1 - start);
  *end = after;
  return true;
}

// Skips one value starting at `i`: a balanced object, or anything up to the
// next comma or closing brace at this level, strings and brackets respected.
size_t skip_value(std::string_view s, size_t i) {
  if (i < s.size() && s[i] == '{') return object_end(s, i);
  int64_t nest = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '"') {
      i = string_end(s, i);
      if (i == kUnclosed) break;
      continue;
    }
    if (c == '[' || c == '{') {
      ++nest;
    } else if (c == ']' || c == '}') {
      if (nest == 0) return i;  // the enclosing object's close
      --nest;
    } else if (c == ',' && nest == 0) {
      return i;
    }
    ++i;
  }
  return s.size();
}

// The top-level keys of the object whose '{' is at obj[0].
std::vector<std::string> top_level_keys(std::string_view obj) {
  std::vector<std::string> keys;
  size_t i = 1;
  while (i < obj.size()) {
    while (i < obj.size() && (is_json_space(obj[i]) || obj[i] == ',')) ++i;
    if (i >= obj.size() || obj[i] == '}') break;
    if (obj[i] != '"') {
      ++i;
      continue;
    }
    std::string_view key;
    size_t after;
    if (!read_string(obj, i + 1, &key, &after)) break;
    if (!key.empty()) keys.emplace_back(key);
    size_t colon = obj.find(':', after);
    if (colon == std::string_view::npos) break;
    i = colon + 1;
    while (i < obj.size() && is_json_space(obj[i])) ++i;
    i = skip_value(obj, i);
  }
  return keys;
}

// The balanced object that is the value of `"<key>":`, searched anywhere in
// `s`; empty when the key is missing or its value is not an object.
std::string_view object_value(std::string_view s, std::string_view quoted_key_colon) {
  size_t at = s.find(quoted_key_colon);
  if (at == std::string_view::npos) return {};
  size_t i = at + quoted_key_colon.size();
  while (i < s.size() && is_json_space(s[i])) ++i;
  if (i >= s.size() || s[i] != '{') return {};
  return s.substr(i, object_end(s, i) - i);
}

bool tool_from_object(std::string_view obj, ToolSpec* tool) {
  constexpr std::string_view kNameKey = "\"name\":\"";
  size_t at = obj.find(kNameKey);
  if (at == std::string_view::npos) return false;
  std::string_view name;
  size_t end;
  if (!read_string(obj, at + kNameKey.size(), &name, &end)) return false;
  tool->name.assign(name);
  tool->snake_name = snake_case(name);
  tool->params.clear();
  std::string_view params = object_value(obj, "\"parameters\":");
  if (!params.empty()) {
    std::string_view props = object_value(params, "\"properties\":");
    tool->params = top_level_keys(props.empty() ? params : props);
  }
  return true;
}

// Decodes UTF-8, each maximal ill-formed subsequence as U+FFFD.
std::vector<char32_t> code_points(std::string_view s) {
  std::vector<char32_t> out;
  const auto* u = reinterpret_cast<const unsigned char*>(s.data());
  size_t i = 0;
  while (i < s.size()) {
    formats::Utf8Step step = formats::utf8_step(u + i, s.size() - i);
    char32_t c = 0xFFFD;
    if (step.valid) {
      c = step.len == 1 ? u[i] : u[i] & (0x7F >> step.len);
      for (size_t k = 1; k < step.len; ++k) c = (c << 6) | (u[i + k] & 0x3F);
    }
    out.push_back(c);
    i += step.len;
  }
  return out;
}

// Captured bytes read as text, ill-formed sequences replaced by U+FFFD.
std::string lossy_text(std::string_view bytes) {
  if (formats::is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  for (char32_t c : code_points(bytes)) formats::append_utf8(out, c);
  return out;
}

bool is_ascii_upper(char32_t c) { return c >= 'A' && c <= 'Z'; }
bool is_word_char(char32_t c) {
  return (c < 0x80 && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || is_ascii_upper(c))) ||
         (c >= 0x80 && is_alphanumeric(c));
}

}  // namespace

std::vector<ToolSpec> parse_tools(std::string_view tools_json) {
  const std::string s = compact_tools_json(tools_json);
  std::vector<ToolSpec> tools;
  size_t i = s.find_first_of("{[");
  if (i == std::string::npos) return tools;
  if (s[i] == '[') ++i;
  while (i < s.size()) {
    char c = s[i];
    if (is_json_space(c) || c == ',') {
      ++i;
    } else if (c == ']') {
      break;
    } else if (c == '{') {
      size_t end = object_end(s, i);
      ToolSpec tool;
      if (tool_from_object(std::string_view(s).substr(i, end - i), &tool)) {
        tools.push_back(std::move(tool));
      }
      i = end;
    } else {
      ++i;
    }
  }
  return tools;
}

std::string snake_case(std::string_view name) {
  const std::vector<char32_t> cs = code_points(name);
  std::string out;
  bool just_underscore = false;
  for (size_t k = 0; k < cs.size(); ++k) {
    const char32_t c = cs[k];
    if (!is_word_char(c)) {
      if (!out.empty() && !just_underscore) {
        out.push_back('_');
        just_underscore = true;
      }
      continue;
    }
    if (is_ascii_upper(c)) {
      if (k > 0 && !just_underscore) {
        const char32_t prev = cs[k - 1];
        const bool next_lower = k + 1 < cs.size() && is_lowercase(cs[k + 1]);
        if (is_lowercase(prev) || is_decimal_digit(prev) || (is_uppercase(prev) && next_lower)) {
          out.push_back('_');
        }
      }
      out.push_back(static_cast<char>(c - 'A' + 'a'));
    } else {
      formats::append_utf8(out, c);
    }
    just_underscore = false;
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out;
}

void CharTrie::clear() {
  nodes_.clear();
  nodes_.emplace_back();
}

void CharTrie::insert(std::string_view word) {
  uint32_t node = 0;
  for (char ch : word) {
    const auto b = static_cast<uint8_t>(ch);
    uint32_t next = child(node, b);
    if (next == kNone) {
      next = static_cast<uint32_t>(nodes_.size());
      Node fresh;
      fresh.byte = b;
      fresh.next_sibling = nodes_[node].first_child;
      nodes_.push_back(fresh);
      nodes_[node].first_child = next;
    }
    node = next;
  }
  nodes_[node].terminal = true;
}

uint32_t CharTrie::child(uint32_t node, uint8_t byte) const {
  for (uint32_t c = nodes_[node].first_child; c != kNone; c = nodes_[c].next_sibling) {
    if (nodes_[c].byte == byte) return c;
  }
  return kNone;
}

void PieceTrie::longest_cover(std::string_view text, size_t max_ids,
                              std::vector<uint32_t>& out) const {
  size_t at = 0;
  for (size_t n = 0; n < max_ids && at < text.size(); ++n) {
    uint32_t node = 0;
    size_t best_len = 0;
    uint32_t best_id = 0;
    for (size_t j = at; j < text.size(); ++j) {
      const Node& nd = nodes_[node];
      const auto b = static_cast<uint8_t>(text[j]);
      const Edge* e = std::lower_bound(edges_.data() + nd.edges_begin, edges_.data() + nd.edges_end, b,
                                       [](const Edge& x, uint8_t v) { return x.byte < v; });
      if (e == edges_.data() + nd.edges_end || e->byte != b) break;
      node = e->node;
      if (nodes_[node].ends_begin < nodes_[node].ends_end) {
        best_len = j + 1 - at;
        best_id = ids_[nodes_[node].ends_begin];
      }
    }
    if (best_len == 0) return;
    out.push_back(best_id);
    at += best_len;
  }
}

PieceTrie::PieceTrie(const std::vector<std::string>& piece_texts)
    : piece_count_(static_cast<uint32_t>(piece_texts.size())) {
  // Sorting the ids by text lays every subtree out contiguously: a node's
  // own ids (texts equal to its prefix) come first, then its children's in
  // byte order. The nodes are then made by one pass over the sorted texts.
  std::vector<uint32_t> order(piece_texts.size());
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return piece_texts[a] < piece_texts[b];
  });
  ids_ = order;

  struct Building {
    uint32_t node;
    uint32_t depth;
  };
  nodes_.push_back(Node{0, 0, 0, 0, 0, static_cast<uint32_t>(ids_.size())});
  // Children are discovered in byte order, but edges must be contiguous per
  // node, so they are collected per node first.
  std::vector<std::vector<Edge>> children(1);
  std::vector<Building> path = {{0, 0}};
  for (uint32_t pos = 0; pos < ids_.size(); ++pos) {
    const std::string& text = piece_texts[ids_[pos]];
    // Pop the path back to the longest prefix shared with this text.
    while (path.size() > 1) {
      const Building& top = path.back();
      const std::string& top_text = piece_texts[ids_[nodes_[top.node].subtree_begin]];
      if (top.depth <= text.size() &&
          std::memcmp(top_text.data(), text.data(), top.depth) == 0) {
        break;
      }
      nodes_[top.node].subtree_end = pos;
      path.pop_back();
    }
    // Extend the path one byte at a time down to this text.
    while (path.back().depth < text.size()) {
      const Building parent = path.back();
      const uint32_t node = static_cast<uint32_t>(nodes_.size());
      nodes_.push_back(Node{0, 0, pos, pos, pos, pos});
      children.emplace_back();
      children[parent.node].push_back(Edge{static_cast<uint8_t>(text[parent.depth]), node});
      path.push_back({node, parent.depth + 1});
    }
    Node& here = nodes_[path.back().node];
    if (here.ends_end == pos) {
      here.ends_end = pos + 1;
    }
  }
  for (size_t k = 1; k < path.size(); ++k) nodes_[path[k].node].subtree_end = static_cast<uint32_t>(ids_.size());
  for (uint32_t n = 0; n < nodes_.size(); ++n) {
    nodes_[n].edges_begin = static_cast<uint32_t>(edges_.size());
    edges_.insert(edges_.end(), children[n].begin(), children[n].end());
    nodes_[n].edges_end = static_cast<uint32_t>(edges_.size());
  }
}

const PieceTrie& LazyPieceTrie::get() const {
  std::call_once(once_, [this] { trie_.emplace(piece_texts_()); });
  return *trie_;
}

ConstrainedDecoder::ConstrainedDecoder(const std::vector<ToolSpec>& tools, const PieceTrie& pieces)
    : pieces_(pieces) {
  for (const ToolSpec& tool : tools) {
    name_trie_.insert(tool.snake_name);
    CharTrie keys;
    for (const std::string& p : tool.params) keys.insert(p);
    key_tries_[tool.snake_name] = std::move(keys);
    key_lists_[tool.snake_name] = tool.params;
  }
}

bool ConstrainedDecoder::window_ends_with(std::string_view s) const {
  return window_len_ >= s.size() &&
         std::memcmp(window_ + window_len_ - s.size(), s.data(), s.size()) == 0;
}

void ConstrainedDecoder::feed(uint8_t byte) {
  if (capture_mode_ != 0) {
    if (byte != '"') {
      capture_.push_back(static_cast<char>(byte));
      return;
    }
    std::string text = lossy_text(capture_);
    if (capture_mode_ == 1) {
      current_tool_ = std::move(text);
      key_trie_valid_ = false;
    } else if (!text.empty() &&
               std::find(used_keys_.begin(), used_keys_.end(), text) == used_keys_.end()) {
      used_keys_.push_back(std::move(text));
      key_trie_valid_ = false;
    }
    capture_.clear();
    capture_mode_ = 0;
    return;
  }
  if (window_len_ == sizeof(window_)) {
    std::memmove(window_, window_ + 1, sizeof(window_) - 1);
    --window_len_;
  }
  window_[window_len_++] = static_cast<char>(byte);
  if (in_string_) {
    if (escape_) {
      escape_ = false;
    } else if (byte == '"') {
      in_string_ = false;
    } else if (byte == '\\') {
      escape_ = true;
    }
    return;
  }
  if (byte == '[' || byte == '{') {
    ++depth_;
  } else if (byte == ']') {
    if (depth_ > 0) --depth_;
    return;
  } else if (byte == '}') {
    if (depth_ > 0) --depth_;
    if (in_arguments_ && depth_ < arguments_depth_) in_arguments_ = false;
    return;
  }
  if (!in_arguments_ && window_ends_with("\"name\":\"")) {
    capture_mode_ = 1;
    capture_.clear();
    used_keys_.clear();
    key_trie_valid_ = false;
  } else if (window_ends_with("\"arguments\":{")) {
    in_arguments_ = true;
    arguments_depth_ = depth_;
  } else if (in_arguments_ && depth_ == arguments_depth_ &&
             (window_ends_with("{\"") || window_ends_with(",\""))) {
    capture_mode_ = 2;
    capture_.clear();
  } else if (byte == '"' && window_len_ >= 2 && window_[window_len_ - 2] == ':') {
    in_string_ = true;
  }
}

const CharTrie* ConstrainedDecoder::active_trie() {
  if (capture_mode_ == 1) return &name_trie_;
  if (capture_mode_ != 2) return nullptr;
  if (!key_trie_valid_) {
    key_trie_ = nullptr;
    auto it = key_tries_.find(current_tool_);
    if (it != key_tries_.end()) {
      key_trie_ = &it->second;
      if (remaining_keys_only_) {
        const std::vector<std::string>& keys = key_lists_.find(current_tool_)->second;
        bool any_left = false;
        remaining_trie_.clear();
        for (const std::string& k : keys) {
          if (std::find(used_keys_.begin(), used_keys_.end(), k) == used_keys_.end()) {
            remaining_trie_.insert(k);
            any_left = true;
          }
        }
        if (any_left) key_trie_ = &remaining_trie_;
      }
    }
    key_trie_valid_ = true;
  }
  return key_trie_;
}

void ConstrainedDecoder::allowed_from(const CharTrie& trie, uint32_t node, size_t width) {
  auto allow_range = [&](uint32_t begin, uint32_t end) {
    for (uint32_t k = begin; k < end; ++k) {
      const uint32_t id = pieces_.ids_[k];
      if (id < width) allowed_.push_back(id);
    }
  };
  // Each pair is (piece-trie node, name/key-trie node) reached by the same
  // bytes. A piece-trie node is reached by one path only, so no id is added
  // twice.
  stack_.clear();
  stack_.emplace_back(0u, node);
  while (!stack_.empty()) {
    const auto [vnode, cnode] = stack_.back();
    stack_.pop_back();
    const PieceTrie::Node& v = pieces_.nodes_[vnode];
    // A text consumed entirely inside the trie is allowed; the empty text
    // (the root) never is.
    if (vnode != 0) allow_range(v.ends_begin, v.ends_end);
    if (v.edges_begin == v.edges_end) continue;
    // The piece edges are sorted by byte, and a name/key node has only a few
    // children, so each child's byte is searched for among the edges rather
    // than every edge among the children.
    const PieceTrie::Edge* first = pieces_.edges_.data() + v.edges_begin;
    const PieceTrie::Edge* last = pieces_.edges_.data() + v.edges_end;
    auto edge_for = [&](uint8_t b) -> const PieceTrie::Edge* {
      const PieceTrie::Edge* e = std::lower_bound(
          first, last, b, [](const PieceTrie::Edge& x, uint8_t y) { return x.byte < y; });
      return e != last && e->byte == b ? e : nullptr;
    };
    // A quote closes the word: allowed exactly at a complete word, whatever
    // follows it. So a quote in a name or key can never be followed.
    if (trie.terminal(cnode)) {
      if (const PieceTrie::Edge* q = edge_for('"')) {
        const PieceTrie::Node& qn = pieces_.nodes_[q->node];
        allow_range(qn.subtree_begin, qn.subtree_end);
      }
    }
    for (uint32_t c = trie.first_child(cnode); c != CharTrie::kNone; c = trie.next_sibling(c)) {
      if (trie.byte(c) == '"') continue;
      if (const PieceTrie::Edge* e = edge_for(trie.byte(c))) stack_.emplace_back(e->node, c);
    }
  }
}

bool ConstrainedDecoder::collect_allowed(size_t width) {
  const CharTrie* trie = active_trie();
  if (trie == nullptr) return false;
  uint32_t node = 0;
  for (char c : capture_) {
    node = trie->child(node, static_cast<uint8_t>(c));
    if (node == CharTrie::kNone) return false;  // already outside the trie
  }
  allowed_.clear();
  allowed_from(*trie, node, width);
  return !allowed_.empty();
}

void ConstrainedDecoder::bias(std::span<float> out) {
  if (!collect_allowed(out.size())) {
    std::fill(out.begin(), out.end(), 0.0f);
    return;
  }
  std::fill(out.begin(), out.end(), kForbidden);
  for (uint32_t id : allowed_) out[id] = 0.0f;
}

void ConstrainedDecoder::apply(std::span<float> logits) {
  if (!collect_allowed(logits.size())) return;
  saved_.clear();
  for (uint32_t id : allowed_) saved_.push_back(logits[id]);
  for (float& x : logits) x += kForbidden;
  for (size_t k = 0; k < allowed_.size(); ++k) logits[allowed_[k]] = saved_[k];
}

}  // namespace pinnet::engine
