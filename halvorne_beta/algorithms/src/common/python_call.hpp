// Calls from native code into Python objects and the module's namespace.
#pragma once

#include <initializer_list>

#include "convert.hpp"
#include "module_state.hpp"
#include "ref.hpp"

namespace frame {

inline Ref attribute(PyObject* o, const char* name) { return Ref::steal(PyObject_GetAttrString(o, name)); }

// The attribute `name` of `o` as a 32-bit int.
inline bool read_int(PyObject* o, const char* name, int* out) {
  Ref value = attribute(o, name);
  return value && to_int(value.get(), out);
}

// The two items of `o`, as `a, b = o` would unpack them.
inline bool unpack_pair(PyObject* o, Ref* first, Ref* second) {
  auto too_few = [](Py_ssize_t found) {
    return fail(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
  };
  auto too_many = [] { return fail(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2)); };
  if (PyTuple_CheckExact(o) || PyList_CheckExact(o)) {
    Py_ssize_t size = PySequence_Fast_GET_SIZE(o);
    if (size > 2) return too_many();
    if (size < 2) return too_few(size);
    *first = Ref::borrow(PySequence_Fast_GET_ITEM(o, 0));
    *second = Ref::borrow(PySequence_Fast_GET_ITEM(o, 1));
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(o));
  if (!it) return false;
  Ref items[2];
  for (int i = 0; i < 2; ++i) {
    items[i] = Ref::steal(PyIter_Next(it.get()));
    if (!items[i]) return PyErr_Occurred() ? false : too_few(i);
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) return too_many();
  if (PyErr_Occurred()) return false;
  *first = items[0];
  *second = items[1];
  return true;
}

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

// An interned string made on first use and kept for the life of the process.
// A failed attempt is not remembered: the next use tries again. Meant for
// function-local statics: `static Name key{"expand_cluster"};`.
class Name {
 public:
  constexpr explicit Name(const char* text) : text_(text) {}
  // Borrowed; null with an exception set when it cannot be made.
  PyObject* get() {
    if (value_ == nullptr) value_ = PyUnicode_InternFromString(text_);
    return value_;
  }
  const char* text() const { return text_; }

 private:
  const char* text_;
  PyObject* value_ = nullptr;
};

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

// The keyword-name tuple of a call made again and again, built on first use
// and kept; like Name, a failure is not remembered.
class KeywordNames {
 public:
  static constexpr int max_names = 8;
  constexpr KeywordNames(std::initializer_list<const char*> names) {
    for (const char* name : names)
      if (count_ < max_names) names_[count_++] = name;
  }
  // Borrowed; null with an exception set when it cannot be made.
  PyObject* get() {
    if (tuple_ != nullptr) return tuple_;
    Ref tuple = Ref::steal(PyTuple_New(count_));
    if (!tuple) return nullptr;
    for (int k = 0; k < count_; ++k) {
      PyObject* s = PyUnicode_InternFromString(names_[k]);
      if (s == nullptr) return nullptr;
      PyTuple_SET_ITEM(tuple.get(), k, s);
    }
    tuple_ = tuple.release();
    return tuple_;
  }

 private:
  const char* names_[max_names] = {};
  int count_ = 0;
  PyObject* tuple_ = nullptr;
};

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

// `module_name.attribute_name`, resolved through the module namespace now.
inline Ref global_attribute(const char* module_name, const char* attribute_name) {
  Ref module = global(module_name);
  return module ? attribute(module.get(), attribute_name) : Ref();
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
