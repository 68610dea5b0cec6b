// Python-visible functions and methods: the declarative table a module writes
// for each of them, argument binding, and the function object type.
//
// A function is described once by a `FunctionDef`: its name, its parameters
// (each with its conversion, None rule and default), its docstring and the
// native body. Binding fills one borrowed object per parameter (defaults
// included); a named body (`PyObject* body(PyObject* self, Args& args)`) then
// receives them converted, in declaration order, so that the first failing
// conversion is the one reported, and reads them by name:
//
//   FunctionDef mutual_knn_def{"mutual_knn",
//       {{"X", not_none(c_contiguous(double_t_))}, {"k", as_int}, {"p", as_int, int_default(2)}}, doc, mutual_knn};
//   PyObject* mutual_knn(PyObject*, Args& a) { auto X = a.view<double, 2>("X"); int k = a.integer("k"); ... }
//
// A positional body (`PyObject* const* args`) converts the objects itself.
#pragma once

#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>

#include "buffer_view.hpp"
#include "convert.hpp"
#include "module_state.hpp"
#include "ref.hpp"

namespace frame {

// ---- the parameter table ------------------------------------------------------

struct Default {
  enum Kind { Required, None, Integer, Text, False } kind = Required;
  long long integer = 0;
  const char* text = nullptr;
};
inline constexpr Default none_default{Default::None};
inline constexpr Default false_default{Default::False};
constexpr Default int_default(long long v) { return {Default::Integer, v, nullptr}; }
constexpr Default str_default(const char* s) { return {Default::Text, 0, s}; }

// What None means for a parameter.
enum class NoneRule : uint8_t {
  Passes,     // None reaches the body (a typed view bound to None is empty)
  Refused,    // accepted while binding; TypeError "must not be None" once every argument is converted
  WrongType,  // refused while binding, with the incorrect-type message
};

// How the frame converts an argument before a named body runs (see `Args`).
struct Convert {
  enum Kind : uint8_t { Object, Int, Int64, Index, Double, Bool, Size, Enum, Instance, Exact, View };
  Kind kind = Object;
  NoneRule none = NoneRule::Passes;
  PyTypeObject* type = nullptr;      // Instance, Exact; null for Instance means numpy.ndarray
  const Element* element = nullptr;  // View
  const char* enum_name = nullptr;   // Enum: completes the overflow message
  int ndim = 0;                      // View
  Layout layout = Layout::Strided;   // View
  bool writable = false;             // View

  bool is_view() const { return kind == View; }
};

// Any object, as given (the default; spelled out for not_none(as_object)).
inline constexpr Convert as_object{Convert::Object};
// Scalars, declared beside the name: {"k", as_int}.
inline constexpr Convert as_int{Convert::Int};
inline constexpr Convert as_int64{Convert::Int64};
inline constexpr Convert as_index{Convert::Index};  // Py_ssize_t, through __index__
inline constexpr Convert as_double{Convert::Double};
inline constexpr Convert as_bool{Convert::Bool};
inline constexpr Convert as_size{Convert::Size};  // size_t
constexpr Convert as_enum(const char* name) { return {Convert::Enum, NoneRule::Passes, nullptr, nullptr, name}; }

// Object parameters of a declared type: the type or a subtype, or exactly it.
constexpr Convert instance_of(PyTypeObject* type) { return {Convert::Instance, NoneRule::Passes, type}; }
constexpr Convert exactly(PyTypeObject* type) { return {Convert::Exact, NoneRule::Passes, type}; }
inline constexpr Convert as_ndarray{Convert::Instance};

// Typed views, by declaration: T[::1], T[:, ::1], T[:, :], const T[:, :].
constexpr Convert contiguous(const Element& e) {
  return {Convert::View, NoneRule::Passes, nullptr, &e, nullptr, 1, Layout::Contiguous, true};
}
constexpr Convert c_contiguous(const Element& e) {
  return {Convert::View, NoneRule::Passes, nullptr, &e, nullptr, 2, Layout::CContiguous, true};
}
constexpr Convert strided(const Element& e) {
  return {Convert::View, NoneRule::Passes, nullptr, &e, nullptr, 2, Layout::Strided, true};
}
constexpr Convert read_only(const Element& e) {
  return {Convert::View, NoneRule::Passes, nullptr, &e, nullptr, 2, Layout::Strided, false};
}

// The None rules other than Passes: not_none(as_ndarray), never_none(instance_of(&graph::type)).
constexpr Convert not_none(Convert c) {
  c.none = NoneRule::Refused;
  return c;
}
constexpr Convert never_none(Convert c) {
  c.none = NoneRule::WrongType;
  return c;
}

struct Param {
  const char* name = nullptr;
  Default fallback{};
  Convert convert{};

