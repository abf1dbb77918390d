// Strict tool calls: the grammar compiled from tool lists, its token masks
// against a byte-by-byte check, and the generation-3 loop with a scripted
// model that prefers what the grammar must refuse (end ids, quotes, braces,
// white space, long pieces), on a corpus of realistic and generated tool
// lists. Every call must parse and follow the chosen tool's parameters.
#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <string>
#include <vector>

#include "engine/completion_text.h"
#include "engine/strict_decoder.h"
#include "engine/tool_grammar.h"
#include "formats/json.h"
#include "scripted_model.h"
#include "strict_harness.h"
#include "tool_corpus.h"

namespace pinnet::engine {
namespace {

using formats::JsonValue;
using testing::Adversary;
using testing::run_strict;
using testing::ScriptedModel;
using testing::vocabulary;
using testing::TestVocabulary;

// ---------------------------------------------------------------------------
// The grammar on its own.

std::shared_ptr<const ToolGrammar> grammar(const std::string& tools, const char* choice = "required") {
  auto g = ToolGrammar::compile(tools, ToolChoice::from_text(choice));
  EXPECT_TRUE(g.ok()) << (g.ok() ? "" : g.error());
  return g.ok() ? g.value() : nullptr;
}

std::string tool(const std::string& parameters) {
  return R"([{"name":"f","parameters":)" + parameters + "}]";
}

// Whether the whole call with these arguments is accepted and complete.
bool accepts(const std::shared_ptr<const ToolGrammar>& g, const std::string& arguments) {
  GrammarState s(*g);
  return s.accept("<tool_call>\n{\"name\":\"f\",\"arguments\":" + arguments + "}\n</tool_call>") && s.done();
}

struct Case {
  const char* parameters;
  const char* arguments;
  bool ok;
};

TEST(ToolGrammar, FollowsTheSchemaKeywords) {
  const Case cases[] = {
      {R"({"type":"object","properties":{"a":{"type":"string"}},"required":["a"]})", R"({"a":"x\"\u00e9\n"})", true},
      {R"({"type":"object","properties":{"a":{"type":"string"}},"required":["a"]})", R"({})", false},
      {R"({"type":"object","properties":{"a":{"type":"string"}}})", R"({})", true},
      {R"({"type":"object","properties":{"a":{"type":"string"}}})", R"({"b":"x"})", false},
      {R"({"type":"object","properties":{"a":{"type":"string"},"b":{"type":"integer"}}})", R"({"b":3,"a":""})", true},
      {R"({"type":"object","properties":{"a":{"type":"string"}}})", R"({"a":"x","a":"y"})", false},
      {R"({"type":"object","properties":{"a":{"type":"string"}}})", R"({ "a":"x"})", false},
      {R"({"type":"object","properties":{"a":{"type":"string"}}})", R"({"a": "x"})", false},
      {R"({"type":"object","properties":{"n":{"type":"integer"}}})", R"({"n":-120})", true},
      {R"({"type":"object","properties":{"n":{"type":"integer"}}})", R"({"n":1.5})", false},
      {R"({"type":"object","properties":{"n":{"type":"integer"}}})", R"({"n":01})", false},
      {R"({"type":"object","properties":{"n":{"type":"integer"}}})", R"({"n":"1"})", false},
      {R"({"type":"object","properties":{"n":{"type":"float"}}})", R"({"n":-0.5e+3})", true},
      {R"({"type":"object","properties":{"n":{"type":"number"}}})", R"({"n":1.})", false},
      {R"({"properties":{"u":{"enum":["c","S\u00e3o \"P\""]}}})", R"({"u":"S\u00e3o \"P\""})", false},
      {R"({"properties":{"u":{"enum":["c","S\u00e3o \"P\""]}}})", "{\"u\":\"S\xC3\xA3o \\\"P\\\"\"}", true},
      {R"({"properties":{"u":{"enum":["c","d"]}}})", R"({"u":"e"})", false},
      {R"({"properties":{"u":{"enum":[1,12]}}})", R"({"u":12})", true},
      {R"({"properties":{"u":{"enum":[1,12]}}})", R"({"u":1})", true},
      {R"({"properties":{"u":{"enum":[1,12]}}})", R"({"u":2})", false},
      {R"({"properties":{"u":{"const":"fixed"}}})", R"({"u":"fixed"})", true},
      {R"({"properties":{"b":{"type":"boolean"},"z":{"type":"null"}}})", R"({"b":false,"z":null})", true},
      {R"({"properties":{"b":{"type":"bool"}}})", R"({"b":"true"})", false},
      {R"({"properties":{"l":{"type":"array","items":{"type":"integer"},"minItems":1,"maxItems":2}}})", R"({"l":[1,2]})", true},
      {R"({"properties":{"l":{"type":"array","items":{"type":"integer"},"minItems":1,"maxItems":2}}})", R"({"l":[]})", false},
      {R"({"properties":{"l":{"type":"list","items":{"type":"integer"},"minItems":1,"maxItems":2}}})", R"({"l":[1,2,3]})", false},
      {R"({"properties":{"l":{"type":"tuple","items":{"type":"object","properties":{"k":{"type":"string"}},"required":["k"]}}}})", R"({"l":[{"k":"a"},{"k":"b"}]})", true},
      {R"({"properties":{"l":{"type":"array","items":{"type":"object","properties":{"k":{"type":"string"}},"required":["k"]}}}})", R"({"l":[{}]})", false},
      {R"({"properties":{"x":{"type":["string","null"]}}})", R"({"x":null})", true},
      {R"({"properties":{"x":{"type":["string","null"]}}})", R"({"x":1})", false},
      {R"({"properties":{"x":{"anyOf":[{"type":"integer"},{"type":"string"}]}}})", R"({"x":"s"})", true},
      {R"({"properties":{"x":{"oneOf":[{"type":"integer"},{"type":"boolean"}]}}})", R"({"x":true})", true},
      {R"({"properties":{"x":{"oneOf":[{"type":"integer"},{"type":"boolean"}]}}})", R"({"x":null})", false},
      {R"({"properties":{"x":{"type":"object"}}})", R"({"x":{"free":[1,{"k":null}],"more":"x"}})", true},
      {R"({"properties":{"x":{"type":"Any"}}})", R"({"x":[true,-1e5,"\u00e9"]})", true},
      {R"({"properties":{"x":{"type":"dict","additionalProperties":{"type":"integer"}}}})", R"({"x":{"a":1,"b":2}})", true},
      {R"({"properties":{"x":{"type":"dict","additionalProperties":{"type":"integer"}}}})", R"({"x":{"a":"1"}})", false},
      {R"({"properties":{"x":{"type":"string","pattern":"^a+$","minLength":3}}})", R"({"x":"b"})", true},
      {R"({"type":"object"})", R"({})", true},
      {R"({"type":"object"})", R"({"a":1})", false},
      {R"({"type":"object","additionalProperties":true})", R"({"a":1})", true},
      {R"({"type":"string"})", R"({})", true},
      {R"(null)", R"({})", true},
      {R"({"properties":{"s":{"type":"string"}}})", R"({"s":"\ud83d\ude00"})", false},
      {R"({"properties":{"s":{"type":"string"}}})", "{\"s\":\"\xF0\x9F\x98\x80\"}", true},
      {R"({"properties":{"s":{"type":"string"}}})", "{\"s\":\"\xC0\xAF\"}", false},
      // The close marker never inside a string (the call would seem to end there).
      {R"({"properties":{"s":{"type":"string"}}})", R"({"s":"a</tool_call>"})", false},
      {R"({"properties":{"s":{"type":"string"}}})", R"({"s":"<</tool_cal</tool_call"})", true},
      {R"({"properties":{"s":{"type":"string"}}})", R"({"s":"<\/tool_call>"})", true},
      {R"({"properties":{"s":{"type":"string"}}})", "{\"s\":\"a\tb\"}", false},
  };
  for (const Case& c : cases) {
    auto g = grammar(tool(c.parameters));
    ASSERT_NE(g, nullptr) << c.parameters;
    EXPECT_EQ(accepts(g, c.arguments), c.ok) << c.parameters << "  " << c.arguments;
  }
}

