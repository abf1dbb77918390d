// The binding layer every method goes through: argument parsing against
// declared keyword names, conversion of Python values to C++ and back, the
// one place where C++ exceptions become Python exceptions, and the rules of
// the interpreter lock (released around model work, taken back for every
// callback into Python).
//
// Written against the limited API of CPython 3.9, so one built file serves
// every interpreter from 3.9 up.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/cpu.h"
#include "core/interrupt.h"

namespace pinnet::py {

// ---- arguments --------------------------------------------------------------

// A `bytes` argument: a view of the object's buffer, valid for the call (the
// argument tuple keeps the object alive and bytes are immutable).
struct ByteView {
  const uint8_t* data = nullptr;
  size_t size = 0;
  PyObject* object = nullptr;  // the bytes object itself, borrowed for the call
};

// A file path: a str or an os.PathLike giving one, without NUL characters
// (a NUL would cut the path the operating system sees).
struct Path {
  std::string value;
};

// A model source: a path (as Path) or a `bytes` image (as ByteView).
struct Source {
  std::optional<Path> path;  // set for a path, empty for bytes
  ByteView bytes;
};

// A compute precision named by its text ("float" or "int8", any case); an
// omitted argument takes the process default (PINNET_COMPUTE).
struct ComputeChoice {
  core::Compute value = core::default_compute();
};

// A tool list as JSON text: a str is taken as written, any other object
// (a list of tool dicts) is written with the interpreter's json.dumps.
struct ToolsJson {
  std::string text;
};

// A callable argument; the reference is borrowed for the call.
struct Callable {
  PyObject* fn = nullptr;
};

// Positional and keyword arguments matched to a method's declared names.
// Arguments after the first `required` are optional: a missing one leaves the
// C++ default in place.
class Args {
 public:
  Args(const char* method, const char* const* names, size_t count, size_t required,
       PyObject* args, PyObject* kwargs);
  Args(const char* method, std::initializer_list<const char*> names, size_t required,
       PyObject* args, PyObject* kwargs)
      : Args(method, names.begin(), names.size(), required, args, kwargs) {}
  Args(const char* method, std::initializer_list<const char*> names, PyObject* args,
       PyObject* kwargs)
      : Args(method, names, names.size(), args, kwargs) {}

  // False when parsing failed; a TypeError is then set.
  bool ok() const { return ok_; }

  // Converts argument i into *out; true on success or when the optional
  // argument was not given. Sets a Python exception and returns false on a
  // wrong type or value.
  template <class T>
  bool get(size_t i, T* out) const {
    if (!ok_) return false;
    if (values_[i] == nullptr) return true;
    return convert(values_[i], names_[i], out);
  }

 private:
  bool convert(PyObject* o, const char* name, std::string* out) const;
  bool convert(PyObject* o, const char* name, ByteView* out) const;
  bool convert(PyObject* o, const char* name, uint64_t* out) const;
  bool convert(PyObject* o, const char* name, float* out) const;
  bool convert(PyObject* o, const char* name, bool* out) const;
  bool convert(PyObject* o, const char* name, std::optional<std::string>* out) const;
  bool convert(PyObject* o, const char* name,
               std::vector<std::pair<std::string, std::string>>* out) const;
  bool convert(PyObject* o, const char* name, std::vector<std::string>* out) const;
  bool convert(PyObject* o, const char* name, Callable* out) const;
  bool convert(PyObject* o, const char* name, std::optional<Callable>* out) const;
  bool convert(PyObject* o, const char* name, ToolsJson* out) const;
  bool convert(PyObject* o, const char* name, Path* out) const;
  bool convert(PyObject* o, const char* name, Source* out) const;
  bool convert(PyObject* o, const char* name, ComputeChoice* out) const;
  bool convert(PyObject* o, const char* name, std::optional<uint64_t>* out) const;
  bool type_error(const char* name, const char* expected, PyObject* got) const;

  const char* method_;
  std::vector<const char*> names_;
  std::vector<PyObject*> values_;  // borrowed; nullptr for an omitted optional
  bool ok_ = false;
};

// ---- results ----------------------------------------------------------------

// New references, or nullptr with an exception set.
PyObject* to_py(std::string_view text);
PyObject* to_py(const std::optional<std::string>& text);
PyObject* to_py(bool flag);
PyObject* to_py(double value);
PyObject* to_py(uint64_t value);
inline PyObject* to_py(uint32_t value) { return to_py(uint64_t{value}); }
inline PyObject* to_py(const std::string& text) { return to_py(std::string_view(text)); }
inline PyObject* to_py(const char* text) { return to_py(std::string_view(text)); }
inline PyObject* to_py(float value) { return to_py(static_cast<double>(value)); }

// A list of `convert(item)` for each item (convert returns new references).
template <class T, class F>
PyObject* list_of(const std::vector<T>& items, F convert) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* v = convert(items[i]);
    if (v == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), v);  // steals v
  }
  return list;
}
// Token ids, embeddings, texts: a list of the converted elements.
template <class T>
PyObject* to_py(const std::vector<T>& items) {
  return list_of(items, [](const T& v) { return to_py(v); });
}
template <class T>
PyObject* to_py(const std::optional<T>& v) {
  if (!v) Py_RETURN_NONE;
  return to_py(*v);
}

// Builds a dict whose keys keep insertion order. Stops at the first failure.
class DictBuilder {
 public:
  DictBuilder() : dict_(PyDict_New()) {}
  ~DictBuilder() { Py_XDECREF(dict_); }
  DictBuilder(const DictBuilder&) = delete;
  DictBuilder& operator=(const DictBuilder&) = delete;

