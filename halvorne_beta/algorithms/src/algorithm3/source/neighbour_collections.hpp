// Reading neighbourhoods: from the Python list an expansion is given (one
// collection per point, of any kind), or from a compact native table.
#pragma once

#include <cstdint>

#include "buffer_view.hpp"
#include "convert.hpp"
#include "module.hpp"  // NumPy's array interface
#include "radius_search.hpp"

namespace tavrisk {

using namespace frame;

inline bool int_overflow() { return fail(PyExc_OverflowError, "value too large to convert to int"); }

// Negative indices count from the end; false when the index stays outside.
inline bool wrap(Py_ssize_t* i, Py_ssize_t length) {
  if (*i < 0) *i += length;
  return *i >= 0 && *i < length;
}

// One neighbour index as a 32-bit int; small exact ints without a detour.
inline bool read_index(PyObject* o, int* out) {
  if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
    Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
    if (v < INT32_MIN || v > INT32_MAX) return int_overflow();
    *out = int(v);
    return true;
  }
  Ref hold = Ref::borrow(o);  // __int__ may run code that drops the container's reference
  return to_int(hold.get(), out);
}

// sequence[i] as Python evaluates it (lists without a detour).
inline Ref item_at(PyObject* sequence, Py_ssize_t i) {
  if (PyList_CheckExact(sequence)) {
    Py_ssize_t k = i;
    if (wrap(&k, PyList_GET_SIZE(sequence))) return Ref::borrow(PyList_GET_ITEM(sequence, k));
  }
  Ref index = Ref::steal(PyLong_FromSsize_t(i));
  if (!index) return Ref();
  return Ref::steal(PyObject_GetItem(sequence, index.get()));
}