TEST(ToolGrammar, NamesAreOfferedExactlyAndMarkersAndWhiteSpaceAreFixed) {
  const std::string tools =
      R"([{"type":"function","function":{"name":"math.factorial","parameters":{}}},)"
      R"({"name":"say \"hi\"","parameters":{"properties":{}}}])";
  auto g = grammar(tools);
  auto call = [&](const std::string& text) {
    GrammarState s(*g);
    return s.accept(text) && s.done();
  };
  EXPECT_TRUE(call("<tool_call>{\"name\":\"math.factorial\",\"arguments\":{}}</tool_call>"));
  EXPECT_TRUE(call("<tool_call>\n{\"name\":\"say \\\"hi\\\"\",\"arguments\":{}}\n</tool_call>"));
  EXPECT_FALSE(call("<tool_call>{\"name\":\"math_factorial\",\"arguments\":{}}</tool_call>"));
  EXPECT_FALSE(call("<tool_call>\n\n{\"name\":\"math.factorial\",\"arguments\":{}}</tool_call>"));
  EXPECT_FALSE(call("<tool_call>{\"name\": \"math.factorial\",\"arguments\":{}}</tool_call>"));
  EXPECT_FALSE(call("{\"name\":\"math.factorial\",\"arguments\":{}}</tool_call>"));
  EXPECT_FALSE(call("<tool_call>{\"name\":\"math.factorial\",\"arguments\":{}}{}</tool_call>"));

  auto named = grammar(tools, "math.factorial");
  GrammarState s(*named);
  EXPECT_FALSE(s.accept("<tool_call>{\"name\":\"say"));
  auto automatic = grammar(tools, "auto");
  GrammarState a(*automatic);
  EXPECT_TRUE(a.accept("\n{\"name\":\"math.factorial\",\"arguments\":{}}\n</tool_call>") && a.done());
}

