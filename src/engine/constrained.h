// Constrained decoding of tool calls: while the model writes the JSON inside
// a tool call, a byte scanner follows the text, and while it writes the tool
// name or a key of the arguments object, every token whose text would leave
// the set of offered names or keys gets a large negative bias. Everything else
// about the JSON is left to the model.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace pinnet::engine {

struct ToolSpec {
  std::string name;                 // raw text of the "name" value (escapes not decoded)
  std::string snake_name;           // name by the snake-case rule
  std::vector<std::string> params;  // parameter names in order of appearance, none empty
};

// A tolerant scan of the tools JSON (not a JSON parser); never fails. The
// JSON is compacted first, so `"name": "x"` is found like `"name":"x"`.
std::vector<ToolSpec> parse_tools(std::string_view tools_json);

// "getWeather" -> "get_weather", "XMLParser" -> "xml_parser",
// "Get  Weather-now_" -> "get_weather_now".
std::string snake_case(std::string_view name);

// A tree over bytes; node 0 is the root. Rebuilding after clear() reuses the
// storage, so a trie rebuilt per token allocates nothing once warm.
class CharTrie {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;
  CharTrie() { clear(); }
  void clear();
  void insert(std::string_view word);
  uint32_t child(uint32_t node, uint8_t byte) const;  // kNone when absent
  bool terminal(uint32_t node) const { return nodes_[node].terminal; }
  // Children of a node, in no particular order: first_child, then
  // next_sibling until kNone; byte() is the edge byte into a child.
  uint32_t first_child(uint32_t node) const { return nodes_[node].first_child; }
  uint32_t next_sibling(uint32_t node) const { return nodes_[node].next_sibling; }
  uint8_t byte(uint32_t node) const { return nodes_[node].byte; }

 private:
  struct Node {
    uint32_t first_child = kNone;
    uint32_t next_sibling = kNone;
    uint8_t byte = 0;
    bool terminal = false;
  };
  std::vector<Node> nodes_;
};

// The piece texts of a vocabulary as a trie, built once per tokenizer and
// shared read-only by every decoder: the bias walks it together with the
// name/key trie instead of walking each piece from scratch.
class PieceTrie {
 public:
  explicit PieceTrie(const std::vector<std::string>& piece_texts);
  uint32_t piece_count() const { return piece_count_; }
  // `text` spelt by the longest piece at each point, at most `max_ids` ids
  // appended to `out`; stops early where no piece continues the text.
  void longest_cover(std::string_view text, size_t max_ids, std::vector<uint32_t>& out) const;

 private:
  friend class ConstrainedDecoder;
  friend class StrictVocab;
  friend class StrictMasker;
  struct Node {
    uint32_t edges_begin, edges_end;  // children, sorted by byte
    uint32_t ends_begin, ends_end;    // ids whose text ends exactly here
    uint32_t subtree_begin, subtree_end;  // ids of every text through this node
  };
  struct Edge {
    uint8_t byte;
    uint32_t node;
  };
  std::vector<Node> nodes_;  // node 0 is the root (the empty text)
  std::vector<Edge> edges_;
  std::vector<uint32_t> ids_;  // preorder: a node's own ids, then its subtrees'
  uint32_t piece_count_ = 0;
};

class StrictVocab;  // engine/strict_decoder.h

// A PieceTrie built on first use and then shared read-only: only constrained
// calls need it, and several threads may ask at once.
class LazyPieceTrie {
 public:
  explicit LazyPieceTrie(std::function<std::vector<std::string>()> piece_texts)
      : piece_texts_(std::move(piece_texts)) {}
  const PieceTrie& get() const;
  // The piece classes of strict tool calls, likewise built on first use.
  const StrictVocab& strict() const;

 private:
  std::function<std::vector<std::string>()> piece_texts_;
  mutable std::once_flag once_;
  mutable std::optional<PieceTrie> trie_;
  mutable std::once_flag strict_once_;
  mutable std::shared_ptr<const StrictVocab> strict_;
};

class ConstrainedDecoder {
 public:
  ConstrainedDecoder(const std::vector<ToolSpec>& tools, const PieceTrie& pieces);
  // Not copyable: the chosen key trie may point into this object.
  ConstrainedDecoder(const ConstrainedDecoder&) = delete;
  ConstrainedDecoder& operator=(const ConstrainedDecoder&) = delete;

  // Generations 2 and 3 turn this on: once a key is written, the next key is
  // constrained to the keys not yet used (all of them again when none remain).
  void set_remaining_keys_only(bool on) {
    remaining_keys_only_ = on;
    key_trie_valid_ = false;
  }

  // Advances the scanner by one byte of generated text.
  void feed(uint8_t byte);
  void feed(std::string_view bytes) {
    for (char c : bytes) feed(static_cast<uint8_t>(c));
  }

  // Writes 0 (allowed) or -1e9 (forbidden) for every id below out.size();
  // all zeros when nothing is being constrained or nothing would be allowed.
  void bias(std::span<float> out);

  // Adds the bias of width logits.size() to the logits in place: forbidden
  // ids get exactly logits[i] + -1e9, allowed ids are left as they are (the
  // addition of 0 is skipped; it could only turn -0 into +0). Does nothing
  // when bias() would be all zeros. One pass over the logits instead of
  // writing a bias vector and adding it.
  void apply(std::span<float> logits);

  // Scanner state, for tests and diagnostics.
  int capture_mode() const { return capture_mode_; }
  const std::string& current_tool() const { return current_tool_; }
  const std::string& capture() const { return capture_; }
  const std::vector<std::string>& used_keys() const { return used_keys_; }

 private:
  bool window_ends_with(std::string_view s) const;
  // The trie the capture is walked in: none outside a capture or for an
  // unknown tool.
  const CharTrie* active_trie();
  // Collects into allowed_ the ids below `width` that are allowed now; false
  // when the bias is all zeros (no capture, capture already outside the
  // trie, or no id allowed).
  bool collect_allowed(size_t width);
  // The walk starting at `node` of `trie`.
  void allowed_from(const CharTrie& trie, uint32_t node, size_t width);

  const PieceTrie& pieces_;
  CharTrie name_trie_;
  std::unordered_map<std::string, CharTrie> key_tries_;
  std::unordered_map<std::string, std::vector<std::string>> key_lists_;
  bool remaining_keys_only_ = false;

  // Scanner state.
  std::string current_tool_;
  std::string capture_;
  int capture_mode_ = 0;  // 0 none, 1 tool name, 2 argument key
  std::vector<std::string> used_keys_;
  char window_[13] = {};
  size_t window_len_ = 0;
  uint64_t depth_ = 0;
  bool in_arguments_ = false;
  uint64_t arguments_depth_ = 0;
  bool in_string_ = false;
  bool escape_ = false;

  // The key trie for the current tool and used keys, chosen again only when
  // either changes (key_trie_valid_ cleared).
  bool key_trie_valid_ = false;
  const CharTrie* key_trie_ = nullptr;
  CharTrie remaining_trie_;

  // Reused per bias call.
  std::vector<std::pair<uint32_t, uint32_t>> stack_;
  std::vector<uint32_t> allowed_;
  std::vector<float> saved_;
};

}  // namespace pinnet::engine