  constexpr Param() = default;
  constexpr Param(const char* n, Default d = {}) : name(n), fallback(d) {}
  constexpr Param(const char* n, Convert c, Default d = {}) : name(n), fallback(d), convert(c) {}
};

struct Annotation {
  const char* name = nullptr;
  const char* value = nullptr;
};

// A table with more parameters than this does not compile (too many initializers).
inline constexpr int max_params = 8;

class Args;
// A body reads either the bound objects by position (and converts them itself)
// or, declared with conversions, the converted values by name.
using Body = PyObject* (*)(PyObject* self, PyObject* const* args);
using NamedBody = PyObject* (*)(PyObject* self, Args& args);

struct BodyRef {
  Body positional = nullptr;
  NamedBody named = nullptr;
  constexpr BodyRef(std::nullptr_t) {}
  constexpr BodyRef(Body b) : positional(b) {}
  constexpr BodyRef(NamedBody b) : named(b) {}
};

struct FunctionDef {
  const char* name;
  Param params[max_params];
  const char* doc;
  BodyRef body;
  Annotation annotations[max_params]{};
  // Filled once when the module executes: interned parameter names and default objects.
  PyObject* names[max_params] = {};
  PyObject* defaults[max_params] = {};
  Py_ssize_t required = 0;
  Py_ssize_t count = 0;
  bool prepared = false;

  Py_ssize_t total() const { return count; }

  // Interns the names and makes the defaults; all or nothing, so that a
  // failure is retried on the next use instead of remembered.
  bool prepare() {
    if (prepared) return true;
    Py_ssize_t n = 0;
    while (n < max_params && params[n].name != nullptr) ++n;
    Py_ssize_t needed = 0;
    bool converts = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
      const Param& p = params[i];
      converts = converts || p.convert.kind != Convert::Object || p.convert.none != NoneRule::Passes;
      names[i] = PyUnicode_InternFromString(p.name);
      switch (p.fallback.kind) {
        case Default::Required: defaults[i] = nullptr; ++needed; break;
        case Default::None: defaults[i] = Py_NewRef(Py_None); break;
        case Default::False: defaults[i] = Py_NewRef(Py_False); break;
        case Default::Integer: defaults[i] = PyLong_FromLongLong(p.fallback.integer); break;
        case Default::Text: defaults[i] = PyUnicode_InternFromString(p.fallback.text); break;
      }
      if (names[i] == nullptr || (p.fallback.kind != Default::Required && defaults[i] == nullptr)) {
        for (Py_ssize_t j = 0; j <= i; ++j) {
          Py_CLEAR(names[j]);
          Py_CLEAR(defaults[j]);
        }
        return false;
      }
    }
    if (converts && body.positional != nullptr) {
      return fail(PyExc_SystemError, "%s: conversions are declared for a body that reads its arguments by position",
                  name);
    }
    required = needed;
    count = n;
    prepared = true;
    return true;
  }

  // Position of the parameter called `param_name` (a constant of the body), or -1.
  int index_of(const char* param_name) const {
    for (int i = 0; i < max_params && params[i].name != nullptr; ++i)
      if (params[i].name == param_name || std::strcmp(params[i].name, param_name) == 0) return i;
    return -1;
  }
};

