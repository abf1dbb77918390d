// What compiling a tool list may cost and what it refuses: hostile lists end
// with a clear error or a grammar of bounded size; type lists share one
// compiled schema; the compile stops when asked; the cache stays within its
// bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/interrupt.h"
#include "engine/tool_grammar.h"
#include "hostile_tools.h"

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

}  // namespace
}  // namespace pinnet::engine
