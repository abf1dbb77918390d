#include "engine/tool_grammar.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <bitset>
#include <cstdlib>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

#include "core/interrupt.h"
#include "engine/completion_text.h"
#include "formats/json.h"

namespace pinnet::engine {

using formats::JsonValue;

namespace {

constexpr uint32_t kInf = ToolGrammar::kUnreachable;  // "no way to finish"; sums stay far from overflow

uint32_t sat(uint64_t x) { return x >= kInf ? kInf : static_cast<uint32_t>(x); }

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// A whole-number keyword value (minItems, maxItems), or `fallback`.
uint32_t count_value(const JsonValue* v, uint32_t fallback) {
  if (v == nullptr || !v->is_integer_literal() || v->text[0] == '-') return fallback;
  if (v->text.size() > 7) return 1u << 20;
  return std::min<uint32_t>(static_cast<uint32_t>(std::strtoul(v->text.c_str(), nullptr, 10)), 1u << 20);
}

bool is_digit(uint8_t b) { return b >= '0' && b <= '9'; }

}  // namespace

// Parameters written as the properties map alone ({"width": {"type":
// "integer"}, ...}), a form some tool lists use: no schema keyword at the
// top and every member a schema object.
bool is_bare_properties(const JsonValue& params) {
  if (!params.is(JsonValue::Kind::kObject) || params.members.empty()) return false;
  for (const auto& [key, value] : params.members) {
    for (const char* keyword : {"type", "properties", "anyOf", "oneOf", "allOf", "enum", "const",
                                "additionalProperties", "required", "items", "$ref", "$schema"}) {
      if (key == keyword) return false;
    }
    if (!value.is(JsonValue::Kind::kObject)) return false;
  }
  return true;
}

namespace {

// Must not appear inside a string value (see the string body below).
constexpr std::string_view kCloseMarker = markers::kToolCallClose;

}  // namespace

ToolChoice ToolChoice::from_text(std::string_view text) {
  if (text == "auto") return {ToolChoiceKind::kAuto, {}};
  if (text == "required") return {ToolChoiceKind::kRequired, {}};
  return {ToolChoiceKind::kNamed, std::string(text)};
}

namespace {

// A schema the grammar cannot honour, or a limit passed: unwinds the
// compile, which returns the message as its error.
struct Refusal {
  std::string message;
};

// A key or name in a message, cut short (at a character boundary) when long.
std::string quoted_short(std::string_view s) {
  constexpr size_t kShown = 48;
  if (s.size() <= kShown) return formats::json_quote(s);
  size_t cut = kShown;
  while (cut > 0 && (static_cast<uint8_t>(s[cut]) & 0xC0) == 0x80) --cut;
  return formats::json_quote(s.substr(0, cut)) + "...";
}

// The JSON types a "type" entry may name, aliases folded.
enum class TypeKind : uint8_t { kObject, kString, kNumber, kInteger, kBoolean, kNull, kArray, kAny };

TypeKind type_kind(std::string_view type_name) {
  const std::string t = ascii_lower(type_name);
  if (t == "object" || t == "dict") return TypeKind::kObject;
  if (t == "string" || t == "str") return TypeKind::kString;
  if (t == "number" || t == "float" || t == "double") return TypeKind::kNumber;
  if (t == "integer" || t == "int") return TypeKind::kInteger;
  if (t == "boolean" || t == "bool") return TypeKind::kBoolean;
  if (t == "null" || t == "none") return TypeKind::kNull;
  if (t == "array" || t == "list" || t == "tuple") return TypeKind::kArray;
  return TypeKind::kAny;  // "any" and names we do not know
}

// The column of a union's dispatch for each byte a JSON value can start with.
constexpr std::string_view kValueStartBytes = "\"-0123456789tfn{[";
constexpr std::array<int8_t, 256> kValueStartColumn = [] {
  std::array<int8_t, 256> t{};
  t.fill(-1);
  int8_t column = 0;
  for (char b : kValueStartBytes) t[static_cast<uint8_t>(b)] = column++;
  return t;
}();

// Keywords that would constrain a value in ways the grammar does not
// follow; reading past them would admit values the schema refuses.
constexpr const char* kRefusedKeywords[] = {"$ref", "$dynamicRef", "$recursiveRef", "allOf"};

// Units of compile work (nodes, trie bytes) between two interrupt polls.
constexpr uint32_t kPollEvery = 4096;

}  // namespace

// Builds the nodes of a ToolGrammar from schemas.
class SchemaCompiler {
 public:
  using Node = ToolGrammar::Node;
  using Kind = ToolGrammar::Kind;
  static constexpr uint32_t kNone = ToolGrammar::kNone;

  explicit SchemaCompiler(ToolGrammar& g) : g_(g) {}

  // The tool whose parameters come next, for the messages.
  void begin_tool(std::string_view name) {
    tool_ = name;
    path_.clear();
  }

  // Counts work, and every kPollEvery units is a safe point to stop at:
  // the grammar being built is dropped whole.
  void work() {
    if (++work_ == kPollEvery) {
      work_ = 0;
      core::poll_interrupt();
    }
  }

  uint32_t add(const Node& n) {
    if (g_.nodes_.size() >= ToolGrammar::kMaxNodes) {
      throw Refusal{"tools: the schemas need " + std::to_string(ToolGrammar::kMaxNodes + 1) +
                    " or more grammar nodes, at most " + std::to_string(ToolGrammar::kMaxNodes)};
    }
    work();
    g_.nodes_.push_back(n);
    return static_cast<uint32_t>(g_.nodes_.size() - 1);
  }

  uint32_t node_of(Kind k) {
    Node n;
    n.kind = k;
    return add(n);
  }

  uint32_t list_node(Kind k, const std::vector<uint32_t>& children) {
    Node n;
    n.kind = k;
    n.first = static_cast<uint32_t>(g_.list_.size());
    n.count = static_cast<uint32_t>(children.size());
    g_.list_.insert(g_.list_.end(), children.begin(), children.end());
    return add(n);
  }