// A one-dimensional native-order integer array, readable in place.
inline bool is_integer_vector(PyObject* o) {
  if (!PyArray_CheckExact(o)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  int type = PyArray_TYPE(a);
  return PyArray_NDIM(a) == 1 && (PyTypeNum_ISSIGNED(type) || PyTypeNum_ISUNSIGNED(type)) &&
         PyArray_ISNOTSWAPPED(a) && PyArray_ITEMSIZE(a) <= 8;
}

// One integer array element as a 32-bit int.
inline bool read_array_index(const char* p, Py_ssize_t itemsize, bool is_signed, int* out) {
  if (is_signed) {
    int64_t v = itemsize == 1   ? *reinterpret_cast<const int8_t*>(p)
                : itemsize == 2 ? *reinterpret_cast<const int16_t*>(p)
                : itemsize == 4 ? *reinterpret_cast<const int32_t*>(p)
                                : *reinterpret_cast<const int64_t*>(p);
    if (v < INT32_MIN || v > INT32_MAX) return int_overflow();
    *out = int(v);
    return true;
  }
  uint64_t v = itemsize == 1   ? *reinterpret_cast<const uint8_t*>(p)
               : itemsize == 2 ? *reinterpret_cast<const uint16_t*>(p)
               : itemsize == 4 ? *reinterpret_cast<const uint32_t*>(p)
                               : *reinterpret_cast<const uint64_t*>(p);
  if (v > uint64_t(INT32_MAX)) return int_overflow();
  *out = int(v);
  return true;
}

// A point's neighbour collection taken from Python. Lists (KD-tree results)
// and integer arrays (ball-tree results) are read in place; anything else
// through len() and indexing, like any Python object. Every read looks at
// the collection afresh: Python code run between two reads (a rebound `np`
// allocating the queue) may have resized it or changed its element type.
class Neighbours {
 public:
  bool open(Ref collection) {
    object_ = std::move(collection);
    PyObject* o = object_.get();
    if (PyList_CheckExact(o)) {
      length_ = PyList_GET_SIZE(o);
      return true;
    }
    if (is_integer_vector(o)) {
      length_ = PyArray_DIM(reinterpret_cast<PyArrayObject*>(o), 0);
      return true;
    }
    length_ = PyObject_Length(o);
    return length_ >= 0;
  }

  Py_ssize_t length() const { return length_; }

  bool get(Py_ssize_t i, int* out) const {
    PyObject* o = object_.get();
    if (PyList_CheckExact(o) && i < PyList_GET_SIZE(o)) return read_index(PyList_GET_ITEM(o, i), out);
    if (is_integer_vector(o) && i < PyArray_DIM(reinterpret_cast<PyArrayObject*>(o), 0)) {
      auto* a = reinterpret_cast<PyArrayObject*>(o);
      return read_array_index(PyArray_BYTES(a) + i * PyArray_STRIDE(a, 0), PyArray_ITEMSIZE(a),
                              PyTypeNum_ISSIGNED(PyArray_TYPE(a)), out);
    }
    Ref item = item_at(o, i);
    return item && read_index(item.get(), out);
  }

 private:
  Ref object_;
  Py_ssize_t length_ = 0;
};

// Neighbourhoods read from the Python list as an expansion goes.
struct ListSource {
  using Entry = Neighbours;
  PyObject* list;
  bool open(Py_ssize_t i, Neighbours* out) const {
    Ref collection = item_at(list, i);
    return collection && out->open(std::move(collection));
  }
};

// Neighbourhoods read from a native table. `list`, when there is one, is
// what the table was copied from: its own IndexError reports an index
// outside the table.
struct TableSource {
  struct Entry {
    const int32_t* indices = nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t length() const { return count; }
    bool get(Py_ssize_t i, int* out) const {
      *out = indices[i];
      return true;
    }
  };
  const radius_search::NeighbourTable& table;
  PyObject* list;

  bool open(Py_ssize_t i, Entry* out) const {
    Py_ssize_t k = i;
    if (!wrap(&k, Py_ssize_t(table.points()))) {
      if (list != nullptr) return bool(item_at(list, i));
      return fail(PyExc_IndexError, "list index out of range");
    }
    out->indices = table.row(size_t(k));
    out->count = Py_ssize_t(table.size(size_t(k)));
    return true;
  }
};

// One list entry appended to `row`; false when it is not an exact list of
// small exact ints or an integer array with values in the 32-bit range.
inline bool copy_collection(PyObject* entry, std::vector<int32_t>* row) {
  if (PyList_CheckExact(entry)) {
    PyObject** items = reinterpret_cast<PyListObject*>(entry)->ob_item;
    for (Py_ssize_t j = 0, m = PyList_GET_SIZE(entry); j < m; ++j) {
      PyObject* o = items[j];
      if (!PyLong_CheckExact(o) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) return false;
      Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
      if (v < INT32_MIN || v > INT32_MAX) return false;
      row->push_back(int32_t(v));
    }
    return true;
  }
  if (!is_integer_vector(entry)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(entry);
  const int type = PyArray_TYPE(a);
  for (Py_ssize_t j = 0; j < PyArray_DIM(a, 0); ++j) {
    int v;
    if (!read_array_index(PyArray_BYTES(a) + j * PyArray_STRIDE(a, 0), PyArray_ITEMSIZE(a),
                          PyTypeNum_ISSIGNED(type), &v)) {
      PyErr_Clear();  // out of range: the lazy reading reports it where it occurs
      return false;
    }
    row->push_back(v);
  }
  return true;
}

// Copies the neighbourhood list into `table`. Taken only when every entry can
// be read without running Python code and without failing: then the copy is
// what a lazy reading would see, as long as no Python code runs meanwhile.
inline bool load_table(PyObject* list, radius_search::NeighbourTable* table) {
  if (!PyList_CheckExact(list)) return false;
  const Py_ssize_t n = PyList_GET_SIZE(list);
  table->reset(size_t(n));
  std::vector<int32_t> row;
  for (Py_ssize_t i = 0; i < n; ++i) {
    row.clear();
    if (!copy_collection(PyList_GET_ITEM(list, i), &row)) return false;
    table->store(size_t(i), row.data(), row.size());
  }
  return true;
}

// The table as a list of lists of ints, as query_ball_tree gives it.
inline Ref table_as_list(const radius_search::NeighbourTable& table) {
  Ref list = Ref::steal(PyList_New(Py_ssize_t(table.points())));
  if (!list) return Ref();
  for (size_t i = 0; i < table.points(); ++i) {
    Ref row = Ref::steal(PyList_New(Py_ssize_t(table.size(i))));
    if (!row) return Ref();
    for (int64_t j = 0; j < table.size(i); ++j) {
      PyObject* value = PyLong_FromLong(table.row(i)[j]);
      if (value == nullptr) return Ref();
      PyList_SET_ITEM(row.get(), Py_ssize_t(j), value);
    }
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), row.release());
  }
  return list;
}

}  // namespace tavrisk
