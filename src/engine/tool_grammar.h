// Strict tool calls: the offered tools compiled into a byte grammar of the
// one call the model may write, and the pushdown state that follows it.
//
// The call is, byte for byte,
//   ["<tool_call>"] ["\n"] {"name":<an offered name>,"arguments":<value>} ["\n"] "</tool_call>"
// where the name is the offered name JSON-quoted (decoded, then written back
// with only '"', '\' and control characters escaped) and the value follows the
// tool's `parameters` schema in compact JSON. The open marker is part of the
// grammar only when the call is forced (tool_choice "required" or a name).
//
// Schema coverage: type (object, string, number, integer, boolean, null,
// array, lists of types; "dict", "float", "tuple", "list", "any", ... in any
// case), properties, required, additionalProperties, enum, const, items,
// minItems, maxItems, anyOf, oneOf. A schema that is not an object, or has
// none of these, stands for any JSON value. Objects with declared
// properties admit only those keys (each at most once, in any order, every
// required key before the close); an object without properties admits any
// keys, except the arguments object itself, which then must be "{}".
//
// What the grammar cannot honour is refused with an error naming the tool,
// the place in its parameters and the limit, never followed loosely:
// references ("$ref", "$dynamicRef", "$recursiveRef") and "allOf"; a schema
// nested deeper than kMaxSchemaDepth; an object of more than kMaxProperties
// properties whose "required" names one of them or whose
// "additionalProperties" is not true (without either, such an object admits
// any keys and values). Annotations (description, title, default, examples,
// format) and the value bounds the grammar does not check (minimum, maximum,
// pattern, minLength, maxLength, multipleOf, uniqueItems, ...) are ignored.
//
// Compiling takes time and memory in proportion to the tools JSON: each
// sub-schema is compiled once (the kinds of a type list are de-duplicated,
// "dict" and "object" being one kind), names and keys are de-duplicated by
// hashing, and the limits below are checked before the work they bound. The
// compile polls core::poll_interrupt() as it goes.
//
// A string value never contains the close marker "</tool_call>" (it can
// still be written escaped, "<\/tool_call>").
//
// Unions are resolved by the first byte of the value: of several
// alternatives that can start with the same byte, the first listed is the
// one followed (so a union of two object shapes follows the first shape).
#pragma once

#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/result.h"

namespace pinnet {
namespace formats {
struct JsonValue;
}

namespace engine {

enum class ToolChoiceKind : uint8_t {
  kAuto,      // the model decides; a call it opens is strict
  kRequired,  // one strict call from the first generated token
  kNamed,     // the same, with the name fixed
};

struct ToolChoice {
  ToolChoiceKind kind = ToolChoiceKind::kAuto;
  std::string name;  // kNamed

  // "auto", "required", or a tool name.
  static ToolChoice from_text(std::string_view text);
};

// Parameters written as the bare properties map, without "type" or
// "properties" (read as {"properties": params}).
bool is_bare_properties(const formats::JsonValue& params);

class SchemaCompiler;  // tool_grammar.cc

class ToolGrammar {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFFu;

  // Limits, each far above the tool lists callers write (150 tools with
  // their schemas: 30 KB of JSON, 7 KB of names, keys and enum values, a
  // few hundred nodes, a grammar of 350 KB; names of a few dozen bytes);
  // past one, compile refuses with an error naming it and the value found.
  // Together they bound a grammar to about 30 MB and its compile to well
  // under a second.
  static constexpr size_t kMaxToolsJsonBytes = size_t{4} << 20;  // the whole text
  static constexpr size_t kMaxTools = 4096;                      // entries of the list
  static constexpr size_t kMaxNameBytes = 1024;                  // one tool name, decoded
  // Names, quoted property keys and enum/const texts together: the tries
  // keep about 48 bytes per byte of them.
  static constexpr size_t kMaxTextBytes = size_t{256} << 10;
  static constexpr size_t kMaxNodes = size_t{1} << 17;  // grammar nodes (48 bytes, 68 more a union)
  static constexpr uint32_t kMaxProperties = 64;  // per constrained object (a bit each in a frame)
  static constexpr int kMaxSchemaDepth = 12;      // levels below the arguments object

  // Errors: the tools JSON's parse error with its position, "offers no
  // tool", a tool_choice name that is not offered, a limit above passed, or
  // a schema the grammar cannot honour (see the top of this file).
  // Throws core::Interrupted when the calling thread's check asks to stop.
  static core::Result<std::shared_ptr<const ToolGrammar>, std::string> compile(
      std::string_view tools_json, const ToolChoice& choice);

