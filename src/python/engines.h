// One function per engine class: creates the class and adds it to the module.
// Each returns 0, or -1 with a Python exception set.
#pragma once

#include "python/binding.h"

namespace pinnet::py {

int add_pinnet_engine(PyObject* module);
int add_v2_engine(PyObject* module);
int add_v3_engine(PyObject* module);

}  // namespace pinnet::py
