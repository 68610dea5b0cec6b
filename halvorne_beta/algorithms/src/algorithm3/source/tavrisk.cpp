// tavrisk: semi-supervised density clustering.
//
// semi_supervised_dbscan computes every point's neighbourhood once, then makes
// three passes over the points (labelled non-core seeds, labelled core seeds,
// everything else) and hands each seed to expand_cluster, which grows one
// cluster breadth-first without taking in points of another class.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "buffer_view.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "python_call.hpp"

using namespace frame;

namespace {

constexpr const char* qualified_name = "halvorne_beta.algorithms.src.algorithm3.binaries.tavrisk";

bool out_of_bounds() { return fail(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0); }

// Negative indices count from the end; false when the index stays outside.
inline bool wrap(Py_ssize_t* i, Py_ssize_t length) {
  if (*i < 0) *i += length;
  return *i >= 0 && *i < length;
}

bool int_overflow() { return fail(PyExc_OverflowError, "value too large to convert to int"); }

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

Ref item_at(PyObject* sequence, Py_ssize_t i) {
  if (PyList_CheckExact(sequence)) {
    Py_ssize_t k = i;
    if (wrap(&k, PyList_GET_SIZE(sequence))) return Ref::borrow(PyList_GET_ITEM(sequence, k));
  }
  Ref index = Ref::steal(PyLong_FromSsize_t(i));
  if (!index) return Ref();
  return Ref::steal(PyObject_GetItem(sequence, index.get()));
}

// A point's neighbour collection. Lists (KD-tree results) and integer arrays
// (ball-tree results) are read in place; anything else through len() and
// indexing, like any Python object.
class Neighbours {
 public:
  bool open(Ref collection) {
    object_ = std::move(collection);
    PyObject* o = object_.get();
    if (PyList_CheckExact(o)) {
      kind_ = List;
      length_ = PyList_GET_SIZE(o);
      return true;
    }
    if (PyArray_CheckExact(o)) {
      auto* a = reinterpret_cast<PyArrayObject*>(o);
      int type = PyArray_TYPE(a);
      bool integer = PyTypeNum_ISSIGNED(type) || PyTypeNum_ISUNSIGNED(type);
      if (PyArray_NDIM(a) == 1 && integer && PyArray_ISNOTSWAPPED(a) && PyArray_ITEMSIZE(a) <= 8) {
        kind_ = Array;
        length_ = PyArray_DIM(a, 0);
        bytes_ = PyArray_BYTES(a);
        stride_ = PyArray_STRIDE(a, 0);
        itemsize_ = PyArray_ITEMSIZE(a);
        is_signed_ = PyTypeNum_ISSIGNED(type);
        return true;
      }
    }
    kind_ = Generic;
    length_ = PyObject_Length(o);
    return length_ >= 0;
  }

  Py_ssize_t length() const { return length_; }

  bool get(Py_ssize_t i, int* out) const {
    PyObject* o = object_.get();
    if (kind_ == List && i < PyList_GET_SIZE(o)) return read_index(PyList_GET_ITEM(o, i), out);
    if (kind_ == Array) {
      const char* p = bytes_ + i * stride_;
      if (is_signed_) {
        int64_t v = itemsize_ == 1 ? *reinterpret_cast<const int8_t*>(p)
                    : itemsize_ == 2 ? *reinterpret_cast<const int16_t*>(p)
                    : itemsize_ == 4 ? *reinterpret_cast<const int32_t*>(p)
                                     : *reinterpret_cast<const int64_t*>(p);
        if (v < INT32_MIN || v > INT32_MAX) return int_overflow();
        *out = int(v);
      } else {
        uint64_t v = itemsize_ == 1 ? *reinterpret_cast<const uint8_t*>(p)
                     : itemsize_ == 2 ? *reinterpret_cast<const uint16_t*>(p)
                     : itemsize_ == 4 ? *reinterpret_cast<const uint32_t*>(p)
                                      : *reinterpret_cast<const uint64_t*>(p);
        if (v > uint64_t(INT32_MAX)) return int_overflow();
        *out = int(v);
      }
      return true;
    }
    Ref item = item_at(o, i);
    return item && read_index(item.get(), out);
  }