  // Bytes of the shortest call the grammar admits, up to and including the
  // close marker, and from the open marker "<tool_call>" on when the choice
  // is forced (an automatic call starts after it). The strict decoder keeps
  // room to close a call counting one byte an id, so a budget of
  // shortest_call() ids (one more for an automatic call, whose open marker
  // is an id of its own) is always enough to close it; with fewer the call
  // may be cut short and come back without a name, so a caller can refuse
  // such a request up front. kUnreachable or more: no budget is enough.
  static constexpr uint32_t kUnreachable = 1u << 28;
  uint32_t shortest_call() const { return shortest_call_; }

  // Bytes the grammar keeps in memory (nodes, tries, tables, names).
  size_t bytes() const;

  bool forced() const { return forced_; }
  // Unique per compiled grammar in this process (never reused, unlike an
  // address), for caches keyed by grammar.
  uint64_t serial() const { return serial_; }
  // The offered names the grammar admits, as decoded from the tools JSON.
  const std::vector<std::string>& names() const { return names_; }

 private:
  friend class GrammarState;
  friend class SchemaCompiler;

  enum class Kind : uint8_t { kSeq, kLiteral, kUnion, kString, kNumber, kInteger, kObject, kFreeObject, kArray };
  struct Node {
    Kind kind = Kind::kSeq;
    uint32_t first = 0, count = 0;  // kSeq/kUnion: children in list_; kObject: properties in props_
    uint32_t trie = kNone;          // kLiteral: its words; kObject: its quoted keys with ':'
    uint32_t child = kNone;         // kArray: items; kFreeObject: values
    uint32_t min_items = 0, max_items = 0xFFFFFFFFu;  // kArray
    uint64_t required = 0;          // kObject: bit k for property k
    uint32_t dispatch = kNone;      // kUnion: kValueStarts entries in dispatch_ (alternative or kNone)
    uint32_t min_len = 0;           // bytes of the shortest text
  };
  struct TrieNode {
    uint32_t edges_begin = 0, edges_end = 0;  // in edges_, sorted by byte
    int32_t word = -1;          // a word ends here: its index (object: the property), else -1
    uint32_t next = kNone;      // kLiteral: the node that follows this word
    uint32_t to_end = 0;        // bytes of the shortest way to a word end (and its `next`)
    uint64_t keys_below = 0;    // object keys: the properties whose key passes here
    uint32_t depth = 0;         // bytes from the root
  };
  struct Edge {
    uint8_t byte;
    uint32_t node;
  };
  struct Property {
    uint32_t value;    // node of the value
    uint32_t key_len;  // bytes of "<key>":
  };

  // The bytes a JSON value can start with, each a column of a union's
  // dispatch: '"', '-', the digits, 't', 'f', 'n', '{', '['.
  static constexpr uint32_t kValueStarts = 17;

  // Union dispatch and shortest lengths, once every node exists.
  void finish(SchemaCompiler& c);
  // Bytes of the shortest text of `node` that starts with `b` (as a union
  // follows it), kInf (compile's) when none does.
  uint64_t min_len_from(uint32_t node, uint8_t b) const;
  const TrieNode* child(uint32_t trie_node, uint8_t b) const {
    const TrieNode& t = trie_[trie_node];
    for (uint32_t e = t.edges_begin; e < t.edges_end; ++e) {
      if (edges_[e].byte == b) return &trie_[edges_[e].node];
      if (edges_[e].byte > b) break;
    }
    return nullptr;
  }
  uint32_t child_index(uint32_t trie_node, uint8_t b) const {
    const TrieNode* c = child(trie_node, b);
    return c == nullptr ? kNone : static_cast<uint32_t>(c - trie_.data());
  }

  std::vector<Node> nodes_;
  std::vector<uint32_t> list_;
  std::vector<Property> props_;
  std::vector<TrieNode> trie_;
  std::vector<Edge> edges_;
  std::vector<uint32_t> dispatch_;
  uint32_t root_ = kNone;
  uint32_t string_ = kNone;  // a free JSON string (object keys of free objects)
  uint32_t shortest_call_ = 0;
  bool forced_ = false;
  uint64_t serial_ = 0;
  std::vector<std::string> names_;
};

// Where a grammar stands after some bytes: a stack of frames, one per open
// construct. Copying copies only the frames in use.
class GrammarState {
 public:
  static constexpr uint32_t kMaxFrames = 32;
  static constexpr size_t kMaxFrameBytes = kMaxFrames * 24;  // frame_bytes() at most

  explicit GrammarState(const ToolGrammar& g);
  GrammarState(const GrammarState& o) { copy_from(o); }
  GrammarState& operator=(const GrammarState& o) {
    copy_from(o);
    return *this;
  }