TEST(ToolGrammar, RefusalsSayWhy) {
  auto bad = ToolGrammar::compile("[{\"name\": \"f\",\n \"parameters\": {\"type\": object}}]", ToolChoice::from_text("auto"));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error(), "invalid tools JSON: unexpected character, expected a value at line 2 column 25 (byte 39)");
  auto unknown = ToolGrammar::compile(tool("{}"), ToolChoice::from_text("g"));
  ASSERT_FALSE(unknown.ok());
  EXPECT_EQ(unknown.error(), "tool_choice \"g\" is not an offered tool");
  EXPECT_FALSE(ToolGrammar::compile("[{\"description\":\"no name\"}]", ToolChoice{}).ok());
  EXPECT_FALSE(ToolGrammar::compile("\"tools\"", ToolChoice{}).ok());
}

TEST(ToolGrammar, ShortestCompletionIsExactOnTheWayThroughACall) {
  auto g = grammar(tool(R"({"properties":{"city":{"type":"string"},"n":{"type":"integer"},)"
                        R"("tags":{"type":"array","items":{"type":"string"},"minItems":2}},"required":["city","tags"]})"));
  const std::string full = R"(<tool_call>{"name":"f","arguments":{"city":"","tags":["",""]}}</tool_call>)";
  GrammarState s(*g);
  // The shortest call is exactly this one: every prefix of it leaves exactly
  // the rest to write.
  for (size_t i = 0; i < full.size(); ++i) {
    EXPECT_EQ(s.shortest(), full.size() - i) << full.substr(0, i);
    ASSERT_TRUE(s.accept(static_cast<uint8_t>(full[i]))) << full.substr(0, i + 1);
  }
  EXPECT_TRUE(s.done());
  GrammarState t(*g);
  ASSERT_TRUE(t.accept(R"(<tool_call>{"name":"f","arguments":{"n":12)"));
  EXPECT_EQ(t.shortest(), std::string(R"(,"city":"","tags":["",""]}}</tool_call>)").size());
}

