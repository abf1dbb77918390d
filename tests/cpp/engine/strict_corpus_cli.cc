// Strict calls for the Python tests, which validate them with a real JSON
// Schema library: `lists` prints the tool-list corpus, each list's text as one JSON string
// per line;
// `calls` prints {"tools", "choice", "text"} per call the scripted model that
// prefers invalid continuations makes on it (forced calls, then each list's
// last tool by name).
#include <cstdio>
#include <string>
#include <string_view>

#include "formats/json.h"
#include "strict_harness.h"
#include "tool_corpus.h"

namespace {

using namespace pinnet::engine;

void line(const std::string& tools, const std::string& choice, const std::string& text) {
  std::printf("{\"tools\":%s,\"choice\":%s,\"text\":%s}\n", pinnet::formats::json_quote(tools).c_str(),
              pinnet::formats::json_quote(choice).c_str(), pinnet::formats::json_quote(text).c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string_view mode = argc > 1 ? argv[1] : "";
  const auto corpus = testing::tool_corpus(110);
  if (mode == "lists") {
    for (const auto& tools : corpus) std::printf("%s\n", pinnet::formats::json_quote(tools).c_str());
    return 0;
  }
  if (mode != "calls") {
    std::fprintf(stderr, "usage: strict_corpus_cli lists|calls\n");
    return 2;
  }
  for (size_t i = 0; i < corpus.size(); ++i) {
    auto list = pinnet::formats::parse_json(corpus[i]);
    if (!list.ok()) return 1;
    const auto offered = testing::tools_of(list.value());
    for (const std::string& choice : {std::string("required"), offered.back().first}) {
      auto g = ToolGrammar::compile(corpus[i], ToolChoice::from_text(choice));
      if (!g.ok()) return 1;
      for (uint32_t seed : {1u, 2u}) {
        line(corpus[i], choice, testing::run_strict(g.value(), seed + static_cast<uint32_t>(i) * 7, 300).text);
      }
    }
  }
  return 0;
}
