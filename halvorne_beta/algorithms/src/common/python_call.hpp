// Calls from native code into Python objects and the module's namespace.
#pragma once

#include <initializer_list>

#include "module_state.hpp"
#include "ref.hpp"

namespace frame {

inline Ref attribute(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }

// Calls `callable` with `args`, the last PyTuple_GET_SIZE(kwnames) of them
// passed as keywords of those names.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames) {
  PyObject* argv[8];
  if (args.size() > 8) return (PyErr_SetString(PyExc_SystemError, "too many arguments for a native call"), Ref());
  size_t n = 0;
  for (PyObject* a : args) argv[n++] = a;
  size_t positional = n - (kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0);
  return Ref::steal(PyObject_Vectorcall(callable, argv, positional, kwnames));
}

// A tuple of interned keyword names, as vectorcall takes them.
inline Ref keyword_names(std::initializer_list<const char*> names) {
  Ref tuple = Ref::steal(PyTuple_New(Py_ssize_t(names.size())));
  if (!tuple) return Ref();
  Py_ssize_t k = 0;
  for (const char* name : names) {
    PyObject* s = PyUnicode_InternFromString(name);
    if (s == nullptr) return Ref();
    PyTuple_SET_ITEM(tuple.get(), k++, s);
  }
  return tuple;
}

// The same with the keyword names spelled out: the last len(keywords)
// entries of `args` are their values.
inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args,
                std::initializer_list<const char*> keywords = {}) {
  if (keywords.size() == 0) return call(callable, args, nullptr);
  Ref kwnames = keyword_names(keywords);
  return kwnames ? call(callable, args, kwnames.get()) : Ref();
}

// Calls what the module-level `name` holds now.
inline Ref call_global(const char* name, std::initializer_list<PyObject*> args,
                       std::initializer_list<const char*> keywords = {}) {
  Ref callable = global(name);
  return callable ? call(callable.get(), args, keywords) : Ref();
}

// `np.<function>(count, [fill,] dtype=np.<dtype>)` through the module's current `np`.
inline Ref numpy_array(const char* function, Py_ssize_t count, PyObject* fill, const char* dtype) {
  Ref np = global("np");
  Ref make = np ? attribute(np.get(), function) : Ref();
  Ref type = make ? attribute(np.get(), dtype) : Ref();
  Ref size = type ? Ref::steal(PyLong_FromSsize_t(count)) : Ref();
  if (!size) return Ref();
  if (fill != nullptr) return call(make.get(), {size.get(), fill, type.get()}, {"dtype"});
  return call(make.get(), {size.get(), type.get()}, {"dtype"});
}

}  // namespace frame