TEST(ToolGrammarCache, CompilesEachListOnce) {
  ToolGrammarCache cache(2);
  auto a = cache.get(tool("{}"), ToolChoice{});
  auto b = cache.get(tool("{}"), ToolChoice{});
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a.value().get(), b.value().get());
  EXPECT_NE(cache.get(tool("{}"), ToolChoice::from_text("required")).value().get(), a.value().get());
  ASSERT_TRUE(cache.get(tool("null"), ToolChoice{}).ok());  // a third entry drops the oldest
  EXPECT_NE(cache.get(tool("{}"), ToolChoice{}).value().get(), a.value().get());
}

// ---------------------------------------------------------------------------
// The loop, with a model that prefers what it may not write.

// The call of a completion: its name and arguments when it parses as
// {"name":<string>,"arguments":<object>} and nothing else.
struct Call {
  std::string name;
  JsonValue arguments;
};
std::optional<Call> call_of(const std::string& text) {
  auto payload = v3_tool_call(text);
  if (!payload) return std::nullopt;
  auto json = formats::parse_json(*payload);
  if (!json.ok() || json.value().members.size() != 2) return std::nullopt;
  const JsonValue& o = json.value();
  if (o.members[0].first != "name" || !o.members[0].second.is(JsonValue::Kind::kString) ||
      o.members[1].first != "arguments" || !o.members[1].second.is(JsonValue::Kind::kObject)) {
    return std::nullopt;
  }
  return Call{o.members[0].second.text, o.members[1].second};
}

void expect_valid_call(const std::string& tools, const GenerateOutput& out, const char* only = nullptr) {
  auto call = call_of(out.text);
  ASSERT_TRUE(call.has_value()) << out.text;
  EXPECT_NE(out.text.find("</tool_call>"), std::string::npos) << out.text;
  auto list = formats::parse_json(tools);
  ASSERT_TRUE(list.ok());
  bool found = false;
  for (const auto& [name, params] : testing::tools_of(list.value())) {
    if (name != call->name || found) continue;
    found = true;
    EXPECT_TRUE(testing::follows(params, call->arguments, true))
        << out.text << "\nparameters: " << (params ? formats::to_json(*params) : "none");
  }
  EXPECT_TRUE(found) << "not an offered name: " << out.text;
  if (only != nullptr) {
    EXPECT_EQ(call->name, only);
  }
}

TEST(StrictCalls, EveryForcedCallOnTheCorpusParsesAndFollowsItsTool) {
  const std::vector<std::string> corpus = testing::tool_corpus(110);
  ASSERT_GE(corpus.size(), 100u);
  size_t calls = 0;
  for (size_t i = 0; i < corpus.size(); ++i) {
    SCOPED_TRACE("tool list " + std::to_string(i) + ": " + corpus[i]);
    auto g = grammar(corpus[i]);
    ASSERT_NE(g, nullptr);
    for (uint32_t seed : {1u, 2u}) {
      const GenerateOutput out = run_strict(g, seed + static_cast<uint32_t>(i) * 7, 300);
      // At most two white-space ids before the reasoning block or the call.
      const size_t first = out.text.find_first_not_of(" \n\t\r");
      EXPECT_LE(first, 2u * 2u) << out.text;  // the widest blank piece is two bytes
      EXPECT_TRUE(out.text.compare(first, 11, "<tool_call>") == 0 || out.text.compare(first, 7, "<think>") == 0)
          << out.text;
      EXPECT_NE(out.stop, StopReason::kNoAllowedToken) << out.text;
      expect_valid_call(corpus[i], out);
      ++calls;
    }
    // The last offered name, fixed.
    auto list = formats::parse_json(corpus[i]);
    const auto offered = testing::tools_of(list.value());
    ASSERT_FALSE(offered.empty());
    const std::string last = offered.back().first;
    auto named = grammar(corpus[i], last.c_str());
    ASSERT_NE(named, nullptr);
    expect_valid_call(corpus[i], run_strict(named, 99, 300), last.c_str());
  }
  EXPECT_GE(calls, 200u);
}