  // A trie of `words` in the grammar's pool; word k ends at a node marked k
  // (the first of equal words wins) that continues with nexts[k] when given.
  // Returns the root. Children get larger indices than their parents.
  uint32_t trie(const std::vector<std::string>& words, const std::vector<uint32_t>* nexts,
                bool key_bits) {
    size_t bytes = 0;
    for (const std::string& w : words) bytes += w.size();
    text_bytes_ += bytes;
    if (text_bytes_ > ToolGrammar::kMaxTextBytes) {
      throw Refusal{"tools: names, property keys and enum values take " + std::to_string(text_bytes_) +
                    " or more bytes, at most " + std::to_string(ToolGrammar::kMaxTextBytes)};
    }
    // The words in byte order (equal words in list order): each shares its
    // predecessor's path up to their common prefix, so nodes come depth
    // first, and a node's children in byte order.
    std::vector<uint32_t> order(words.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return words[a] < words[b]; });
    struct PendingEdge {
      uint32_t parent, child;
      uint8_t byte;
    };
    std::vector<PendingEdge> edges;
    edges.reserve(bytes);
    const auto base = static_cast<uint32_t>(g_.trie_.size());
    g_.trie_.emplace_back();
    std::vector<uint32_t> path = {base};  // the previous word's nodes, root first
    const std::string* previous = nullptr;
    for (const uint32_t k : order) {
      const std::string& w = words[k];
      size_t common = 0;
      if (previous != nullptr) {
        const size_t most = std::min(previous->size(), w.size());
        while (common < most && (*previous)[common] == w[common]) ++common;
      }
      path.resize(common + 1);
      const uint64_t bit = key_bits ? uint64_t{1} << k : 0;
      if (bit != 0) {
        for (const uint32_t at : path) g_.trie_[at].keys_below |= bit;
      }
      for (size_t d = common; d < w.size(); ++d) {
        work();
        const auto fresh = static_cast<uint32_t>(g_.trie_.size());
        ToolGrammar::TrieNode t;
        t.keys_below = bit;
        t.depth = static_cast<uint32_t>(d + 1);
        g_.trie_.push_back(t);
        edges.push_back({path.back(), fresh, static_cast<uint8_t>(w[d])});
        path.push_back(fresh);
      }
      ToolGrammar::TrieNode& end = g_.trie_[path.back()];
      if (end.word < 0) {
        end.word = static_cast<int32_t>(k);
        end.next = nexts ? (*nexts)[k] : kNone;
      }
      previous = &w;
    }
    // Each node's edges together (a stable counting sort by parent keeps
    // them in byte order).
    const size_t count = g_.trie_.size() - base;
    std::vector<uint32_t> first(count + 1, 0);
    for (const PendingEdge& e : edges) ++first[e.parent - base + 1];
    for (size_t i = 0; i < count; ++i) first[i + 1] += first[i];
    const auto edge_base = static_cast<uint32_t>(g_.edges_.size());
    g_.edges_.resize(edge_base + edges.size());
    for (size_t i = 0; i < count; ++i) {
      g_.trie_[base + i].edges_begin = edge_base + first[i];
      g_.trie_[base + i].edges_end = edge_base + first[i + 1];
    }
    for (const PendingEdge& e : edges) g_.edges_[edge_base + first[e.parent - base]++] = {e.byte, e.child};
    return base;
  }

  uint32_t literal(const std::vector<std::string>& words, const std::vector<uint32_t>* nexts = nullptr) {
    Node n;
    n.kind = Kind::kLiteral;
    n.trie = trie(words, nexts, false);
    return add(n);
  }

  // Any JSON value, compact; made once per grammar.
  uint32_t any() {
    if (any_ != kNone) return any_;
    any_ = node_of(Kind::kUnion);  // its alternatives are filled in below
    Node object;
    object.kind = Kind::kFreeObject;
    object.child = any_;
    Node array;
    array.kind = Kind::kArray;
    array.child = any_;
    const std::vector<uint32_t> alts = {string(), number(), literal({"true", "false", "null"}), add(object),
                                        add(array)};
    g_.nodes_[any_].first = static_cast<uint32_t>(g_.list_.size());
    g_.nodes_[any_].count = static_cast<uint32_t>(alts.size());
    g_.list_.insert(g_.list_.end(), alts.begin(), alts.end());
    return any_;
  }

  // The values without parts are made once per grammar and shared.
  uint32_t string() {
    if (g_.string_ == kNone) g_.string_ = node_of(Kind::kString);
    return g_.string_;
  }
  uint32_t number() { return shared(number_, [&] { return node_of(Kind::kNumber); }); }
  uint32_t integer() { return shared(integer_, [&] { return node_of(Kind::kInteger); }); }
  uint32_t boolean() { return shared(boolean_, [&] { return literal({"true", "false"}); }); }
  uint32_t null() { return shared(null_, [&] { return literal({"null"}); }); }

  uint32_t schema(const JsonValue* s, int depth, bool arguments) {
    if (s == nullptr || !s->is(JsonValue::Kind::kObject)) return arguments ? empty_object() : any();
    if (depth > ToolGrammar::kMaxSchemaDepth) {
      refuse(where() + " is nested " + std::to_string(depth) + " levels deep, at most " +
             std::to_string(ToolGrammar::kMaxSchemaDepth));
    }
    for (const char* keyword : kRefusedKeywords) {
      if (s->get(keyword) != nullptr) {
        refuse(where() + " uses \"" + keyword + "\", which strict calls cannot follow");
      }
    }
    uint32_t node = plain_schema(*s, depth, arguments);
    const JsonValue* nullable = s->get("nullable");
    if (nullable && nullable->is(JsonValue::Kind::kBool) && nullable->boolean) {
      node = list_node(Kind::kUnion, {node, null()});
    }
    return node;
  }

