// V3Engine: generation-3 models from one depth-laddered .tesk container.
#include <memory>

#include "engine/completion_text.h"
#include "runners/v3_runner.h"
#include "python/engines.h"

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

struct V3EngineObject {
  PyObject_HEAD
  V3Runner* runner;  // owned; never null once the instance is visible to Python
};

const V3Runner& runner_of(PyObject* self) {
  return *reinterpret_cast<V3EngineObject*>(self)->runner;
}

void dealloc(PyObject* self) {
  delete reinterpret_cast<V3EngineObject*>(self)->runner;
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// Wraps a loaded runner in a new instance of `type`.
PyObject* instance(PyObject* type, std::unique_ptr<V3Runner> runner) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<V3EngineObject*>(self)->runner = runner.release();
  return self;
}

using LoadResult = core::Result<std::unique_ptr<V3Runner>, std::string>;

PyObject* finish_load(PyObject* type, LoadResult loaded, PyObject* error_type) {
  if (!loaded.ok()) {
    PyErr_SetString(error_type, loaded.error().c_str());
    return nullptr;
  }
  return instance(type, std::move(loaded).value());
}

PyObject* load(PyObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("load", {"tesk_path"}, args, kwargs);
    std::string path;
    if (!a.get(0, &path)) return nullptr;
    return finish_load(type, without_lock([&] { return V3Runner::load_file(path); }),
                       PyExc_OSError);
  });
}

PyObject* from_bytes(PyObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("from_bytes", {"tesk_bytes"}, args, kwargs);
    ByteView bytes;
    if (!a.get(0, &bytes)) return nullptr;
    return finish_load(type, without_lock([&] {
                         return V3Runner::load_bytes(
                             std::vector<uint8_t>(bytes.data, bytes.data + bytes.size));
                       }),
                       PyExc_OSError);
  });
}

PyObject* load_with_depth(PyObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("load_with_depth", {"path", "layers"}, args, kwargs);
    std::string path;
    uint64_t layers = 0;
    if (!a.get(0, &path) || !a.get(1, &layers)) return nullptr;
    return finish_load(type, without_lock([&] { return V3Runner::load_file(path, layers); }),
                       PyExc_ValueError);
  });
}

// The settings of run, run_json, run_stream and run_scored.
GenerateOptions fixed_settings() {
  GenerateOptions o;
  o.max_new_tokens = 256;
  return o;
}

GenerateOutput generate_unlocked(PyObject* self, std::string_view query, std::string_view tools,
                           const GenerateOptions& options) {
  const V3Runner& runner = runner_of(self);
  return without_lock([&] { return runner.generate(query, tools, options); });
}

PyObject* run(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("run", {"query", "tools_json"}, args, kwargs);
    std::string query, tools;
    if (!a.get(0, &query) || !a.get(1, &tools)) return nullptr;
    return to_py(generate_unlocked(self, query, tools, fixed_settings()).text);
  });
}

PyObject* run_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("run_json", {"query", "tools_json"}, args, kwargs);
    std::string query, tools;
    if (!a.get(0, &query) || !a.get(1, &tools)) return nullptr;
    return to_py(engine::v3_tool_call(generate_unlocked(self, query, tools, fixed_settings()).text));
  });
}

PyObject* generate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("generate",
           {"query", "tools_json", "max_new_tokens", "temperature", "seed", "system", "constrain",
            "kv_int8"},
           2, args, kwargs);
    std::string query, tools;
    GenerateOptions o;
    if (!a.get(0, &query) || !a.get(1, &tools) || !a.get(2, &o.max_new_tokens) ||
        !a.get(3, &o.temperature) || !a.get(4, &o.seed) || !a.get(5, &o.system) ||
        !a.get(6, &o.constrain) || !a.get(7, &o.kv_int8)) {
      return nullptr;
    }
    if (o.max_new_tokens == 0) o.max_new_tokens = 256;
    GenerateOutput out = generate_unlocked(self, query, tools, o);
    DictBuilder d;
    d.add("text", out.text)
        .add("tool_call", engine::v3_tool_call(out.text))
        .add("reasoning", engine::v3_reasoning(out.text))
        .add("token_ids", out.token_ids)
        .add("stop_reason", engine::stop_name(V3Runner::policy(), out))
        .add("positions", out.positions);
    return d.release();
  });
}

