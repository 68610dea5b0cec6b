// Nearest-centroid labelling of density clusters: the batched native
// kernel (while `np` and `DistanceMetric` are the module's own) and the
// step-by-step rendering through Python (when either is rebound).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "buffer_view.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "python_call.hpp"

namespace postprocess {

using namespace frame;

inline Ref item(PyObject* o, Py_ssize_t i) {
  Ref index = Ref::steal(PyLong_FromSsize_t(i));
  return index ? Ref::steal(PyObject_GetItem(o, index.get())) : Ref();
}

// `np.mean(rows, axis=0)` through the module's `np`.
inline Ref mean_of_rows(PyObject* np, PyObject* rows) {
  Ref mean = attribute(np, "mean");
  Ref zero = mean ? Ref::steal(PyLong_FromLong(0)) : Ref();
  return zero ? call(mean.get(), {rows, zero.get()}, {"axis"}) : Ref();
}

// `distance.pairwise(first, second)` as a float64 matrix.
inline bool pairwise(PyObject* distance, PyObject* first, PyObject* second, Ref* result, View<double, 2>* matrix) {
  Ref method = attribute(distance, "pairwise");
  *result = method ? call(method.get(), {first, second}) : Ref();
  return *result && matrix->assign_array(result->get(), state.ndarray, double_t_, false);
}

// ---- the module's own NumPy and scikit-learn: batched, natively --------------------

// A new C-ordered float64 array of `rows` rows of `points`, in the given order:
// what indexing a copy of `points` with a mask of those rows gives.
inline Ref gather(const ViewRef<double, 2>& points, const Py_ssize_t* rows, Py_ssize_t count) {
  const Py_ssize_t features = points.extent(1);
  npy_intp dims[2] = {count, features};
  Ref array = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  if (!array) return Ref();
  double* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
  for (Py_ssize_t r = 0; r < count; ++r)
    std::copy_n(points.data() + rows[r] * features, features, out + r * features);
  return array;
}

// Centroids of the labels in `keys` (ascending), one row each of a new
// float64 matrix; member rows come from `rows_of`. The mean is NumPy's own,
// over the same rows in the same order as a masked copy would give.
struct Centroids {
  Ref matrix;  // (keys, features)
  double* data = nullptr;
};

inline bool make_matrix(Py_ssize_t count, Py_ssize_t features, Centroids* c) {
  npy_intp dims[2] = {count, features};
  c->matrix = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
  if (!c->matrix) return false;
  c->data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(c->matrix.get())));
  return true;
}

inline bool centroid_into(PyObject* np, const ViewRef<double, 2>& points, const std::vector<Py_ssize_t>& rows,
                          double* out) {
  Ref selected = gather(points, rows.data(), Py_ssize_t(rows.size()));
  Ref mean = selected ? mean_of_rows(np, selected.get()) : Ref();
  View<double, 1> values;
  if (!mean || !values.assign_array(mean.get(), state.ndarray, double_t_, false)) return false;
  const Py_ssize_t features = points.extent(1);
  if (values.size() != features) {
    return fail(PyExc_ValueError, "centroid has %zd values for %zd features", values.size(), features);
  }
  for (Py_ssize_t j = 0; j < features; ++j) out[j] = values(j);
  return true;
}

// For each column of `distances` (candidates by row, ascending label), the
// label of the nearest candidate: strictly smaller wins, so ties go to the
// smaller label and NaN never wins; -1 when none is below infinity.
inline void nearest(const View<double, 2>& distances, const std::vector<int32_t>& candidates,
                    std::vector<int32_t>* out) {
  const Py_ssize_t columns = distances.extent(1);
  out->assign(size_t(columns), -1);
  std::vector<double> best(size_t(columns), INFINITY);
  for (size_t k = 0; k < candidates.size(); ++k) {
    for (Py_ssize_t j = 0; j < columns; ++j) {
      double d = distances(Py_ssize_t(k), j);
      if (d < best[j]) {
        best[j] = d;
        (*out)[j] = candidates[k];
      }
    }
  }
}

