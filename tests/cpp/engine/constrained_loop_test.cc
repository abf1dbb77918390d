// Constrained decoding through the whole generation-3 loop on realistic tool
// lists. A scripted model means to write a tool call with a near miss in it
// (a name or key that is not offered); unconstrained the miss comes through,
// constrained the call must still parse as JSON with an offered name and
// only that tool's parameters as argument keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/completion_text.h"
#include "engine/constrained.h"
#include "engine/decode_loop.h"
#include "formats/json.h"
#include "realistic_tools.h"
#include "scripted_model.h"

namespace pinnet::engine {
namespace {

using formats::JsonValue;
using testing::RealisticToolList;
using testing::ScriptedModel;
using testing::TestVocabulary;

// ---------------------------------------------------------------------------
// The vocabulary: markers, structural JSON pieces (several with a quote
// followed by more text), whole words and word parts of every offered name
// and key, some of them glued to a closing quote, and all 256 byte pieces.

std::vector<std::string> split_words(const std::string& s) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : s) {
    if (c == '_' || c == '-') {
      if (!cur.empty()) out.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) out.push_back(cur);
  return out;
}

std::vector<std::string> vocabulary_words() {
  std::vector<std::string> words = {
      "<|im_start|>", "<|im_end|>", "<tool_call>", "</tool_call>", "<think>", "</think>",
      "{\"name\":\"", "\",\"arguments\":{\"", "\",\"arguments\":{}}", "\":\"", "\",\"", "\":",
      "\",", "\"", "{\"", "\"}}", "\"}", "}}", "}", ",\"", "\":[\"", "\"]", "\":{\"", "\"],\"",
      "\\\"", "\\\\", "get", "get_", "set", "_", "_v2", "Weather", "Time", "Id", "Name", "s",
      "The", " user", " wants", " to", " call", " a", " tool", ".", "\n", "\xC3\xA9", "\xC3\xA3",
      "\xE5\xA4\xA9", "S\xC3\xA3o", " Paulo"};
  for (const RealisticToolList& list : testing::kRealisticToolLists) {
    for (const ToolSpec& tool : parse_tools(list.json)) {
      words.push_back(tool.snake_name);
      words.push_back(tool.snake_name + "\"");
      words.push_back(tool.snake_name + "\",\"arguments\":{\"");
      for (const std::string& part : split_words(tool.snake_name)) words.push_back(part);
      for (const std::string& p : tool.params) {
        words.push_back(p);
        words.push_back(p + "\"");
        words.push_back(p + "\":\"");
        for (const std::string& part : split_words(p)) words.push_back(part);
      }
    }
  }
  std::vector<std::string> unique;
  std::set<std::string> seen;
  for (const std::string& w : words) {
    if (!w.empty() && seen.insert(w).second) unique.push_back(w);
  }
  return unique;
}

const TestVocabulary& vocabulary() {
  static const TestVocabulary v(vocabulary_words());
  return v;
}

// ---------------------------------------------------------------------------
// The scripted model. A script is literal text and fields; a field is a tool
// name or argument key the model means to write, and the literal after it
// starts with the quote that closes it. The model reads back what was
// generated and prefers, in this order:
//   1. the longest piece that continues its intended text,
//   2. inside a field it can no longer write as intended, the longest piece
//      that closes the field and continues the script after it,
//   3. any piece without a double quote, in a fixed arbitrary order,
//   4. pieces with a double quote, then empty pieces.
// So the JSON structure around the fields is always what the script says,
// and where the constraint forbids the intended text the model wanders
// inside the field until it may close it. Once the script is done it writes
// "<|im_end|>"; if the text ever leaves the script it writes the end id.

struct Segment {
  bool field;
  std::string text;
};

class ScriptFollower {
 public:
  ScriptFollower(std::vector<Segment> script, const TestVocabulary& v)
      : script_(std::move(script)), pieces_(testing::piece_texts(v.tok)), im_end_(v.id("<|im_end|>")) {
    for (uint32_t id = 0; id < pieces_.size(); ++id) {
      const std::string& p = pieces_[id];
      // A fixed arbitrary order for class 3, in [0, 1).
      const uint32_t h = (id * 2654435761u) >> 8;
      background_.push_back(p.empty() ? -20.0f
                            : p.find('"') != std::string::npos
                                ? -10.0f
                                : static_cast<float>(h) / static_cast<float>(1u << 24));
    }
  }