PyObject* run_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("run_stream", {"query", "tools_json", "callback"}, args, kwargs);
    std::string query, tools;
    Callable callback;
    if (!a.get(0, &query) || !a.get(1, &tools) || !a.get(2, &callback)) return nullptr;
    const V3Runner& runner = runner_of(self);
    GenerateOutput out;
    {
      Unlocked region;
      auto deliver = [&](std::string_view delta) {
        Relock locked(region);
        call_discarding_errors(callback.fn, make_tuple({to_py(delta)}));
      };
      engine::DeltaSink sink = deliver;
      out = runner.generate(query, tools, fixed_settings(), &sink);
    }
    return to_py(out.text);
  });
}

PyObject* confidence_value(std::optional<float> p) {
  if (!p) Py_RETURN_NONE;
  return to_py(*p);
}

PyObject* run_scored(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("run_scored", {"query", "tools_json"}, args, kwargs);
    std::string query, tools;
    if (!a.get(0, &query) || !a.get(1, &tools)) return nullptr;
    const V3Runner& runner = runner_of(self);
    GenerateOutput out;
    std::optional<float> confidence;
    without_lock([&] {
      out = runner.generate(query, tools, fixed_settings());
      confidence = runner.confidence(query, tools, out.text);
      return 0;
    });
    DictBuilder d;
    d.add("text", out.text)
        .add("tool_call", engine::v3_tool_call(out.text))
        .add("reasoning", engine::v3_reasoning(out.text))
        .add("stop_reason", engine::stop_name(V3Runner::policy(), out));
    return make_tuple({d.release(), confidence_value(confidence)});
  });
}

PyObject* has_confidence(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("has_confidence", {}, args, kwargs);
    if (!a.ok()) return nullptr;
    return to_py(runner_of(self).has_confidence());
  });
}

PyObject* confidence_for(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("confidence_for", {"query", "tools_json", "completion"}, args, kwargs);
    std::string query, tools, completion;
    if (!a.get(0, &query) || !a.get(1, &tools) || !a.get(2, &completion)) return nullptr;
    const V3Runner& runner = runner_of(self);
    return confidence_value(
        without_lock([&] { return runner.confidence(query, tools, completion); }));
  });
}

PyObject* kv_bytes(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("kv_bytes", {"seq_len", "kv_int8"}, 1, args, kwargs);
    uint64_t seq_len = 0;
    bool int8 = false;
    if (!a.get(0, &seq_len) || !a.get(1, &int8)) return nullptr;
    return to_py(runner_of(self).kv_bytes(seq_len, int8));
  });
}

PyObject* reasoning(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("reasoning", {"text"}, args, kwargs);
    std::string text;
    if (!a.get(0, &text)) return nullptr;
    return to_py(engine::v3_reasoning(text));
  });
}

PyObject* extract_tool_call(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Args a("extract_tool_call", {"text"}, args, kwargs);
    std::string text;
    if (!a.get(0, &text)) return nullptr;
    return to_py(engine::v3_tool_call(text));
  });
}

PyObject* get_num_layers(PyObject* self, void*) { return to_py(runner_of(self).num_layers()); }
PyObject* get_max_seq_len(PyObject* self, void*) { return to_py(runner_of(self).max_seq_len()); }

template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyCFunction method() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

