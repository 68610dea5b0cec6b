// GraphWrapper: per-vertex lists of 64-bit vertex indices or 32-bit weights.
//
// Each module that includes this header gets its own Python type (the type
// object is per shared library); `type_def` names it and chooses whether it
// has the edge-removal operations. Module code reaches the lists through the
// `graph::` operations below, which run natively on the type itself and on
// subclasses that do not override the method, and otherwise call the
// subclass's Python method.
//
// A vertex's list is allocated lazily and grows geometrically up to the
// container's capacity, so a tree of n vertices costs O(n) memory although
// every vertex may hold up to 3 * max_size elements. Module code that knows
// every list's length before writing can instead carve all lists from one
// block (`allocate_lists`); a list that outgrows its part moves out of it.
#pragma once

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "buffer_view.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "python_call.hpp"

namespace frame::graph {

enum DataType { INT64 = 0, FLOAT32 = 1 };

struct Slot {
  void* data;
  int32_t size;
  int32_t reserved;
};

using Lookup = std::unordered_set<int64_t>;

struct Object {
  PyObject_HEAD
  Slot* slots;  // `count` entries, zero-initialised: all lists start empty
  Lookup** lookups;  // per vertex, created on first append; null when not kept
  size_t count;
  int dtype;
  int32_t capacity;
  bool lookup_opt;
  char* block;  // lists carved by allocate_lists, or null
  size_t block_bytes;
};

inline PyTypeObject type = {PyVarObject_HEAD_INIT(nullptr, 0)};

inline Object* as_graph(PyObject* o) { return reinterpret_cast<Object*>(o); }
inline size_t element_size(const Object* g) { return g->dtype == INT64 ? 8 : 4; }
inline int64_t* ints(const Object* g, size_t v) { return static_cast<int64_t*>(g->slots[v].data); }
inline float* floats(const Object* g, size_t v) { return static_cast<float*>(g->slots[v].data); }

// ---- storage ----------------------------------------------------------------

inline bool in_block(const Object* g, const void* data) {
  const char* p = static_cast<const char*>(data);
  return g->block != nullptr && p >= g->block && p < g->block + g->block_bytes;
}

// Vertex v's buffer resized to hold `wanted` elements (never below its size).
// A list inside the shared block is copied out of it, never reallocated.
inline bool resize_slot(Object* g, Slot& s, int32_t wanted) {
  const bool shared = in_block(g, s.data);
  void* data = std::realloc(shared ? nullptr : s.data, size_t(wanted) * element_size(g));
  if (data == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  if (shared) std::memcpy(data, s.data, size_t(s.size) * element_size(g));
  s.data = data;
  s.reserved = wanted;
  return true;
}

// Room for one more element in vertex v (the caller has checked capacity).
inline bool make_room(Object* g, size_t v) {
  Slot& s = g->slots[v];
  if (s.size < s.reserved) return true;
  int64_t grown = s.reserved < 4 ? 4 : 2 * int64_t(s.reserved);
  return resize_slot(g, s, static_cast<int32_t>(grown < g->capacity ? grown : g->capacity));
}

inline bool check_index(const Object* g, int64_t index) {
  if (index >= 0 && uint64_t(index) < g->count) return true;
  return fail(PyExc_IndexError, "Invalid array index");
}

inline bool check_room(Object* g, int64_t index) {
  if (!check_index(g, index)) return false;
  if (g->slots[index].size >= g->capacity) return fail(PyExc_OverflowError, "Array has reached its maximum size");
  return make_room(g, size_t(index));
}

inline bool remember(Object* g, int64_t index, int64_t value) {
  if (g->lookups == nullptr) return true;
  try {
    if (g->lookups[index] == nullptr) g->lookups[index] = new Lookup();
    g->lookups[index]->insert(value);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}

inline bool store_int(Object* g, int64_t index, int64_t value) {
  if (!check_room(g, index) || !remember(g, index, value)) return false;
  Slot& s = g->slots[index];
  static_cast<int64_t*>(s.data)[s.size++] = value;
  return true;
}

inline bool store_float(Object* g, int64_t index, double value) {
  if (!check_room(g, index)) return false;
  Slot& s = g->slots[index];
  static_cast<float*>(s.data)[s.size++] = static_cast<float>(value);
  return true;
}

// The element at `position` of vertex v as a Python object.
inline PyObject* element_object(const Object* g, size_t v, int32_t position) {
  if (g->dtype == INT64) return PyLong_FromLongLong(ints(g, v)[position]);
  return PyFloat_FromDouble(double(floats(g, v)[position]));
}

inline void remove_at(Object* g, size_t v, int32_t position) {
  Slot& s = g->slots[v];
  char* base = static_cast<char*>(s.data);
  size_t width = element_size(g);
  std::memmove(base + position * width, base + (position + 1) * width, size_t(s.size - position - 1) * width);
  --s.size;
}

// ---- native bodies (shared by the Python methods and the module's own calls) --

inline PyObject* append_native(Object* g, int64_t index, PyObject* value) {
  if (!check_index(g, index)) return nullptr;
  if (g->slots[index].size >= g->capacity) return raise(PyExc_OverflowError, "Array has reached its maximum size");
  if (g->dtype == INT64) {
    int64_t v;
    if (!to_int64(value, &v) || !store_int(g, index, v)) return nullptr;
  } else {
    double v;
    if (!to_double(value, &v) || !store_float(g, index, v)) return nullptr;
  }
  Py_RETURN_NONE;
}

inline PyObject* pop_native(Object* g, int list_index, int element_index) {
  if (list_index < 0 || uint64_t(list_index) >= g->count) return raise(PyExc_IndexError, "List index out of range");
  Slot& s = g->slots[list_index];
  if (s.size == 0) return raise(PyExc_IndexError, "Cannot pop from an empty sublist");
  if (element_index < 0 || element_index >= s.size) return raise(PyExc_IndexError, "Element index out of range");
  PyObject* element = element_object(g, size_t(list_index), element_index);
  if (element != nullptr) remove_at(g, size_t(list_index), element_index);
  return element;
}

// Removes every occurrence of the largest weight (at least -1.0) and reports
// the vertices of the first two occurrences.
inline bool pop_max_native(Object* g, int64_t* first, int64_t* second) {
  struct Position {
    size_t vertex;
    int32_t index;
  };
  std::vector<Position> found;
  float best = -1.0f;
  if (g->dtype == FLOAT32) {
    for (size_t v = 0; v < g->count; ++v) {
      const Slot& s = g->slots[v];
      const float* w = static_cast<const float*>(s.data);
      for (int32_t i = 0; i < s.size; ++i) {
        if (w[i] > best) {
          best = w[i];
          found.assign(1, Position{v, i});
        } else if (w[i] == best) {
          found.push_back(Position{v, i});
        }
      }
    }
  }
  if (found.empty()) return fail(PyExc_ValueError, "All sub-arrays are empty, cannot pop max");
  if (found.size() == 1) {
    return fail(PyExc_IndexError, "The maximum weight is stored only once: the weight lists are not symmetric");
  }
  for (size_t k = found.size(); k-- > 0;) remove_at(g, found[k].vertex, found[k].index);
  *first = int64_t(found[0].vertex);
  *second = int64_t(found[1].vertex);
  return true;
}

inline bool contains_native(Object* g, int64_t index, int64_t value, bool* out) {
  if (!check_index(g, index)) return false;
  if (g->dtype != INT64) return fail(PyExc_TypeError, "Membership check only supported for int64 arrays");
  if (g->lookups != nullptr) {
    *out = g->lookups[index] != nullptr && g->lookups[index]->count(value) != 0;
    return true;
  }
  // Without membership sets, answer from the stored elements.
  const Slot& s = g->slots[index];
  const int64_t* items = static_cast<const int64_t*>(s.data);
  *out = false;
  for (int32_t i = 0; i < s.size && !*out; ++i) *out = items[i] == value;
  return true;
}

inline bool copy_out(const Object* g, size_t v, char* dest, Py_ssize_t stride) {
  const Slot& s = g->slots[v];
  size_t width = element_size(g);
  if (stride == Py_ssize_t(width)) {
    if (s.size > 0) std::memcpy(dest, s.data, size_t(s.size) * width);
    return true;
  }
  for (int32_t i = 0; i < s.size; ++i) std::memcpy(dest + i * stride, static_cast<char*>(s.data) + i * width, width);
  return true;
}

// A new array holding a copy of vertex `index`, built through the module's
// `np.empty` unless `np` still holds NumPy itself.
inline PyObject* to_numpy_native(Object* g, int64_t index) {
  if (!check_index(g, index)) return nullptr;
  npy_intp length = g->slots[index].size;
  bool is_int = g->dtype == INT64;
  if (is_original("np")) {
    PyObject* array = PyArray_SimpleNew(1, &length, is_int ? NPY_INT64 : NPY_FLOAT32);
    if (array != nullptr) copy_out(g, size_t(index), PyArray_BYTES(reinterpret_cast<PyArrayObject*>(array)),
                                   Py_ssize_t(element_size(g)));
    return array;
  }
  Ref array = numpy_array("empty", length, nullptr, is_int ? "int64" : "float32");
  if (!array) return nullptr;
  View<char, 1> out;
  if (!out.assign_array(array.get(), state.ndarray, is_int ? ITYPE_t : DTYPE32_t, true)) return nullptr;
  if (out.is_none() || out.extent(0) != length) {
    return raise(PyExc_ValueError, "np.empty returned an array of %zd elements where %zd were requested",
                 out.is_none() ? Py_ssize_t(0) : out.extent(0), Py_ssize_t(length));
  }
  // np.empty ran Python code, which may have appended to or popped from this
  // very list: the array holds the length asked for, and nothing else fits.
  if (g->slots[index].size != length) {
    return raise(PyExc_RuntimeError, "GraphWrapper list %lld changed size during to_numpy", (long long)index);
  }
  copy_out(g, size_t(index), out.bytes(), out.stride(0));
  return array.release();
}

inline PyObject* pair(int64_t first, int64_t second) {
  return Py_BuildValue("(LL)", static_cast<long long>(first), static_cast<long long>(second));
}

// ---- Python-visible methods --------------------------------------------------------

inline PyObject* append_method(PyObject* self, Args& a) {
  return append_native(as_graph(self), a.int64("index"), a.object("value"));
}

inline PyObject* pop_max_method(PyObject* self, Args&) {
  int64_t first, second;
  if (!pop_max_native(as_graph(self), &first, &second)) return nullptr;
  return pair(first, second);
}

inline PyObject* pop_method(PyObject* self, Args& a) {
  return pop_native(as_graph(self), a.integer("list_index"), a.integer("element_index"));
}

inline PyObject* contains_method(PyObject* self, Args& a) {
  bool present;
  if (!contains_native(as_graph(self), a.int64("index"), a.int64("value"), &present)) return nullptr;
  return PyBool_FromLong(present);
}

inline PyObject* to_numpy_method(PyObject* self, Args& a) { return to_numpy_native(as_graph(self), a.int64("index")); }

inline Ref to_numpy(PyObject* self, int64_t index);

inline PyObject* to_numpy_all_method(PyObject* self, Args&) {
  Ref all = Ref::steal(PyList_New(0));
  if (!all) return nullptr;
  for (size_t v = 0; v < as_graph(self)->count; ++v) {
    Ref array = to_numpy(self, int64_t(v));
    if (!array || PyList_Append(all.get(), array.get()) < 0) return nullptr;
  }
  return all.release();
}

inline FunctionDef append_def{"append", {{"index", as_int64}, {"value"}},
                              "GraphWrapper.append(self, ITYPE_t index, value)\n\n        Append an element to the array.\n        ",
                              append_method};
inline FunctionDef pop_max_def{
    "pop_max", {},
    "GraphWrapper.pop_max(self) -> tuple\n\n        Remove and return the maximum value, its list index, and sublist "
    "index\n        from all sub-arrays. Removes both occurrences of the maximum value.\n        ",
    pop_max_method};
inline FunctionDef pop_def{
    "pop", {{"list_index", as_int}, {"element_index", as_int}},
    "GraphWrapper.pop(self, int list_index, int element_index)\n\n        Remove and return the element at the "
    "specified index from a sublist.\n\n        Parameters:\n            list_index (int): Index of the list from "
    "which to remove the element.\n            element_index (int): Index of the element to remove within the "
    "sublist.\n\n        Returns:\n            int: The removed element.\n        ",
    pop_method};
inline FunctionDef contains_def{
    "contains", {{"index", as_int64}, {"value", as_int64}},
    "GraphWrapper.contains(self, int64_t index, int64_t value)\n\n        Check if a value exists in the array.\n"
    "        Performable only for `int` arrays for O(1) set performance.\n        ",
    contains_method};
inline FunctionDef to_numpy_def{
    "to_numpy", {{"index", as_int64}},
    "GraphWrapper.to_numpy(self, ITYPE_t index)\n\n        Convert the specified array to a NumPy array by copying "
    "the data from stored arrays.\n        ",
    to_numpy_method};
inline FunctionDef to_numpy_all_def{
    "to_numpy_all", {},
    "GraphWrapper.to_numpy_all(self)\n\n        Convert all arrays to a list of NumPy arrays.\n        ",
    to_numpy_all_method};

// ---- the module's own calls: native unless a subclass overrides the method ----

// 1: `attribute` holds the subclass's override; 0: run natively; -1: error.
inline int find_override(PyObject* self, const char* name, const FunctionDef* def, Ref* attribute) {
  if (Py_IS_TYPE(self, &type)) return 0;
  *attribute = Ref::steal(PyObject_GetAttrString(self, name));
  if (!*attribute) return -1;
  return is_builtin_method(attribute->get(), def) ? 0 : 1;
}

inline bool append(PyObject* self, int64_t index, PyObject* value) {
  Ref method;
  int found = find_override(self, "append", &append_def, &method);
  if (found < 0) return false;
  if (found == 0) return Ref::steal(append_native(as_graph(self), index, value)).get() != nullptr;
  Ref py_index = Ref::steal(PyLong_FromLongLong(index));
  return py_index && call(method.get(), {py_index.get(), value});
}

// Typed shortcuts for the hot loops: no Python object unless overridden.
inline bool append_int(PyObject* self, int64_t index, int64_t value) {
  if (Py_IS_TYPE(self, &type) && as_graph(self)->dtype == INT64) return store_int(as_graph(self), index, value);
  Ref py_value = Ref::steal(PyLong_FromLongLong(value));
  return py_value && append(self, index, py_value.get());
}

inline bool append_float(PyObject* self, int64_t index, double value) {
  if (Py_IS_TYPE(self, &type) && as_graph(self)->dtype == FLOAT32) return store_float(as_graph(self), index, value);
  Ref py_value = Ref::steal(PyFloat_FromDouble(value));
  return py_value && append(self, index, py_value.get());
}

inline Ref to_numpy(PyObject* self, int64_t index) {
  Ref method;
  int found = find_override(self, "to_numpy", &to_numpy_def, &method);
  if (found < 0) return Ref();
  if (found == 0) return Ref::steal(to_numpy_native(as_graph(self), index));
  Ref py_index = Ref::steal(PyLong_FromLongLong(index));
  return py_index ? call(method.get(), {py_index.get()}) : Ref();
}

// -1 on error, else 0 or 1.
inline int contains(PyObject* self, int64_t index, int64_t value) {
  Ref method;
  int found = find_override(self, "contains", &contains_def, &method);
  if (found < 0) return -1;
  if (found == 0) {
    bool present;
    return contains_native(as_graph(self), index, value, &present) ? int(present) : -1;
  }
  Ref py_index = Ref::steal(PyLong_FromLongLong(index));
  Ref py_value = Ref::steal(py_index ? PyLong_FromLongLong(value) : nullptr);
  Ref result = py_value ? call(method.get(), {py_index.get(), py_value.get()}) : Ref();
  return result ? PyObject_IsTrue(result.get()) : -1;
}

inline Ref pop(PyObject* self, int list_index, int element_index) {
  Ref method;
  int found = find_override(self, "pop", &pop_def, &method);
  if (found < 0) return Ref();
  if (found == 0) return Ref::steal(pop_native(as_graph(self), list_index, element_index));
  Ref a = Ref::steal(PyLong_FromLong(list_index));
  Ref b = Ref::steal(a ? PyLong_FromLong(element_index) : nullptr);
  return b ? call(method.get(), {a.get(), b.get()}) : Ref();
}

// The result of pop_max: a 2-tuple, or whatever tuple (or None) an override gives.
inline Ref pop_max(PyObject* self) {
  Ref method;
  int found = find_override(self, "pop_max", &pop_max_def, &method);
  if (found < 0) return Ref();
  if (found == 0) {
    int64_t first, second;
    if (!pop_max_native(as_graph(self), &first, &second)) return Ref();
    return Ref::steal(pair(first, second));
  }
  Ref result = call(method.get(), {});
  if (result && result.get() != Py_None && !PyTuple_CheckExact(result.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "tuple", type_name(result.get()));
    return Ref();
  }
  return result;
}

// ---- construction, destruction, pickling ---------------------------------------

inline PyObject* construct(PyObject* self, Args& a);

inline FunctionDef cinit_def{"__cinit__",
                             {{"count", as_size},
                              {"dtype", as_enum("DataType")},
                              {"max_size", as_int},
                              {"lookup_opt", as_bool, false_default}},
                             nullptr,
                             construct};

inline constexpr int32_t max_capacity_size = INT32_MAX / 3;

inline bool allocate(Object* g, size_t count, int dtype, int max_size, bool lookup_opt) {
  if (count > 0 && dtype != INT64 && dtype != FLOAT32) return fail(PyExc_ValueError, "Unsupported data type");
  if (max_size < 0 || max_size > max_capacity_size) {
    return fail(PyExc_ValueError, "max_size must lie between 0 and %d (got %d)", int(max_capacity_size), max_size);
  }
  g->count = count;
  g->dtype = dtype;
  g->capacity = 3 * max_size;
  g->lookup_opt = lookup_opt;
  if (count == 0) return true;
  g->slots = static_cast<Slot*>(std::calloc(count, sizeof(Slot)));
  if (g->slots == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  if (dtype == INT64 && lookup_opt) {
    g->lookups = static_cast<Lookup**>(std::calloc(count, sizeof(Lookup*)));
    if (g->lookups == nullptr) {
      PyErr_NoMemory();
      return false;
    }
  }
  return true;
}

// The constructor's body: returns `self` (borrowed) on success.
inline PyObject* construct(PyObject* self, Args& a) {
  if (!allocate(as_graph(self), a.size("count"), a.enumeration("dtype"), a.integer("max_size"), a.flag("lookup_opt")))
    return nullptr;
  return self;
}

inline PyObject* new_graph(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  if (!cinit_def.prepare()) return nullptr;
  Ref self = Ref::steal(subtype->tp_alloc(subtype, 0));  // zeroed: a valid empty container
  if (!self) return nullptr;
  PyObject* bound[max_params];
  Ref keep;
  if (!bind_tuple(cinit_def, "__cinit__", args, kwargs, bound, &keep) || !run_body(cinit_def, self.get(), bound)) {
    add_traceback_format("%s.GraphWrapper.__cinit__", state.def->qualified_name);
    return nullptr;
  }
  return self.release();
}

inline PyObject* graph_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&] { return new_graph(subtype, args, kwargs); });
}

inline void graph_dealloc(PyObject* self) {
  Object* g = as_graph(self);
  if (g->slots != nullptr) {
    for (size_t v = 0; v < g->count; ++v)
      if (!in_block(g, g->slots[v].data)) std::free(g->slots[v].data);
    std::free(g->slots);
  }
  std::free(g->block);
  if (g->lookups != nullptr) {
    for (size_t v = 0; v < g->count; ++v) delete g->lookups[v];
    std::free(g->lookups);
  }
  Py_TYPE(self)->tp_free(self);
}

inline PyObject* refuse_pickle(PyObject*, PyObject*) {
  return raise(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
}

inline PyMethodDef pickle_methods[] = {
    {"__reduce__", refuse_pickle, METH_NOARGS, nullptr},
    {"__setstate__", refuse_pickle, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The module's type entry, named "<module's qualified name>.GraphWrapper";
// `with_removal` adds pop_max and pop.
inline TypeDef type_def(bool with_removal) {
  type.tp_basicsize = sizeof(Object);
  type.tp_dealloc = graph_dealloc;
  type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  type.tp_new = graph_new;
  type.tp_methods = pickle_methods;
  if (with_removal) {
    return TypeDef{&type, "GraphWrapper", {&append_def, &pop_max_def, &pop_def, &contains_def, &to_numpy_def,
                                           &to_numpy_all_def}};
  }
  return TypeDef{&type, "GraphWrapper", {&append_def, &contains_def, &to_numpy_def, &to_numpy_all_def}};
}

// The older spelling: the name given is ignored, the module's own is used.
inline TypeDef type_def(const char*, bool with_removal) { return type_def(with_removal); }

// A new empty container of the module's own type, as the constructor makes it.
inline Ref create(size_t count, int dtype, int max_size, bool lookup_opt = false) {
  Ref self = Ref::steal(type.tp_alloc(&type, 0));
  if (self && !allocate(as_graph(self.get()), count, dtype, max_size, lookup_opt)) return Ref();
  return self;
}

// Room for `wanted` elements in vertex v (at most the capacity) in one
// allocation, for module code that knows how long a list will get; later
// appends then never reallocate. Contents and sizes are unchanged.
inline bool reserve(PyObject* o, size_t v, int32_t wanted) {
  Object* g = as_graph(o);
  Slot& s = g->slots[v];
  if (wanted > g->capacity) wanted = g->capacity;
  if (wanted <= s.reserved) return true;
  return resize_slot(g, s, wanted);
}

// Room for sizes[v] elements in every vertex v (each at most the capacity),
// from one allocation, for a container whose lists are all still
// unallocated. Contents and sizes are unchanged.
inline bool allocate_lists(PyObject* o, const int32_t* sizes) {
  Object* g = as_graph(o);
  size_t total = 0;
  for (size_t v = 0; v < g->count; ++v) {
    if (g->slots[v].data != nullptr || sizes[v] < 0 || sizes[v] > g->capacity || g->block != nullptr)
      return fail(PyExc_SystemError, "allocate_lists needs an unallocated container and sizes within its capacity");
    total += size_t(sizes[v]);
  }
  if (total == 0) return true;
  g->block = static_cast<char*>(std::malloc(total * element_size(g)));
  if (g->block == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  g->block_bytes = total * element_size(g);
  char* next = g->block;
  for (size_t v = 0; v < g->count; ++v) {
    if (sizes[v] == 0) continue;
    g->slots[v].data = next;
    g->slots[v].reserved = sizes[v];
    next += size_t(sizes[v]) * element_size(g);
  }
  return true;
}

// Direct field reads for module code (not redirected to overrides).
inline bool is_graph(PyObject* o) { return PyObject_TypeCheck(o, &type); }
inline size_t count(PyObject* o) { return as_graph(o)->count; }
inline int32_t size(PyObject* o, size_t v) { return as_graph(o)->slots[v].size; }

}  // namespace frame::graph
