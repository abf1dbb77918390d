// V3Engine: generation-3 models from one depth-laddered .tesk container.
#include "engine/completion_text.h"
#include "python/engines.h"

namespace pinnet::py {

namespace {

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

PyMethodDef statics[] = {
    {"reasoning", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reasoning)),
     METH_VARARGS | METH_KEYWORDS,
     "reasoning(text)\n--\n\nThe chain-of-thought inside a completion, if it has one."},
    {"extract_tool_call",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(extract_tool_call)),
     METH_VARARGS | METH_KEYWORDS,
     "extract_tool_call(text)\n--\n\nPull the payload out of a completion you already have."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(new_refusing)},
    {0, nullptr},
};

PyType_Spec spec = {"pinnet_rs.V3Engine", 0, 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

int add_v3_engine(PyObject* module) {
  return add_type(module, &spec, statics) == nullptr ? -1 : 0;
}

}  // namespace pinnet::py
