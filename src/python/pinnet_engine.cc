// PinnetEngine: the generation-1 encoder-decoder (safetensors weights and a
// vocabulary text). It has no class docstring.
#include <string>
#include <vector>

#include "python/engine_class.h"
#include "python/engines.h"
#include "runners/gen1_runner.h"

namespace pinnet::py {

namespace {

using runners::Gen1Runner;
using Engine = EngineClass<Gen1Runner>;
using LoadResult = Engine::LoadResult;

LoadResult load(Path weights_path, Path vocab_path) {
  return Gen1Runner::load_files(weights_path.value, vocab_path.value);
}

LoadResult from_bytes(ByteView weights_bytes, std::string vocab_text) {
  // Converted, not copied whole: the runner keeps nothing of the weights,
  // so the instance does not hold them either.
  return Gen1Runner::load_bytes(formats::ByteImage::view({weights_bytes.data, weights_bytes.size}),
                                vocab_text);
}

PyObject* run(const Gen1Runner& r, std::string query, std::string tools) {
  return to_py(without_lock([&] { return r.run(query, tools); }));
}

PyObject* run_stream(const Gen1Runner& r, std::string query, std::string tools, Callable callback) {
  std::string out = streaming<runners::PieceSink>(
      callback, [&](const runners::PieceSink& sink) { return r.run(query, tools, &sink); });
  return to_py(out);
}

PyObject* run_batch(const Gen1Runner& r, std::vector<std::pair<std::string, std::string>> examples) {
  return to_py(without_lock([&] { return r.run_batch(examples); }));
}

PyObject* encode_contrastive(const Gen1Runner& r, std::string text) {
  return to_py(without_lock([&] { return r.encode_contrastive(text); }));
}

uint64_t contrastive_dim(const Gen1Runner& r) { return r.contrastive_dim(); }

PyObject* retrieve_tools(const Gen1Runner& r, std::string query,
                         std::vector<std::string> tool_descriptions, uint64_t top_k) {
  std::vector<runners::ScoredTool> ranked =
      without_lock([&] { return r.retrieve_tools(query, tool_descriptions, top_k); });
  return list_of(ranked, [](const runners::ScoredTool& t) {
    return make_tuple({to_py(t.index), to_py(t.score)});
  });
}

PyMethodDef statics[] = {
    Engine::loader<"load(weights_path, vocab_path)\n--\n\nLoad from file paths.", load>(),
    Engine::loader<"from_bytes(weights_bytes, vocab_text)\n--\n\n"
                   "Load from in-memory bytes (useful when the caller already has the weights "
                   "buffered).",
                   from_bytes>(),
    kEndOfMethods,
};

PyMethodDef methods[] = {
    Engine::method<"run($self, query, tools_json)\n--\n\n"
                   "Run inference and return the final JSON tool-call string.",
                   run>(),
    Engine::method<"run_stream($self, query, tools_json, callback)\n--\n\n"
                   "Run inference with a per-token callback, return the final JSON string.\n\n"
                   "`callback` is called as `callback(token_id: int, piece: str)` for each\n"
                   "generated token piece. The return value is the same post-processed string\n"
                   "as `run()`.",
                   run_stream>(),
    Engine::method<"run_batch($self, examples)\n--\n\n"
                   "Run inference on a batch of (query, tools_json) pairs.\n\n"
                   "Returns a list of result strings in the same order as the input.",
                   run_batch>(),
    Engine::method<"encode_contrastive($self, text)\n--\n\n"
                   "Return the L2-normalised contrastive embedding for `text`, or None if\n"
                   "the loaded weights have no contrastive head.",
                   encode_contrastive>(),
    Engine::method<"contrastive_dim($self)\n--\n\n"
                   "Dimension of the contrastive embedding (0 if no contrastive head).",
                   contrastive_dim>(),
    Engine::method<"retrieve_tools($self, query, tool_descriptions, top_k)\n--\n\n"
                   "Rank `tool_descriptions` by cosine similarity to `query`.\n\n"
                   "Returns a list of `(index, score)` tuples sorted by descending score,\n"
                   "truncated to `top_k`. Returns an empty list if no contrastive head is\n"
                   "present in the loaded weights.",
                   retrieve_tools>(),
    kEndOfMethods,
};

}  // namespace

int add_pinnet_engine(PyObject* module) {
  return Engine::add(module, "pinnet_rs.PinnetEngine", nullptr, statics, methods);
}

}  // namespace pinnet::py
