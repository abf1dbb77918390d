// Cost of compiling tool lists into strict-call grammars: the realistic
// lists and the generated corpus (median per list), then each hostile list
// of tests/cpp/engine/hostile_tools.h (refused or compiled, in how long, to
// how many bytes).
//
//   bench_grammar [filter]
//
// One JSON line per benchmark "grammar_compile/<case>": seconds, the
// grammar's bytes (0 when refused), whether it was refused, and the
// process's peak RSS so far.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/bench_common.h"
#include "engine/tool_grammar.h"
#include "tests/cpp/engine/hostile_tools.h"
#include "tests/cpp/engine/tool_corpus.h"

namespace {

using pinnet::bench::Clock;
using pinnet::engine::ToolChoice;
using pinnet::engine::ToolGrammar;

void print(const std::string& name, double seconds, size_t bytes, bool refused) {
  std::printf("{\"name\": \"grammar_compile/%s\", \"seconds\": %.6g, \"grammar_bytes\": %zu, "
              "\"refused\": %s, \"peak_rss_mb\": %.1f}\n",
              name.c_str(), seconds, bytes, refused ? "true" : "false", pinnet::bench::peak_rss_mb());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const char* filter = argc > 1 ? argv[1] : nullptr;
  if (pinnet::bench::wanted("grammar_compile/corpus", filter)) {
    std::vector<double> seconds;
    size_t bytes = 0;
    for (const std::string& tools : pinnet::engine::testing::tool_corpus(110)) {
      const auto start = Clock::now();
      auto g = ToolGrammar::compile(tools, ToolChoice::from_text("required"));
      seconds.push_back(pinnet::bench::seconds_since(start));
      if (g.ok()) bytes = std::max(bytes, g.value()->bytes());
    }
    print("corpus", pinnet::bench::median(seconds), bytes, false);
  }
  for (const auto& c : pinnet::engine::testing::hostile_cases()) {
    const std::string name = "hostile " + c.label;
    if (!pinnet::bench::wanted("grammar_compile/" + name, filter)) continue;
    const std::string tools = c.tools();
    const auto start = Clock::now();
    auto g = ToolGrammar::compile(tools, ToolChoice::from_text("required"));
    print(name, pinnet::bench::seconds_since(start), g.ok() ? g.value()->bytes() : 0, !g.ok());
  }
  return 0;
}