inline bool native_postprocess(const ViewRef<double, 2>& points, const View<int32_t, 1>& labels, PyObject* distance,
                        Py_ssize_t n) {
  Ref np = global("np");
  if (!np) return false;
  const Py_ssize_t features = points.extent(1);
  std::vector<int32_t> current(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) current[i] = labels(i);
  std::vector<int32_t> keys(current);
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  keys.erase(std::remove(keys.begin(), keys.end(), -1), keys.end());
  auto key_index = [&](int32_t label) {
    return size_t(std::lower_bound(keys.begin(), keys.end(), label) - keys.begin());
  };
  std::vector<std::vector<Py_ssize_t>> members(keys.size());
  for (Py_ssize_t i = 0; i < n; ++i)
    if (current[i] != -1) members[key_index(current[i])].push_back(i);

  // keys below -1 come first in ascending order
  const size_t clusters = size_t(std::lower_bound(keys.begin(), keys.end(), -1) - keys.begin());
  const std::vector<int32_t> classes(keys.begin() + Py_ssize_t(clusters), keys.end());
  Centroids class_centroids, cluster_centroids;
  if (!make_matrix(Py_ssize_t(classes.size()), features, &class_centroids) ||
      !make_matrix(Py_ssize_t(clusters), features, &cluster_centroids))
    return false;
  for (size_t k = 0; k < keys.size(); ++k) {
    double* row = k < clusters ? cluster_centroids.data + k * size_t(features)
                               : class_centroids.data + (k - clusters) * size_t(features);
    if (!centroid_into(np.get(), points, members[k], row)) return false;
  }

  // Merge: centroids stay those computed above for every cluster.
  std::vector<char> grown(classes.size(), 0);
  // distance matrices are computed a block of items at a time
  const Py_ssize_t block = std::max<Py_ssize_t>(1, (Py_ssize_t(1) << 20) / std::max<Py_ssize_t>(1, classes.size()));
  if (clusters > 0) {
    std::vector<int32_t> target(clusters, -1);
    std::vector<int32_t> chosen;
    for (Py_ssize_t start = 0; !classes.empty() && start < Py_ssize_t(clusters); start += block) {
      const Py_ssize_t count = std::min<Py_ssize_t>(block, Py_ssize_t(clusters) - start);
      npy_intp dims[2] = {count, features};
      Ref items = Ref::steal(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
      if (!items) return false;
      std::copy_n(cluster_centroids.data + start * features, count * features,
                  static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(items.get()))));
      Ref result;
      View<double, 2> d;
      if (!pairwise(distance, class_centroids.matrix.get(), items.get(), &result, &d)) return false;
      if (d.extent(0) < Py_ssize_t(classes.size()) || d.extent(1) < count)
        return fail(PyExc_ValueError, "pairwise returned a %zd x %zd matrix for %zd x %zd items", d.extent(0),
                    d.extent(1), Py_ssize_t(classes.size()), count);
      nearest(d, classes, &chosen);
      std::copy_n(chosen.begin(), count, target.begin() + start);
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (current[i] >= -1) continue;
      const int32_t to = target[key_index(current[i])];
      current[i] = to;
      labels(i) = to;
      if (to >= 0) grown[key_index(to) - clusters] = 1;
    }
  }
  if (classes.empty()) return true;  // noise stays noise

  // Second table: only classes that took in a cluster have moved.
  std::vector<std::vector<Py_ssize_t>> merged(classes.size());
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (current[i] < 0) continue;
    const size_t k = key_index(current[i]) - clusters;
    if (grown[k]) merged[k].push_back(i);
  }
  for (size_t k = 0; k < classes.size(); ++k) {
    if (grown[k] && !centroid_into(np.get(), points, merged[k], class_centroids.data + k * size_t(features)))
      return false;
  }

  // Noise points, a block at a time; the centroids do not move meanwhile.
  std::vector<Py_ssize_t> noise;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (current[i] == -1) noise.push_back(i);
  std::vector<int32_t> chosen;
  for (Py_ssize_t start = 0; start < Py_ssize_t(noise.size()); start += block) {
    const Py_ssize_t count = std::min<Py_ssize_t>(block, Py_ssize_t(noise.size()) - start);
    Ref rows = gather(points, noise.data() + start, count);
    Ref result;
    View<double, 2> d;
    if (!rows || !pairwise(distance, class_centroids.matrix.get(), rows.get(), &result, &d)) return false;
    if (d.extent(0) < Py_ssize_t(classes.size()) || d.extent(1) < count)
      return fail(PyExc_ValueError, "pairwise returned a %zd x %zd matrix for %zd x %zd items", d.extent(0),
                  d.extent(1), Py_ssize_t(classes.size()), count);
    nearest(d, classes, &chosen);
    for (Py_ssize_t r = 0; r < count; ++r) labels(noise[start + r]) = chosen[r];
  }
  return true;
}

// ---- a rebound np or DistanceMetric: every step through Python ---------------------

