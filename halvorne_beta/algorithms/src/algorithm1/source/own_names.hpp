// The module's own functions as its other functions reach them: by their
// module-level names. While a name still holds the module's own function the
// kernels run natively; once it is rebound, every step goes through it.
#pragma once

#include <initializer_list>

#include "graph_wrapper.hpp"

namespace {

using namespace frame;

// Defined with the bindings in ombrel.cpp.
extern FunctionDef find_all_paths_def;
extern FunctionDef explore_def;
extern FunctionDef find_subgraph_def;
extern FunctionDef make_labels_def;

enum OwnName { FIND_ALL_PATHS, EXPLORE, FIND_SUBGRAPH, MAKE_LABELS };

inline const char* own_name(OwnName which) {
  static const char* const names[] = {"find_all_paths_with_labels", "explore_graph_recursive",
                                      "find_subgraph_with_labels", "make_labels"};
  return names[which];
}

inline const FunctionDef* own_def(OwnName which) {
  static const FunctionDef* const defs[] = {&find_all_paths_def, &explore_def, &find_subgraph_def, &make_labels_def};
  return defs[which];
}

// The name as an interned key, made on first use; a failed attempt is not
// kept, the next call tries again.
inline PyObject* own_key(OwnName which) {
  static PyObject* keys[4] = {};
  if (keys[which] == nullptr) keys[which] = PyUnicode_InternFromString(own_name(which));
  return keys[which];
}

// True while the module-level name still holds the module's own function.
// A lookup that fails answers false: the call then goes through Python,
// whose own lookup of the name reports the failure.
inline bool own(OwnName which) {
  PyObject* key = own_key(which);
  PyObject* value = key ? PyDict_GetItemWithError(state.dict, key) : nullptr;  // borrowed
  if (value == nullptr) {
    PyErr_Clear();
    return false;
  }
  return is_builtin_method(value, own_def(which));
}

// A call of whatever the module-level name holds now.
inline Ref call_name(OwnName which, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  Ref callable = global(own_name(which));
  if (!callable) return Ref();
  return call(callable.get(), args, kwnames);
}

// Keyword-name tuples of the calls by name, made on first use and kept.
// A failed attempt leaves the slot empty, so the next call tries again.
enum Keywords { SEARCH_CHILD, BOMB_NODE, VISITED_LABELS, keyword_sets };

inline PyObject* keywords(Keywords which) {
  static PyObject* made[keyword_sets] = {};
  if (made[which] != nullptr) return made[which];
  switch (which) {
    case SEARCH_CHILD:
      made[which] = keyword_names({"connections_sparse", "labels", "start", "bomb_node", "path"}).release();
      break;
    case BOMB_NODE: made[which] = keyword_names({"bomb_node"}).release(); break;
    case VISITED_LABELS: made[which] = keyword_names({"visited", "labels"}).release(); break;
    case keyword_sets: break;
  }
  return made[which];
}

inline Ref call_name(OwnName which, std::initializer_list<PyObject*> args, Keywords names) {
  PyObject* kwnames = keywords(names);
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

// NumPy's message for an index outside an array's first axis.
inline bool out_of_range(int64_t index, Py_ssize_t size) {
  return fail(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %zd", (long long)index, size);
}

// Unpacks an iterable of exactly two values.
inline bool unpack_two(PyObject* o, Ref* first, Ref* second) {
  Ref it = Ref::steal(PyObject_GetIter(o));
  if (!it) return false;
  Ref items[3];
  Py_ssize_t got = 0;
  for (; got < 3; ++got) {
    items[got] = Ref::steal(PyIter_Next(it.get()));
    if (!items[got]) break;
  }
  if (PyErr_Occurred()) return false;
  if (got > 2) return fail(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t(2));
  if (got < 2) return fail(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
  *first = items[0];
  *second = items[1];
  return true;
}

}  // namespace
