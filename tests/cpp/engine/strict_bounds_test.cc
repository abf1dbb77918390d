// What compiling a tool list may cost and what it refuses: hostile lists end
// with a clear error or a grammar of bounded size; type lists share one
// compiled schema; the compile stops when asked; the cache stays within its
// bytes; the shortest call is exact.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/interrupt.h"
#include "engine/tool_grammar.h"
#include "hostile_tools.h"
#include "tool_corpus.h"

namespace pinnet::engine {
namespace {

using testing::one_tool;

// What a grammar may keep: a few kilobytes of its own (markers, "any
// value") and a bounded multiple of the tools JSON.
size_t bytes_bound(const std::string& tools) { return 64 * tools.size() + 16384; }

TEST(ToolGrammarBounds, HostileListsEndWithAnErrorOrABoundedGrammar) {
  for (const testing::HostileCase& c : testing::hostile_cases()) {
    SCOPED_TRACE(c.label);
    const std::string tools = c.tools();
    auto g = ToolGrammar::compile(tools, ToolChoice::from_text("required"));
    if (!c.error.empty()) {
      ASSERT_FALSE(g.ok());
      EXPECT_NE(g.error().find(c.error), std::string::npos) << g.error();
      continue;
    }
    ASSERT_TRUE(g.ok()) << g.error();
    EXPECT_LE(g.value()->bytes(), bytes_bound(tools));
  }
}

TEST(ToolGrammarBounds, TheKindsOfATypeListShareOneCompiledSchema) {
  const std::string nested = one_tool("f", testing::nested_properties(7));
  const std::string lists = one_tool("f", testing::object_type_lists(7));
  auto plain = ToolGrammar::compile(nested, ToolChoice{});
  auto aliased = ToolGrammar::compile(lists, ToolChoice{});
  ASSERT_TRUE(plain.ok() && aliased.ok());
  EXPECT_EQ(aliased.value()->bytes(), plain.value()->bytes());
  // A list of several kinds: the object's properties once, whatever the aliases.
  auto one = ToolGrammar::compile(one_tool("f", R"({"properties":{"x":{"type":["object","null"],"properties":{"a":{"type":"integer"}}}}})"), ToolChoice{});
  auto many = ToolGrammar::compile(one_tool("f", R"({"properties":{"x":{"type":["object","null","dict","NULL","Object"],"properties":{"a":{"type":"integer"}}}}})"), ToolChoice{});
  ASSERT_TRUE(one.ok() && many.ok());
  EXPECT_EQ(many.value()->bytes(), one.value()->bytes());
}

// Says stop at the `stop_at`-th question (never when 0), counting them.
class CountingCheck final : public core::InterruptCheck {
 public:
  explicit CountingCheck(int stop_at) : stop_at_(stop_at) {}
  bool stop_requested() override { return ++asked == stop_at_; }
  int asked = 0;