// Label -> centroid, in the order np.unique gives the labels.
inline Ref centroid_table(PyObject* points, PyObject* labels) {
  Ref np = global("np");
  Ref unique = np ? attribute(np.get(), "unique") : Ref();
  Ref values = unique ? call(unique.get(), {labels}) : Ref();
  Ref iterator = values ? Ref::steal(PyObject_GetIter(values.get())) : Ref();
  Ref table = iterator ? Ref::steal(PyDict_New()) : Ref();
  if (!table) return Ref();
  while (Ref value = Ref::steal(PyIter_Next(iterator.get()))) {
    int label;
    if (!to_int(value.get(), &label)) return Ref();
    if (label == -1) continue;
    Ref key = Ref::steal(PyLong_FromLong(label));
    Ref array = key ? attribute(np.get(), "array") : Ref();
    Ref copy = array ? call(array.get(), {points}) : Ref();
    Ref mask = copy ? Ref::steal(PyObject_RichCompare(labels, key.get(), Py_EQ)) : Ref();
    Ref rows = mask ? Ref::steal(PyObject_GetItem(copy.get(), mask.get())) : Ref();
    Ref centroid = rows ? mean_of_rows(np.get(), rows.get()) : Ref();
    if (!centroid || PyDict_SetItem(table.get(), key.get(), centroid.get()) < 0) return Ref();
  }
  if (PyErr_Occurred()) return Ref();
  return table;
}

// The closest key of `table` (labels -1 and above) to `item`, one pair at a time.
inline bool closest_label(PyObject* distance, PyObject* table, PyObject* item_object, int* closest) {
  Ref entries = Ref::steal(PyDict_Items(table));
  if (!entries) return false;
  double best = INFINITY;
  *closest = -1;
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(entries.get()); ++k) {
    PyObject* entry = PyList_GET_ITEM(entries.get(), k);
    int label;
    if (!to_int(PyTuple_GET_ITEM(entry, 0), &label)) return false;
    if (label < -1) continue;
    Ref method = attribute(distance, "pairwise");
    Ref first = method ? Ref::steal(PyList_New(1)) : Ref();
    Ref second = first ? Ref::steal(PyList_New(1)) : Ref();
    if (!second) return false;
    PyList_SET_ITEM(first.get(), 0, Py_NewRef(PyTuple_GET_ITEM(entry, 1)));
    PyList_SET_ITEM(second.get(), 0, Py_NewRef(item_object));
    Ref result = call(method.get(), {first.get(), second.get()});
    Ref row = result ? item(result.get(), 0) : Ref();
    Ref value = row ? item(row.get(), 0) : Ref();
    double d;
    if (!value || !to_double(value.get(), &d)) return false;
    if (d < best) {
      best = d;
      *closest = label;
    }
  }
  return true;
}

// Row i of the points as a one-dimensional buffer object over the same
// memory. It holds its own export of the caller's array, so a callee that
// keeps it keeps the array alive.
inline Ref row_object(PyObject* points_object, Py_ssize_t features, Py_ssize_t i) {
  const Py_ssize_t row_bytes = features * Py_ssize_t(sizeof(double));
  Ref whole = Ref::steal(PyMemoryView_FromObject(points_object));
  Ref bytes = whole ? Ref::steal(PyObject_CallMethod(whole.get(), "cast", "s", "B")) : Ref();
  Ref row = bytes ? Ref::steal(PySequence_GetSlice(bytes.get(), i * row_bytes, (i + 1) * row_bytes)) : Ref();
  return row ? Ref::steal(PyObject_CallMethod(row.get(), "cast", "s", "d")) : Ref();
}

inline bool python_postprocess(PyObject* points_object, const ViewRef<double, 2>& points_view, PyObject* labels_object,
                        const View<int32_t, 1>& labels, PyObject* distance, Py_ssize_t n) {
  Ref points = Ref::steal(PyMemoryView_FromObject(points_object));
  Ref table = points ? centroid_table(points.get(), labels_object) : Ref();
  Ref entries = table ? Ref::steal(PyDict_Items(table.get())) : Ref();
  if (!entries) return false;
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(entries.get()); ++k) {
    PyObject* entry = PyList_GET_ITEM(entries.get(), k);
    PyObject* key = PyTuple_GET_ITEM(entry, 0);
    int label, closest;
    if (!to_int(key, &label)) return false;
    if (label >= -1) continue;
    if (!closest_label(distance, table.get(), PyTuple_GET_ITEM(entry, 1), &closest)) return false;
    Ref mask = Ref::steal(PyObject_RichCompare(labels_object, key, Py_EQ));
    Ref value = mask ? Ref::steal(PyLong_FromLong(closest)) : Ref();
    if (!value || PyObject_SetItem(labels_object, mask.get(), value.get()) < 0) return false;
  }
  table = centroid_table(points.get(), labels_object);
  if (!table) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (labels(i) != -1) continue;
    Ref row = row_object(points_object, points_view.extent(1), i);
    int closest;
    if (!row || !closest_label(distance, table.get(), row.get(), &closest)) return false;
    labels(i) = closest;
  }
  return true;
}

}  // namespace postprocess