TEST(StrictCalls, ABudgetJustLongEnoughStillClosesTheCall) {
  const std::string tools = tool(R"({"properties":{"city":{"type":"string"},"days":{"type":"integer"}},"required":["city","days"]})");
  auto g = grammar(tools);
  const uint64_t shortest = GrammarState(*g).shortest();
  // A model that writes letters into any open string for ever.
  const TestVocabulary& v = vocabulary();
  const uint32_t letters = v.id("abcdefgh");
  auto endless = [&](const std::vector<uint32_t>& gen, std::span<float> logits) {
    Adversary{testing::piece_texts(v.tok), 5}(gen, logits);
    logits[letters] = 100.0f;
  };
  for (uint64_t budget : {shortest, shortest + 1, shortest + 7, uint64_t{40}, uint64_t{120}}) {
    const GenerateOutput out = run_strict(g, 0, budget, endless);
    SCOPED_TRACE("budget " + std::to_string(budget));
    expect_valid_call(tools, out);
    EXPECT_LE(out.token_ids.size(), budget);
  }
}

TEST(StrictCalls, AForcedCallMayReasonFirstButMustThenCall) {
  const std::string tools = tool(R"({"properties":{"city":{"type":"string"}},"required":["city"]})");
  auto g = grammar(tools);
  const uint64_t shortest = GrammarState(*g).shortest();
  const TestVocabulary& v = vocabulary();
  const std::vector<std::string> pieces = testing::piece_texts(v.tok);
  // Opens a reasoning block, then would rather end, reply or open a call
  // inside it than close it; `closes` lets it close after a few ids.
  auto thinker = [&](bool closes) {
    return [&, closes](const std::vector<uint32_t>& gen, std::span<float> logits) {
      Adversary{pieces, 8}(gen, logits);
      if (gen.empty()) logits[v.id("<think>")] = 100.0f;
      float pull = 80.0f;  // the most tempting first
      for (const char* tempting : {"</s>", "<|im_end|>", "<tool_call>", " the"}) logits[v.id(tempting)] += pull -= 10.0f;
      logits[v.id("</think>")] = closes && gen.size() == 4 ? 200.0f : -100.0f;
    };
  };
  for (bool closes : {true, false}) {
    for (uint64_t budget : {shortest + 1, shortest + 2, shortest + 9, uint64_t{60}}) {
      SCOPED_TRACE("closes " + std::to_string(closes) + " budget " + std::to_string(budget));
      const GenerateOutput out = run_strict(g, 0, budget, thinker(closes));
      expect_valid_call(tools, out);
      EXPECT_LE(out.token_ids.size(), budget);
      // Reasoning only when the close and the shortest call still fit after it.
      const bool reasoned = budget > shortest + 1;
      EXPECT_EQ(out.text.rfind(reasoned ? "<think>" : "<tool_call>", 0), 0u) << out.text;
      if (reasoned) {
        const size_t close = out.text.find("</think>");
        ASSERT_NE(close, std::string::npos) << out.text;
        EXPECT_EQ(out.text.find("<tool_call>"), out.text.find_first_not_of(" \n\t", close + 8)) << out.text;
      }
    }
  }
}