  // False when the grammar rejects `b`; the state is then unspecified (the
  // mask walk copies before it tries).
  bool accept(uint8_t b);
  bool accept(std::string_view bytes) {
    for (char c : bytes) {
      if (!accept(static_cast<uint8_t>(c))) return false;
    }
    return true;
  }
  // The frames in use, as bytes (with the grammar, they are the state).
  std::span<const uint8_t> frame_bytes() const {
    return {reinterpret_cast<const uint8_t*>(f_), depth_ * sizeof(Frame)};
  }
  const ToolGrammar& grammar() const { return *g_; }
  // The same grammar at the same place, frame for frame.
  bool same_as(const GrammarState& o) const {
    return g_ == o.g_ && depth_ == o.depth_ && std::memcmp(f_, o.f_, depth_ * sizeof(Frame)) == 0;
  }
  // Bytes of the shortest text that completes the grammar from here.
  uint32_t shortest() const { return depth_ == 0 ? 0 : f_[depth_ - 1].below + rest(f_[depth_ - 1]); }
  bool complete() const { return shortest() == 0; }
  // Everything written, the close marker included.
  bool done() const { return depth_ == 0; }
  // A shortest completion from here, written out: at each step the lowest
  // byte that shortens the rest by one. Empty when shortest() promises a
  // way that is not there (a fault of the grammar) or is kUnreachable. It
  // tries every byte for each byte written: for tests and messages.
  std::optional<std::string> shortest_completion() const;

  // What the top frame is in the middle of, for the mask's fast paths.
  enum class Context : uint8_t { kOther, kStringBody, kDigits };
  Context context() const;

 private:
  struct Frame {
    uint32_t node;
    uint32_t pos;    // kSeq: next child; kLiteral, kObject: trie node; kArray: items so far
    uint32_t below;  // shortest completion of the frames below this one
    uint8_t phase;
    uint8_t need;    // kString: continuation bytes or hex digits still to come
    uint8_t lo, hi;  // kString: range of the next UTF-8 continuation byte
    uint64_t used;   // kObject: properties written
  };

  void copy_from(const GrammarState& o) {
    g_ = o.g_;
    depth_ = o.depth_;
    std::memcpy(f_, o.f_, depth_ * sizeof(Frame));
  }
  // Bytes that complete the frame once the child it pushed (if any) is done.
  uint32_t rest(const Frame& f) const;
  uint32_t object_rest(const Frame& f, const ToolGrammar::Node& n) const;
  void init(Frame& f, uint32_t node) const;
  bool push(uint32_t node);
  void pop();
  // The bytes objects and arrays share: the open byte, the close byte (when
  // the construct may close) and the comma after an element (when another
  // may follow). kElement: the byte belongs to an element.
  enum class Edge : uint8_t { kTaken, kRefused, kElement };
  Edge container_byte(Frame& f, uint8_t b, uint8_t open, uint8_t close, bool may_close, bool may_add);

  const ToolGrammar* g_;
  uint32_t depth_ = 0;
  Frame f_[kMaxFrames];
  static_assert(sizeof(Frame) * kMaxFrames == kMaxFrameBytes);
};

// Entries of an engine's grammar cache: more distinct tool lists than an
// application cycles through.
inline constexpr size_t kToolGrammars = 32;
// Bytes the cache may keep (grammars and their keys, the tools JSON): room
// for kToolGrammars lists of hundreds of tools; a grammar larger than this
// alone is compiled for each request and not kept.
inline constexpr size_t kToolGrammarBytes = size_t{64} << 20;

// Compiled grammars by (tool_choice, tools JSON), the least recently used
// dropped first, at most `max_entries` of at most `max_bytes` in all. Safe
// to use from several threads at once.
class ToolGrammarCache {
 public:
  explicit ToolGrammarCache(size_t max_entries, size_t max_bytes = kToolGrammarBytes)
      : max_entries_(max_entries), max_bytes_(max_bytes) {}
  core::Result<std::shared_ptr<const ToolGrammar>, std::string> get(std::string_view tools_json,
                                                                    const ToolChoice& choice);
  // What the entries kept take (ToolGrammar::bytes() plus the keys).
  size_t bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
  }

 private:
  struct Entry {
    std::string key;
    std::shared_ptr<const ToolGrammar> grammar;
    size_t bytes;
  };
  mutable std::mutex mutex_;
  size_t max_entries_;
  size_t max_bytes_;
  size_t bytes_ = 0;
  std::list<Entry> entries_;  // most recent first
  std::unordered_map<std::string_view, std::list<Entry>::iterator> index_;
};

}  // namespace engine
}  // namespace pinnet
