// Fuzzes the JSON reader and the tool-grammar compiler: a text that parses
// must write back to JSON that parses to the same text again; a text that
// compiles as a tool list gets its own bytes fed to the grammar state, with
// the shortest completion asked after every byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "engine/tool_grammar.h"
#include "formats/json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = pinnet::formats::parse_json(text);
  if (!parsed.ok()) {
    (void)parsed.error().message();
    return 0;
  }
  const std::string once = pinnet::formats::to_json(parsed.value());
  auto again = pinnet::formats::parse_json(once);
  if (!again.ok() || pinnet::formats::to_json(again.value()) != once) std::abort();

  for (const char* choice : {"auto", "required"}) {
    auto g = pinnet::engine::ToolGrammar::compile(text, pinnet::engine::ToolChoice::from_text(choice));
    if (!g.ok()) continue;
    pinnet::engine::GrammarState s(*g.value());
    volatile uint32_t sink = s.shortest();
    for (char c : once) {
      if (!s.accept(static_cast<uint8_t>(c))) break;
      sink = sink + s.shortest();
    }
    (void)sink;
  }
  return 0;
}
