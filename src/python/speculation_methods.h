// set_speculation / speculation, shared by V2Engine and V3Engine.
#pragma once

#include "python/binding.h"

namespace pinnet::py {

template <class Runner>
PyObject* set_speculation(const Runner& r, bool forced, bool drafts) {
  r.set_speculation(forced, drafts);
  Py_INCREF(Py_None);
  return Py_None;
}

template <class Runner>
PyObject* speculation(const Runner& r) {
  const auto [forced, drafts] = r.speculation();
  DictBuilder d;
  d.add("forced", forced).add("drafts", drafts);
  return d.release();
}

}  // namespace pinnet::py

#define PINNET_SET_SPECULATION_DOC                                                         \
  "set_speculation($self, forced=True, drafts=True)\n--\n\n"                               \
  "Choose how greedy calls run the model.\n\n"                                             \
  "`forced`: in a strict call, the ids the grammar leaves no choice about\n"               \
  "(the fixed parts of a call, a unique key, the closing marks) go through\n"             \
  "the model in one batched pass instead of one step each. `drafts`: ids\n"               \
  "copied from the prompt (an argument value taken from the query) are\n"                 \
  "proposed ahead and checked in one pass; only those greedy choice agrees\n"             \
  "with are kept. Batched passes round their sums differently from single\n"              \
  "steps, so a near-tie between two ids may fall the other way. Sampling\n"                \
  "always steps. The default is PINNET_DRAFT from the environment: 1 both\n"               \
  "on, \"forced\" forced ids only, else both off (neither saves time yet on\n"           \
  "the shipped models). `set_speculation(False, False)` is the step-by-step\n"            \
  "path."

#define PINNET_SPECULATION_DOC \
  "speculation($self)\n--\n\nThe switches of set_speculation as a dict: `forced`, `drafts`."
