// Python-visible functions and methods: the declarative table a module writes
// for each of them, argument binding, and the function object type.
//
// A function is described once by a `FunctionDef`: its name, its parameters
// with their defaults, its docstring, and the native body. The body receives
// one borrowed object per parameter (defaults filled in) and converts them
// itself, in declaration order, so that the first failing conversion is the
// one reported.
#pragma once

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "module_state.hpp"
#include "ref.hpp"

namespace frame {

struct Default {
  enum Kind { Required, None, Integer, Text, False } kind = Required;
  long long integer = 0;
  const char* text = nullptr;
};
inline constexpr Default none_default{Default::None};
inline constexpr Default false_default{Default::False};
constexpr Default int_default(long long v) { return {Default::Integer, v, nullptr}; }
constexpr Default str_default(const char* s) { return {Default::Text, 0, s}; }

struct Param {
  const char* name;
  Default fallback{};
};

struct Annotation {
  const char* name;
  const char* value;
};

using Body = PyObject* (*)(PyObject* self, PyObject* const* args);

inline constexpr int max_params = 8;

struct FunctionDef {
  const char* name;
  std::vector<Param> params;
  const char* doc;
  Body body;
  std::vector<Annotation> annotations{};
  // Filled once when the module executes: interned parameter names and default objects.
  PyObject* names[max_params] = {};
  PyObject* defaults[max_params] = {};
  Py_ssize_t required = 0;

  Py_ssize_t total() const { return static_cast<Py_ssize_t>(params.size()); }

  bool prepare() {
    required = 0;
    for (Py_ssize_t i = 0; i < total(); ++i) {
      const Param& p = params[i];
      names[i] = PyUnicode_InternFromString(p.name);
      if (names[i] == nullptr) return false;
      switch (p.fallback.kind) {
        case Default::Required: defaults[i] = nullptr; ++required; break;
        case Default::None: defaults[i] = Py_NewRef(Py_None); break;
        case Default::False: defaults[i] = Py_NewRef(Py_False); break;
        case Default::Integer: defaults[i] = PyLong_FromLongLong(p.fallback.integer); break;
        case Default::Text: defaults[i] = PyUnicode_InternFromString(p.fallback.text); break;
      }
      if (p.fallback.kind != Default::Required && defaults[i] == nullptr) return false;
    }
    return true;
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
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
    PyTuple_SET_ITEM(stack.get(), nargs + k, Py_NewRef(value));
    ++k;
  }
  *keep = stack;
  return bind(f, fname, &PyTuple_GET_ITEM(stack.get(), 0), nargs, kwnames.get(), out);
}

// The code object shown for `qualified`: made once per name and kept for the
// life of the process, like the module itself.
inline PyCodeObject* traceback_code(const char* qualified) {
  static std::vector<std::pair<std::string, PyCodeObject*>> made;
  for (const auto& entry : made)
    if (entry.first == qualified) return entry.second;
  PyCodeObject* code = PyCode_NewEmpty(state.def->source_file, qualified, 0);
  if (code != nullptr) made.emplace_back(qualified, code);
  return code;
}

// Adds a traceback entry named `qualified` (module name, then function name).
inline void add_traceback(const char* qualified) {
  PyObject* exc = PyErr_GetRaisedException();
  PyCodeObject* code = traceback_code(qualified);
  PyFrameObject* frame = nullptr;
  if (code != nullptr && state.dict != nullptr) frame = PyFrame_New(PyThreadState_Get(), code, state.dict, nullptr);
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  if (frame != nullptr) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
}

inline void add_traceback(const FunctionDef& f, const char* owner) {
  std::string name = std::string(state.def->qualified_name) + ".";
  if (owner != nullptr) name += std::string(owner) + ".";
  add_traceback((name + f.name).c_str());
}

// Runs a native body, turning C++ exceptions into Python ones.
inline PyObject* run_body(Body body, PyObject* self, PyObject* const* args) {
  try {
    return body(self, args);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::length_error&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise(PyExc_RuntimeError, "%s", e.what());
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
};

namespace detail {

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const char* owner_name = nullptr;
  PyObject* self = nullptr;
  if (f->owner != nullptr) {
    owner_name = PyUnicode_AsUTF8(f->qualname);
    if (nargs < 1) return raise(PyExc_TypeError, "unbound method %s() needs an argument", owner_name);
    self = args[0];
    if (!PyObject_TypeCheck(self, f->owner)) {
      return raise(PyExc_TypeError, "descriptor '%s' requires a '%s' object but received a '%s'", f->def->name,
                   f->owner->tp_name, type_name(self));
    }
    ++args;
    --nargs;
    owner_name = f->owner->tp_name + std::strlen(state.def->qualified_name) + 1;
  }
  PyObject* bound[max_params];
  PyObject* result = bind(*f->def, f->def->name, args, nargs, kwnames, bound) ? run_body(f->def->body, self, bound)
                                                                               : nullptr;
  if (result == nullptr) add_traceback(*f->def, owner_name);
  return result;
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

// A new function object for `def`; `owner` is the class of a method.
inline PyObject* make_function(FunctionDef* def, PyTypeObject* owner, const char* owner_name) {
  if (!def->prepare()) return nullptr;
  Ref self = Ref::steal(reinterpret_cast<PyObject*>(PyObject_New(FunctionObject, &detail::function_type)));
  if (!self) return nullptr;
  auto* f = reinterpret_cast<FunctionObject*>(self.get());
  f->vectorcall = detail::function_vectorcall;
  f->def = def;
  f->owner = owner;
  f->name = PyUnicode_InternFromString(def->name);
  f->qualname = owner ? PyUnicode_FromFormat("%s.%s", owner_name, def->name) : Py_XNewRef(f->name);
  f->module = PyUnicode_FromString(state.def->qualified_name);
  f->doc = PyUnicode_FromString(def->doc);
  f->annotations = PyDict_New();
  if (!f->name || !f->qualname || !f->module || !f->doc || !f->annotations) return nullptr;
  for (const Annotation& a : def->annotations) {
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