namespace detail {

inline bool count_error(const char* fname, Py_ssize_t required, Py_ssize_t total, Py_ssize_t given) {
  bool too_few = given < required;
  const char* how = required == total ? "exactly" : (too_few ? "at least" : "at most");
  Py_ssize_t count = too_few ? required : total;
  return fail(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname, how, count,
              count == 1 ? "" : "s", given);
}

inline bool same_name(PyObject* a, PyObject* b) {
  return a == b || (PyUnicode_Check(b) && PyUnicode_Compare(a, b) == 0);
}

inline PyObject* find_keyword(PyObject* kwnames, PyObject* const* kwvalues, PyObject* name) {
  Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n; ++k)
    if (PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
  for (Py_ssize_t k = 0; k < n; ++k)
    if (same_name(name, PyTuple_GET_ITEM(kwnames, k))) return kwvalues[k];
  return nullptr;
}

// Reports the first keyword that did not fill a parameter.
inline bool leftover_keyword_error(const FunctionDef& f, const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
  for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) return fail(PyExc_TypeError, "%.200s() keywords must be strings", fname);
    Py_ssize_t match = -1;
    for (Py_ssize_t i = 0; i < f.total() && match < 0; ++i)
      if (same_name(f.names[i], key)) match = i;
    if (match < 0) return fail(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
    if (match < nargs) return fail(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname, key);
  }
  return true;
}

}  // namespace detail

// Binds vectorcall arguments to the parameters of `f`; `out` receives one
// borrowed reference per parameter. `fname` is the name shown in messages.
inline bool bind(const FunctionDef& f, const char* fname, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, PyObject** out) {
  Py_ssize_t total = f.total();
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  if (nargs > total || (nkw == 0 && nargs < f.required)) {
    return detail::count_error(fname, f.required, total, nargs);
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  Py_ssize_t matched = 0;
  for (Py_ssize_t i = nargs; i < total; ++i) {
    PyObject* value = nkw ? detail::find_keyword(kwnames, args + nargs, f.names[i]) : nullptr;
    if (value != nullptr) {
      out[i] = value;
      ++matched;
    } else if (i < f.required) {
      return detail::count_error(fname, f.required, total, i);
    } else {
      out[i] = f.defaults[i];
    }
  }
  if (matched < nkw) return detail::leftover_keyword_error(f, fname, nargs, kwnames);
  return true;
}

// Same, for the (tuple, dict) calling convention of tp_new.
inline bool bind_tuple(const FunctionDef& f, const char* fname, PyObject* args, PyObject* kwargs, PyObject** out,
                       Ref* keep) {
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
  if (nkw == 0) return bind(f, fname, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
  Ref kwnames = Ref::steal(PyTuple_New(nkw));
  Ref stack = Ref::steal(PyTuple_New(nargs + nkw));  // keeps the argument vector alive
  if (!kwnames || !stack) return false;
  for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(stack.get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
    PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
    PyTuple_SET_ITEM(stack.get(), nargs + k, Py_NewRef(value));
    ++k;
  }
  *keep = stack;
  return bind(f, fname, &PyTuple_GET_ITEM(stack.get(), 0), nargs, kwnames.get(), out);
}

// ---- traceback entries ----------------------------------------------------------

// The code object shown for `qualified`, made once per name and kept in the
// module state (a failure to make one is not remembered).
inline PyCodeObject* traceback_code(PyObject* qualified) {
  if (state.traceback_codes == nullptr) {
    state.traceback_codes = PyDict_New();
    if (state.traceback_codes == nullptr) return nullptr;
  }
  PyObject* code = nullptr;
  if (PyDict_GetItemRef(state.traceback_codes, qualified, &code) != 0) {
    return reinterpret_cast<PyCodeObject*>(code);  // new reference, or null on error
  }
  const char* text = PyUnicode_AsUTF8(qualified);
  code = text ? reinterpret_cast<PyObject*>(PyCode_NewEmpty(state.def->source_file, text, 0)) : nullptr;
  if (code != nullptr && PyDict_SetItem(state.traceback_codes, qualified, code) < 0) Py_CLEAR(code);
  return reinterpret_cast<PyCodeObject*>(code);
}

// Adds a traceback entry named `qualified` to the exception being raised;
// the exception itself is kept whatever happens here.
inline void add_traceback(PyObject* qualified) {
  PyObject* exc = PyErr_GetRaisedException();
  PyCodeObject* code = qualified ? traceback_code(qualified) : nullptr;
  PyFrameObject* frame = nullptr;
  if (code != nullptr && state.dict != nullptr) frame = PyFrame_New(PyThreadState_Get(), code, state.dict, nullptr);
  Py_XDECREF(code);
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  if (frame != nullptr) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
}

// The same with the name given as PyUnicode_FromFormat would make it.
template <class... Parts>
inline void add_traceback_format(const char* format, Parts... parts) {
  PyObject* exc = PyErr_GetRaisedException();
  PyObject* name = PyUnicode_FromFormat(format, parts...);
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  add_traceback(name);
  Py_XDECREF(name);
}

inline void add_traceback(const char* qualified) { add_traceback_format("%s", qualified); }

// The entry of a function (`owner` null) or method of the module.
inline void add_traceback(const FunctionDef& f, const char* owner) {
  if (owner != nullptr) return add_traceback_format("%s.%s.%s", state.def->qualified_name, owner, f.name);
  add_traceback_format("%s.%s", state.def->qualified_name, f.name);
}

// ---- the boundary to the interpreter ------------------------------------------------

// Called inside a catch block: the C++ exception in flight as a Python one.
inline void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown native exception");
  }
}