TEST(StrictCalls, AutoIsFreeUntilTheOpenMarkerThenStrict) {
  const std::string tools = tool(R"({"properties":{"q":{"type":"string"}},"required":["q"]})");
  auto g = grammar(tools, "auto");
  const TestVocabulary& v = vocabulary();
  // Reasoning first, then the marker, then whatever the adversary likes.
  const std::vector<uint32_t> intro = {v.id("<think>"), v.id("tool"), v.id("</think>"), v.id("\n"),
                                       v.id("<tool_call>")};
  auto policy = [&](const std::vector<uint32_t>& gen, std::span<float> logits) {
    Adversary{testing::piece_texts(v.tok), 3}(gen, logits);
    if (gen.size() < intro.size()) logits[intro[gen.size()]] = 100.0f;
  };
  const GenerateOutput out = run_strict(g, 0, 200, policy);
  EXPECT_EQ(out.text.rfind("<think>tool</think>\n<tool_call>", 0), 0u) << out.text;
  expect_valid_call(tools, out);
  // Without the marker nothing is constrained.
  const uint32_t open = v.id("<tool_call>");
  auto no_call = [&](const std::vector<uint32_t>& gen, std::span<float> logits) {
    Adversary{testing::piece_texts(v.tok), 4}(gen, logits);
    logits[open] = -100.0f;
  };
  EXPECT_EQ(run_strict(g, 0, 50, no_call).token_ids, run_strict(nullptr, 0, 50, no_call).token_ids);
}

// ---------------------------------------------------------------------------
// Masks against the definition: each id's bytes fed one by one.

TEST(StrictMasks, MatchFeedingEveryPieceByteByByte) {
  const TestVocabulary& v = vocabulary();
  const std::vector<std::string> pieces = testing::piece_texts(v.tok);
  const std::vector<std::string> corpus = testing::tool_corpus(60);
  size_t checked = 0;
  for (size_t i = 30; i < corpus.size(); ++i) {
    auto g = grammar(corpus[i]);
    ASSERT_NE(g, nullptr);
    StrictDecoder d(g, v.trie.strict(), v.vocab.tool_call_open, {1});
    const uint64_t budget = 90;
    std::vector<float> logits(pieces.size());
    for (uint64_t step = 0; step < budget && d.in_call(); ++step) {
      Adversary{pieces, static_cast<uint32_t>(i)}(std::vector<uint32_t>(step), logits);
      ASSERT_TRUE(d.apply(logits, budget - step));
      const uint64_t room = budget - step - 1;
      auto brute = [&](uint64_t r) {
        std::vector<bool> ok(pieces.size());
        bool any = false;
        for (size_t id = 0; id < pieces.size(); ++id) {
          GrammarState s = d.state();
          ok[id] = !pieces[id].empty() && s.accept(pieces[id]) && s.shortest() <= r;
          any = any || ok[id];
        }
        return std::make_pair(ok, any);
      };
      auto [ok, any] = brute(room);
      if (!any) ok = brute(std::numeric_limits<uint64_t>::max()).first;
      for (uint32_t id = 0; id < pieces.size(); ++id) {
        ASSERT_EQ(d.mask().test(id), ok[id]) << "id " << id << " '" << pieces[id] << "' list " << i << " step " << step
                                               << " context " << int(d.state().context()) << " shortest " << d.state().shortest() << " room " << room << " count " << d.mask().count();
      }
      ++checked;
      const uint32_t t = static_cast<uint32_t>(std::max_element(logits.begin(), logits.end()) - logits.begin());
      d.feed(pieces[t]);
    }
  }
  EXPECT_GT(checked, 500u);
}

TEST(StrictMasks, AVocabularyThatCannotSpellTheCallEndsIt) {
  const std::vector<std::string> texts = {"", "", "", "<tool_call>", "a", "\"", "}"};
  const PieceTrie all(texts);
  const StrictVocab sv(all, texts);
  StrictDecoder d(grammar(tool("{}")), sv, 3u, {1});
  std::vector<float> logits(texts.size(), 0.0f);
  ASSERT_TRUE(d.apply(logits, 100));
  EXPECT_TRUE(d.mask().test(3));
  EXPECT_EQ(d.mask().count(), 1u);
  d.feed(texts[3]);
  EXPECT_FALSE(d.apply(logits, 100));  // no piece starts with '{' or '\n'
}

}  // namespace
}  // namespace pinnet::engine
