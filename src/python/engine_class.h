// The one way an engine class is declared: its instance layout (one owned
// runner, and the bytes object it was loaded from when it reads them in
// place), deallocation, instances made from a loaded runner, load failures
// turned into exceptions, and methods declared once by their docstring.
//
// A method is declared by its docstring and a C++ body:
//
//   Engine::method<"run($self, query, tools_json)\n--\n\nText.", run>()
//
// The docstring's first line is its text signature; the argument names, which
// of them are required and the defaults of the rest are read from it at
// compile time and given to `Args`, so the names Python sees in the docstring
// are the names a call is parsed against. The body takes the runner (instance
// methods only) and then one parameter per argument, in order; its parameter
// types pick the conversions, and a default is parsed into the parameter's
// type. A mismatch in count or in a default's form fails to compile.
//
// A class is its tables of statics (`loader`, `static_method`), instance
// methods (`method`) and read-only properties (`property`), handed to
// `EngineClass<Runner>::add` with the class docstring.
#pragma once

#include <algorithm>
#include <cstddef>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "core/result.h"
#include "python/binding.h"
#include "runners/load_failure.h"

namespace pinnet::py {

// ---- text signatures ----------------------------------------------------------

// A docstring as a template argument: the characters live in a static object,
// so PyMethodDef can point at them.
template <size_t N>
struct DocText {
  char text[N];
  consteval DocText(const char (&s)[N]) { std::copy_n(s, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

// The first line of a docstring, "name($self, a, b=1)", followed by "\n--\n\n".
struct Signature {
  static constexpr size_t kMaxArgs = 10;
  static constexpr size_t kMaxText = 24;  // longest name or default, terminator included

  char name[kMaxText] = {};
  bool has_self = false;
  size_t count = 0;
  size_t required = 0;
  char args[kMaxArgs][kMaxText] = {};
  char defaults[kMaxArgs][kMaxText] = {};  // "" for a required argument
};

namespace signature_detail {

// Errors surface as compile errors: a throw is not a constant expression.
consteval void require(bool good, const char* what) {
  if (!good) throw what;
}

consteval void copy_text(std::string_view from, char (&to)[Signature::kMaxText]) {
  require(from.size() < Signature::kMaxText, "name or default too long");
  std::copy(from.begin(), from.end(), to);
}

consteval bool is_name(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

}  // namespace signature_detail

consteval Signature parse_signature(std::string_view doc) {
  using namespace signature_detail;
  Signature sig;
  const size_t open = doc.find('(');
  const size_t close = doc.find(")\n--\n\n");
  require(open != std::string_view::npos && close != std::string_view::npos && open < close,
          "docstring does not start with a text signature");
  require(is_name(doc.substr(0, open)), "bad method name");
  copy_text(doc.substr(0, open), sig.name);
  std::string_view rest = doc.substr(open + 1, close - open - 1);
  if (rest.starts_with("$self")) {
    sig.has_self = true;
    rest.remove_prefix(5);
    require(rest.empty() || rest.starts_with(", "), "bad $self");
    if (!rest.empty()) rest.remove_prefix(2);
  }
  while (!rest.empty()) {
    const size_t comma = rest.find(", ");
    const std::string_view arg = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 2);
    require(sig.count < Signature::kMaxArgs, "too many arguments");
    const size_t eq = arg.find('=');
    require(is_name(arg.substr(0, eq)), "bad argument name");
    copy_text(arg.substr(0, eq), sig.args[sig.count]);
    if (eq == std::string_view::npos) {
      require(sig.required == sig.count, "a required argument follows a defaulted one");
      ++sig.required;
    } else {
      require(eq + 1 < arg.size(), "empty default");
      copy_text(arg.substr(eq + 1), sig.defaults[sig.count]);
    }
    ++sig.count;
  }
  return sig;
}

// ---- defaults -------------------------------------------------------------------

// Parses the default written in a signature ("" for a required argument)
// into the parameter's type; false when the text is no value of that type.
constexpr bool from_default(std::string_view text, uint64_t* out) {
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *out = v;
  return true;
}

// Plain decimals ("0.0", "1.5"): enough for the defaults the classes have.
constexpr bool from_default(std::string_view text, float* out) {
  double v = 0.0, scale = 1.0;
  bool fraction = false;
  for (char c : text) {
    if (c == '.' && !fraction) {
      fraction = true;
    } else if (c >= '0' && c <= '9') {
      v = v * 10.0 + (c - '0');
      if (fraction) scale *= 10.0;
    } else {
      return false;
    }
  }
  *out = static_cast<float>(v / scale);
  return true;
}

constexpr bool from_default(std::string_view text, bool* out) {
  *out = text == "True";
  return text.empty() || text == "True" || text == "False";
}

// Only "None" is written as a default of an optional.
template <class T>
constexpr bool default_fits(std::string_view text, std::optional<T>*) {
  return text.empty() || text == "None";
}
// Text defaults are written quoted ("auto").
constexpr bool default_fits(std::string_view text, std::string*) {
  return text.empty() || (text.size() >= 2 && text.front() == '"' && text.back() == '"');
}
inline bool from_default(std::string_view text, std::string* out) {
  if (text.size() >= 2) out->assign(text.substr(1, text.size() - 2));
  return true;
}
// The signature shows "float"; an omitted argument takes the process default
// (ComputeChoice's own), which PINNET_COMPUTE may change.
constexpr bool default_fits(std::string_view text, ComputeChoice*) {
  return text.empty() || text == "\"float\"";
}
template <class T>
constexpr bool default_fits(std::string_view text, T*) {
  if constexpr (requires(T v) { from_default(text, &v); }) {
    T v{};
    return from_default(text, &v);
  } else {
    return text.empty();  // text, bytes, sequences and callables are always required
  }
}

template <class T>
T default_value(std::string_view text) {
  T v{};
  if constexpr (requires { from_default(text, &v); }) from_default(text, &v);
  return v;  // an optional's "None" is its empty state
}

// ---- declared methods -------------------------------------------------------------

template <class F>
struct BodyTraits;
template <class R, class... A>
struct BodyTraits<R (*)(A...)> {
  using Result = R;
  using Params = std::tuple<std::remove_cvref_t<A>...>;
};

// Everything about one declared method that its calls need.
template <DocText Doc>
struct Declared {
  static constexpr Signature sig = parse_signature(Doc.view());
  static constexpr auto names = [] {
    std::array<const char*, Signature::kMaxArgs> n{};
    for (size_t i = 0; i < sig.count; ++i) n[i] = sig.args[i];
    return n;
  }();

  // The converted arguments of one call, defaults filled in; nullopt with a
  // Python exception set.
  template <class Params>
  static std::optional<Params> arguments(PyObject* args, PyObject* kwargs) {
    constexpr size_t n = std::tuple_size_v<Params>;
    static_assert(n == sig.count, "the body's arguments differ from the text signature");
    static_assert(defaults_fit<Params>(std::make_index_sequence<n>()),
                  "a default in the text signature does not fit its parameter");
    std::optional<Params> values = defaults<Params>(std::make_index_sequence<n>());
    if (!convert(args, kwargs, *values, std::make_index_sequence<n>())) values.reset();
    return values;
  }

 private:
  template <class Params, size_t... I>
  static bool convert(PyObject* args, PyObject* kwargs, Params& values,
                      std::index_sequence<I...>) {
    Args a(sig.name, names.data(), sig.count, sig.required, args, kwargs);
    return a.ok() && (a.get(I, &std::get<I>(values)) && ...);
  }

  template <class Params, size_t... I>
  static Params defaults(std::index_sequence<I...>) {
    return Params{default_value<std::tuple_element_t<I, Params>>(sig.defaults[I])...};
  }

  template <class Params, size_t... I>
  static consteval bool defaults_fit(std::index_sequence<I...>) {
    return (default_fits(std::string_view(sig.defaults[I]),
                         static_cast<std::tuple_element_t<I, Params>*>(nullptr)) &&
            ...);
  }
};

// A body's result as a Python object: passed through when it already is one.
template <class R>
PyObject* returned(R&& result) {
  if constexpr (std::is_same_v<std::remove_cvref_t<R>, PyObject*>) {
    return result;
  } else {
    return to_py(result);
  }
}

// Converts a call's arguments, then calls `Body(lead()..., arguments...)`:
// the leading values (the runner) are only fetched once conversion passed.
template <DocText Doc, auto Body, class Params, class... Lead>
PyObject* call_declared(PyObject* args, PyObject* kwargs, Lead... lead) {
  return guarded([&]() -> PyObject* {
    std::optional<Params> values = Declared<Doc>::template arguments<Params>(args, kwargs);
    if (!values) return nullptr;
    return returned(std::apply([&](auto&... v) { return Body(lead()..., std::move(v)...); },
                               *values));
  });
}

// Method tables store every entry point as a PyCFunction; METH_KEYWORDS
// tells the interpreter the real shape.
inline PyCFunction as_cfunction(PyObject* (*fn)(PyObject*, PyObject*, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

inline constexpr PyMethodDef kEndOfMethods = {nullptr, nullptr, 0, nullptr};
inline constexpr PyGetSetDef kEndOfProperties = {nullptr, nullptr, nullptr, nullptr, nullptr};

// Static methods whose body needs no runner (completion utilities). The body
// runs with the interpreter lock held.
template <DocText Doc, auto Body>
PyMethodDef static_method() {
  using D = Declared<Doc>;
  static_assert(!D::sig.has_self, "a static method's signature has no $self");
  constexpr auto fn = [](PyObject*, PyObject* args, PyObject* kwargs) -> PyObject* {
    return call_declared<Doc, Body, typename BodyTraits<decltype(Body)>::Params>(args, kwargs);
  };
  return {D::sig.name, as_cfunction(fn), METH_VARARGS | METH_KEYWORDS, Doc.text};
}

// ---- engine classes ---------------------------------------------------------------

// An engine class over `Runner`: every instance owns one runner, made by a
// loading method and never changed.
template <class Runner>
class EngineClass {
 public:
  using LoadResult = runners::LoadResult<Runner>;

  static const Runner& runner_of(PyObject* self) {
    return *reinterpret_cast<Object*>(self)->runner;
  }

  // A static loading method. The body runs with the lock released and returns
  // the load result; a failure raises `*Error` with the load error's text
  // (an OSError with an errno becomes its subclass, see raise_failure). A
  // `bytes` argument is held by the new instance (taken with the lock, after
  // the body) when the runner reads it in place (bytes are immutable), so
  // the body neither copies it nor touches a reference count.
  template <DocText Doc, auto Body, PyObject** Error = &PyExc_OSError>
  static PyMethodDef loader() {
    using D = Declared<Doc>;
    static_assert(!D::sig.has_self, "a loader's signature has no $self");
    using Traits = BodyTraits<decltype(Body)>;
    static_assert(std::is_same_v<typename Traits::Result, LoadResult>);
    constexpr auto fn = [](PyObject* type, PyObject* args, PyObject* kwargs) -> PyObject* {
      return guarded([&]() -> PyObject* {
        auto values = D::template arguments<typename Traits::Params>(args, kwargs);
        if (!values) return nullptr;
        PyObject* bytes = Runner::kReadsBytesInPlace ? bytes_argument(*values) : nullptr;
        return finish_load(type, without_lock([&] { return std::apply(Body, std::move(*values)); }),
                           *Error, bytes);
      });
    };
    return {D::sig.name, as_cfunction(fn), METH_VARARGS | METH_KEYWORDS, Doc.text};
  }

  // An instance method. The body receives the runner first and decides where
  // the lock is released around model work.
  template <DocText Doc, auto Body>
  static PyMethodDef method() {
    using D = Declared<Doc>;
    static_assert(D::sig.has_self, "an instance method's signature starts with $self");
    constexpr auto fn = [](PyObject* self, PyObject* args, PyObject* kwargs) -> PyObject* {
      using Params = decltype(tail(std::declval<typename BodyTraits<decltype(Body)>::Params>()));
      return call_declared<Doc, Body, Params>(
          args, kwargs, [self]() -> const Runner& { return runner_of(self); });
    };
    return {D::sig.name, as_cfunction(fn), METH_VARARGS | METH_KEYWORDS, Doc.text};
  }

  // A read-only property computed from the runner with the lock held.
  template <auto Get>
  static PyGetSetDef property(const char* name, const char* doc) {
    constexpr auto get = [](PyObject* self, void*) -> PyObject* {
      return guarded([&] { return to_py(std::invoke(Get, runner_of(self))); });
    };
    return {name, +get, nullptr, doc, nullptr};
  }

  // Creates the class `qualified_name` ("pinnet_rs.Name") and adds it to the
  // module. `doc` may be null (no class docstring); `methods` and
  // `properties` may be null. Returns 0, or -1 with an exception set.
  static int add(PyObject* module, const char* qualified_name, const char* doc,
                 PyMethodDef* statics, PyMethodDef* methods, PyGetSetDef* properties = nullptr) {
    PyType_Slot slots[6];
    size_t n = 0;
    if (doc != nullptr) slots[n++] = {Py_tp_doc, const_cast<char*>(doc)};
    slots[n++] = {Py_tp_new, reinterpret_cast<void*>(new_refusing)};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)};
    if (methods != nullptr) slots[n++] = {Py_tp_methods, methods};
    if (properties != nullptr) slots[n++] = {Py_tp_getset, properties};
    slots[n] = {0, nullptr};
    PyType_Spec spec = {qualified_name, static_cast<int>(sizeof(Object)), 0, Py_TPFLAGS_DEFAULT,
                        slots};
    return add_type(module, &spec, statics) == nullptr ? -1 : 0;
  }

 private:
  struct Object {
    PyObject_HEAD
    Runner* runner;  // owned; never null once the instance is visible to Python
    PyObject* bytes;  // strong reference to the bytes the runner reads in place, or null
  };

  template <class First, class... Rest>
  static std::tuple<Rest...> tail(std::tuple<First, Rest...>);

  // The `bytes` object behind a loader's ByteView argument (a loader has at
  // most one), borrowed from the call; null when there is none.
  template <class Params>
  static PyObject* bytes_argument(const Params& values) {
    PyObject* found = nullptr;
    std::apply([&](const auto&... v) { ((found = bytes_of(v, found)), ...); }, values);
    return found;
  }
  static PyObject* bytes_of(const ByteView& v, PyObject*) { return v.object; }
  static PyObject* bytes_of(const Source& v, PyObject* found) {
    return v.path ? found : v.bytes.object;
  }
  template <class T>
  static PyObject* bytes_of(const T&, PyObject* found) { return found; }

  static void dealloc(PyObject* self) {
    auto* object = reinterpret_cast<Object*>(self);
    // The runner first: it may read the bytes until it is gone.
    delete object->runner;
    Py_XDECREF(object->bytes);
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
  }

  // Wraps a loaded runner in a new instance of `type`, which takes a strong
  // reference to `bytes` (may be null). On failure the runner is destroyed
  // while the caller still holds `bytes`.
  static PyObject* instance(PyObject* type, std::unique_ptr<Runner> runner, PyObject* bytes) {
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
    PyObject* self = alloc(tp, 0);
    if (self == nullptr) return nullptr;
    auto* object = reinterpret_cast<Object*>(self);
    object->runner = runner.release();
    Py_XINCREF(bytes);
    object->bytes = bytes;
    return self;
  }

  static PyObject* finish_load(PyObject* type, LoadResult loaded, PyObject* error_type,
                               PyObject* bytes) {
    if (!loaded.ok()) {
      raise_failure(loaded.error(), error_type);
      return nullptr;
    }
    return instance(type, std::move(loaded).value(), bytes);
  }

  // An OSError with an errno is raised as OSError(errno, text, filename), so
  // the interpreter picks the subclass (FileNotFoundError, IsADirectoryError,
  // PermissionError, ...) and sets errno, strerror and filename the way
  // open() does; every other failure is `error_type` with the text.
  static void raise_failure(const runners::LoadFailure& failure, PyObject* error_type) {
    if (failure.error_number == 0 || error_type != PyExc_OSError) {
      PyErr_SetString(error_type, failure.message.c_str());
      return;
    }
    // "N" takes the decoded name's reference, and fails when decoding did.
    PyObject* args = Py_BuildValue(
        "(isN)", failure.error_number, failure.message.c_str(),
        PyUnicode_DecodeFSDefaultAndSize(failure.filename.data(),
                                         static_cast<Py_ssize_t>(failure.filename.size())));
    if (args == nullptr) return;
    PyErr_SetObject(PyExc_OSError, args);
    Py_DECREF(args);
  }
};

}  // namespace pinnet::py
