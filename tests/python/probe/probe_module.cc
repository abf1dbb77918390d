// Round-trips each argument kind of the binding layer back to Python, so the
// tests see exactly what a method would receive.
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "core/function_ref.h"
#include "python/binding.h"

namespace {

using namespace pinnet::py;

template <class T, class Back>
PyObject* round_trip(PyObject* args, PyObject* kwargs, Back back) {
  Args a("probe", {"value"}, args, kwargs);
  T value{};
  if (!a.get(0, &value)) return nullptr;
  return back(value);
}

PyObject* u64(PyObject*, PyObject* args, PyObject* kw) {
  return round_trip<uint64_t>(args, kw, [](uint64_t v) { return to_py(v); });
}
PyObject* f32(PyObject*, PyObject* args, PyObject* kw) {
  return round_trip<float>(args, kw, [](float v) { return to_py(v); });
}
PyObject* flag(PyObject*, PyObject* args, PyObject* kw) {
  return round_trip<bool>(args, kw, [](bool v) { return to_py(v); });
}
PyObject* text(PyObject*, PyObject* args, PyObject* kw) {
  return round_trip<std::string>(args, kw, [](const std::string& v) { return to_py(v); });
}
PyObject* opt_text(PyObject*, PyObject* args, PyObject* kw) {
  return round_trip<std::optional<std::string>>(
      args, kw, [](const std::optional<std::string>& v) { return to_py(v); });
}
PyObject* byte_len(PyObject*, PyObject* args, PyObject* kw) {
  return round_trip<ByteView>(args, kw, [](ByteView v) { return to_py(uint64_t{v.size}); });
}
PyObject* pairs(PyObject*, PyObject* args, PyObject* kw) {
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  return round_trip<Pairs>(args, kw, [](const Pairs& v) -> PyObject* {
    PyObject* list = PyList_New(0);
    for (const auto& [a, b] : v) {
      PyObject* t = make_tuple({to_py(a), to_py(b)});
      if (t == nullptr || PyList_Append(list, t) < 0) {
        Py_XDECREF(t);
        Py_DECREF(list);
        return nullptr;
      }
      Py_DECREF(t);
    }
    return list;
  });
}
PyObject* texts(PyObject*, PyObject* args, PyObject* kw) {
  using Texts = std::vector<std::string>;
  return round_trip<Texts>(args, kw, [](const Texts& v) -> PyObject* {
    PyObject* list = PyList_New(0);
    for (const auto& s : v) {
      PyObject* o = to_py(s);
      if (o == nullptr || PyList_Append(list, o) < 0) {
        Py_XDECREF(o);
        Py_DECREF(list);
        return nullptr;
      }
      Py_DECREF(o);
    }
    return list;
  });
}

// Calls callback(i) n times from inside a region that released the lock, the
// way a decode loop streams; returns how many calls were made.
PyObject* stream(PyObject*, PyObject* args, PyObject* kw) {
  Args a("stream", {"callback", "n"}, args, kw);
  Callable cb;
  uint64_t n = 0;
  if (!a.get(0, &cb) || !a.get(1, &n)) return nullptr;
  return guarded([&] {
    using Sink = pinnet::core::FunctionRef<void(uint64_t)>;
    return to_py(streaming<Sink>(cb, [&](const Sink& sink) {
      uint64_t calls = 0;
      for (uint64_t i = 0; i < n; ++i, ++calls) sink(i);
      return calls;
    }));
  });
}

std::atomic<bool> flag_set{false};

PyObject* set_flag(PyObject*, PyObject*, PyObject*) {
  flag_set = true;
  Py_RETURN_NONE;
}

// Waits, with the interpreter lock released, until another Python thread has
// called set_flag(): that can only happen if the lock really was released.
PyObject* wait_flag_unlocked(PyObject*, PyObject*, PyObject*) {
  flag_set = false;
  bool seen = without_lock([] {
    for (int i = 0; i < 20000 && !flag_set; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return flag_set.load();
  });
  return to_py(seen);
}

PyObject* record(PyObject*, PyObject*, PyObject*) {
  DictBuilder d;
  d.add("text", "abc").add("tool_call", std::optional<std::string>()).add("token_ids",
      std::vector<uint32_t>{1, 2, 4000000000u}).add("prob", 0.25f).add("flag", true);
  return d.release();
}

PyObject* raise_cpp(PyObject*, PyObject* args, PyObject* kw) {
  return guarded([&]() -> PyObject* {
    Args a("raise_cpp", {"kind"}, args, kw);
    std::string kind;
    if (!a.get(0, &kind)) return nullptr;
    if (kind == "logic") throw std::logic_error("chunk size must be non-zero");
    if (kind == "alloc") throw std::bad_alloc();
    Py_RETURN_NONE;
  });
}

// An instance of an engine class with no runner, so the argument conversion
// of its methods can be checked without a model. Only conversion failures may
// be provoked on it: a call that gets past conversion reaches a null runner.
PyObject* hollow(PyObject*, PyObject* args, PyObject*) {
  PyObject* cls;
  if (!PyArg_ParseTuple(args, "O!:hollow", &PyType_Type, &cls)) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return alloc(type, 0);  // zeroed: the runner pointer is null
}

#define PROBE(name) \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)), \
   METH_VARARGS | METH_KEYWORDS, nullptr}
PyMethodDef methods[] = {
    PROBE(u64), PROBE(f32),   PROBE(flag),   PROBE(text),   PROBE(opt_text),  PROBE(byte_len),
    PROBE(pairs), PROBE(texts), PROBE(stream), PROBE(record), PROBE(raise_cpp),
    PROBE(set_flag), PROBE(wait_flag_unlocked), PROBE(hollow),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef def = {PyModuleDef_HEAD_INIT, "_binding_probe", nullptr, 0, methods,
                   nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__binding_probe(void) { return PyModuleDef_Init(&def); }
