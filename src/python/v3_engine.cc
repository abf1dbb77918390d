// V3Engine: generation-3 models from one depth-laddered .tesk container.
#include <memory>

#include "engine/completion_text.h"
#include "runners/gen3_runner.h"
#include "python/engine_class.h"
#include "python/engines.h"
#include "python/prefix_cache_methods.h"
#include "python/speculation_methods.h"
#include "python/tool_call.h"

namespace pinnet::py {

namespace {

using engine::GenerateOptions;
using engine::GenerateOutput;
using runners::V3Runner;

const char kClassDoc[] =
    "Pinnet 3.\n"
    "\n"
    "Mirrors `V2Engine` so switching generations is a class swap, with two\n"
    "differences that follow from the model rather than from taste:\n"
    "\n"
    "* No `encode_contrastive` or `retrieve_tools`. v3 exports a confidence head\n"
    "  and nothing else, so they would return empty on every call.\n"
    "* `reasoning()`, because v3 emits a `<think>` block on essentially every\n"
    "  query. v2 does so only sometimes, so the block is not a generation marker.";

using Engine = EngineClass<V3Runner>;
using LoadResult = Engine::LoadResult;

LoadResult load(Path path) { return V3Runner::load_file(path.value); }

// Read in place: the instance holds the bytes object (see EngineClass::loader).
LoadResult from_bytes(ByteView bytes) {
  return V3Runner::load_bytes(formats::ByteImage::view({bytes.data, bytes.size}));
}

LoadResult load_with_depth(Path path, uint64_t layers) {
  return V3Runner::load_file(path.value, layers);
}

LoadResult open_model(Source source, std::optional<uint64_t> depth, ComputeChoice compute) {
  if (source.path) return V3Runner::load_file(source.path->value, depth, compute.value);
  return V3Runner::load_bytes(formats::ByteImage::view({source.bytes.data, source.bytes.size}),
                              depth, compute.value);
}

// The settings of run, run_json, run_stream and run_scored.
GenerateOptions fixed_settings() {
  GenerateOptions o;
  o.max_new_tokens = 256;
  return o;
}

GenerateOutput generate_unlocked(const V3Runner& runner, std::string_view query,
                                 std::string_view tools, const GenerateOptions& options) {
  return without_lock([&] { return runner.generate(query, tools, options); });
}

PyObject* run(const V3Runner& r, std::string query, std::string tools) {
  return to_py(generate_unlocked(r, query, tools, fixed_settings()).text);
}

PyObject* run_json(const V3Runner& r, std::string query, std::string tools) {
  return to_py(engine::v3_tool_call(generate_unlocked(r, query, tools, fixed_settings()).text));
}

GenerateOptions explicit_settings(uint64_t max_new_tokens, float temperature, uint64_t seed,
                                  std::optional<std::string> system, bool constrain, bool kv_int8) {
  GenerateOptions o;
  o.max_new_tokens = max_new_tokens == 0 ? 256 : max_new_tokens;
  o.temperature = temperature;
  o.seed = seed;
  o.system = std::move(system);
  o.constrain = constrain;
  o.kv_int8 = kv_int8;
  return o;
}

PyObject* generation_dict(const GenerateOutput& out) {
  DictBuilder d;
  d.add("text", out.text)
      .add("tool_call", engine::v3_tool_call(out.text))
      .add("reasoning", engine::v3_reasoning(out.text))
      .add("token_ids", out.token_ids)
      .add("stop_reason", engine::stop_name(V3Runner::policy(), out))
      .add("positions", out.positions);
  return d.release();
}

PyObject* generate(const V3Runner& r, std::string query, std::string tools,
                   uint64_t max_new_tokens, float temperature, uint64_t seed,
                   std::optional<std::string> system, bool constrain, bool kv_int8) {
  const GenerateOptions o =
      explicit_settings(max_new_tokens, temperature, seed, std::move(system), constrain, kv_int8);
  return generation_dict(generate_unlocked(r, query, tools, o));
}

PyObject* generate_stream(const V3Runner& r, std::string query, std::string tools,
                          Callable on_delta, uint64_t max_new_tokens, float temperature,
                          uint64_t seed, std::optional<std::string> system, bool constrain,
                          bool kv_int8) {
  const GenerateOptions o =
      explicit_settings(max_new_tokens, temperature, seed, std::move(system), constrain, kv_int8);
  return generation_dict(streaming<engine::DeltaSink>(
      on_delta, [&](const engine::DeltaSink& sink) { return r.generate(query, tools, o, &sink); }));
}

PyObject* run_stream(const V3Runner& r, std::string query, std::string tools,
                     Callable callback) {
  GenerateOutput out = streaming<engine::DeltaSink>(callback, [&](const engine::DeltaSink& sink) {
    return r.generate(query, tools, fixed_settings(), &sink);
  });
  return to_py(out.text);
}

PyObject* call(const V3Runner& r, std::string query, ToolsJson tools, std::string tool_choice,
               uint64_t max_new_tokens, float temperature, uint64_t seed,
               std::optional<std::string> system, std::optional<Callable> on_delta) {
  return strict_call(r, V3Runner::policy(), query, tools, tool_choice, max_new_tokens, temperature, seed,
                     std::move(system), on_delta);
}

PyObject* prompt_tokens(const V3Runner& r, std::string query, ToolsJson tools,
                        std::optional<std::string> system) {
  return py::prompt_tokens(r, V3Runner::policy(), query, tools, system);
}

PyObject* run_scored(const V3Runner& r, std::string query, std::string tools) {
  GenerateOutput out;
  std::optional<float> confidence;
  without_lock([&] {
    out = r.generate(query, tools, fixed_settings());
    confidence = r.confidence(query, tools, out.text);
    return 0;
  });
  DictBuilder d;
  d.add("text", out.text)
      .add("tool_call", engine::v3_tool_call(out.text))
      .add("reasoning", engine::v3_reasoning(out.text))
      .add("stop_reason", engine::stop_name(V3Runner::policy(), out));
  return make_tuple({d.release(), to_py(confidence)});
}

bool has_confidence(const V3Runner& r) { return r.has_confidence(); }

PyObject* confidence_for(const V3Runner& r, std::string query, std::string tools,
                         std::string completion) {
  return to_py(without_lock([&] { return r.confidence(query, tools, completion); }));
}

uint64_t kv_bytes(const V3Runner& r, uint64_t seq_len, bool kv_int8) {
  return r.kv_bytes(seq_len, kv_int8);
}

std::optional<std::string> reasoning(std::string text) { return engine::v3_reasoning(text); }

std::optional<std::string> extract_tool_call(std::string text) {
  return engine::v3_tool_call(text);
}

PyMethodDef statics[] = {
    Engine::loader<"load(tesk_path)\n--\n\nLoad a `pinnet3.tesk` model from disk.", load>(),
    Engine::loader<"from_bytes(tesk_bytes)\n--\n\n"
                   "Load a `pinnet3.tesk` model from an in-memory image.",
                   from_bytes>(),
    Engine::loader<"load_with_depth(path, layers)\n--\n\n"
                   "Load the `layers`-block ladder rung of a container.\n\n"
                   "Pinnet 3 is laddered: every depth from 2 blocks up is a trained\n"
                   "subnetwork, and one file serves them all. Shallower rungs are faster\n"
                   "and cost proportionally less key/value cache, at a quality cost that\n"
                   "becomes severe at the bottom \xE2\x80\x94 on the shipped weights 2 and 4 "
                   "blocks do\nnot produce usable tool calls, 6 upward do.",
                   load_with_depth, &PyExc_ValueError>(),
    Engine::loader<"open(source, depth=None, compute=\"float\")\n--\n\n"
                   "Load a `pinnet3.tesk` model from a path, an os.PathLike or a `bytes`\n"
                   "image, at the ladder rung of `depth` blocks (None: full depth), with\n"
                   "the compute precision of its quantised products.\n\n"
                   PINNET_OPEN_COMPUTE_DOC " (or has no rung of `depth` blocks).",
                   open_model>(),
    static_method<"reasoning(text)\n--\n\n"
                  "The chain-of-thought inside a completion, if it has one.",
                  reasoning>(),
    static_method<"extract_tool_call(text)\n--\n\n"
                  "Pull the payload out of a completion you already have.",
                  extract_tool_call>(),
    kEndOfMethods,
};

PyMethodDef methods[] = {
    Engine::method<"run($self, query, tools_json)\n--\n\n"
                   "The full completion, reasoning included.",
                   run>(),
    Engine::method<"run_json($self, query, tools_json)\n--\n\nJust the tool-call payload.\n\n"
                   "`\"[]\"` is a deliberate abstention \xE2\x80\x94 the model weighed the "
                   "tools and\ndeclined \xE2\x80\x94 where `None` means it emitted no "
                   "`<tool_call>` markers at\nall. Treating the first as a failure turns a "
                   "considered \"no\" into an\nerror.",
                   run_json>(),
    Engine::method<"generate($self, query, tools_json, max_new_tokens=0, temperature=0.0, "
                   "seed=0, system=None, constrain=False, kv_int8=False)\n--\n\n"
                   "Generation with explicit settings.\n\n"
                   "Returns a dict: `text`, `tool_call`, `reasoning`, `token_ids`,\n"
                   "`stop_reason`, `positions`.",
                   generate>(),
    Engine::method<"generate_stream($self, query, tools_json, on_delta, max_new_tokens=0, "
                   "temperature=0.0, seed=0, system=None, constrain=False, kv_int8=False)\n--\n\n"
                   "`generate` that calls `on_delta(delta)` with the decoded text as it\n"
                   "grows; the deltas concatenate to the returned `text`.",
                   generate_stream>(),
    Engine::method<"run_stream($self, query, tools_json, callback)\n--\n\n"
                   "Generate, calling `callback(piece)` with each decoded delta.\n\n"
                   "The callback receives decoded text, not raw tokenizer pieces:\n"
                   "concatenating every delta reproduces the return value exactly.",
                   run_stream>(),
    Engine::method<"call($self, query, tools, tool_choice=\"auto\", max_new_tokens=256, "
                   "temperature=0.0, seed=0, system=None, on_delta=None)\n--\n\n" PINNET_CALL_DOC,
                   call>(),
    Engine::method<PINNET_PROMPT_TOKENS_DOC, prompt_tokens>(),
    Engine::method<"run_scored($self, query, tools_json)\n--\n\n"
                   "Generate, then score what was generated. Returns `(result, confidence)`.",
                   run_scored>(),
    Engine::method<"has_confidence($self)\n--\n\n"
                   "Whether this container carries a confidence head.",
                   has_confidence>(),
    Engine::method<"confidence_for($self, query, tools_json, completion)\n--\n\n"
                   "How confident the model is in a completion it produced.\n\n"
                   "Pass the **completion**, not the query. The head scores a finished\n"
                   "judgement. On the shipped checkpoint a correct call scores 0.93 and a\n"
                   "wrong one 0.26 \xE2\x80\x94 but a bare query scores 0.80, which looks like "
                   "a\nconfident answer and is not one. v2 collapsed to near zero on a bare\n"
                   "query, so that misuse announced itself; v3's does not.",
                   confidence_for>(),
    Engine::method<"kv_bytes($self, seq_len, kv_int8=False)\n--\n\n"
                   "Key/value cache bytes for a session of `seq_len` positions.\n\n"
                   "Sized to the session rather than to the context limit, so this is what\n"
                   "a run actually costs \xE2\x80\x94 useful when deciding whether one fits. "
                   "Pass\n`kv_int8=True` to get the figure for the cache "
                   "`generate(kv_int8=True)`\nallocates; it is 27% of the f32 figure rather "
                   "than 25%, because each\nstored head vector also carries a scale.",
                   kv_bytes>(),
    Engine::method<PINNET_SET_PREFIX_CACHE_BYTES_DOC, set_prefix_cache_bytes<V3Runner>>(),
    Engine::method<PINNET_CLEAR_PREFIX_CACHE_DOC, clear_prefix_cache<V3Runner>>(),
    Engine::method<PINNET_PREFIX_CACHE_INFO_DOC, prefix_cache_info<V3Runner>>(),
    Engine::method<PINNET_SET_SPECULATION_DOC, set_speculation<V3Runner>>(),
    Engine::method<PINNET_SPECULATION_DOC, speculation<V3Runner>>(),
    kEndOfMethods,
};

PyGetSetDef properties[] = {
    Engine::property<&V3Runner::num_layers>("num_layers",
                                            "How many blocks this engine is running."),
    Engine::property<&V3Runner::max_seq_len>("max_seq_len", "Context limit in tokens."),
    kEndOfProperties,
};

}  // namespace

int add_v3_engine(PyObject* module) {
  return Engine::add(module, "pinnet_rs.V3Engine", kClassDoc, statics, methods, properties);
}

}  // namespace pinnet::py
