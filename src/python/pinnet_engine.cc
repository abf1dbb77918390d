// PinnetEngine: the generation-1 encoder-decoder (safetensors weights and a
// vocabulary text). It has no class docstring.
#include "python/engines.h"

namespace pinnet::py {

namespace {

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(new_refusing)},
    {0, nullptr},
};

PyType_Spec spec = {"pinnet_rs.PinnetEngine", 0, 0, Py_TPFLAGS_DEFAULT, slots};

}  // namespace

int add_pinnet_engine(PyObject* module) {
  return add_type(module, &spec, nullptr) == nullptr ? -1 : 0;
}

}  // namespace pinnet::py