// Runs `work` so that no C++ exception leaves it: one that does becomes the
// Python exception above and `on_error` is returned. Every entry point the
// interpreter calls (functions, methods, type slots, module slots) goes through it.
template <class Result, class Work>
inline Result guarded(Result on_error, Work&& work) noexcept {
  try {
    return work();
  } catch (...) {
    raise_current_exception();
    return on_error;
  }
}

// Declared type of an object parameter: `type` or a subtype (exact when
// `exact`), or None unless `none_ok` is false.
inline bool check_arg(PyObject* o, const char* name, PyTypeObject* type, bool exact, bool none_ok = true) {
  if (o == Py_None && none_ok) return true;
  if (o != Py_None && (exact ? Py_IS_TYPE(o, type) : PyObject_TypeCheck(o, type))) return true;
  return fail(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
              type->tp_name, type_name(o));
}

// Parameters that a function reads may not be None.
inline bool require(PyObject* o, const char* name) {
  if (o != Py_None) return true;
  return fail(PyExc_TypeError, "Argument '%.200s' must not be None", name);
}

// ---- named arguments ---------------------------------------------------------------

// The arguments of one call of a named body, converted as its table declares.
// Conversions run in declaration order and the first failure is the one
// reported; then the None rules are applied, again in declaration order.
// Views are released when the call returns.
class Args {
 public:
  Args(const FunctionDef& def, PyObject* const* bound) : def_(def), bound_(bound) {}
  Args(const Args&) = delete;
  Args& operator=(const Args&) = delete;
  ~Args() {
    for (int i = 0; i < max_params; ++i)
      if (live_views_ & (1u << i)) view_at(i)->~ViewBase();
  }

  bool convert() {
    for (int i = 0; i < def_.count; ++i)
      if (!convert_one(i)) return false;
    for (int i = 0; i < def_.count; ++i)
      if (def_.params[i].convert.none == NoneRule::Refused && !require(bound_[i], def_.params[i].name)) return false;
    return true;
  }