  // The first bytes a node's text can start with.
  std::bitset<256> first_bytes(uint32_t node) const {
    std::bitset<256> out;
    const Node& n = g_.nodes_[node];
    switch (n.kind) {
      case Kind::kSeq:
        for (uint32_t k = 0; k < n.count; ++k) {
          out |= first_bytes(g_.list_[n.first + k]);
          if (g_.nodes_[g_.list_[n.first + k]].min_len > 0) break;
        }
        break;
      case Kind::kLiteral: {
        const ToolGrammar::TrieNode& root = g_.trie_[n.trie];
        for (uint32_t e = root.edges_begin; e < root.edges_end; ++e) out.set(g_.edges_[e].byte);
        if (root.word >= 0 && root.next != kNone) out |= first_bytes(root.next);
        break;
      }
      case Kind::kUnion:
        for (uint32_t k = 0; k < n.count; ++k) out |= first_bytes(g_.list_[n.first + k]);
        break;
      case Kind::kString: out.set('"'); break;
      case Kind::kNumber:
      case Kind::kInteger:
        out.set('-');
        for (int d = '0'; d <= '9'; ++d) out.set(d);
        break;
      case Kind::kObject:
      case Kind::kFreeObject: out.set('{'); break;
      case Kind::kArray: out.set('['); break;
    }
    return out;
  }

  uint32_t empty_object() {
    Node n;
    n.kind = Kind::kObject;
    n.trie = trie({}, nullptr, true);
    return add(n);
  }

 private:
  template <class Make>
  uint32_t shared(uint32_t& slot, Make make) {
    if (slot == kNone) slot = make();
    return slot;
  }

  // Where the compiler stands in a tool's parameters, for the messages.
  static constexpr size_t kNoIndex = ~size_t{0};
  struct Step {
    const char* keyword;
    std::string_view key;  // "properties": the property (may be ""), else null
    size_t index;          // "anyOf", "oneOf": the alternative, else kNoIndex
  };
  class Into {
   public:
    Into(SchemaCompiler& c, Step step) : c_(c) { c_.path_.push_back(step); }
    ~Into() { c_.path_.pop_back(); }
    Into(const Into&) = delete;
    Into& operator=(const Into&) = delete;

   private:
    SchemaCompiler& c_;
  };
  std::string where() const {
    std::string out = "parameters";
    for (const Step& s : path_) {
      out.append(".").append(s.keyword);
      if (s.key.data() != nullptr) out.append(".").append(quoted_short(s.key));
      if (s.index != kNoIndex) out.append("[").append(std::to_string(s.index)).append("]");
    }
    return out;
  }
  [[noreturn]] void refuse(const std::string& what) const {
    throw Refusal{"tool " + quoted_short(tool_) + ": " + what};
  }

  uint32_t plain_schema(const JsonValue& s, int depth, bool arguments) {
    if (const JsonValue* e = s.get("enum"); e && e->is(JsonValue::Kind::kArray) && !e->items.empty()) {
      std::vector<std::string> words;
      for (const JsonValue& v : e->items) words.push_back(formats::to_json(v));
      return literal(words);
    }
    if (const JsonValue* c = s.get("const")) return literal({formats::to_json(*c)});
    for (const char* key : {"anyOf", "oneOf"}) {
      const JsonValue* u = s.get(key);
      if (u == nullptr || !u->is(JsonValue::Kind::kArray) || u->items.empty()) continue;
      std::vector<uint32_t> alts;
      for (size_t i = 0; i < u->items.size(); ++i) {
        const Into step(*this, {key, {}, i});
        alts.push_back(schema(&u->items[i], depth + 1, false));
      }
      return alts.size() == 1 ? alts[0] : list_node(Kind::kUnion, alts);
    }
    const JsonValue* type = s.get("type");
    if (type && type->is(JsonValue::Kind::kArray) && !type->items.empty()) {
      // Each kind once, in the order first named: the alternatives share
      // the schema's one compiled object, array and so on.
      std::vector<TypeKind> kinds;
      for (const JsonValue& t : type->items) {
        const TypeKind k = t.is(JsonValue::Kind::kString) ? type_kind(t.text) : TypeKind::kAny;
        if (std::find(kinds.begin(), kinds.end(), k) == kinds.end()) kinds.push_back(k);
      }
      std::vector<uint32_t> alts;
      for (const TypeKind k : kinds) alts.push_back(typed(k, s, depth, arguments));
      return alts.size() == 1 ? alts[0] : list_node(Kind::kUnion, alts);
    }
    if (type && type->is(JsonValue::Kind::kString)) return typed(type_kind(type->text), s, depth, arguments);
    if (s.get("properties") || arguments) return object(s, depth, arguments);
    if (s.get("items")) return array(s, depth);
    return any();
  }

  uint32_t typed(TypeKind kind, const JsonValue& s, int depth, bool arguments) {
    switch (kind) {
      case TypeKind::kObject: return object(s, depth, arguments);
      case TypeKind::kString: return string();
      case TypeKind::kNumber: return number();
      case TypeKind::kInteger: return integer();
      case TypeKind::kBoolean: return boolean();
      case TypeKind::kNull: return null();
      case TypeKind::kArray: return array(s, depth);
      case TypeKind::kAny: break;
    }
    return any();
  }