 private:
  enum Kind { List, Array, Generic } kind_ = Generic;
  Ref object_;
  Py_ssize_t length_ = 0;
  const char* bytes_ = nullptr;
  Py_ssize_t stride_ = 0;
  Py_ssize_t itemsize_ = 0;
  bool is_signed_ = true;
};

// ---- expand_cluster ------------------------------------------------------------------

constexpr int32_t queue_capacity = INT32_MAX;  // entries a queue can ever hold

// First-in first-out list of point indices, grown as entries arrive. Natively
// a vector; when the module's `np` has been rebound, arrays made by its
// `np.empty`, so that the rebinding sees every allocation.
class Queue {
 public:
  explicit Queue(bool through_numpy) : through_numpy_(through_numpy) {}

  bool start() { return !through_numpy_ || grow(64); }

  bool push(int32_t v) {
    if (!through_numpy_) {
      native_.push_back(v);
      return true;
    }
    if (count_ == size_t(view_->size()) && !grow(count_ * 2)) return false;
    view_->data()[count_++] = v;
    return true;
  }
  size_t size() const { return through_numpy_ ? count_ : native_.size(); }
  int32_t operator[](size_t i) const { return through_numpy_ ? view_->data()[i] : native_[i]; }

 private:
  bool grow(size_t wanted) {
    if (wanted > size_t(queue_capacity)) wanted = size_t(queue_capacity);
    Ref array = numpy_array("empty", Py_ssize_t(wanted), nullptr, "int32");
    if (!array) return false;
    auto view = std::make_unique<View<int32_t, 1>>();
    if (!view->acquire(array.get(), int_t, Layout::Contiguous, true)) return false;
    if (size_t(view->size()) <= count_) return out_of_bounds();
    if (count_ > 0) std::copy(view_->data(), view_->data() + count_, view->data());
    view_ = std::move(view);  // the old array's buffer is released here
    array_ = std::move(array);
    return true;
  }

  bool through_numpy_;
  std::vector<int32_t> native_;
  Ref array_;
  std::unique_ptr<View<int32_t, 1>> view_;
  size_t count_ = 0;
};

// Neighbourhoods read from the Python list as the expansion goes.
struct ListSource {
  using Entry = Neighbours;
  PyObject* list;
  bool open(Py_ssize_t i, Neighbours* out) const {
    Ref collection = item_at(list, i);
    return collection && out->open(std::move(collection));
  }
};

// Neighbourhoods copied out of the list once, in point order. Taken only
// when every entry is an exact list of small exact ints or an exact integer
// array, with all values in the 32-bit range: then reading them can neither
// fail nor run Python code, and the copy is what a lazy read would see.
struct FlatSource {
  struct Entry {
    const int32_t* indices = nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t length() const { return count; }
    bool get(Py_ssize_t i, int* out) const {
      *out = indices[i];
      return true;
    }
  };
  PyObject* list;
  std::vector<int64_t> offsets;
  std::vector<int32_t> indices;

  Py_ssize_t size(Py_ssize_t i) const { return Py_ssize_t(offsets[i + 1] - offsets[i]); }
  bool open(Py_ssize_t i, Entry* out) const {
    Py_ssize_t k = i;
    if (!wrap(&k, Py_ssize_t(offsets.size()) - 1)) return bool(item_at(list, i));  // the list's own IndexError
    out->indices = indices.data() + offsets[k];
    out->count = size(k);
    return true;
  }