  void operator()(const std::vector<uint32_t>& generated, std::span<float> logits) const {
    std::string text;
    for (uint32_t id : generated) text += pieces_[id];
    std::string intended, closing;
    const Place place = locate(text, &intended, &closing);
    std::copy(background_.begin(), background_.end(), logits.begin());
    if (place != Place::kInside) {
      logits[place == Place::kDone ? im_end_ : kGen3Policy.eos] = 1e4f;
      return;
    }
    for (uint32_t id = 0; id < pieces_.size(); ++id) {
      const std::string& p = pieces_[id];
      if (p.empty()) continue;
      if (intended.compare(0, p.size(), p) == 0 && p.size() <= intended.size()) {
        logits[id] = 1000.0f + static_cast<float>(p.size());
      } else if (closing.compare(0, p.size(), p) == 0 && p.size() <= closing.size()) {
        logits[id] = 100.0f + static_cast<float>(p.size());
      }
    }
  }

 private:
  enum class Place { kInside, kDone, kLost };

  std::string rest_after(size_t k) const {
    std::string s;
    for (size_t j = k + 1; j < script_.size(); ++j) s += script_[j].text;
    return s;
  }

  // Where `text` stands in the script: what the model means to write next
  // (`intended`, empty once a field went astray) and, inside a field, the
  // script after that field (`closing`).
  Place locate(const std::string& text, std::string* intended, std::string* closing) const {
    size_t p = 0;
    for (size_t k = 0; k < script_.size(); ++k) {
      const Segment& s = script_[k];
      if (!s.field) {
        const size_t n = std::min(s.text.size(), text.size() - p);
        if (text.compare(p, n, s.text, 0, n) != 0) return Place::kLost;
        if (n < s.text.size()) {
          *intended = s.text.substr(n) + rest_after(k);
          return Place::kInside;
        }
        p += n;
        continue;
      }
      const size_t q = text.find('"', p);
      if (q == std::string::npos) {
        const std::string written = text.substr(p);
        *closing = rest_after(k);
        if (s.text.compare(0, written.size(), written) == 0 && written.size() <= s.text.size()) {
          *intended = s.text.substr(written.size()) + *closing;
        }
        return Place::kInside;
      }
      p = q;  // the field ends at the quote that starts the next literal
    }
    return p == text.size() ? Place::kDone : Place::kLost;
  }