  uint32_t object(const JsonValue& s, int depth, bool arguments) {
    const JsonValue* props = s.get("properties");
    const JsonValue* extra = s.get("additionalProperties");
    if (props && props->is(JsonValue::Kind::kObject) && !props->members.empty()) {
      // Each key once, its first occurrence kept.
      std::unordered_map<std::string_view, uint32_t> index;
      std::vector<const std::pair<std::string, JsonValue>*> members;
      for (const auto& member : props->members) {
        work();
        if (index.emplace(member.first, static_cast<uint32_t>(members.size())).second) {
          members.push_back(&member);
        }
      }
      Node n;
      n.kind = Kind::kObject;
      bool requires_any = false;
      if (const JsonValue* req = s.get("required"); req && req->is(JsonValue::Kind::kArray)) {
        for (const JsonValue& r : req->items) {
          if (!r.is(JsonValue::Kind::kString)) continue;
          const auto at = index.find(r.text);
          if (at == index.end()) continue;
          requires_any = true;
          if (at->second < 64) n.required |= uint64_t{1} << at->second;
        }
      }
      if (members.size() > ToolGrammar::kMaxProperties) {
        // A frame keeps a bit per property; past that the object is free,
        // which only an object that neither requires nor excludes keys is.
        const bool limits_keys = extra != nullptr && !(extra->is(JsonValue::Kind::kBool) && extra->boolean);
        if (requires_any || limits_keys) {
          refuse(where() + " has " + std::to_string(members.size()) + " properties with \"" +
                 (requires_any ? "required" : "additionalProperties") + "\", at most " +
                 std::to_string(ToolGrammar::kMaxProperties));
        }
        return free_object(any());
      }
      std::vector<std::string> words;
      std::vector<ToolGrammar::Property> props_out;
      for (const auto* member : members) {
        words.push_back(formats::json_quote(member->first) + ":");
        const Into step(*this, {"properties", member->first, kNoIndex});
        props_out.push_back({schema(&member->second, depth + 1, false), static_cast<uint32_t>(words.back().size())});
      }
      n.first = static_cast<uint32_t>(g_.props_.size());
      n.count = static_cast<uint32_t>(members.size());
      g_.props_.insert(g_.props_.end(), props_out.begin(), props_out.end());
      n.trie = trie(words, nullptr, true);
      return add(n);
    }
    if (extra && extra->is(JsonValue::Kind::kObject)) {
      const Into step(*this, {"additionalProperties", {}, kNoIndex});
      return free_object(schema(extra, depth + 1, false));
    }
    const bool closed = extra ? (extra->is(JsonValue::Kind::kBool) && !extra->boolean) : arguments;
    return closed ? empty_object() : free_object(any());
  }

  uint32_t free_object(uint32_t values) {
    string();  // its keys
    Node n;
    n.kind = Kind::kFreeObject;
    n.child = values;
    return add(n);
  }

  uint32_t array(const JsonValue& s, int depth) {
    const JsonValue* items = s.get("items");
    Node n;
    n.kind = Kind::kArray;
    if (items && items->is(JsonValue::Kind::kObject)) {
      const Into step(*this, {"items", {}, kNoIndex});
      n.child = schema(items, depth + 1, false);
    } else {
      n.child = any();
    }
    n.min_items = count_value(s.get("minItems"), 0);
    n.max_items = count_value(s.get("maxItems"), 0xFFFFFFFFu);
    if (n.min_items > n.max_items) {
      n.min_items = 0;
      n.max_items = 0xFFFFFFFFu;
    }
    return add(n);
  }

  ToolGrammar& g_;
  uint32_t any_ = kNone;
  uint32_t number_ = kNone, integer_ = kNone, boolean_ = kNone, null_ = kNone;
  size_t text_bytes_ = 0;  // of every trie so far
  uint32_t work_ = 0;
  std::string_view tool_;
  std::vector<Step> path_;
};

void ToolGrammar::finish(SchemaCompiler& c) {
  // Union dispatch: the first alternative that can start with a byte takes
  // it. Alternatives are JSON values, so only the bytes a value can start
  // with have a column (and what a value starts with does not depend on
  // the lengths below).
  for (Node& n : nodes_) {
    if (n.kind != Kind::kUnion) continue;
    c.work();
    n.dispatch = static_cast<uint32_t>(dispatch_.size());
    dispatch_.resize(dispatch_.size() + kValueStarts, kNone);
    for (uint32_t k = 0; k < n.count; ++k) {
      const std::bitset<256> first = c.first_bytes(list_[n.first + k]);
      for (int b = 0; b < 256; ++b) {
        const int column = kValueStartColumn[b];
        if (first[b] && column >= 0 && dispatch_[n.dispatch + column] == kNone) {
          dispatch_[n.dispatch + column] = list_[n.first + k];
        }
      }
    }
  }
  // Shortest lengths: a fixpoint, since "any value" contains itself.
  for (Node& n : nodes_) n.min_len = kInf;
  for (TrieNode& t : trie_) t.to_end = kInf;
  for (bool changed = true; changed;) {
    changed = false;
    // Children follow their parents in the pool, so one backward pass settles a trie.
    for (size_t i = trie_.size(); i-- > 0;) {
      c.work();
      TrieNode& t = trie_[i];
      uint64_t best = kInf;
      if (t.word >= 0) best = t.next == kNone ? 0 : nodes_[t.next].min_len;
      for (uint32_t e = t.edges_begin; e < t.edges_end; ++e) {
        best = std::min<uint64_t>(best, 1 + uint64_t{trie_[edges_[e].node].to_end});
      }
      if (sat(best) != t.to_end) {
        t.to_end = sat(best);
        changed = true;
      }
    }
    for (Node& n : nodes_) {
      c.work();
      uint64_t len = kInf;
      switch (n.kind) {
        case Kind::kSeq:
          len = 0;
          for (uint32_t k = 0; k < n.count; ++k) len += nodes_[list_[n.first + k]].min_len;
          break;
        case Kind::kLiteral: len = trie_[n.trie].to_end; break;
        case Kind::kUnion:
          // Through the alternative each first byte leads to: one that
          // an earlier alternative shadows cannot be taken.
          for (const char b : kValueStartBytes) {
            len = std::min<uint64_t>(len, min_len_from(dispatch_[n.dispatch + kValueStartColumn[static_cast<uint8_t>(b)]],
                                                        static_cast<uint8_t>(b)));
          }
          break;
        case Kind::kString: len = 2; break;
        case Kind::kNumber:
        case Kind::kInteger: len = 1; break;
        case Kind::kObject: {
          len = 2;
          const int required = std::popcount(n.required);
          if (required > 0) len += required - 1;
          for (uint32_t k = 0; k < n.count; ++k) {
            if (n.required >> k & 1) len += props_[n.first + k].key_len + uint64_t{nodes_[props_[n.first + k].value].min_len};
          }
          break;
        }
        case Kind::kFreeObject: len = 2; break;
        case Kind::kArray: {
          const uint64_t item = nodes_[n.child].min_len;
          len = 2 + (n.min_items > 0 ? n.min_items * item + n.min_items - 1 : 0);
          break;
        }
      }
      if (sat(len) != n.min_len) {
        n.min_len = sat(len);
        changed = true;
      }
    }
  }
  static_assert(kValueStartBytes.size() == kValueStarts);
  shortest_call_ = nodes_[root_].min_len;
  nodes_.shrink_to_fit();
  list_.shrink_to_fit();
  props_.shrink_to_fit();
  trie_.shrink_to_fit();
  edges_.shrink_to_fit();
  dispatch_.shrink_to_fit();
  names_.shrink_to_fit();
}