  bool load(PyObject* tree_ball_proximity) {
    list = tree_ball_proximity;
    if (!PyList_CheckExact(list)) return false;
    const Py_ssize_t n = PyList_GET_SIZE(list);
    offsets.assign(size_t(n) + 1, 0);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* entry = PyList_GET_ITEM(list, i);
      Py_ssize_t length;
      if (PyList_CheckExact(entry)) {
        length = PyList_GET_SIZE(entry);
      } else if (integer_vector(entry)) {
        length = PyArray_DIM(reinterpret_cast<PyArrayObject*>(entry), 0);
      } else {
        return false;
      }
      if (length > INT32_MAX) return false;
      offsets[i + 1] = offsets[i] + length;
    }
    indices.resize(size_t(offsets[n]));
    int32_t* out = indices.data();
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* entry = PyList_GET_ITEM(list, i);
      if (PyList_CheckExact(entry)) {
        PyObject** items = reinterpret_cast<PyListObject*>(entry)->ob_item;
        for (Py_ssize_t j = 0, m = PyList_GET_SIZE(entry); j < m; ++j) {
          PyObject* o = items[j];
          if (!PyLong_CheckExact(o) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) return false;
          Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
          if (v < INT32_MIN || v > INT32_MAX) return false;
          *out++ = int32_t(v);
        }
      } else {
        Neighbours values;
        if (!values.open(Ref::borrow(entry))) return false;  // an integer array: cannot fail
        for (Py_ssize_t j = 0; j < values.length(); ++j) {
          int v;
          if (!values.get(j, &v)) {
            PyErr_Clear();  // out of range: the lazy reading reports it where it occurs
            return false;
          }
          *out++ = v;
        }
      }
    }
    return true;
  }

  static bool integer_vector(PyObject* o) {
    if (!PyArray_CheckExact(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    int type = PyArray_TYPE(a);
    return PyArray_NDIM(a) == 1 && (PyTypeNum_ISSIGNED(type) || PyTypeNum_ISUNSIGNED(type)) &&
           PyArray_ISNOTSWAPPED(a) && PyArray_ITEMSIZE(a) <= 8;
  }
};

// The per-point arrays an expansion reads and writes.
struct Points {
  const int32_t* labels;
  Py_ssize_t n_labels;
  int32_t* cluster_labels;
  Py_ssize_t n_cluster_labels;
  char* visited;
  Py_ssize_t n_visited;
};

bool overlap(const void* a, size_t a_bytes, const void* b, size_t b_bytes) {
  auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
  return a_bytes > 0 && b_bytes > 0 && x < y + b_bytes && y < x + a_bytes;
}

// Grows the cluster `cluster_id` from `point_idx`.
//
// A queued point is processed when its flag is clear or its id is -1; points
// already flagged and owned by a cluster are skipped when taken from the
// queue. Flags only ever become 1 and ids only ever become `cluster_id`
// (never -1), so a neighbour in that state when it would be appended is
// certain to be skipped: it is counted as appended (the queue's capacity
// still applies) but not stored, which keeps the queue to the points that
// can still join. This holds only while flags and ids do not share memory.
template <class Source>
bool expand(const Points& a, int min_samples, Py_ssize_t point_idx, int cluster_id, const Source& source,
            bool through_numpy) {
  Queue queue(through_numpy);
  if (!queue.start()) return false;
  if (point_idx < INT32_MIN || point_idx > INT32_MAX) return out_of_bounds();  // not storable as a queue entry
  if (!queue.push(int32_t(point_idx))) return false;
  int32_t queue_end = 1;
  const bool elide = !overlap(a.visited, size_t(a.n_visited), a.cluster_labels,
                              size_t(a.n_cluster_labels) * sizeof(int32_t));

  for (size_t next = 0; next < queue.size(); ++next) {
    const Py_ssize_t current_point_idx = queue[next];
    Py_ssize_t v = current_point_idx, c = current_point_idx, l = current_point_idx;
    if (!wrap(&v, a.n_visited)) return out_of_bounds();
    if (a.visited[v] != 0) {
      if (!wrap(&c, a.n_cluster_labels)) return out_of_bounds();
      if (a.cluster_labels[c] != -1) continue;
    }
    a.visited[v] = 1;
    c = current_point_idx;
    if (!wrap(&c, a.n_cluster_labels)) return out_of_bounds();
    a.cluster_labels[c] = cluster_id;

    typename Source::Entry neighbors;
    if (!source.open(current_point_idx, &neighbors)) return false;
    if (neighbors.length() > INT32_MAX) return int_overflow();
    const int n_neighbors = int(neighbors.length());
    if (!wrap(&l, a.n_labels)) return out_of_bounds();
    if (!(a.labels[l] >= 0 || n_neighbors >= min_samples)) continue;  // a border point

    for (int i = 0; i < n_neighbors; ++i) {
      if constexpr (requires { neighbors.indices; }) {
        // neighbour indices are scattered: start the loads a few entries ahead
        constexpr int ahead = 8;
        if (i + ahead < n_neighbors) {
          const int32_t j = neighbors.indices[i + ahead];
          if (j >= 0 && j < a.n_labels) __builtin_prefetch(a.labels + j);
          if (j >= 0 && j < a.n_cluster_labels) __builtin_prefetch(a.cluster_labels + j);
        }
      }
      int idx;
      if (!neighbors.get(i, &idx)) return false;
      Py_ssize_t k = idx;
      if (!wrap(&k, a.n_labels)) return out_of_bounds();
      const int32_t label = a.labels[k];
      if (!(label < 0 || label == cluster_id)) continue;
      if (queue_end == queue_capacity) return out_of_bounds();
      ++queue_end;
      if (elide) {
        Py_ssize_t fv = idx, fc = idx;
        if (wrap(&fv, a.n_visited) && a.visited[fv] != 0 && wrap(&fc, a.n_cluster_labels) &&
            a.cluster_labels[fc] != -1)
          continue;
      }
      if (!queue.push(idx)) return false;
    }
  }
  return true;
}

PyObject* expand_cluster(PyObject*, PyObject* const* args) {
  View<double, 2> data;
  int min_samples, cluster_id;
  View<int32_t, 1> labels, cluster_labels;
  View<char, 1> visited;
  Py_ssize_t point_idx;
  PyObject* tree_ball_proximity = args[7];
  if (!data.acquire(args[0], double_t_, Layout::Strided, true) || !to_int(args[1], &min_samples) ||
      !labels.acquire(args[2], int_t, Layout::Contiguous, true) ||
      !cluster_labels.acquire(args[3], int_t, Layout::Contiguous, true) ||
      !visited.acquire(args[4], char_t, Layout::Contiguous, true) || !to_ssize(args[5], &point_idx) ||
      !to_int(args[6], &cluster_id) || !check_arg(tree_ball_proximity, "tree_ball_proximity", &PyList_Type, true))
    return nullptr;
  if (!require(args[2], "labels") || !require(args[3], "cluster_labels") || !require(args[4], "visited") ||
      !require(tree_ball_proximity, "tree_ball_proximity"))
    return nullptr;
  if (cluster_id == -1) {
    // -1 marks an unassigned point: its points would never count as owned
    // and would be queued again without end.
    return raise(PyExc_ValueError, "cluster_id must not be -1 (the id of unassigned points)");
  }
  Points points{labels.data(), labels.size(), cluster_labels.data(), cluster_labels.size(), visited.data(),
                visited.size()};
  if (!expand(points, min_samples, point_idx, cluster_id, ListSource{tree_ball_proximity}, !is_original("np")))
    return nullptr;
  Py_RETURN_NONE;
}

FunctionDef expand_cluster_def{
    "expand_cluster",
    {{"data"}, {"min_samples"}, {"labels"}, {"cluster_labels"}, {"visited"}, {"point_idx"}, {"cluster_id"},
     {"tree_ball_proximity"}},
    "expand_cluster(double[:, :] data, int min_samples, int[::1] labels, int[::1] cluster_labels, char[::1] "
    "visited, Py_ssize_t point_idx, int cluster_id, list tree_ball_proximity)",
    expand_cluster};

// ---- semi_supervised_dbscan ----------------------------------------------------------

bool is_own_function(PyObject* f, const FunctionDef* def) {
  return Py_IS_TYPE(f, &detail::function_type) && reinterpret_cast<FunctionObject*>(f)->def == def;
}

// Length of entry i of the neighbourhood list, as len() sees it.
bool neighbourhood_size(PyObject* tree_ball_proximity, Py_ssize_t i, Py_ssize_t* out) {
  if (PyList_CheckExact(tree_ball_proximity) && i < PyList_GET_SIZE(tree_ball_proximity)) {
    PyObject* entry = PyList_GET_ITEM(tree_ball_proximity, i);
    if (PyList_CheckExact(entry)) {
      *out = PyList_GET_SIZE(entry);
      return true;
    }
    if (PyArray_CheckExact(entry) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(entry)) >= 1) {
      *out = PyArray_DIM(reinterpret_cast<PyArrayObject*>(entry), 0);
      return true;
    }
  }
  Ref entry = item_at(tree_ball_proximity, i);
  if (!entry) return false;
  *out = PyObject_Length(entry.get());
  return *out >= 0;
}