  template <class T>
  DictBuilder& add(const char* key, const T& value) {
    if (dict_ == nullptr) return *this;
    PyObject* v = to_py(value);
    if (v == nullptr || PyDict_SetItemString(dict_, key, v) < 0) Py_CLEAR(dict_);
    Py_XDECREF(v);
    return *this;
  }
  // Adds a new reference (stolen; nullptr fails the dict).
  DictBuilder& add_owned(const char* key, PyObject* v) {
    if (dict_ != nullptr && (v == nullptr || PyDict_SetItemString(dict_, key, v) < 0))
      Py_CLEAR(dict_);
    Py_XDECREF(v);
    return *this;
  }
  // The finished dict (a new reference), or nullptr with an exception set.
  PyObject* release() { return std::exchange(dict_, nullptr); }

 private:
  PyObject* dict_;
};

// A tuple made of new references (steals them); nullptr if any is nullptr.
PyObject* make_tuple(std::initializer_list<PyObject*> items);

// ---- exceptions, the interpreter lock and interrupts --------------------------
//
// Model work runs with the interpreter lock released. Two things end it early:
// a signal handler that raises (Ctrl-C), asked on the main thread at least
// every kSignalPoll of work, and a streaming callback that raises
// KeyboardInterrupt or SystemExit. Either leaves its exception set on the
// thread state and unwinds the work with core::Interrupted; the method then
// returns nullptr and the exception propagates. Every other exception a
// callback raises is discarded.
//
// At interpreter exit CPython ends a thread that waits for the lock with
// pthread_exit, which unwinds the thread's C++ frames ("forced unwinding").
// So the lock is taken back only where that unwinding may pass: never in a
// destructor or a noexcept function, and every handler that catches all
// exceptions rethrows abi::__forced_unwind.

// The one boundary where C++ exceptions turn into Python exceptions.
template <class F>
PyObject* guarded(F&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;  // the thread is being ended at interpreter exit
  } catch (const core::Interrupted&) {
    // The exception that stopped the work is set on the thread state.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "work interrupted without an exception");
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
  }
  return nullptr;
}

// The lock released for the object's lifetime. Taking it back is explicit
// (lock) because it may end the thread; the destructor does nothing.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  // Takes the lock back. At interpreter exit CPython may end the thread in
  // here instead of returning.
  void lock() { PyEval_RestoreThread(state_); }
  // Releases it again after lock().
  void unlock() { state_ = PyEval_SaveThread(); }

 private:
  PyThreadState* state_;
};

// How often the main thread takes the lock to run pending signal handlers.
inline constexpr std::chrono::milliseconds kSignalPoll{20};

// Runs pending signal handlers during unlocked work on the main thread (the
// only thread CPython runs them on); asks at most once per kSignalPoll.
class SignalCheck final : public core::InterruptCheck {
 public:
  explicit SignalCheck(Unlocked& region)
      : region_(region), next_(std::chrono::steady_clock::now() + kSignalPoll) {}
  bool stop_requested() override;

 private:
  Unlocked& region_;
  std::chrono::steady_clock::time_point next_;
};

// True on the interpreter's main thread (as remembered at module creation).
bool on_main_thread();
// Remembers the main thread; 0, or -1 with an exception set.
int remember_main_thread();

// Runs `work()` inside `region` with the signal check installed on the main
// thread; whatever it throws is held until the lock is back, then rethrown.
template <class F>
auto run_unlocked(Unlocked& region, F&& work) -> decltype(work()) {
  using R = decltype(work());
  std::exception_ptr failure;
  std::optional<std::conditional_t<std::is_void_v<R>, bool, R>> result;
  try {
    SignalCheck signals(region);
    std::optional<core::InterruptScope> scope;
    if (on_main_thread()) scope.emplace(signals);
    if constexpr (std::is_void_v<R>) {
      work();
      result.emplace(true);
    } else {
      result.emplace(work());
    }
  } catch (abi::__forced_unwind&) {
    throw;  // the lock was being taken back inside the work at interpreter exit
  } catch (...) {
    failure = std::current_exception();
  }
  region.lock();
  if (failure) std::rethrow_exception(failure);
  if constexpr (!std::is_void_v<R>) return std::move(*result);
}

// Runs `work` with the lock released and returns its result.
template <class F>
auto without_lock(F&& work) {
  Unlocked region;
  return run_unlocked(region, std::forward<F>(work));
}

// Calls `fn(*args)` with the lock held (args is stolen). Returns true when the
// callback raised KeyboardInterrupt or SystemExit, which is left set; any
// other exception is discarded: callbacks never stop the work otherwise.
bool call_callback(PyObject* fn, PyObject* args);

// Runs `work(sink)` with the lock released. Each call of the sink takes the
// lock back and calls `callback` with its arguments converted by to_py.
template <class Sink, class Work>
auto streaming(Callable callback, Work&& work) {
  Unlocked region;
  auto deliver = [&](auto... values) {
    region.lock();
    const bool stop = call_callback(callback.fn, make_tuple({to_py(values)...}));
    region.unlock();
    if (stop) throw core::Interrupted{};
  };
  Sink sink = deliver;
  return run_unlocked(region, [&] { return work(sink); });
}

// ---- types ------------------------------------------------------------------

// A class whose instances come only from its static loading methods: calling
// the class raises "cannot create '<name>' instances".
PyObject* new_refusing(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Creates a class from its spec and adds it to the module under its name.
// `statics` are installed as static methods whose C function receives the
// type object as `self`, so loaders can make instances without globals.
// Returns a borrowed reference to the new type, or nullptr.
PyObject* add_type(PyObject* module, PyType_Spec* spec, PyMethodDef* statics);

}  // namespace pinnet::py