uint64_t ToolGrammar::min_len_from(uint32_t node, uint8_t b) const {
  if (node == kNone) return kInf;
  const Node& n = nodes_[node];
  switch (n.kind) {
    case Kind::kSeq: break;  // never an alternative
    case Kind::kLiteral: {
      const TrieNode& root = trie_[n.trie];
      uint64_t best = kInf;
      if (const TrieNode* c = child(n.trie, b)) best = 1 + uint64_t{c->to_end};
      if (root.word >= 0 && root.next != kNone) best = std::min(best, min_len_from(root.next, b));
      return best;
    }
    case Kind::kUnion: {
      const int column = kValueStartColumn[b];
      return column < 0 ? kInf : min_len_from(dispatch_[n.dispatch + column], b);
    }
    case Kind::kString: return b == '"' ? n.min_len : kInf;
    case Kind::kNumber:
    case Kind::kInteger: return is_digit(b) ? 1 : b == '-' ? 2 : kInf;
    case Kind::kObject:
    case Kind::kFreeObject: return b == '{' ? n.min_len : kInf;
    case Kind::kArray: return b == '[' ? n.min_len : kInf;
  }
  return kInf;
}

size_t ToolGrammar::bytes() const {
  size_t n = sizeof(*this) + nodes_.capacity() * sizeof(Node) + list_.capacity() * sizeof(uint32_t) +
             props_.capacity() * sizeof(Property) + trie_.capacity() * sizeof(TrieNode) +
             edges_.capacity() * sizeof(Edge) + dispatch_.capacity() * sizeof(uint32_t) +
             names_.capacity() * sizeof(std::string);
  for (const std::string& name : names_) n += name.capacity();
  return n;
}

core::Result<std::shared_ptr<const ToolGrammar>, std::string> ToolGrammar::compile(
    std::string_view tools_json, const ToolChoice& choice) {
  if (tools_json.size() > kMaxToolsJsonBytes) {
    return core::Err{"tools: " + std::to_string(tools_json.size()) + " bytes of tools JSON, at most " +
                     std::to_string(kMaxToolsJsonBytes)};
  }
  auto parsed = formats::parse_json(tools_json);
  if (!parsed.ok()) return core::Err{std::string("invalid tools JSON: ") + parsed.error().message()};
  const JsonValue& root = parsed.value();
  std::vector<const JsonValue*> items;
  if (root.is(JsonValue::Kind::kArray)) {
    if (root.items.size() > kMaxTools) {
      return core::Err{"tools: " + std::to_string(root.items.size()) + " tools offered, at most " +
                       std::to_string(kMaxTools)};
    }
    for (const JsonValue& v : root.items) items.push_back(&v);
  } else if (root.is(JsonValue::Kind::kObject)) {
    items.push_back(&root);
  } else {
    return core::Err{std::string("the tools JSON is not a list of tools")};
  }

  auto g = std::make_shared<ToolGrammar>();
  static std::atomic<uint64_t> serials{0};
  g->serial_ = ++serials;
  try {
    SchemaCompiler c(*g);
    std::unordered_set<std::string_view> offered;
    std::vector<std::string> words;
    std::vector<uint32_t> arguments;
    for (const JsonValue* item : items) {
      if (!item->is(JsonValue::Kind::kObject)) continue;
      const JsonValue* fn = item->get("function");
      if (fn == nullptr || !fn->is(JsonValue::Kind::kObject)) fn = item;
      const JsonValue* name = fn->get("name");
      if (name == nullptr || !name->is(JsonValue::Kind::kString) || name->text.empty()) continue;
      if (name->text.size() > kMaxNameBytes) {
        return core::Err{"tools: a tool name of " + std::to_string(name->text.size()) + " bytes, at most " +
                         std::to_string(kMaxNameBytes)};
      }
      if (!offered.insert(name->text).second) continue;
      if (choice.kind == ToolChoiceKind::kNamed && name->text != choice.name) continue;
      const JsonValue* params = fn->get("parameters");
      if (params == nullptr) params = fn->get("input_schema");
      JsonValue wrapped;
      if (params != nullptr && is_bare_properties(*params)) {
        wrapped.kind = JsonValue::Kind::kObject;
        wrapped.members.emplace_back("properties", *params);
        params = &wrapped;
      }
      c.begin_tool(name->text);
      uint32_t args = c.schema(params, 0, true);
      if (!c.first_bytes(args)['{']) args = c.empty_object();
      g->names_.push_back(name->text);
      words.push_back(formats::json_quote(name->text) + ",\"arguments\":");
      arguments.push_back(args);
    }
    if (g->names_.empty()) {
      if (choice.kind == ToolChoiceKind::kNamed) {
        return core::Err{"tool_choice \"" + choice.name + "\" is not an offered tool"};
      }
      return core::Err{std::string("the tools JSON offers no tool with a name")};
    }
    const uint32_t call = c.list_node(Kind::kSeq, {c.literal({"{\"name\":"}), c.literal(words, &arguments),
                                                   c.literal({"}"})});
    const uint32_t line_feed = c.literal({"", "\n"});
    std::vector<uint32_t> parts;
    g->forced_ = choice.kind != ToolChoiceKind::kAuto;
    if (g->forced_) parts.push_back(c.literal({std::string(markers::kToolCallOpen)}));
    for (uint32_t p : {line_feed, call, line_feed, c.literal({std::string(markers::kToolCallClose)})}) {
      parts.push_back(p);
    }
    g->root_ = c.list_node(Kind::kSeq, parts);
    c.string();
    g->finish(c);
  } catch (Refusal& refusal) {
    return core::Err{std::move(refusal.message)};
  }
  return std::shared_ptr<const ToolGrammar>(std::move(g));
}