// The state the three passes share.
struct Driver {
  PyObject* data;    // the data argument
  PyObject* labels;  // the labels argument
  PyObject* cluster_labels;
  PyObject* visited;
  PyObject* tree_ball_proximity;
  int min_samples;
  Points points;
  PyObject* expand_name;
  // The neighbourhoods copied out of the list, valid while no Python code
  // has run since (a rebound expand_cluster or np may change the list).
  FlatSource flat;
  bool flat_valid = false;
  // Buffer objects handed to a rebound expand_cluster, made on first use.
  Ref data_object, labels_object, cluster_labels_object, visited_object, soft_visited_object;
};

Ref memory_of(Ref* slot, PyObject* exporter) {
  if (!*slot) *slot = Ref::steal(PyMemoryView_FromObject(exporter));
  return *slot;
}

// One expansion, through the module's current `expand_cluster`: natively
// when that is this module's own function, else by calling it.
bool seed(Driver& d, Py_ssize_t i, int cluster_id, bool soft) {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(state.dict, d.expand_name, &found) < 0) return false;
  Ref f = Ref::steal(found);
  if (!f) {
    f = global("expand_cluster");  // builtins, then NameError
    if (!f) return false;
  }
  if (is_own_function(f.get(), &expand_cluster_def)) {
    const bool through_numpy = !is_original("np");
    if (through_numpy) d.flat_valid = false;
    bool ok = check_arg(d.tree_ball_proximity, "tree_ball_proximity", &PyList_Type, true) &&
              require(d.tree_ball_proximity, "tree_ball_proximity");
    if (ok && d.flat_valid) {
      ok = expand(d.points, d.min_samples, i, cluster_id, d.flat, false);
    } else if (ok) {
      ok = expand(d.points, d.min_samples, i, cluster_id, ListSource{d.tree_ball_proximity}, through_numpy);
    }
    if (!ok) add_traceback(expand_cluster_def, nullptr);
    return ok;
  }
  d.flat_valid = false;
  Ref data = memory_of(&d.data_object, d.data);
  Ref labels = data ? memory_of(&d.labels_object, d.labels) : Ref();
  Ref cluster_labels = labels ? memory_of(&d.cluster_labels_object, d.cluster_labels) : Ref();
  Ref visited = cluster_labels ? memory_of(soft ? &d.soft_visited_object : &d.visited_object, d.visited) : Ref();
  Ref min_samples = visited ? Ref::steal(PyLong_FromLong(d.min_samples)) : Ref();
  Ref index = min_samples ? Ref::steal(PyLong_FromSsize_t(i)) : Ref();
  Ref id = index ? Ref::steal(PyLong_FromLong(cluster_id)) : Ref();
  if (!id) return false;
  return bool(call(f.get(), {data.get(), min_samples.get(), labels.get(), cluster_labels.get(), visited.get(),
                             index.get(), id.get(), d.tree_ball_proximity}));
}