PyMethodDef statics[] = {
    {"load", method<load>(), kArgs,
     "load(tesk_path)\n--\n\nLoad a `pinnet3.tesk` model from disk."},
    {"from_bytes", method<from_bytes>(), kArgs,
     "from_bytes(tesk_bytes)\n--\n\nLoad a `pinnet3.tesk` model from an in-memory image."},
    {"load_with_depth", method<load_with_depth>(), kArgs,
     "load_with_depth(path, layers)\n--\n\n"
     "Load the `layers`-block ladder rung of a container.\n\n"
     "Pinnet 3 is laddered: every depth from 2 blocks up is a trained\n"
     "subnetwork, and one file serves them all. Shallower rungs are faster\n"
     "and cost proportionally less key/value cache, at a quality cost that\n"
     "becomes severe at the bottom \xE2\x80\x94 on the shipped weights 2 and 4 blocks do\n"
     "not produce usable tool calls, 6 upward do."},
    {"reasoning", method<reasoning>(), kArgs,
     "reasoning(text)\n--\n\nThe chain-of-thought inside a completion, if it has one."},
    {"extract_tool_call", method<extract_tool_call>(), kArgs,
     "extract_tool_call(text)\n--\n\nPull the payload out of a completion you already have."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef methods[] = {
    {"run", method<run>(), kArgs,
     "run($self, query, tools_json)\n--\n\nThe full completion, reasoning included."},
    {"run_json", method<run_json>(), kArgs,
     "run_json($self, query, tools_json)\n--\n\nJust the tool-call payload.\n\n"
     "`\"[]\"` is a deliberate abstention \xE2\x80\x94 the model weighed the tools and\n"
     "declined \xE2\x80\x94 where `None` means it emitted no `<tool_call>` markers at\n"
     "all. Treating the first as a failure turns a considered \"no\" into an\n"
     "error."},
    {"generate", method<generate>(), kArgs,
     "generate($self, query, tools_json, max_new_tokens=0, temperature=0.0, seed=0, "
     "system=None, constrain=False, kv_int8=False)\n--\n\n"
     "Generation with explicit settings.\n\n"
     "Returns a dict: `text`, `tool_call`, `reasoning`, `token_ids`,\n"
     "`stop_reason`, `positions`."},
    {"run_stream", method<run_stream>(), kArgs,
     "run_stream($self, query, tools_json, callback)\n--\n\n"
     "Generate, calling `callback(piece)` with each decoded delta.\n\n"
     "The callback receives decoded text, not raw tokenizer pieces:\n"
     "concatenating every delta reproduces the return value exactly."},
    {"run_scored", method<run_scored>(), kArgs,
     "run_scored($self, query, tools_json)\n--\n\n"
     "Generate, then score what was generated. Returns `(result, confidence)`."},
    {"has_confidence", method<has_confidence>(), kArgs,
     "has_confidence($self)\n--\n\nWhether this container carries a confidence head."},
    {"confidence_for", method<confidence_for>(), kArgs,
     "confidence_for($self, query, tools_json, completion)\n--\n\n"
     "How confident the model is in a completion it produced.\n\n"
     "Pass the **completion**, not the query. The head scores a finished\n"
     "judgement. On the shipped checkpoint a correct call scores 0.93 and a\n"
     "wrong one 0.26 \xE2\x80\x94 but a bare query scores 0.80, which looks like a\n"
     "confident answer and is not one. v2 collapsed to near zero on a bare\n"
     "query, so that misuse announced itself; v3's does not."},
    {"kv_bytes", method<kv_bytes>(), kArgs,
     "kv_bytes($self, seq_len, kv_int8=False)\n--\n\n"
     "Key/value cache bytes for a session of `seq_len` positions.\n\n"
     "Sized to the session rather than to the context limit, so this is what\n"
     "a run actually costs \xE2\x80\x94 useful when deciding whether one fits. Pass\n"
     "`kv_int8=True` to get the figure for the cache `generate(kv_int8=True)`\n"
     "allocates; it is 27% of the f32 figure rather than 25%, because each\n"
     "stored head vector also carries a scale."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef properties[] = {
    {"num_layers", get_num_layers, nullptr, "How many blocks this engine is running.", nullptr},
    {"max_seq_len", get_max_seq_len, nullptr, "Context limit in tokens.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(new_refusing)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_getset, properties},
    {0, nullptr},
};

PyType_Spec spec = {"pinnet_rs.V3Engine", sizeof(V3EngineObject), 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

int add_v3_engine(PyObject* module) {
  return add_type(module, &spec, statics) == nullptr ? -1 : 0;
}

}  // namespace pinnet::py