  std::vector<Segment> script_;
  std::vector<std::string> pieces_;
  uint32_t im_end_;
  std::vector<float> background_;
};

// ---------------------------------------------------------------------------
// Tool calls the model means to write.

// Argument values of several shapes, cycling by position: strings with
// non-ASCII text and escapes, numbers, arrays, nested objects (whose keys
// must be left alone), booleans.
std::string value_for(size_t i) {
  static const char* kValues[] = {
      "\"S\xC3\xA3o Paulo\"", "42", "[\"red\",\"green\"]", "{\"min\":1,\"max\":5}",
      "\"say \\\"hi\\\" to C:\\\\temp\"", "true", "[{\"sku\":\"A-1\",\"qty\":2}]", "-3.5"};
  return kValues[i % (sizeof(kValues) / sizeof(kValues[0]))];
}

std::vector<Segment> call_script(const std::string& name, const std::vector<std::string>& keys) {
  std::vector<Segment> s = {
      {false, "<think>The user wants to call a tool.</think>\n<tool_call>\n{\"name\":\""},
      {true, name}};
  if (keys.empty()) {
    s.push_back({false, "\",\"arguments\":{}}\n</tool_call>"});
    return s;
  }
  s.push_back({false, "\",\"arguments\":{\""});
  for (size_t i = 0; i < keys.size(); ++i) {
    s.push_back({true, keys[i]});
    s.push_back({false, "\":" + value_for(i) + (i + 1 < keys.size() ? ",\"" : "}}\n</tool_call>")});
  }
  return s;
}

struct Attempt {
  std::string kind;
  std::string name;               // the name the model writes
  std::vector<std::string> keys;  // the keys it writes
  std::string miss;               // the text that is not offered
  bool miss_is_name = false;
};

std::string camel_of(const std::string& snake) {
  std::string out;
  bool upper = false;
  for (char c : snake) {
    if (c == '_') {
      upper = true;
    } else {
      out.push_back(upper && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
      upper = false;
    }
  }
  return out;
}

// About the first half of a word, cut between characters.
std::string first_half(const std::string& word) {
  size_t n = std::max<size_t>(1, word.size() / 2);
  while (n < word.size() && (static_cast<uint8_t>(word[n]) & 0xC0) == 0x80) ++n;
  return word.substr(0, n);
}

std::string snake_of_camel(const std::string& camel) {
  std::string out;
  for (char c : camel) {
    if (c >= 'A' && c <= 'Z') {
      out.push_back('_');
      out.push_back(static_cast<char>(c - 'A' + 'a'));
    } else {
      out.push_back(c);
    }
  }
  return out;
}

// What the decoder works with for each name: a later tool with the same
// snake name replaces an earlier one.
std::map<std::string, std::vector<std::string>> offered(const std::vector<ToolSpec>& tools) {
  std::map<std::string, std::vector<std::string>> m;
  for (const ToolSpec& t : tools) m[t.snake_name] = t.params;
  return m;
}

std::vector<Attempt> near_misses(const std::vector<ToolSpec>& tools) {
  const auto names = offered(tools);
  auto is_name = [&](const std::string& s) { return names.count(s) > 0; };
  std::vector<Attempt> out;
  auto add_name_miss = [&](const std::string& kind, const std::string& wrong, const ToolSpec& t) {
    if (wrong.empty() || is_name(wrong) || wrong.find_first_of("\"\\") != std::string::npos) return;
    out.push_back({kind, wrong, names.at(t.snake_name), wrong, true});
  };
  for (size_t ti = 0; ti < tools.size() && ti < 3; ++ti) {
    const ToolSpec& t = tools[ti];
    const std::string& sn = t.snake_name;
    add_name_miss("name_prefix_then_wrong", first_half(sn) + "qz", t);
    add_name_miss("name_extra_suffix", sn + "_v2", t);
    add_name_miss("name_as_written", t.name, t);
    add_name_miss("name_camel_case", camel_of(sn), t);
    add_name_miss("name_kebab_case", [&] {
      std::string k = sn;
      std::replace(k.begin(), k.end(), '_', '-');
      return k;
    }(), t);

    const std::vector<std::string>& params = names.at(sn);
    if (params.empty() || ti >= 2) continue;
    auto has = [&](const std::string& k) {
      return std::find(params.begin(), params.end(), k) != params.end();
    };
    auto with_key_at = [&](size_t pos, const std::string& key) {
      std::vector<std::string> keys = params;
      keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(std::min(pos, keys.size())), key);
      return keys;
    };
    auto add_key_miss = [&](const std::string& kind, size_t pos, const std::string& wrong) {
      if (wrong.empty() || has(wrong) || wrong.find_first_of("\"\\") != std::string::npos) return;
      out.push_back({kind, sn, with_key_at(pos, wrong), wrong, false});
    };
    // A key of another tool.
    for (const ToolSpec& other : tools) {
      auto foreign = std::find_if(other.params.begin(), other.params.end(),
                                  [&](const std::string& k) { return !has(k); });
      if (foreign != other.params.end()) {
        add_key_miss("key_of_another_tool", 0, *foreign);
        break;
      }
    }
    add_key_miss("key_prefix_then_wrong", params.size(),
                 first_half(params[0]) + "qz");
    add_key_miss("key_plural", 1, params[0] + "s");
    const std::string last = params.back();
    add_key_miss("key_other_case", params.size() / 2,
                 last.find('_') != std::string::npos ? camel_of(last) : snake_of_camel(last));
    // A repeated key while others are still unused.
    if (params.size() >= 2) {
      out.push_back({"key_repeated", sn, with_key_at(1, params[0]), params[0], false});
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Running and checking.

GenerateOutput run(const std::vector<Segment>& script, const std::string& tools_json, bool constrain) {
  const TestVocabulary& v = vocabulary();
  ScriptedModel model(1 << 16, v.tok.piece_count(), {}, ScriptFollower(script, v));
  GenerateOptions o;
  o.max_new_tokens = 2048;
  o.constrain = constrain;
  return generate_v3(model, v.vocab, "What should I call?", tools_json, o);
}

struct Call {
  std::string name;
  std::vector<std::string> keys;
};

// The tool call of a completion, when it parses as {"name": str, "arguments": {...}}.
std::optional<Call> parsed_call(const GenerateOutput& out) {
  auto payload = v3_tool_call(out.text);
  if (!payload) return std::nullopt;
  auto json = formats::parse_json(*payload);
  if (!json.ok() || !json.value().is(JsonValue::Kind::kObject)) return std::nullopt;
  const JsonValue* name = json.value().get("name");
  const JsonValue* args = json.value().get("arguments");
  if (name == nullptr || name->kind != JsonValue::Kind::kString || args == nullptr ||
      args->kind != JsonValue::Kind::kObject) {
    return std::nullopt;
  }
  Call call{name->text, {}};
  for (const auto& [k, unused] : args->members) call.keys.push_back(k);
  return call;
}

// An offered name, only that tool's keys, and no key repeated while others
// are unused (the keys of a tool without parameters are not constrained).
bool keeps_to(const std::map<std::string, std::vector<std::string>>& names, const Call& call) {
  auto tool = names.find(call.name);
  if (tool == names.end()) return false;
  const std::vector<std::string>& params = tool->second;
  if (params.empty()) return true;
  for (const std::string& k : call.keys) {
    if (std::find(params.begin(), params.end(), k) == params.end()) return false;
  }
  const size_t distinct = std::min(call.keys.size(), params.size());
  return std::set<std::string>(call.keys.begin(), call.keys.begin() + distinct).size() == distinct;
}

std::string describe(const std::vector<ToolSpec>& tools) {
  std::ostringstream s;
  for (size_t i = 0; i < tools.size(); ++i) {
    s << (i ? ";" : "") << tools[i].snake_name << "(";
    for (size_t k = 0; k < tools[i].params.size(); ++k) s << (k ? "," : "") << tools[i].params[k];
    s << ")";
  }
  return s.str();
}

class RealisticTools : public ::testing::TestWithParam<RealisticToolList> {};

TEST_P(RealisticTools, NearMissesAreSteeredToOfferedNamesAndKeys) {
  const RealisticToolList& list = GetParam();
  ASSERT_TRUE(formats::parse_json(list.json).ok()) << "the tool list itself is not JSON";
  const std::vector<ToolSpec> tools = parse_tools(list.json);
  ASSERT_EQ(describe(tools), list.expected);
  const auto names = offered(tools);

  const std::vector<Attempt> attempts = near_misses(tools);
  ASSERT_GE(attempts.size(), 3u);
  for (const Attempt& a : attempts) {
    SCOPED_TRACE(a.kind + ": writes " + a.name + " with miss " + a.miss);
    const std::vector<Segment> script = call_script(a.name, a.keys);

    // Unconstrained, the miss comes through as written.
    const GenerateOutput loose = run(script, list.json, false);
    EXPECT_EQ(loose.stop, StopReason::kImEnd) << loose.text;
    auto free_call = parsed_call(loose);
    ASSERT_TRUE(free_call.has_value()) << loose.text;
    EXPECT_EQ(free_call->name, a.name);
    EXPECT_EQ(free_call->keys, a.keys);
    EXPECT_FALSE(keeps_to(names, *free_call)) << "not a miss: " << loose.text;

    // Constrained: valid JSON, an offered name, that tool's keys only.
    const GenerateOutput tight = run(script, list.json, true);
    EXPECT_EQ(tight.stop, StopReason::kImEnd) << tight.text;
    auto call = parsed_call(tight);
    ASSERT_TRUE(call.has_value()) << tight.text;
    auto tool = names.find(call->name);
    ASSERT_NE(tool, names.end()) << tight.text;
    EXPECT_EQ(call->keys.size(), a.keys.size()) << tight.text;
    if (tool->second.empty()) {
      // No key to follow: keys are left to the model.
      continue;
    }
    EXPECT_TRUE(keeps_to(names, *call)) << tight.text;
    if (a.miss_is_name) {
      // A name that runs past an offered one is cut back to it when nothing
      // offered continues that way.
      const std::string base = a.kind == "name_extra_suffix" ? a.name.substr(0, a.name.size() - 3) : "";
      const bool extended = std::any_of(names.begin(), names.end(), [&](const auto& n) {
        return n.first.size() > base.size() && n.first.compare(0, base.size() + 1, base + "_") == 0;
      });
      if (!base.empty() && !extended) {
        EXPECT_EQ(call->name, base) << tight.text;
      }
    } else {
      // A key miss leaves the name as written.
      EXPECT_EQ(call->name, a.name) << tight.text;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lists, RealisticTools, ::testing::ValuesIn(testing::kRealisticToolLists),
    [](const ::testing::TestParamInfo<RealisticToolList>& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// The remaining-keys rule across several keys: a model that keeps writing
// the same key is moved to each unused key in turn, and once every key is
// used the full set applies again.

TEST(RemainingKeys, EachRepeatGoesToAnUnusedKeyUntilAllAreUsed) {
  const char* tools = R"([
    {"name": "search_hotels", "parameters": {"type": "object", "properties": {
      "city": {"type": "string"}, "check_in": {"type": "string"},
      "check_out": {"type": "string"}, "guests": {"type": "integer"}}}},
    {"name": "book_hotel", "parameters": {"type": "object", "properties": {"hotel_id": {"type": "string"}}}}
  ])";
  const std::vector<std::string> params = {"city", "check_in", "check_out", "guests"};
  const std::vector<std::string> keys(6, "city");
  const auto script = call_script("search_hotels", keys);

  auto loose = parsed_call(run(script, tools, false));
  ASSERT_TRUE(loose.has_value());
  EXPECT_EQ(loose->keys, keys);

  const GenerateOutput out = run(script, tools, true);
  auto call = parsed_call(out);
  ASSERT_TRUE(call.has_value()) << out.text;
  EXPECT_EQ(call->name, "search_hotels");
  ASSERT_EQ(call->keys.size(), 6u) << out.text;
  EXPECT_EQ(call->keys[0], "city");  // the first one is offered and unused
  std::vector<std::string> first4(call->keys.begin(), call->keys.begin() + 4);
  std::sort(first4.begin(), first4.end());
  std::vector<std::string> sorted = params;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(first4, sorted) << out.text;
  // Every key used: "city" is allowed again and the model writes it.
  EXPECT_EQ(call->keys[4], "city") << out.text;
  EXPECT_NE(std::find(params.begin(), params.end(), call->keys[5]), params.end()) << out.text;
}

// Without the remaining-keys rule (the decoder as generation 1 builds it), a
// repeated key is an offered key and passes.
TEST(RemainingKeys, DecoderWithoutTheRuleAllowsARepeatedKey) {
  const TestVocabulary& v = vocabulary();
  auto tools = parse_tools(R"([{"name":"f","parameters":{"properties":{"city":{},"guests":{}}}}])");
  ConstrainedDecoder d(tools, v.trie.get());
  d.feed(R"({"name":"f","arguments":{"city":"x",")");
  ASSERT_EQ(d.capture_mode(), 2);
  std::vector<float> bias(v.tok.piece_count());
  d.bias(bias);
  EXPECT_EQ(bias[v.id("city")], 0.0f);
  EXPECT_EQ(bias[v.id("guests")], 0.0f);
  d.set_remaining_keys_only(true);
  d.bias(bias);
  EXPECT_EQ(bias[v.id("city")], -1e9f);
  EXPECT_EQ(bias[v.id("guests")], 0.0f);
}

}  // namespace
}  // namespace pinnet::engine