PyObject* semi_supervised_dbscan(PyObject*, PyObject* const* args) {
  View<double, 2> data_view;
  double eps;
  int min_samples, p;
  View<int32_t, 1> labels_view;
  PyObject* metric = args[4];
  if (!data_view.acquire(args[0], double_t_, Layout::CContiguous, true) || !to_double(args[1], &eps) ||
      !to_int(args[2], &min_samples) || !labels_view.acquire(args[3], int_t, Layout::Contiguous, true) ||
      !check_arg(metric, "metric", &PyUnicode_Type, true) || !to_int(args[5], &p))
    return nullptr;
  if (!require(args[0], "data") || !require(args[3], "labels")) return nullptr;
  if (data_view.extent(0) > INT32_MAX) return raise(PyExc_ValueError, "data has more rows than a 32-bit index can hold");
  const Py_ssize_t n_samples = data_view.extent(0);
  if (labels_view.size() < n_samples) {
    return raise(PyExc_ValueError, "labels has %zd entries, fewer than the %zd rows of data", labels_view.size(),
                 n_samples);
  }

  Ref minus_one = Ref::steal(PyLong_FromLong(-1));
  Ref cluster_labels = minus_one ? numpy_array("full", n_samples, minus_one.get(), "int32") : Ref();
  View<int32_t, 1> cluster_labels_array;
  if (!cluster_labels || !cluster_labels_array.assign_array(cluster_labels.get(), state.ndarray, int_t, true))
    return nullptr;
  Ref visited = numpy_array("zeros", n_samples, nullptr, "int8");
  View<char, 1> visited_array;
  if (!visited || !visited_array.assign_array(visited.get(), state.ndarray, char_t, true)) return nullptr;

  // The trees read the caller's memory through a buffer object, no copy.
  Ref data = Ref::steal(PyMemoryView_FromObject(args[0]));
  Ref radius = data ? Ref::steal(PyFloat_FromDouble(eps)) : Ref();
  if (!radius) return nullptr;
  bool minkowski = metric != Py_None && PyUnicode_EqualToUTF8(metric, "minkowski");
  Ref tree_ball_proximity;
  if (minkowski && p == 2) {
    Ref kdtree = global("KDTree");
    Ref tree = kdtree ? call(kdtree.get(), {data.get()}) : Ref();
    Ref query = tree ? attribute(tree.get(), "query_ball_tree") : Ref();
    if (!query) return nullptr;
    tree_ball_proximity = call(query.get(), {tree.get(), radius.get()}, {"r"});
  } else {
    Ref balltree = global("BallTree");
    Ref tree;
    if (balltree && minkowski) {
      Ref power = Ref::steal(PyLong_FromLong(p));
      if (power) tree = call(balltree.get(), {data.get(), metric, power.get()}, {"metric", "p"});
    } else if (balltree) {
      tree = call(balltree.get(), {data.get(), metric}, {"metric"});
    }
    Ref query = tree ? attribute(tree.get(), "query_radius") : Ref();
    Ref found = query ? call(query.get(), {data.get(), radius.get()}, {"r"}) : Ref();
    if (!found) return nullptr;
    tree_ball_proximity = Ref::steal(PySequence_List(found.get()));
  }
  if (!tree_ball_proximity) return nullptr;

  View<int32_t, 1> cluster_labels_view;
  View<char, 1> visited_view;  // the passes' visited and soft-visited views: one set of flags
  if (!cluster_labels_view.acquire(cluster_labels.get(), int_t, Layout::Contiguous, true) ||
      !visited_view.acquire(visited.get(), char_t, Layout::Contiguous, true))
    return nullptr;
  if (cluster_labels_view.size() < n_samples || visited_view.size() < n_samples) {
    out_of_bounds();
    return nullptr;
  }

  static PyObject* expand_name = PyUnicode_InternFromString("expand_cluster");
  if (expand_name == nullptr) return nullptr;
  Driver d{args[0],
           args[3],
           cluster_labels.get(),
           visited.get(),
           tree_ball_proximity.get(),
           min_samples,
           {labels_view.data(), labels_view.size(), cluster_labels_view.data(), cluster_labels_view.size(),
            visited_view.data(), visited_view.size()},
           expand_name,
           {}, {}, {}, {}, {}};
  {
    PyObject* current = nullptr;
    if (PyDict_GetItemRef(state.dict, expand_name, &current) < 0) return nullptr;
    Ref f = Ref::steal(current);
    if (f && is_own_function(f.get(), &expand_cluster_def) && is_original("np"))
      d.flat_valid = d.flat.load(d.tree_ball_proximity);
  }
  auto size_of = [&d](Py_ssize_t i, Py_ssize_t* size) {
    if (d.flat_valid && i < Py_ssize_t(d.flat.offsets.size()) - 1) {
      *size = d.flat.size(i);
      return true;
    }
    return neighbourhood_size(d.tree_ball_proximity, i, size);
  };
  const int32_t* labels = labels_view.data();
  char* flags = visited_view.data();
  const Py_ssize_t needed = min_samples;

  // Pass 1: labelled points that are not core points.
  for (Py_ssize_t i = 0; i < n_samples; ++i) {
    if (flags[i] != 0 || labels[i] < 0) continue;
    Py_ssize_t size;
    if (!size_of(i, &size)) return nullptr;
    if (size < needed && !seed(d, i, labels[i], true)) return nullptr;
  }
  // Pass 2: labelled core points.
  for (Py_ssize_t i = 0; i < n_samples; ++i) {
    if (flags[i] != 0 || labels[i] < 0) continue;
    Py_ssize_t size;
    if (!size_of(i, &size)) return nullptr;
    if (size >= needed && !seed(d, i, labels[i], false)) return nullptr;
  }
  // Pass 3: the rest; unlabelled core points seed clusters -2, -3, ...
  int64_t cluster_id = -2;
  for (Py_ssize_t i = 0; i < n_samples; ++i) {
    if (flags[i] != 0) continue;
    Py_ssize_t size;
    if (!size_of(i, &size)) return nullptr;
    if (size < needed) {
      flags[i] = 1;  // noise for now: a later cluster may still take it in
      continue;
    }
    if (!seed(d, i, int(cluster_id), false)) return nullptr;
    --cluster_id;
  }

  Ref np = global("np");
  Ref asarray = np ? attribute(np.get(), "asarray") : Ref();
  if (!asarray) return nullptr;
  return call(asarray.get(), {cluster_labels.get()}).release();
}

