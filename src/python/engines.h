// One function per engine class: creates the class and adds it to the module.
// Each returns 0, or -1 with a Python exception set.
#pragma once

#include "python/binding.h"

// The part of each class's `open` docstring about compute and failures; the
// class appends the end of its last sentence (a macro so that it joins the
// docstring literal at compile time).
#define PINNET_OPEN_COMPUTE_DOC                                                        \
  "`compute` is \"float\" (the products in float, within float rounding of\n"           \
  "the written computation) or \"int8\": each rotated input group is\n"                 \
  "quantised to 8 bits with its own scale and multiplied by the codebook\n"              \
  "levels as 8-bit integers with integer dot products, faster at about 1%\n"             \
  "relative error in the logits. Omitted, it is PINNET_COMPUTE from the\n"               \
  "environment (\"float\" or \"int8\"), the default of every loader, else\n"            \
  "\"float\". A `bytes` image is read in place and held by the engine.\n\n"             \
  "Raises ValueError for an unknown `compute`, OSError when the source\n"                \
  "cannot be read or is not a valid model"

namespace pinnet::py {

int add_pinnet_engine(PyObject* module);
int add_v2_engine(PyObject* module);
int add_v3_engine(PyObject* module);

}  // namespace pinnet::py
