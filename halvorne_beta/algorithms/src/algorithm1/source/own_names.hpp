// The module's own functions as its other functions reach them: by their
// module-level names. While a name still holds the module's own function the
// kernels run natively; once it is rebound, every step goes through it.
#pragma once

#include <initializer_list>

#include "graph_wrapper.hpp"

namespace {

using namespace frame;

enum OwnName { FIND_ALL_PATHS, EXPLORE, FIND_SUBGRAPH, MAKE_LABELS };

inline const char* own_name(OwnName which) {
  static const char* const names[] = {"find_all_paths_with_labels", "explore_graph_recursive",
                                      "find_subgraph_with_labels", "make_labels"};
  return names[which];
}

// True while the module-level name still holds the module's own function.
inline bool own(OwnName which) { return is_original(own_name(which)); }

// A call of whatever the module-level name holds now; `kwnames` names the
// last arguments.
inline Ref call_name(OwnName which, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  Ref callable = global(own_name(which));
  if (!callable) return Ref();
  return call(callable.get(), args, kwnames);
}

// The same with keyword names made once (a failure to make them is not kept).
inline Ref call_name(OwnName which, std::initializer_list<PyObject*> args, KeywordNames& names) {
  PyObject* kwnames = names.get();
  if (kwnames == nullptr) return Ref();
  return call_name(which, args, kwnames);
}

inline Ref py_int(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

// `o[index]`, as Python indexing gives it (NumPy's for an array).
inline Ref item_at(PyObject* o, long long index) {
  Ref key = py_int(index);
  if (!key) return Ref();
  return Ref::steal(PyObject_GetItem(o, key.get()));
}

inline bool expected_list(PyObject* o) {
  if (PyList_CheckExact(o)) return true;
  return fail(PyExc_TypeError, "Expected %s, got %.200s", "list", type_name(o));
}

// NumPy's message for an index outside an array: the fast paths that stand
// in for `array[i]` raise what the array would.
inline bool numpy_out_of_range(int64_t index, Py_ssize_t size) {
  return fail(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %zd", (long long)index, size);
}

}  // namespace