  PyObject* object(const char* name) const { return bound_[slot(name, std::nullopt)]; }
  int integer(const char* name) const { return int(scalars_[slot(name, Convert::Int)].i); }
  int64_t int64(const char* name) const { return scalars_[slot(name, Convert::Int64)].i; }
  Py_ssize_t index(const char* name) const { return Py_ssize_t(scalars_[slot(name, Convert::Index)].i); }
  double real(const char* name) const { return scalars_[slot(name, Convert::Double)].d; }
  bool flag(const char* name) const { return scalars_[slot(name, Convert::Bool)].b; }
  size_t size(const char* name) const { return size_t(scalars_[slot(name, Convert::Size)].u); }
  int enumeration(const char* name) const { return int(scalars_[slot(name, Convert::Enum)].i); }
  template <class T, int N>
  ViewRef<T, N> view(const char* name) const {
    int i = slot(name, Convert::View);
    if (def_.params[i].convert.ndim != N) throw std::logic_error("parameter viewed with the wrong dimension count");
    return ViewRef<T, N>(*view_at(i));
  }

 private:
  union Scalar {
    long long i;
    unsigned long long u;
    double d;
    bool b;
  };

  // Position of `name`; a body that asks for a parameter its table does not
  // declare with that conversion is a programming error, reported as one.
  int slot(const char* name, std::optional<Convert::Kind> kind) const {
    int i = def_.index_of(name);
    if (i < 0) throw std::logic_error(std::string("no parameter named ") + name);
    if (kind && def_.params[i].convert.kind != *kind) {
      throw std::logic_error(std::string("parameter ") + name + " is declared with another conversion");
    }
    return i;
  }

  ViewBase* view_at(int i) const { return std::launder(reinterpret_cast<ViewBase*>(const_cast<unsigned char*>(views_[i]))); }

  bool convert_one(int i) {
    const Param& p = def_.params[i];
    const Convert& c = p.convert;
    PyObject* o = bound_[i];
    Scalar& s = scalars_[i];
    switch (c.kind) {
      case Convert::Object: return true;
      case Convert::Int: {
        int v;
        if (!to_int(o, &v)) return false;
        s.i = v;
        return true;
      }
      case Convert::Int64: {
        int64_t v;
        if (!to_int64(o, &v)) return false;
        s.i = v;
        return true;
      }
      case Convert::Index: {
        Py_ssize_t v;
        if (!to_ssize(o, &v)) return false;
        s.i = v;
        return true;
      }
      case Convert::Double: return to_double(o, &s.d);
      case Convert::Bool: return to_bool(o, &s.b);
      case Convert::Size: {
        size_t v;
        if (!to_size_t(o, &v)) return false;
        s.u = v;
        return true;
      }
      case Convert::Enum: {
        int v;
        if (!to_enum(o, c.enum_name, &v)) return false;
        s.i = v;
        return true;
      }
      case Convert::Instance:
        return check_arg(o, p.name, c.type ? c.type : state.ndarray, false, c.none != NoneRule::WrongType);
      case Convert::Exact: return check_arg(o, p.name, c.type, true, c.none != NoneRule::WrongType);
      case Convert::View: {
        ViewBase* v = new (views_[i]) ViewBase();
        live_views_ |= 1u << i;
        return v->acquire_param(o, *c.element, c.ndim, c.layout, c.writable);
      }
    }
    return true;
  }

  const FunctionDef& def_;
  PyObject* const* bound_;
  Scalar scalars_[max_params];
  alignas(ViewBase) unsigned char views_[max_params][sizeof(ViewBase)];
  unsigned live_views_ = 0;
};

// Runs a body on bound arguments: a named body gets them converted first.
// No C++ exception leaves it.
inline PyObject* run_body(const FunctionDef& f, PyObject* self, PyObject* const* bound) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (f.body.positional != nullptr) return f.body.positional(self, bound);
    Args args(f, bound);
    if (!args.convert()) return nullptr;
    return f.body.named(self, args);
  });
}

// A positional body on its own (for module code that binds by hand).
inline PyObject* run_body(Body body, PyObject* self, PyObject* const* args) noexcept {
  return guarded<PyObject*>(nullptr, [&] { return body(self, args); });
}

// ---- the function object type --------------------------------------------

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FunctionDef* def;
  PyTypeObject* owner;  // the class of a method, else nullptr
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* annotations;
  const char* owner_name;  // the class's name as its methods' traceback entries show it
};

