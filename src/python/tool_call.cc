#include "python/tool_call.h"

#include <string>
#include <utility>

namespace pinnet::py {

engine::GenerateOptions strict_options(std::shared_ptr<const engine::ToolGrammar> grammar,
                                       uint64_t max_new_tokens, float temperature, uint64_t seed,
                                       std::optional<std::string> system) {
  engine::GenerateOptions o;
  o.max_new_tokens = max_new_tokens;
  o.temperature = temperature;
  o.seed = seed;
  o.system = std::move(system);
  o.strict_tools = std::move(grammar);
  return o;
}

namespace {

// json.loads(text), or nullptr with the error cleared when it is no JSON
// (a call cut short: the budget ran out before it opened, or the vocabulary
// could not spell it). Any other failure stays set and is returned as -1.
int parse_json(const std::string& text, PyObject** out) {
  *out = nullptr;
  PyObject* json = PyImport_ImportModule("json");
  if (json == nullptr) return -1;
  PyObject* value = PyObject_CallMethod(json, "loads", "s#", text.data(),
                                        static_cast<Py_ssize_t>(text.size()));
  Py_DECREF(json);
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
    PyErr_Clear();
    return 0;
  }
  *out = value;
  return 0;
}

}  // namespace

std::string forced_call_failure(const engine::GenerateOutput& out) {
  switch (out.stop) {
    case engine::StopReason::kMaxTokens:
      return "the call did not close within max_new_tokens=" +
             std::to_string(out.token_ids.size()) + "; give it a larger budget";
    case engine::StopReason::kContextFull:
      return "the context filled before the call closed (" + std::to_string(out.prompt_tokens) +
             " prompt ids)";
    case engine::StopReason::kNoAllowedToken:
      return "the model's vocabulary cannot spell what the call needs next";
    default:
      return "the generation ended before the call closed";
  }
}

PyObject* call_result(const engine::DecodePolicy& policy, const engine::GenerateOutput& out) {
  PyObject* payload = nullptr;
  if (auto call = engine::tool_call_of(policy, out.text)) {
    if (parse_json(*call, &payload) < 0) return nullptr;
  }
  // A strict call is {"name": <str>, "arguments": <value>}; anything else
  // (no call, or one the model wrote outside the strict window) has no name.
  PyObject* name = nullptr;
  PyObject* arguments = nullptr;
  if (payload != nullptr && PyDict_Check(payload)) {
    name = PyDict_GetItemString(payload, "name");  // borrowed
    arguments = PyDict_GetItemString(payload, "arguments");
    if (name == nullptr || !PyUnicode_Check(name) || arguments == nullptr) name = arguments = nullptr;
  }
  if (name == nullptr) name = arguments = Py_None;
  Py_INCREF(name);
  Py_INCREF(arguments);
  Py_XDECREF(payload);
  DictBuilder d;
  d.add_owned("name", name)
      .add_owned("arguments", arguments)
      .add("text", out.text)
      .add("stop_reason", engine::stop_name(policy, out))
      .add("prompt_tokens", out.prompt_tokens)
      // The end id that closed the completion was generated too.
      .add("completion_tokens",
           static_cast<uint64_t>(out.token_ids.size() + (out.stopped_naturally() ? 1 : 0)));
  return d.release();
}

}  // namespace pinnet::py