FunctionDef semi_supervised_dbscan_def{
    "semi_supervised_dbscan",
    {{"data"}, {"eps"}, {"min_samples"}, {"labels"}, {"metric"}, {"p"}},
    "semi_supervised_dbscan(double[:, ::1] data, double eps, int min_samples, int[::1] labels, str metric, int p)\n"
    "\n"
    "    Semi-supervised DBSCAN implementation.\n"
    "\n"
    "    Parameters:\n"
    "    ----------\n"
    "    data : double[:, ::1]\n"
    "        2D NumPy array of shape (n_samples, n_features)\n"
    "    eps : doubel\n"
    "        Epsilon neighborhood radius\n"
    "    min_samples : int\n"
    "        Minimum number of samples to form a core point\n"
    "    labels : int[::1]\n"
    "        1D NumPy array of shape (n_samples,) with labeled data.\n"
    "        labels[i] >= 0 indicates the point is labeled.\n"
    "        labels[i] == -1 indicates the point is unlabeled.\n"
    "    metric : str\n"
    "        Metric defining the distance between data points.\n"
    "    p : int\n"
    "        Defines which Minkowski p-norm to use. Works only if metric is set to `minkowski`.\n"
    "\n"
    "    Returns:\n"
    "    ----------\n"
    "    cluster_labels : np.ndarray\n"
    "        1D NumPy array of cluster assignments for each point.\n"
    "    ",
    semi_supervised_dbscan};

const ModuleDef tavrisk_module{
    "tavrisk",
    qualified_name,
    "tavrisk.cpp",
    {"ValueError", "TypeError", "IndexError", "ImportError", "range", "MemoryError", "OverflowError"},
    {
        {"numpy", nullptr, "np"},
        {"scipy.spatial", "KDTree", "KDTree"},
        {"sklearn.neighbors", "BallTree", "BallTree"},
    },
    {},
    {&semi_supervised_dbscan_def, &expand_cluster_def},
};

}  // namespace

FRAME_MODULE(tavrisk, tavrisk_module)