namespace detail {

inline PyObject* call_function(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const char* owner_name = nullptr;
  PyObject* self = nullptr;
  if (f->owner != nullptr) {
    if (nargs < 1) return raise(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
    self = args[0];
    if (!PyObject_TypeCheck(self, f->owner)) {
      return raise(PyExc_TypeError, "descriptor '%s' requires a '%s' object but received a '%s'", f->def->name,
                   f->owner->tp_name, type_name(self));
    }
    ++args;
    --nargs;
    owner_name = f->owner_name;
  }
  PyObject* bound[max_params];
  PyObject* result = bind(*f->def, f->def->name, args, nargs, kwnames, bound) ? run_body(*f->def, self, bound)
                                                                               : nullptr;
  if (result == nullptr) add_traceback(*f->def, owner_name);
  return result;
}

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&] {
    return call_function(reinterpret_cast<FunctionObject*>(callable), args, PyVectorcall_NARGS(nargsf), kwnames);
  });
}

inline PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (obj == nullptr || obj == Py_None || f->owner == nullptr) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

inline void function_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_XDECREF(f->name);
  Py_XDECREF(f->qualname);
  Py_XDECREF(f->module);
  Py_XDECREF(f->doc);
  Py_XDECREF(f->annotations);
  PyObject_Free(self);
}

inline PyObject* function_repr(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

#define FRAME_MEMBER(field) \
  [](PyObject* self, void*) -> PyObject* { return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->field); }

inline PyGetSetDef function_getset[] = {
    {"__name__", FRAME_MEMBER(name), nullptr, nullptr, nullptr},
    {"__qualname__", FRAME_MEMBER(qualname), nullptr, nullptr, nullptr},
    {"__module__", FRAME_MEMBER(module), nullptr, nullptr, nullptr},
    {"__doc__", FRAME_MEMBER(doc), nullptr, nullptr, nullptr},
    {"__annotations__", FRAME_MEMBER(annotations), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
#undef FRAME_MEMBER

inline PyTypeObject function_type = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "native_function";
  t.tp_basicsize = sizeof(FunctionObject);
  t.tp_dealloc = function_dealloc;
  t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
  t.tp_repr = function_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_getset = function_getset;
  t.tp_descr_get = function_get;
  return t;
}();

}  // namespace detail

// A new function object for `def`; `owner` is the class of a method, shown
// as `owner_name`.
inline PyObject* make_function(FunctionDef* def, PyTypeObject* owner, const char* owner_name) {
  if (!def->prepare()) return nullptr;
  Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_New(FunctionObject, &detail::function_type)));
  if (!self) return nullptr;
  auto* f = reinterpret_cast<FunctionObject*>(self.get());
  f->vectorcall = detail::function_vectorcall;
  f->def = def;
  f->owner = owner;
  f->owner_name = owner_name;
  f->name = PyUnicode_InternFromString(def->name);
  f->qualname = owner ? PyUnicode_FromFormat("%s.%s", owner_name, def->name) : Py_XNewRef(f->name);
  f->module = PyUnicode_FromString(state.def->qualified_name);
  f->doc = def->doc ? PyUnicode_FromString(def->doc) : Py_NewRef(Py_None);
  f->annotations = PyDict_New();
  if (!f->name || !f->qualname || !f->module || !f->doc || !f->annotations) return nullptr;
  for (const Annotation& a : def->annotations) {
    if (a.name == nullptr) break;
    Ref value = Ref::steal(PyUnicode_FromString(a.value));
    if (!value || PyDict_SetItemString(f->annotations, a.name, value.get()) < 0) return nullptr;
  }
  return self.release();
}

// True when `attribute` (looked up on an instance) is the built-in method
// made from `def`, i.e. not overridden by a subclass.
inline bool is_builtin_method(PyObject* attribute, const FunctionDef* def) {
  PyObject* func = PyMethod_Check(attribute) ? PyMethod_GET_FUNCTION(attribute) : attribute;
  return Py_IS_TYPE(func, &detail::function_type) && reinterpret_cast<FunctionObject*>(func)->def == def;
}

}  // namespace frame
