// V2Engine: generation-2 models from a .tesk container of version 2.
#include "python/engines.h"

namespace pinnet::py {

namespace {

const char kClassDoc[] =
    "Pinnet v2. A `.tesk` container carries its weights, geometry and tokenizer,\n"
    "so `load` takes one path and there is no vocabulary argument.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(new_refusing)},
    {0, nullptr},
};

PyType_Spec spec = {"pinnet_rs.V2Engine", 0, 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

int add_v2_engine(PyObject* module) {
  return add_type(module, &spec, nullptr) == nullptr ? -1 : 0;
}

}  // namespace pinnet::py
