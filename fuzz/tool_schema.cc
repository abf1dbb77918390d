// Fuzzes the tool-schema compiler with the input as one tool's parameters.
// A schema that compiles must give a grammar within a bounded multiple of
// the tools JSON, and its shortest call must be exact: some byte always
// shortens what is left by one, and following such bytes closes the call in
// shortest_call() bytes, with a payload that parses as JSON.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "engine/tool_grammar.h"
#include "formats/json.h"

namespace {

using pinnet::engine::GrammarState;
using pinnet::engine::ToolGrammar;

// Longer shortest calls (minItems in the thousands) are only checked
// against the state's own count: walking them costs too much per input.
constexpr uint32_t kWalked = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string tools =
      "[{\"name\":\"f\",\"parameters\":" + std::string(reinterpret_cast<const char*>(data), size) + "}]";
  for (const char* choice : {"auto", "required"}) {
    auto g = ToolGrammar::compile(tools, pinnet::engine::ToolChoice::from_text(choice));
    if (!g.ok()) continue;
    const ToolGrammar& grammar = *g.value();
    if (grammar.bytes() > 64 * tools.size() + 16384) std::abort();
    if (grammar.shortest_call() != GrammarState(grammar).shortest()) std::abort();
    if (grammar.shortest_call() > kWalked) continue;
    // Empty when the count promised a way that is not there.
    const std::optional<std::string> walked = GrammarState(grammar).shortest_completion();
    if (!walked || walked->size() != grammar.shortest_call()) std::abort();
    const std::string& text = *walked;
    // The payload: from the first '{' to the close marker.
    const size_t open = text.find('{');
    const size_t close = text.rfind("</tool_call>");
    if (open == std::string::npos || close == std::string::npos || close < open) std::abort();
    if (!pinnet::formats::parse_json(std::string_view(text).substr(open, close - open)).ok()) std::abort();
  }
  return 0;
}
