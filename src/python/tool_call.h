// `call`: one strictly decoded tool call, shared by the engine classes whose
// runners compile tool grammars. The class supplies its budget, docstring
// and how its runner streams; the grammar, the options and the returned dict
// are the same for every class.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/decode_loop.h"
#include "engine/generation.h"
#include "engine/tool_grammar.h"
#include "python/binding.h"

// The body of each class's `call` docstring after its signature line.
#define PINNET_CALL_DOC                                                                   \
  "One tool call, strictly decoded: its JSON always parses and follows the\n"             \
  "chosen tool's `parameters` schema.\n\n"                                                \
  "`tools` is the tool list as JSON text or as a list of tool dicts (plain\n"             \
  "`{name, description, parameters}` or wrapped `{\"type\": \"function\",\n"              \
  "\"function\": {...}}`). `tool_choice` is \"auto\" (the model decides\n"                \
  "whether to call; a call it opens is strict), \"required\" (the completion\n"           \
  "is one call, after the reasoning block the model may write first; no\n"               \
  "plain reply) or a tool's name (the same, naming that tool).\n\n"                       \
  "From the open marker until the call closes, only text that keeps the call\n"           \
  "valid can be written: an offered name exactly as offered, then arguments\n"            \
  "in compact JSON with the schema's types, enums and const values, every\n"              \
  "required key and no undeclared one; the call always closes within\n"                   \
  "`max_new_tokens`. Value bounds (`minimum`, `pattern`, ...) are not\n"                 \
  "enforced; `$ref`, `allOf`, nesting past 12 levels and limits the grammar\n"          \
  "cannot keep are refused with ValueError. `on_delta(delta)` receives the\n"           \
  "decoded text as it grows.\n\n"                                                        \
  "Returns a dict: `name` (the tool called, or None without a call),\n"                   \
  "`arguments` (the parsed arguments, or None), `text` (the whole\n"                      \
  "completion), `stop_reason` (\"NoAllowedToken\" when the vocabulary cannot\n"         \
  "spell what the call needs next), `prompt_tokens` (prompt ids read) and\n"              \
  "`completion_tokens` (ids generated, a closing end id included). Raises ValueError for invalid tools JSON\n"           \
  "(with its position), a `tool_choice` naming no offered tool, or a forced\n"           \
  "call that `max_new_tokens` or the context cannot hold, before any model\n"           \
  "work."

namespace pinnet::py {

engine::GenerateOptions strict_options(std::shared_ptr<const engine::ToolGrammar> grammar,
                                       uint64_t max_new_tokens, float temperature, uint64_t seed,
                                       std::optional<std::string> system);

// {name, arguments, text, stop_reason, prompt_tokens, completion_tokens}
// of a finished call.
PyObject* call_result(const engine::DecodePolicy& policy, const engine::GenerateOutput& out);

// Why a forced call ended without a call (the budget or the context ran out
// first, or the vocabulary could not spell it).
std::string forced_call_failure(const engine::GenerateOutput& out);

// The body of `call`: compiles (or finds) the grammar, raising ValueError
// before any model work when it cannot, then generates with the lock
// released, streaming decoded text deltas to `on_delta` when given.
template <class Runner>
PyObject* strict_call(const Runner& r, const engine::DecodePolicy& policy, const std::string& query,
                      const ToolsJson& tools, const std::string& tool_choice,
                      uint64_t max_new_tokens, float temperature, uint64_t seed,
                      std::optional<std::string> system, std::optional<Callable> on_delta) {
  auto grammar = without_lock(
      [&] { return r.tool_grammar(tools.text, engine::ToolChoice::from_text(tool_choice)); });
  if (!grammar.ok()) {
    PyErr_SetString(PyExc_ValueError, grammar.error().c_str());
    return nullptr;
  }
  const engine::GenerateOptions o = strict_options(std::move(grammar).value(), max_new_tokens,
                                                   temperature, seed, std::move(system));
  // A forced call that cannot fit the budget or the context is refused, not
  // returned without a call.
  if (const engine::Vocabulary* vocab = r.vocabulary()) {
    auto problem = without_lock([&] {
      return engine::forced_call_problem(policy, *vocab, *o.strict_tools, query, tools.text, o,
                                         r.max_seq_len());
    });
    if (problem) {
      PyErr_SetString(PyExc_ValueError, problem->c_str());
      return nullptr;
    }
  }
  engine::GenerateOutput out;
  if (on_delta) {
    out = streaming<engine::DeltaSink>(*on_delta, [&](const engine::DeltaSink& sink) {
      return r.generate_with_deltas(query, tools.text, o, sink);
    });
  } else {
    out = without_lock([&] { return r.generate(query, tools.text, o); });
  }
  PyObject* result = call_result(policy, out);
  if (result != nullptr && o.strict_tools->forced() &&
      PyDict_GetItemString(result, "name") == Py_None) {
    Py_DECREF(result);
    PyErr_SetString(PyExc_ValueError, forced_call_failure(out).c_str());
    return nullptr;
  }
  return result;
}

// `prompt_tokens`: the prompt ids a call reads (None without a tokenizer).
template <class Runner>
PyObject* prompt_tokens(const Runner& r, const engine::DecodePolicy& policy,
                        const std::string& query, const ToolsJson& tools,
                        const std::optional<std::string>& system) {
  const engine::Vocabulary* vocab = r.vocabulary();
  if (vocab == nullptr || vocab->tokenizer == nullptr) Py_RETURN_NONE;
  const uint64_t n = without_lock([&] {
    return engine::prompt_length(
        policy, *vocab->tokenizer, query, tools.text,
        system ? std::optional<std::string_view>(*system) : std::nullopt);
  });
  return to_py(n);
}

#define PINNET_PROMPT_TOKENS_DOC                                                      \
  "prompt_tokens($self, query, tools, system=None)\n--\n\n"                            \
  "How many ids the prompt of a call with these arguments takes, before any\n"       \
  "cut to the context (`max_seq_len`): with `max_new_tokens` ids of budget a\n"      \
  "generation fits when their sum is at most the context. `tools` as for\n"         \
  "`call`. None for a model without a tokenizer."

}  // namespace pinnet::py
