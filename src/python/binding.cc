#include "python/binding.h"

#include <atomic>
#include <cstring>

namespace pinnet::py {

namespace {

const char* type_name(PyObject* o) {
  // tp_name is not reachable through the limited API; the qualified name is.
  // The returned pointer lives as long as the cached string on the type.
  static thread_local std::string buf;
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__");
  buf = "object";
  if (name != nullptr) {
    PyObject* utf8 = PyUnicode_AsUTF8String(name);
    if (utf8 != nullptr) {
      buf.assign(PyBytes_AsString(utf8), static_cast<size_t>(PyBytes_Size(utf8)));
      Py_DECREF(utf8);
    }
    Py_DECREF(name);
  }
  PyErr_Clear();
  return buf.c_str();
}

// collections.abc.Sequence, looked up once per process.
PyObject* sequence_abc() {
  static PyObject* cached = nullptr;
  if (cached == nullptr) {
    PyObject* mod = PyImport_ImportModule("collections.abc");
    if (mod == nullptr) return nullptr;
    cached = PyObject_GetAttrString(mod, "Sequence");
    Py_DECREF(mod);
  }
  return cached;
}

bool utf8_of(PyObject* o, std::string* out) {
  PyObject* bytes = PyUnicode_AsUTF8String(o);
  if (bytes == nullptr) return false;
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
    Py_DECREF(bytes);
    return false;
  }
  out->assign(data, static_cast<size_t>(size));
  Py_DECREF(bytes);
  return true;
}

}  // namespace

Args::Args(const char* method, const char* const* names, size_t count, size_t required,
           PyObject* args, PyObject* kwargs)
    : method_(method), names_(names, names + count), values_(count, nullptr) {
  const size_t n = names_.size();
  const Py_ssize_t npos = args ? PyTuple_Size(args) : 0;
  if (npos < 0) return;
  if (static_cast<size_t>(npos) > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given",
                 method_, n, npos);
    return;
  }
  for (Py_ssize_t i = 0; i < npos; ++i) values_[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    PyObject* key;
    PyObject* value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      std::string k;
      if (!PyUnicode_Check(key) || !utf8_of(key, &k)) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", method_);
        return;
      }
      size_t slot = n;
      for (size_t i = 0; i < n; ++i) {
        if (k == names_[i]) slot = i;
      }
      if (slot == n) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", method_,
                     k.c_str());
        return;
      }
      if (values_[slot] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", method_,
                     names_[slot]);
        return;
      }
      values_[slot] = value;
    }
  }
  for (size_t i = 0; i < required; ++i) {
    if (values_[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", method_,
                   names_[i], i + 1);
      return;
    }
  }
  ok_ = true;
}

bool Args::type_error(const char* name, const char* expected, PyObject* got) const {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %s", method_, name, expected,
               type_name(got));
  return false;
}

bool Args::convert(PyObject* o, const char* name, std::string* out) const {
  if (!PyUnicode_Check(o)) return type_error(name, "str", o);
  return utf8_of(o, out);
}

bool Args::convert(PyObject* o, const char* name, ByteView* out) const {
  if (!PyBytes_Check(o)) return type_error(name, "bytes", o);
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(o, &data, &size) < 0) return false;
  out->data = reinterpret_cast<const uint8_t*>(data);
  out->size = static_cast<size_t>(size);
  out->object = o;
  return true;
}

bool Args::convert(PyObject* o, const char* name, uint64_t* out) const {
  if (!PyLong_Check(o)) return type_error(name, "int", o);
  unsigned long long v = PyLong_AsUnsignedLongLong(o);  // OverflowError when out of range
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool Args::convert(PyObject* o, const char* name, float* out) const {
  double v = PyFloat_AsDouble(o);  // takes float, int and anything with __float__
  if (v == -1.0 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      return type_error(name, "float", o);
    }
    return false;
  }
  *out = static_cast<float>(v);
  return true;
}

bool Args::convert(PyObject* o, const char* name, bool* out) const {
  if (!PyBool_Check(o)) return type_error(name, "bool", o);
  *out = o == Py_True;
  return true;
}

bool Args::convert(PyObject* o, const char* name, std::optional<std::string>* out) const {
  if (o == Py_None) {
    out->reset();
    return true;
  }
  if (!PyUnicode_Check(o)) return type_error(name, "str or None", o);
  std::string s;
  if (!utf8_of(o, &s)) return false;
  *out = std::move(s);
  return true;
}

namespace {

// Checks that `o` is a sequence and not a str; sets TypeError otherwise.
bool check_sequence(PyObject* o, const char* method, const char* name) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  PyObject* abc = sequence_abc();
  if (abc == nullptr) return false;
  int is_seq = PyObject_IsInstance(o, abc);
  if (is_seq < 0) return false;
  if (is_seq == 0) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a sequence, not %s", method, name,
                 type_name(o));
    return false;
  }
  return true;
}

}  // namespace

