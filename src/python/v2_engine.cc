// V2Engine: generation-2 models from a .tesk container of version 2.
#include <memory>

#include "python/engine_class.h"
#include "python/engines.h"
#include "python/prefix_cache_methods.h"
#include "python/speculation_methods.h"
#include "python/tool_call.h"
#include "runners/gen2_runner.h"

namespace pinnet::py {

namespace {

using engine::GenerateOptions;
using engine::GenerateOutput;
using runners::V2Runner;

const char kClassDoc[] =
    "Pinnet v2. A `.tesk` container carries its weights, geometry and tokenizer,\n"
    "so `load` takes one path and there is no vocabulary argument.";

using Engine = EngineClass<V2Runner>;
using LoadResult = Engine::LoadResult;

LoadResult load(Path path) { return V2Runner::load_file(path.value); }

// Read in place: the instance holds the bytes object (see EngineClass::loader).
LoadResult from_bytes(ByteView bytes) {
  return V2Runner::load_bytes(formats::ByteImage::view({bytes.data, bytes.size}));
}

LoadResult open_model(Source source, ComputeChoice compute) {
  if (source.path) return V2Runner::load_file(source.path->value, compute.value);
  return V2Runner::load_bytes(formats::ByteImage::view({source.bytes.data, source.bytes.size}),
                              compute.value);
}

// A container may load without a tokenizer; every generation entry point then
// refuses before any model work. True when it refused (an exception is set).
bool refuses(const V2Runner& r) {
  if (r.has_tokenizer()) return false;
  PyErr_SetString(PyExc_RuntimeError, runners::kNoTokenizer);
  return true;
}

GenerateOutput generate_unlocked(const V2Runner& r, std::string_view query,
                                 std::string_view tools, const GenerateOptions& options) {
  return without_lock([&] { return r.generate(query, tools, options); });
}

PyObject* run(const V2Runner& r, std::string query, std::string tools) {
  if (refuses(r)) return nullptr;
  return to_py(generate_unlocked(r, query, tools, runners::v2_run_settings()).text);
}

PyObject* run_json(const V2Runner& r, std::string query, std::string tools) {
  if (refuses(r)) return nullptr;
  GenerateOutput out = generate_unlocked(r, query, tools, runners::v2_run_settings());
  return to_py(engine::tool_call_of(r.policy(), out.text));
}

GenerateOptions explicit_settings(uint64_t max_new_tokens, float temperature, uint64_t seed,
                                  std::optional<std::string> system, bool constrain) {
  GenerateOptions o;
  o.max_new_tokens = max_new_tokens;  // 0 generates nothing
  o.temperature = temperature;
  o.seed = seed;
  o.system = std::move(system);
  o.constrain = constrain;
  return o;
}

PyObject* generation_dict(const engine::DecodePolicy& policy, const GenerateOutput& out) {
  DictBuilder d;
  d.add("text", out.text)
      .add("tool_call", engine::tool_call_of(policy, out.text))
      .add("thinking", engine::thinking_of(policy, out.text))
      .add("token_ids", out.token_ids)
      .add("prompt_tokens", out.prompt_tokens)
      .add("stop_reason", engine::stop_name(policy, out))
      .add("stopped_naturally", out.stopped_naturally());
  return d.release();
}

PyObject* generate(const V2Runner& r, std::string query, std::string tools,
                   uint64_t max_new_tokens, float temperature, uint64_t seed,
                   std::optional<std::string> system, bool constrain) {
  if (refuses(r)) return nullptr;
  const GenerateOptions o =
      explicit_settings(max_new_tokens, temperature, seed, std::move(system), constrain);
  return generation_dict(r.policy(), generate_unlocked(r, query, tools, o));
}

PyObject* generate_stream(const V2Runner& r, std::string query, std::string tools,
                          Callable on_delta, uint64_t max_new_tokens, float temperature,
                          uint64_t seed, std::optional<std::string> system, bool constrain) {
  if (refuses(r)) return nullptr;
  const GenerateOptions o =
      explicit_settings(max_new_tokens, temperature, seed, std::move(system), constrain);
  return generation_dict(r.policy(), streaming<engine::DeltaSink>(on_delta, [&](const engine::DeltaSink& sink) {
                           return r.generate_with_deltas(query, tools, o, sink);
                         }));
}

PyObject* prompt_tokens(const V2Runner& r, std::string query, ToolsJson tools,
                        std::optional<std::string> system) {
  return py::prompt_tokens(r, r.policy(), query, tools, system);
}

PyObject* call(const V2Runner& r, std::string query, ToolsJson tools, std::string tool_choice,
               uint64_t max_new_tokens, float temperature, uint64_t seed,
               std::optional<std::string> system, std::optional<Callable> on_delta) {
  if (refuses(r)) return nullptr;
  return strict_call(r, r.policy(), query, tools, tool_choice, max_new_tokens, temperature, seed,
                     std::move(system), on_delta);
}

PyObject* run_stream(const V2Runner& r, std::string query, std::string tools,
                     Callable callback) {
  if (refuses(r)) return nullptr;
  GenerateOutput out = streaming<runners::PieceSink>(callback, [&](const runners::PieceSink& sink) {
    return r.generate(query, tools, runners::v2_run_settings(), &sink);
  });
  return to_py(out.text);
}

// `examples` is converted whole before this runs, so a bad element fails the
// call before any model work.
PyObject* run_batch(const V2Runner& r, std::vector<std::pair<std::string, std::string>> examples) {
  if (refuses(r)) return nullptr;
  return to_py(without_lock([&] { return r.run_batch(examples); }));
}

PyObject* encode_contrastive(const V2Runner& r, std::string text) {
  return to_py(without_lock([&] { return r.encode_contrastive(text); }));
}

uint64_t contrastive_dim(const V2Runner& r) { return r.contrastive_dim(); }

PyObject* retrieve_tools(const V2Runner& r, std::string query,
                         std::vector<std::string> tool_descriptions, uint64_t top_k) {
  std::vector<runners::ScoredTool> ranked =
      without_lock([&] { return r.retrieve_tools(query, tool_descriptions, top_k); });
  return list_of(ranked, [](const runners::ScoredTool& t) {
    return make_tuple({to_py(t.index), to_py(t.score)});
  });
}

PyObject* confidence_for(const V2Runner& r, std::string query, std::string tools,
                         std::string completion) {
  return to_py(without_lock([&] { return r.confidence_for(query, tools, completion); }));
}

PyObject* confidence(const V2Runner& r, std::string text) {
  return to_py(without_lock([&] { return r.confidence(text); }));
}

PyObject* confidence_probability(const V2Runner& r, std::string text) {
  return to_py(without_lock([&] { return r.confidence_probability(text); }));
}

PyObject* config(const V2Runner& r) {
  const runners::V2Config c = r.config();
  DictBuilder d;
  d.add("vocab_size", c.vocab_size)
      .add("d_model", c.d_model)
      .add("num_heads", c.num_heads)
      .add("num_kv_heads", c.num_kv_heads)
      .add("num_layers", c.num_layers)
      .add("head_dim", c.head_dim)
      .add("max_seq_len", c.max_seq_len)
      .add("mhc_lanes", c.mhc_lanes)
      .add("kv_window", c.kv_window)
      .add("rope_theta", c.rope_theta)
      .add("engram_sites", c.engram_sites);
  return d.release();
}

PyMethodDef statics[] = {
    Engine::loader<"load(tesk_path)\n--\n\nLoad a `.tesk` model from disk.", load>(),
    Engine::loader<"from_bytes(tesk_bytes)\n--\n\nLoad a `.tesk` model from an in-memory image.",
                   from_bytes>(),
    Engine::loader<"open(source, compute=\"float\")\n--\n\n"
                   "Load a `.tesk` model from a path, an os.PathLike or a `bytes` image,\n"
                   "with the compute precision of its quantised products.\n\n"
                   PINNET_OPEN_COMPUTE_DOC ".",
                   open_model>(),
    kEndOfMethods,
};

PyMethodDef methods[] = {
    Engine::method<"run($self, query, tools_json)\n--\n\n"
                   "Greedy tool call. Returns the full decoded text.",
                   run>(),
    Engine::method<"run_json($self, query, tools_json)\n--\n\n"
                   "Just the `<tool_call>` payload, or None if the model emitted no call.",
                   run_json>(),
    Engine::method<"generate($self, query, tools_json, max_new_tokens=128, temperature=0.0, "
                   "seed=0, system=None, constrain=False)\n--\n\n"
                   "Generation with explicit settings.\n\n"
                   "Returns a dict: `text`, `tool_call`, `thinking`, `token_ids`,\n"
                   "`prompt_tokens`, `stop_reason`.",
                   generate>(),
    Engine::method<"generate_stream($self, query, tools_json, on_delta, max_new_tokens=128, "
                   "temperature=0.0, seed=0, system=None, constrain=False)\n--\n\n"
                   "`generate` that calls `on_delta(delta)` with the decoded text as it\n"
                   "grows; the deltas concatenate to the returned `text`.",
                   generate_stream>(),
    Engine::method<"call($self, query, tools, tool_choice=\"auto\", max_new_tokens=128, "
                   "temperature=0.0, seed=0, system=None, on_delta=None)\n--\n\n" PINNET_CALL_DOC,
                   call>(),
    Engine::method<PINNET_PROMPT_TOKENS_DOC, prompt_tokens>(),
    Engine::method<"run_stream($self, query, tools_json, callback)\n--\n\n"
                   "Streaming generation. `callback(token_id: int, piece: str)` per token.",
                   run_stream>(),
    Engine::method<"run_batch($self, examples)\n--\n\n"
                   "Run several queries in sequence, reusing one KV cache.",
                   run_batch>(),
    Engine::method<"encode_contrastive($self, text)\n--\n\n"
                   "L2-normalised contrastive embedding, or None without such a head.",
                   encode_contrastive>(),
    Engine::method<"contrastive_dim($self)\n--\n\n"
                   "Width of the contrastive embedding (0 if absent).",
                   contrastive_dim>(),
    Engine::method<"retrieve_tools($self, query, tool_descriptions, top_k)\n--\n\n"
                   "Rank tool descriptions by cosine similarity to `query`.",
                   retrieve_tools>(),
    Engine::method<"confidence_for($self, query, tools_json, completion)\n--\n\n"
                   "Probability in (0, 1) that `completion` is the right answer for this\n"
                   "query, or None without a confidence head.\n\n"
                   "The confidence head scores a judgement already made, so it needs the\n"
                   "completion: pass what `run()` returned. Gate on it \xE2\x80\x94 act above a\n"
                   "threshold you pick, escalate below it.",
                   confidence_for>(),
    Engine::method<"confidence($self, text)\n--\n\n"
                   "Raw confidence logit for an arbitrary string, or None without the head.\n\n"
                   "The primitive. A bare query reads near zero however answerable it is,\n"
                   "because the completion is what gets scored \xE2\x80\x94 prefer "
                   "`confidence_for`.",
                   confidence>(),
    Engine::method<"confidence_probability($self, text)\n--\n\n"
                   "`confidence()` as a probability in (0, 1).",
                   confidence_probability>(),
    Engine::method<"config($self)\n--\n\nModel geometry, as a dict.", config>(),
    Engine::method<PINNET_SET_PREFIX_CACHE_BYTES_DOC, set_prefix_cache_bytes<V2Runner>>(),
    Engine::method<PINNET_CLEAR_PREFIX_CACHE_DOC, clear_prefix_cache<V2Runner>>(),
    Engine::method<PINNET_PREFIX_CACHE_INFO_DOC, prefix_cache_info<V2Runner>>(),
    Engine::method<PINNET_SET_SPECULATION_DOC, set_speculation<V2Runner>>(),
    Engine::method<PINNET_SPECULATION_DOC, speculation<V2Runner>>(),
    kEndOfMethods,
};

}  // namespace

int add_v2_engine(PyObject* module) {
  return Engine::add(module, "pinnet_rs.V2Engine", kClassDoc, statics, methods);
}

}  // namespace pinnet::py