// ---------------------------------------------------------------------------
// The state.

namespace {
// Where a number stands after the bytes so far. A frame keeps its phase as a
// byte shared with the other kinds, so these convert to and from uint8_t.
enum NumberPhase : uint8_t {
  kNumStart = 0,      // nothing yet
  kNumMinus,          // after '-'
  kNumZero,           // after a leading 0
  kNumInt,            // integer digits
  kNumDot,            // after '.'
  kNumFraction,       // fraction digits
  kNumE,              // after 'e' or 'E'
  kNumExpSign,        // after the exponent's sign
  kNumExp,            // exponent digits
  kNumPhases,
  kNumRejected = 0xFF,  // the byte cannot continue the number
};
// Bytes still needed to end a number in each phase.
constexpr uint8_t kNumberRest[kNumPhases] = {1, 1, 0, 0, 1, 0, 1, 1, 0};
constexpr bool number_done(uint8_t phase) { return kNumberRest[phase] == 0; }
// Phases that end on a digit, where another digit may follow.
constexpr bool in_digits(uint8_t phase) {
  return phase == kNumInt || phase == kNumFraction || phase == kNumExp;
}

// The next number phase after `b`, or kNumRejected.
NumberPhase number_step(uint8_t phase, uint8_t b, bool integer) {
  const bool digit = is_digit(b);
  const bool exp = !integer && (b == 'e' || b == 'E');
  const bool dot = !integer && b == '.';
  switch (phase) {
    case kNumStart: return b == '-' ? kNumMinus : b == '0' ? kNumZero : digit ? kNumInt : kNumRejected;
    case kNumMinus: return b == '0' ? kNumZero : digit ? kNumInt : kNumRejected;
    case kNumZero: return dot ? kNumDot : exp ? kNumE : kNumRejected;
    case kNumInt: return digit ? kNumInt : dot ? kNumDot : exp ? kNumE : kNumRejected;
    case kNumDot: return digit ? kNumFraction : kNumRejected;
    case kNumFraction: return digit ? kNumFraction : exp ? kNumE : kNumRejected;
    case kNumE: return (b == '+' || b == '-') ? kNumExpSign : digit ? kNumExp : kNumRejected;
    case kNumExpSign:
    case kNumExp: return digit ? kNumExp : kNumRejected;
  }
  return kNumRejected;
}

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// String phases.
enum : uint8_t { kOpenQuote = 0, kBody = 1, kEscape = 2, kUtf8 = 3, kHex = 4 };
// Object and array phases (free objects also use kColon).
enum : uint8_t { kOpen = 0, kFirst = 1, kKey = 2, kColon = 3, kAfterValue = 4, kNext = 5 };
}  // namespace

GrammarState::GrammarState(const ToolGrammar& g) : g_(&g) { push(g.root_); }

void GrammarState::init(Frame& f, uint32_t node) const {
  const ToolGrammar::Node& n = g_->nodes_[node];
  f.node = node;
  f.pos = (n.kind == ToolGrammar::Kind::kLiteral || n.kind == ToolGrammar::Kind::kObject) ? n.trie : 0;
  f.phase = 0;
  f.need = 0;
  f.lo = f.hi = 0;
  f.used = 0;
}

bool GrammarState::push(uint32_t node) {
  if (depth_ >= kMaxFrames) return false;
  const uint32_t below = depth_ == 0 ? 0 : sat(uint64_t{f_[depth_ - 1].below} + rest(f_[depth_ - 1]));
  Frame& f = f_[depth_++];
  init(f, node);
  f.below = below;
  return true;
}

void GrammarState::pop() {
  --depth_;
  // A sequence whose last part just ended is done too.
  while (depth_ > 0) {
    const Frame& top = f_[depth_ - 1];
    const ToolGrammar::Node& n = g_->nodes_[top.node];
    if (n.kind != ToolGrammar::Kind::kSeq || top.pos < n.count) break;
    --depth_;
  }
}

uint32_t GrammarState::object_rest(const Frame& f, const ToolGrammar::Node& n) const {
  const uint64_t need = n.required & ~f.used;
  auto cost = [&](uint32_t k) {
    const ToolGrammar::Property& p = g_->props_[n.first + k];
    return uint64_t{p.key_len} + g_->nodes_[p.value].min_len;
  };
  uint64_t sum = 0;
  for (uint64_t m = need; m; m &= m - 1) sum += cost(static_cast<uint32_t>(std::countr_zero(m)));
  const uint64_t count = static_cast<uint64_t>(std::popcount(need));
  const uint64_t all = n.count >= 64 ? ~uint64_t{0} : (uint64_t{1} << n.count) - 1;
  switch (f.phase) {
    case kOpen: return n.min_len;
    case kFirst: return sat(sum + (count ? count - 1 : 0) + 1);
    case kAfterValue: return sat(sum + count + 1);
    case kNext:
      if (count > 0) return sat(sum + count);
      {
        uint64_t best = kInf;
        for (uint64_t m = all & ~f.used; m; m &= m - 1) best = std::min(best, cost(static_cast<uint32_t>(std::countr_zero(m))));
        return sat(best + 1);
      }
    case kKey: {
      const ToolGrammar::TrieNode& t = g_->trie_[f.pos];
      uint64_t best = kInf;
      for (uint64_t m = t.keys_below & ~f.used; m; m &= m - 1) {
        const auto k = static_cast<uint32_t>(std::countr_zero(m));
        const bool needed = need >> k & 1;
        const uint64_t others = sum - (needed ? cost(k) : 0);
        const uint64_t commas = count - (needed ? 1 : 0);
        best = std::min(best, cost(k) - t.depth + others + commas + 1);
      }
      return sat(best);
    }
  }
  return kInf;
}