bool Args::convert(PyObject* o, const char* name,
                   std::vector<std::pair<std::string, std::string>>* out) const {
  if (!check_sequence(o, method_, name)) return false;
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return false;
  std::vector<std::pair<std::string, std::string>> items;
  items.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(o, i);
    if (item == nullptr) return false;
    bool good = PyTuple_Check(item) && PyTuple_Size(item) == 2 &&
                PyUnicode_Check(PyTuple_GetItem(item, 0)) &&
                PyUnicode_Check(PyTuple_GetItem(item, 1));
    std::pair<std::string, std::string> pair;
    if (good) {
      good = utf8_of(PyTuple_GetItem(item, 0), &pair.first) &&
             utf8_of(PyTuple_GetItem(item, 1), &pair.second);
      if (!good) {
        Py_DECREF(item);
        return false;
      }
    } else {
      PyErr_Format(PyExc_TypeError,
                   "%s() argument '%s': item %zd must be a tuple of two str, not %s", method_,
                   name, i, type_name(item));
    }
    Py_DECREF(item);
    if (!good) return false;
    items.push_back(std::move(pair));
  }
  *out = std::move(items);
  return true;
}

bool Args::convert(PyObject* o, const char* name, std::vector<std::string>* out) const {
  if (!check_sequence(o, method_, name)) return false;
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return false;
  std::vector<std::string> items;
  items.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(o, i);
    if (item == nullptr) return false;
    std::string s;
    bool good = PyUnicode_Check(item);
    if (good) {
      good = utf8_of(item, &s);
    } else {
      PyErr_Format(PyExc_TypeError, "%s() argument '%s': item %zd must be str, not %s", method_,
                   name, i, type_name(item));
    }
    Py_DECREF(item);
    if (!good) return false;
    items.push_back(std::move(s));
  }
  *out = std::move(items);
  return true;
}

bool Args::convert(PyObject* o, const char* name, Path* out) const {
  PyObject* fs = PyOS_FSPath(o);  // str stays str; os.PathLike gives its path
  if (fs == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Clear();
    return type_error(name, "str or os.PathLike", o);
  }
  const bool text = PyUnicode_Check(fs);
  const bool ok = text && utf8_of(fs, &out->value);
  if (!text) type_error(name, "str or os.PathLike giving str", fs);
  Py_DECREF(fs);
  if (!ok) return false;
  if (out->value.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

bool Args::convert(PyObject* o, const char* name, std::optional<Callable>* out) const {
  if (o == Py_None) {
    out->reset();
    return true;
  }
  return convert(o, name, &out->emplace());
}

bool Args::convert(PyObject* o, const char* name, ToolsJson* out) const {
  if (PyUnicode_Check(o)) return convert(o, name, &out->text);
  PyObject* json = PyImport_ImportModule("json");
  if (json == nullptr) return false;
  PyObject* dumps = PyObject_GetAttrString(json, "dumps");
  Py_DECREF(json);
  if (dumps == nullptr) return false;
  PyObject* args = PyTuple_Pack(1, o);
  PyObject* kwargs = args == nullptr ? nullptr : Py_BuildValue("{s:O}", "ensure_ascii", Py_False);
  PyObject* text = kwargs == nullptr ? nullptr : PyObject_Call(dumps, args, kwargs);
  Py_DECREF(dumps);
  Py_XDECREF(args);
  Py_XDECREF(kwargs);
  if (text == nullptr) {
    // Not JSON-serialisable: say which argument, keep the reason.
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyObject *type, *value, *trace;
      PyErr_Fetch(&type, &value, &trace);
      PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a JSON str or a JSON-serialisable "
                   "list of tools (%S)", method_, name, value != nullptr ? value : Py_None);
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(trace);
    }
    return false;
  }
  const bool ok = utf8_of(text, &out->text);
  Py_DECREF(text);
  return ok;
}

bool Args::convert(PyObject* o, const char* name, Source* out) const {
  if (PyBytes_Check(o)) return convert(o, name, &out->bytes);
  if (PyObject_HasAttrString(o, "__fspath__") == 0 && !PyUnicode_Check(o))
    return type_error(name, "str, os.PathLike or bytes", o);
  return convert(o, name, &out->path.emplace());
}

bool Args::convert(PyObject* o, const char* name, ComputeChoice* out) const {
  std::string text;
  if (!convert(o, name, &text)) return false;
  const auto compute = core::parse_compute(text);
  if (!compute) {
    PyErr_Format(PyExc_ValueError, "%s must be \"float\" or \"int8\", not %R", name, o);
    return false;
  }
  out->value = *compute;
  return true;
}