 private:
  int stop_at_;
};

TEST(ToolGrammarBounds, ACompileStopsWhenAsked) {
  const std::string tools = testing::wide_union(20000, R"({"items":{}})");
  CountingCheck never(0);
  {
    core::InterruptScope scope(never);
    EXPECT_TRUE(ToolGrammar::compile(tools, ToolChoice{}).ok());
  }
  EXPECT_GE(never.asked, 5);  // every few thousand nodes
  CountingCheck soon(2);
  core::InterruptScope scope(soon);
  EXPECT_THROW(ToolGrammar::compile(tools, ToolChoice{}), core::Interrupted);
}

TEST(ToolGrammarBounds, TheCacheKeepsWithinItsBytes) {
  // Grammars of about 200 KB each (enum tries) in a cache of 1 MB.
  constexpr size_t kBudget = size_t{1} << 20;
  ToolGrammarCache cache(32, kBudget);
  std::vector<std::shared_ptr<const ToolGrammar>> kept;
  for (int i = 0; i < 12; ++i) {
    auto g = cache.get(testing::long_enum(4, 1000) + std::string(i, ' '), ToolChoice{});
    ASSERT_TRUE(g.ok()) << g.error();
    EXPECT_GT(g.value()->bytes(), kBudget / 8);
    EXPECT_LE(cache.bytes(), kBudget);
  }
  // The latest is still kept; a grammar larger than the whole budget is not.
  const std::string last = testing::long_enum(4, 1000) + std::string(11, ' ');
  EXPECT_EQ(cache.get(last, ToolChoice{}).value().get(), cache.get(last, ToolChoice{}).value().get());
  ToolGrammarCache small(32, 4096);
  EXPECT_NE(small.get(last, ToolChoice{}).value().get(), small.get(last, ToolChoice{}).value().get());
  EXPECT_EQ(small.bytes(), 0u);
}

// The shortest call, written out: its length is shortest_call(), and
// following bytes that each shorten what is left by one writes it.
struct ShortestCase {
  const char* parameters;
  const char* choice;
  std::string call;
};

std::string shortest_walk(const ToolGrammar& g) {
  return GrammarState(g).shortest_completion().value_or("<stuck>");
}

TEST(ToolGrammarBounds, TheShortestCallIsExact) {
  const std::string items300 = [] {
    std::string s = "[";
    for (int i = 0; i < 300; ++i) s += i ? ",\"\"" : "\"\"";
    return s + "]";
  }();
  const ShortestCase cases[] = {
      {"{}", "required", R"(<tool_call>{"name":"f","arguments":{}}</tool_call>)"},
      {"{}", "auto", R"({"name":"f","arguments":{}}</tool_call>)"},
      {R"({"properties":{"l":{"type":"array","items":{"type":"string"},"minItems":300}},"required":["l"]})", "required",
       R"(<tool_call>{"name":"f","arguments":{"l":)" + items300 + "}}</tool_call>"},
      // Alternatives an earlier one shadows (same first byte) cannot be taken.
      {R"({"properties":{"x":{"anyOf":[{"enum":["long value"]},{"type":"string"}]}},"required":["x"]})", "auto",
       R"({"name":"f","arguments":{"x":"long value"}}</tool_call>)"},
      {R"({"properties":{"x":{"anyOf":[{"enum":["xxxxxxxx"]},{"enum":["",12345]}]}},"required":["x"]})", "auto",
       R"({"name":"f","arguments":{"x":12345}}</tool_call>)"},
      {R"({"properties":{"x":{"type":["string","integer"],"nullable":true}},"required":["x"]})", "auto",
       R"({"name":"f","arguments":{"x":0}}</tool_call>)"},
  };
  for (const ShortestCase& c : cases) {
    SCOPED_TRACE(c.parameters);
    auto g = ToolGrammar::compile(one_tool("f", c.parameters), ToolChoice::from_text(c.choice));
    ASSERT_TRUE(g.ok()) << g.error();
    EXPECT_EQ(g.value()->shortest_call(), c.call.size());
    EXPECT_EQ(shortest_walk(*g.value()), c.call);
  }
  // Past any budget: a million arrays of a million items each.
  auto huge = ToolGrammar::compile(
      one_tool("f", R"({"properties":{"l":{"items":{"items":{},"minItems":1000000},"minItems":1000000}},"required":["l"]})"),
      ToolChoice{});
  ASSERT_TRUE(huge.ok());
  EXPECT_EQ(huge.value()->shortest_call(), ToolGrammar::kUnreachable);
  // On the corpus too, every way: the walk ends in exactly shortest_call() bytes.
  for (const std::string& tools : testing::tool_corpus(110)) {
    for (const char* choice : {"auto", "required"}) {
      auto g = ToolGrammar::compile(tools, ToolChoice::from_text(choice));
      ASSERT_TRUE(g.ok()) << g.error();
      EXPECT_EQ(g.value()->shortest_call(), GrammarState(*g.value()).shortest());
      EXPECT_EQ(shortest_walk(*g.value()).size(), g.value()->shortest_call()) << tools;
    }
  }
}

}  // namespace
}  // namespace pinnet::engine