uint32_t GrammarState::rest(const Frame& f) const {
  const ToolGrammar::Node& n = g_->nodes_[f.node];
  switch (n.kind) {
    case ToolGrammar::Kind::kSeq: {
      uint64_t sum = 0;
      for (uint32_t k = f.pos; k < n.count; ++k) sum += g_->nodes_[g_->list_[n.first + k]].min_len;
      return sat(sum);
    }
    case ToolGrammar::Kind::kLiteral: return g_->trie_[f.pos].to_end;
    case ToolGrammar::Kind::kUnion: return n.min_len;
    case ToolGrammar::Kind::kString:
      switch (f.phase) {
        case kOpenQuote: return 2;
        case kBody: return 1;
        case kEscape: return 2;
        default: return f.need + 1u;
      }
    case ToolGrammar::Kind::kNumber:
    case ToolGrammar::Kind::kInteger: return kNumberRest[f.phase];
    case ToolGrammar::Kind::kObject: return object_rest(f, n);
    case ToolGrammar::Kind::kFreeObject: {
      const uint64_t value = g_->nodes_[n.child].min_len;
      switch (f.phase) {
        case kOpen: return 2;
        case kColon: return sat(2 + value);
        case kNext: return sat(4 + value);
        default: return 1;
      }
    }
    case ToolGrammar::Kind::kArray: {
      if (f.phase == kOpen) return n.min_len;
      const uint64_t item = g_->nodes_[n.child].min_len;
      const uint64_t k = n.min_items > f.pos ? n.min_items - f.pos : 0;
      if (f.phase == kFirst) return sat(k == 0 ? 1 : k * item + k);
      if (f.phase == kAfterValue) return sat(k * (item + 1) + 1);
      const uint64_t k1 = std::max<uint64_t>(k, 1);  // kNext: after a comma
      return sat(k1 * item + k1);
    }
  }
  return kInf;
}

std::optional<std::string> GrammarState::shortest_completion() const {
  if (shortest() >= ToolGrammar::kUnreachable) return std::nullopt;
  GrammarState s = *this;
  std::string text;
  while (s.shortest() > 0) {
    const uint32_t left = s.shortest();
    bool moved = false;
    for (int b = 0; b < 256 && !moved; ++b) {
      GrammarState t = s;
      if (t.accept(static_cast<uint8_t>(b)) && t.shortest() == left - 1) {
        s = t;
        text.push_back(static_cast<char>(b));
        moved = true;
      }
    }
    if (!moved) return std::nullopt;
  }
  return text;
}

GrammarState::Context GrammarState::context() const {
  if (depth_ == 0) return Context::kOther;
  const Frame& f = f_[depth_ - 1];
  const ToolGrammar::Kind k = g_->nodes_[f.node].kind;
  // Inside a string, unless part of the close marker was just written.
  if (k == ToolGrammar::Kind::kString && f.phase == kBody && f.pos == 0) return Context::kStringBody;
  if ((k == ToolGrammar::Kind::kNumber || k == ToolGrammar::Kind::kInteger) &&
      in_digits(f.phase)) {
    return Context::kDigits;
  }
  return Context::kOther;
}

GrammarState::Edge GrammarState::container_byte(Frame& f, uint8_t b, uint8_t open, uint8_t close,
                                                 bool may_close, bool may_add) {
  switch (f.phase) {
    case kOpen:
      // Room for the open construct's first element is kept.
      if (b != open || depth_ >= kMaxFrames) return Edge::kRefused;
      f.phase = kFirst;
      return Edge::kTaken;
    case kFirst:
    case kAfterValue:
      if (b == close) {
        if (!may_close) return Edge::kRefused;
        pop();
        return Edge::kTaken;
      }
      if (f.phase == kFirst) return Edge::kElement;
      if (b != ',' || !may_add) return Edge::kRefused;
      f.phase = kNext;
      return Edge::kTaken;
    default:
      return Edge::kElement;
  }
}