bool Args::convert(PyObject* o, const char* name, std::optional<uint64_t>* out) const {
  if (o == Py_None) {
    out->reset();
    return true;
  }
  uint64_t v;
  if (!convert(o, name, &v)) return false;
  *out = v;
  return true;
}

bool Args::convert(PyObject* o, const char* name, Callable* out) const {
  if (!PyCallable_Check(o)) return type_error(name, "callable", o);
  out->fn = o;
  return true;
}

PyObject* to_py(std::string_view text) {
  // Runner text is UTF-8 by construction; "replace" keeps a stray invalid
  // byte from ever turning a result into an exception.
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* to_py(const std::optional<std::string>& text) {
  if (!text) Py_RETURN_NONE;
  return to_py(std::string_view(*text));
}

PyObject* to_py(bool flag) { return PyBool_FromLong(flag ? 1 : 0); }
PyObject* to_py(double value) { return PyFloat_FromDouble(value); }
PyObject* to_py(uint64_t value) { return PyLong_FromUnsignedLongLong(value); }

PyObject* make_tuple(std::initializer_list<PyObject*> items) {
  bool failed = false;
  for (PyObject* o : items) failed |= o == nullptr;
  PyObject* tuple = failed ? nullptr : PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  Py_ssize_t i = 0;
  for (PyObject* o : items) {
    if (tuple != nullptr) {
      PyTuple_SetItem(tuple, i++, o);  // steals o
    } else {
      Py_XDECREF(o);
    }
  }
  return tuple;
}

bool call_callback(PyObject* fn, PyObject* args) {
  PyObject* result = args == nullptr ? nullptr : PyObject_CallObject(fn, args);
  Py_XDECREF(args);
  if (result != nullptr) {
    Py_DECREF(result);
    return false;
  }
  if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) || PyErr_ExceptionMatches(PyExc_SystemExit))
    return true;
  PyErr_Clear();
  return false;
}

namespace {
// The ident of the interpreter's main thread, set when the module is made.
std::atomic<unsigned long> g_main_thread{0};
}  // namespace

int remember_main_thread() {
  PyObject* threading = PyImport_ImportModule("threading");
  if (threading == nullptr) return -1;
  PyObject* main = PyObject_CallMethod(threading, "main_thread", nullptr);
  Py_DECREF(threading);
  if (main == nullptr) return -1;
  PyObject* ident = PyObject_GetAttrString(main, "ident");
  Py_DECREF(main);
  if (ident == nullptr) return -1;
  const unsigned long value = PyLong_AsUnsignedLong(ident);
  Py_DECREF(ident);
  if (PyErr_Occurred()) return -1;
  g_main_thread.store(value, std::memory_order_relaxed);
  return 0;
}

bool on_main_thread() {
  return PyThread_get_thread_ident() == g_main_thread.load(std::memory_order_relaxed);
}

bool SignalCheck::stop_requested() {
  if (std::chrono::steady_clock::now() < next_) return false;
  region_.lock();
  const bool raised = PyErr_CheckSignals() != 0;  // a raising handler leaves its exception set
  region_.unlock();
  next_ = std::chrono::steady_clock::now() + kSignalPoll;
  return raised;
}

PyObject* new_refusing(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* name = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__");
  if (name == nullptr) return nullptr;
  PyErr_Format(PyExc_TypeError, "cannot create '%U' instances", name);
  Py_DECREF(name);
  return nullptr;
}

PyObject* add_type(PyObject* module, PyType_Spec* spec, PyMethodDef* statics) {
  PyObject* type = PyType_FromSpec(spec);
  if (type == nullptr) return nullptr;
  PyObject* builtins = PyImport_ImportModule("builtins");
  PyObject* staticmethod = builtins ? PyObject_GetAttrString(builtins, "staticmethod") : nullptr;
  Py_XDECREF(builtins);
  bool ok = staticmethod != nullptr;
  for (PyMethodDef* def = statics; ok && def != nullptr && def->ml_name != nullptr; ++def) {
    PyObject* fn = PyCFunction_NewEx(def, type, nullptr);
    PyObject* wrapped = fn ? PyObject_CallFunctionObjArgs(staticmethod, fn, nullptr) : nullptr;
    ok = wrapped != nullptr && PyObject_SetAttrString(type, def->ml_name, wrapped) == 0;
    Py_XDECREF(wrapped);
    Py_XDECREF(fn);
  }
  Py_XDECREF(staticmethod);
  if (!ok || PyModule_AddObject(module, strrchr(spec->name, '.') + 1, type) < 0) {
    Py_DECREF(type);
    return nullptr;
  }
  return type;  // the module holds the reference
}

}  // namespace pinnet::py
