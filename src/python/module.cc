// Module initialisation: multi-phase, so the module object is created by the
// interpreter and filled in by the exec slot. The module exports the three
// engine classes and nothing else.
#include "python/binding.h"
#include "python/engines.h"

namespace {

int exec_module(PyObject* module) {
  if (pinnet::py::remember_main_thread() < 0) return -1;
  if (pinnet::py::add_pinnet_engine(module) < 0) return -1;
  if (pinnet::py::add_v2_engine(module) < 0) return -1;
  if (pinnet::py::add_v3_engine(module) < 0) return -1;
  return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pinnet_rs",
    nullptr,  // no module docstring
    0,        // no module state: every class carries what it needs
    nullptr,  // no module-level functions
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_pinnet_rs(void) { return PyModuleDef_Init(&module_def); }