bool GrammarState::accept(uint8_t b) {
  using K = ToolGrammar::Kind;
  const ToolGrammar& g = *g_;
  while (depth_ > 0) {
    Frame& f = f_[depth_ - 1];
    const ToolGrammar::Node& n = g.nodes_[f.node];
    switch (n.kind) {
      case K::kSeq:
        if (f.pos < n.count) {
          const uint32_t part = g.list_[n.first + f.pos++];
          if (!push(part)) return false;
        } else {
          pop();
        }
        continue;

      case K::kUnion: {
        const int column = kValueStartColumn[b];
        const uint32_t alt = column < 0 ? ToolGrammar::kNone : g.dispatch_[n.dispatch + column];
        if (alt == ToolGrammar::kNone) return false;
        const uint32_t below = f.below;
        init(f, alt);
        f.below = below;
        continue;
      }

      case K::kLiteral: {
        const uint32_t c = g.child_index(f.pos, b);
        const ToolGrammar::TrieNode& here = g.trie_[c == ToolGrammar::kNone ? f.pos : c];
        if (c != ToolGrammar::kNone) {
          f.pos = c;
          if (here.word < 0 || here.edges_begin != here.edges_end) return true;
        } else if (here.word < 0) {
          return false;
        }
        // A word ends: what follows it takes over (the byte too, when the
        // word ended before it).
        if (here.next != ToolGrammar::kNone) {
          const uint32_t below = f.below;
          init(f, here.next);
          f.below = below;
        } else {
          pop();
        }
        if (c != ToolGrammar::kNone) return true;
        continue;
      }

      case K::kString:
        switch (f.phase) {
          case kOpenQuote:
            if (b != '"') return false;
            f.phase = kBody;
            return true;
          case kBody: {
            // f.pos: bytes of the close marker just written. A string may
            // not contain the whole marker, or the call would seem to end
            // inside it for anyone who cuts the payload at the marker.
            const uint32_t matched = f.pos;
            f.pos = b == kCloseMarker[matched] ? matched + 1 : (b == kCloseMarker[0] ? 1 : 0);
            if (f.pos == kCloseMarker.size()) return false;
            if (b == '"') {
              pop();
              return true;
            }
            if (b == '\\') {
              f.phase = kEscape;
              return true;
            }
            if (b < 0x20) return false;
            if (b < 0x80) return true;
            // A UTF-8 lead byte: how many continuation bytes, and the range
            // of the first (no overlongs, surrogates or values past U+10FFFF).
            f.lo = 0x80;
            f.hi = 0xBF;
            if (b >= 0xC2 && b <= 0xDF) {
              f.need = 1;
            } else if (b >= 0xE0 && b <= 0xEF) {
              f.need = 2;
              if (b == 0xE0) f.lo = 0xA0;
              if (b == 0xED) f.hi = 0x9F;
            } else if (b >= 0xF0 && b <= 0xF4) {
              f.need = 3;
              if (b == 0xF0) f.lo = 0x90;
              if (b == 0xF4) f.hi = 0x8F;
            } else {
              return false;
            }
            f.phase = kUtf8;
            return true;
          }
          case kUtf8:
            if (b < f.lo || b > f.hi) return false;
            f.lo = 0x80;
            f.hi = 0xBF;
            if (--f.need == 0) f.phase = kBody;
            return true;
          case kEscape:
            if (b == 'u') {
              f.phase = kHex;
              f.need = 4;
              f.lo = 0;
              return true;
            }
            if (b != '"' && b != '\\' && b != '/' && b != 'b' && b != 'f' && b != 'n' && b != 'r' && b != 't') {
              return false;
            }
            f.phase = kBody;
            return true;
          default: {  // kHex; surrogate escapes (\uD800-\uDFFF) are refused:
                      // the character itself can always be written instead
            const int h = hex_value(b);
            if (h < 0) return false;
            if (f.need == 3 && f.lo == 1 && h > 7) return false;
            f.lo = (f.need == 4 && h == 0xD) ? 1 : 0;
            if (--f.need == 0) f.phase = kBody;
            return true;
          }
        }

      case K::kNumber:
      case K::kInteger: {
        const NumberPhase next = number_step(f.phase, b, n.kind == K::kInteger);
        if (next != kNumRejected) {
          f.phase = next;
          return true;
        }
        if (!number_done(f.phase)) return false;
        pop();
        continue;
      }

      case K::kObject: {
        if (f.phase != kKey) {
          const uint64_t all = n.count >= 64 ? ~uint64_t{0} : (uint64_t{1} << n.count) - 1;
          const Edge e = container_byte(f, b, '{', '}', (n.required & ~f.used) == 0, (all & ~f.used) != 0);
          if (e != Edge::kElement) return e == Edge::kTaken;
          f.phase = kKey;
          f.pos = n.trie;
        }
        const uint32_t c = g.child_index(f.pos, b);
        if (c == ToolGrammar::kNone || (g.trie_[c].keys_below & ~f.used) == 0) return false;
        f.pos = c;
        const int32_t k = g.trie_[c].word;
        if (k < 0) return true;
        f.used |= uint64_t{1} << k;
        f.phase = kAfterValue;
        return push(g.props_[n.first + static_cast<uint32_t>(k)].value);
      }

      case K::kFreeObject: {
        if (f.phase == kColon) {
          if (b != ':') return false;
          f.phase = kAfterValue;
          return push(n.child);
        }
        const Edge e = container_byte(f, b, '{', '}', true, true);
        if (e != Edge::kElement) return e == Edge::kTaken;
        if (b != '"') return false;
        f.phase = kColon;
        if (!push(g.string_)) return false;
        continue;
      }

      case K::kArray: {
        const Edge e = container_byte(f, b, '[', ']', f.pos >= n.min_items, f.pos < n.max_items);
        if (e != Edge::kElement) return e == Edge::kTaken;
        if (f.pos >= n.max_items) return false;
        ++f.pos;
        f.phase = kAfterValue;
        if (!push(n.child)) return false;
        continue;
      }
    }
  }
  return false;  // everything is written
}

// ---------------------------------------------------------------------------

core::Result<std::shared_ptr<const ToolGrammar>, std::string> ToolGrammarCache::get(
    std::string_view tools_json, const ToolChoice& choice) {
  // A list past the size limit is refused before a key is made of it.
  if (tools_json.size() > ToolGrammar::kMaxToolsJsonBytes) return ToolGrammar::compile(tools_json, choice);
  // One key for both: the choice kind, the name's length and the name, the JSON.
  std::string key;
  key.push_back(static_cast<char>('0' + static_cast<int>(choice.kind)));
  key += std::to_string(choice.name.size()) + ":" + choice.name;
  key.append(tools_json);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = index_.find(key);
    if (it != index_.end()) {
      entries_.splice(entries_.begin(), entries_, it->second);
      return it->second->grammar;
    }
  }
  auto compiled = ToolGrammar::compile(tools_json, choice);
  if (!compiled.ok()) return compiled;
  const size_t bytes = compiled.value()->bytes() + key.capacity() + sizeof(Entry);
  std::lock_guard<std::mutex> lock(mutex_);
  if (index_.count(key) == 0 && max_entries_ > 0 && bytes <= max_bytes_) {
    while (!entries_.empty() && (entries_.size() >= max_entries_ || bytes_ + bytes > max_bytes_)) {
      index_.erase(entries_.back().key);
      bytes_ -= entries_.back().bytes;
      entries_.pop_back();
    }
    entries_.push_front({std::move(key), compiled.value(), bytes});
    index_.emplace(entries_.front().key, entries_.begin());
    bytes_ += bytes;
  }
  return compiled;
}

}  // namespace pinnet::engine
