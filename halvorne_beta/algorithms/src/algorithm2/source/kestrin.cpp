// kestrin: the mutual k-nearest-neighbour graph of a point set, pruned to the
// edges that lead most directly towards labelled points.
//
// mutual_knn builds the graph from one batched KD-tree query; informative_edges
// lets every point keep, per labelled point, the edge of its cheapest two-step
// route (edge length + neighbour-to-labelled distance). While the distance
// producers are the module's own, a float32 scan of the labelled points
// selects those edges without any distance matrix; otherwise the
// point-to-labelled matrix lives in memory up to 30000 points and in a
// private memory-mapped file above that.

#include <immintrin.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "graph_wrapper.hpp"
#include "mutual_pairs.hpp"
#include "python_call.hpp"
#include "distance_file.hpp"
#include "euclidean_distances.hpp"
#include "kept_edges.hpp"
#include "labelled_scan.hpp"
#include "parallel.hpp"
#include "selection_kernels.hpp"

using namespace frame;

namespace {

constexpr const char* qualified_name = "halvorne_beta.algorithms.src.algorithm2.binaries.kestrin";

// Above this many points the distance matrix goes through a file.
constexpr int in_memory_limit = 30000;

// ---- calling Python -------------------------------------------------------------

// A new C-contiguous 2-D array of `rows` x `cols` elements, from NumPy itself
// while `np` is the module's own binding, else from the rebound `np.empty`.
Ref new_matrix(Py_ssize_t rows, Py_ssize_t cols, bool is_int) {
  if (is_original("np")) {
    npy_intp shape[2] = {rows, cols};
    return Ref::steal(PyArray_SimpleNew(2, shape, is_int ? NPY_INT64 : NPY_FLOAT32));
  }
  Ref empty = global_attribute("np", "empty");
  Ref dtype = empty ? global_attribute("np", is_int ? "int64" : "float32") : Ref();
  Ref shape = dtype ? Ref::steal(Py_BuildValue("(nn)", rows, cols)) : Ref();
  return shape ? call(empty.get(), {shape.get(), dtype.get()}, {"dtype"}) : Ref();
}

// ---- mutual_knn -----------------------------------------------------------------------

// `KDTree(X).query(X, k=k1, workers=-1)`; the tree goes as soon as it has answered.
Ref query_neighbours(PyObject* X, int k1) {
  Ref tree_type = global("KDTree");
  if (!tree_type) return Ref();
  Ref tree = call(tree_type.get(), {X});
  if (!tree) return Ref();
  Ref query = attribute(tree.get(), "query");
  if (!query) return Ref();
  tree = Ref();
  Ref k_object = Ref::steal(PyLong_FromLong(k1));
  Ref workers = Ref::steal(PyLong_FromLong(-1));
  if (!k_object || !workers) return Ref();
  return call(query.get(), {X, k_object.get(), workers.get()}, {"k", "workers"});
}

bool check_shape(const ViewBase& v, Py_ssize_t rows, Py_ssize_t cols, const char* what) {
  if (v.extent(0) == rows && v.extent(1) == cols) return true;
  return fail(PyExc_ValueError, "%s returned an array of shape (%zd, %zd) where (%zd, %zd) was expected", what,
              v.extent(0), v.extent(1), rows, cols);
}

// The search's answer: distances and indices, n x (k + 1) each.
struct SearchAnswer {
  Ref found, distances_object, indices_object;
  View<double, 2> distances;
  View<int64_t, 2> indices;

  bool take(Ref result, int n, int k1) {
    found = std::move(result);
    if (!found || !unpack_pair(found.get(), &distances_object, &indices_object)) return false;
    if (!distances.assign_array(distances_object.get(), state.ndarray, DTYPE_t, false) ||
        !indices.assign_array(indices_object.get(), state.ndarray, ITYPE_t, false))
      return false;
    return check_shape(distances, n, k1, "the neighbour query") && check_shape(indices, n, k1, "the neighbour query");
  }

  // Lets the search's arrays go as soon as the tables hold what they said.
  void release() {
    indices.release();
    distances.release();
    indices_object = Ref();
    distances_object = Ref();
    found = Ref();
  }
};

// Items 2 and 3 of the result: the n x k neighbour and length tables.
struct Tables {
  Ref indices_object, lengths_object;
  View<int64_t, 2> indices;
  View<float, 2> lengths;

  bool create(int n, int k) {
    indices_object = new_matrix(n, k, true);
    if (!indices_object) return false;
    lengths_object = new_matrix(n, k, false);
    if (!lengths_object) return false;
    if (!indices.assign_array(indices_object.get(), state.ndarray, ITYPE_t, true) ||
        !lengths.assign_array(lengths_object.get(), state.ndarray, DTYPE32_t, true))
      return false;
    return check_shape(indices, n, k, "np.empty") && check_shape(lengths, n, k, "np.empty");
  }
};

PyObject* mutual_knn(PyObject*, Args& a) {
  const ViewRef<double, 2> points = a.view<double, 2>("X");
  const int k = a.integer("k");  // p is converted and reaches nothing: the search is always Euclidean
  if (points.extent(0) > INT32_MAX) return raise(PyExc_ValueError, "X has more rows than a 32-bit index can hold");
  const int n = int(points.extent(0));
  // k + 1 in 32-bit arithmetic; a k at the top of the range asks SciPy for a
  // negative count, which it refuses.
  const int k1 = int(int32_t(uint32_t(k) + 1u));

  SearchAnswer answer;
  if (!answer.take(query_neighbours(a.object("X"), k1), n, k1)) return nullptr;
  Tables tables;
  if (!tables.create(n, k)) return nullptr;
  std::vector<int32_t> dropped(static_cast<size_t>(n));
  if (!mutual_pairs::compact_indices(answer.indices, n, k, tables.indices, &dropped)) return nullptr;
  mutual_pairs::compact_lengths(answer.distances, n, k, dropped, tables.lengths);
  answer.release();

  Ref connections = graph::create(size_t(n), graph::INT64, k);
  if (!connections) return nullptr;
  Ref weights = graph::create(size_t(n), graph::FLOAT32, k);
  if (!weights) return nullptr;
  const mutual_pairs::Table table(tables.indices, n, k);
  if (!mutual_pairs::fill_containers(table, tables.lengths, connections.get(), weights.get())) return nullptr;
  return PyTuple_Pack(4, connections.get(), weights.get(), tables.indices_object.get(), tables.lengths_object.get());
}

// ---- the selection kernel -------------------------------------------------------------

PyObject* find_idx_set(PyObject*, Args& a) {
  const ViewRef<float, 2> distances = a.view<float, 2>("distances");
  const ViewRef<int64_t, 1> labels = a.view<int64_t, 1>("labels");
  const ViewRef<float, 1> weights = a.view<float, 1>("weights");
  View<int64_t, 1> connections;
  if (!connections.assign_array(a.object("connections"), state.ndarray, ITYPE_t, false)) return nullptr;
  const Py_ssize_t m = connections.extent(0);
  if (m > INT32_MAX) return raise(PyExc_ValueError, "connections has more entries than a 32-bit index can hold");
  if (weights.extent(0) < m) {
    return raise(PyExc_IndexError, "weights holds %zd entries, fewer than the %zd connections", weights.extent(0), m);
  }
  Matrix d = matrix_of(distances);
  if (!check_rows(connections.data(), connections.stride(0), m, d.rows, "connection")) return nullptr;
  Selector selector;
  if (!selector.set_labels(labels.data(), labels.extent(0), d)) return nullptr;
  std::vector<Py_ssize_t> chosen;
  selector.select(d, connections.data(), connections.stride(0), m, weights.data(),
                  sizeof(float), &chosen);
  Ref result = Ref::steal(PySet_New(nullptr));
  if (!result) return nullptr;
  for (Py_ssize_t j : chosen) {
    Ref item = Ref::steal(PyLong_FromSsize_t(j));
    if (!item || PySet_Add(result.get(), item.get()) < 0) return nullptr;
  }
  return result.release();
}

// ---- distance matrices --------------------------------------------------------------

PyObject* create_pairwise_distance_matrix(PyObject*, Args& a) {
  PyObject* X = a.object("X");
  PyObject* filename = a.object("filename");
  PyObject* chunk_size = a.object("chunk_size");
  int n, n_labeled;
  if (!read_int(X, "n", &n) || !read_int(X, "labeled_count", &n_labeled)) return nullptr;
  Ref data_object = attribute(X, "data");
  if (!data_object) return nullptr;
  View<float, 2> data;
  if (!data.assign_array(data_object.get(), state.ndarray, DTYPE32_t, false)) return nullptr;
  Ref get_labeled = attribute(X, "get_labeled");
  Ref labeled_object = get_labeled ? call(get_labeled.get(), {}) : Ref();
  if (!labeled_object) return nullptr;
  View<float, 2> data_labeled;
  if (!data_labeled.assign_array(labeled_object.get(), state.ndarray, DTYPE32_t, false)) return nullptr;

  Ref memmap = global_attribute("np", "memmap");
  Ref dtype = memmap ? Ref::steal(PyUnicode_FromString("float32")) : Ref();
  Ref mode = dtype ? Ref::steal(PyUnicode_FromString("w+")) : Ref();
  Ref shape = mode ? Ref::steal(Py_BuildValue("(ii)", n, n_labeled)) : Ref();
  Ref matrix_object =
      shape ? call(memmap.get(), {filename, dtype.get(), mode.get(), shape.get()}, {"dtype", "mode", "shape"}) : Ref();
  if (!matrix_object) return nullptr;
  View<float, 2> distance_matrix;
  if (!distance_matrix.assign_array(matrix_object.get(), state.ndarray, DTYPE32_t, true)) return nullptr;

  Ref n_object = Ref::steal(PyLong_FromLong(n));
  Ref zero = n_object ? Ref::steal(PyLong_FromLong(0)) : Ref();
  Ref blocks = zero ? Ref::steal(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyRange_Type), zero.get(),
                                                              n_object.get(), chunk_size, nullptr))
                    : Ref();
  Ref it = blocks ? Ref::steal(PyObject_GetIter(blocks.get())) : Ref();
  Ref metric = it ? Ref::steal(PyUnicode_FromString("euclidean")) : Ref();
  if (!metric) return nullptr;
  while (Ref i = Ref::steal(PyIter_Next(it.get()))) {
    Ref next = Ref::steal(PyNumber_Add(i.get(), chunk_size));
    if (!next) return nullptr;
    int less = PyObject_RichCompareBool(n_object.get(), next.get(), Py_LT);
    if (less < 0) return nullptr;
    Ref end_i = less ? n_object : next;
    Ref rows = Ref::steal(PySlice_New(i.get(), end_i.get(), nullptr));
    Ref chunk_i = rows ? Ref::steal(PyObject_GetItem(data_object.get(), rows.get())) : Ref();
    Ref cdist = chunk_i ? global_attribute("distance", "cdist") : Ref();
    Ref dists = cdist ? call(cdist.get(), {chunk_i.get(), labeled_object.get(), metric.get()}) : Ref();
    Ref all_columns = dists ? Ref::steal(PySlice_New(nullptr, nullptr, nullptr)) : Ref();
    Ref target = all_columns ? Ref::steal(PyTuple_Pack(2, rows.get(), all_columns.get())) : Ref();
    if (!target || PyObject_SetItem(matrix_object.get(), target.get(), dists.get()) < 0) return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Ref flush = attribute(matrix_object.get(), "flush");
  if (!flush || !call(flush.get(), {})) return nullptr;
  Py_RETURN_NONE;
}

// The whole matrix in memory: cdist of all points against the labelled ones,
// as float32. The conversion is done here while `np` is NumPy itself (the
// same rounding as astype), else by the result's astype with `np.float32`.
struct Distances {
  View<float, 2> view;
  std::vector<float> own;
  Matrix matrix;
};

// True when `cdist` is SciPy's own function, so that computing the
// Euclidean distances here gives its values exactly.
bool is_scipy_cdist(PyObject* cdist) {
  if (!is_original("distance") || !is_original("np") || !PyFunction_Check(cdist)) return false;
  PyObject* module = PyFunction_GET_MODULE(cdist);
  PyObject* qualname = reinterpret_cast<PyFunctionObject*>(cdist)->func_qualname;
  return module != nullptr && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "scipy.spatial.distance") == 0 &&
         qualname != nullptr && PyUnicode_Check(qualname) && PyUnicode_CompareWithASCIIString(qualname, "cdist") == 0;
}


// What the distance producers read from X, in the order they read it: the
// module's `distance.cdist`, X.data and X.get_labeled().
struct PointSets {
  Ref cdist, data, labeled;
};

bool read_point_sets(PyObject* X, PointSets* out) {
  out->cdist = global_attribute("distance", "cdist");
  out->data = out->cdist ? attribute(X, "data") : Ref();
  Ref get_labeled = out->data ? attribute(X, "get_labeled") : Ref();
  out->labeled = get_labeled ? call(get_labeled.get(), {}) : Ref();
  return bool(out->labeled);
}

bool pairwise_fast(PyObject* labels, const PointSets& sets, Distances* out) {
  View<int64_t, 1> held_labels;
  if (!held_labels.assign_array(labels, state.ndarray, ITYPE_t, false)) return false;
  PyObject* cdist = sets.cdist.get();
  PyObject* data = sets.data.get();
  PyObject* labeled = sets.labeled.get();
  if (is_scipy_cdist(cdist) && plain_points(data) && plain_points(labeled)) {
    auto* points = reinterpret_cast<PyArrayObject*>(data);
    auto* rows = reinterpret_cast<PyArrayObject*>(labeled);
    if (PyArray_DIM(points, 1) == PyArray_DIM(rows, 1) && PyArray_DIM(points, 1) > 0) {
      euclidean_float32(points, rows, &out->own);
      const npy_intp L = PyArray_DIM(rows, 0);
      out->matrix = Matrix{reinterpret_cast<const char*>(out->own.data()), PyArray_DIM(points, 0), L,
                           Py_ssize_t(L * sizeof(float)), Py_ssize_t(sizeof(float))};
      return true;
    }
  }
  Ref metric = Ref::steal(PyUnicode_FromString("euclidean"));
  Ref dists = metric ? call(cdist, {data, labeled, metric.get()}) : Ref();
  if (!dists) return false;
  if (is_original("np") && PyArray_CheckExact(dists.get())) {
    auto* array = reinterpret_cast<PyArrayObject*>(dists.get());
    if (PyArray_NDIM(array) == 2 && PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) &&
        PyArray_IS_C_CONTIGUOUS(array)) {
      const npy_intp rows = PyArray_DIM(array, 0), cols = PyArray_DIM(array, 1);
      const double* source = static_cast<const double*>(PyArray_DATA(array));
      out->own.resize(size_t(rows) * size_t(cols));
      for (size_t e = 0; e < out->own.size(); ++e) out->own[e] = static_cast<float>(source[e]);
      out->matrix = Matrix{reinterpret_cast<const char*>(out->own.data()), rows, cols,
                           Py_ssize_t(cols * sizeof(float)), Py_ssize_t(sizeof(float))};
      return true;
    }
  }
  Ref astype = attribute(dists.get(), "astype");
  Ref float32 = astype ? global_attribute("np", "float32") : Ref();
  Ref converted = float32 ? call(astype.get(), {float32.get()}) : Ref();
  if (!converted || !out->view.acquire(converted.get(), DTYPE32_t, Layout::Strided, true)) return false;
  if (out->view.is_none()) return fail(PyExc_TypeError, "the distance matrix must not be None");
  out->matrix = matrix_of(out->view);
  return true;
}


// The matrix written by the module's create_pairwise_distance_matrix into a
// private file, mapped read-only.
bool pairwise_on_disk(PyObject* X, int n, Py_ssize_t L, TemporaryFile* file, Ref* mapping, View<float, 2>* view) {
  if (!file->create()) return false;
  Ref path = Ref::steal(PyUnicode_DecodeFSDefault(file->name().c_str()));
  Ref writer = path ? global("create_pairwise_distance_matrix") : Ref();
  if (!writer || !call(writer.get(), {X, path.get()})) return false;
  Ref memmap = global_attribute("np", "memmap");
  Ref dtype = memmap ? Ref::steal(PyUnicode_FromString("float32")) : Ref();
  Ref mode = dtype ? Ref::steal(PyUnicode_FromString("r")) : Ref();
  Ref shape = mode ? Ref::steal(Py_BuildValue("(in)", n, L)) : Ref();
  *mapping = shape ? call(memmap.get(), {path.get(), dtype.get(), mode.get(), shape.get()}, {"dtype", "mode", "shape"})
                   : Ref();
  if (!*mapping || !view->acquire(mapping->get(), const_DTYPE32_t, Layout::Strided, false)) return false;
  if (view->is_none()) return fail(PyExc_TypeError, "the distance matrix must not be None");
  return true;
}

// ---- informative_edges --------------------------------------------------------------

PyArrayObject* as_array(const Ref& o) { return reinterpret_cast<PyArrayObject*>(o.get()); }

// True when the search over the labelled points gives exactly the matrix
// path's result: the distances are SciPy's cdist of plain float arrays whose
// shapes agree with n and L (float32 only where the file path would be
// taken, which refuses anything else).
bool scan_applies(const PointSets& sets, int n, Py_ssize_t L, bool float32_only) {
  if (!is_scipy_cdist(sets.cdist.get()) || !plain_points(sets.data.get()) || !plain_points(sets.labeled.get()))
    return false;
  PyArrayObject* points = as_array(sets.data);
  PyArrayObject* labeled = as_array(sets.labeled);
  if (float32_only && (PyArray_TYPE(points) != NPY_FLOAT || PyArray_TYPE(labeled) != NPY_FLOAT)) return false;
  return PyArray_DIM(points, 0) == n && PyArray_DIM(labeled, 0) == L && PyArray_DIM(points, 1) > 0 &&
         PyArray_DIM(points, 1) == PyArray_DIM(labeled, 1);
}

bool check_count(PyObject* g, const char* name, int n) {
  if (graph::count(g) >= size_t(n)) return true;
  return fail(PyExc_IndexError, "%s holds %zu lists, fewer than the %d points", name, graph::count(g), n);
}

// Membership in a result container of our own making. Nothing is ever
// removed from it, so its membership set holds exactly the stored values;
// the list is short (at most 3 k entries) and answers sooner than the set.
int listed(PyObject* g, int64_t index, int64_t value) {
  graph::Object* o = graph::as_graph(g);
  if (index < 0 || uint64_t(index) >= o->count) return graph::contains(g, index, value);
  const int64_t* items = graph::ints(o, size_t(index));
  const int32_t size = o->slots[index].size;
  for (int32_t e = 0; e < size; ++e)
    if (items[e] == value) return 1;
  return 0;
}

// Appends (target, value) unless target already lists value. 0 on error.
int keep_now(PyObject* connections, PyObject* weights, int64_t target, int64_t value, float weight) {
  int present = listed(connections, target, value);
  if (present < 0) return 0;
  if (!present && (!graph::append_int(connections, target, value) ||
                   !graph::append_float(weights, target, double(weight))))
    return 0;
  return 1;
}

// Point i's neighbour list and weights: straight from the containers
// (`direct`), else through to_numpy as a Python caller would see them.
struct PointList {
  const int64_t* conn = nullptr;
  const float* w = nullptr;
  Py_ssize_t stride = 0, m = 0;
  Ref conn_object, weight_object;
  View<int64_t, 1> conn_view;
  View<float, 1> weight_view;
  int64_t neighbour(Py_ssize_t j) const {
    return *reinterpret_cast<const int64_t*>(reinterpret_cast<const char*>(conn) + j * stride);
  }
};

bool read_list(PyObject* connections, PyObject* weights, bool direct, int i, PointList* out) {
  Py_ssize_t weight_count;
  if (direct) {
    out->conn = graph::ints(graph::as_graph(connections), size_t(i));
    out->stride = sizeof(int64_t);
    out->m = graph::size(connections, size_t(i));
    out->w = graph::floats(graph::as_graph(weights), size_t(i));
    weight_count = graph::size(weights, size_t(i));
  } else {
    out->conn_object = graph::to_numpy(connections, i);
    if (!out->conn_object || !out->conn_view.assign_array(out->conn_object.get(), state.ndarray, ITYPE_t, false))
      return false;
    out->weight_object = graph::to_numpy(weights, i);
    if (!out->weight_object || !out->weight_view.acquire(out->weight_object.get(), float32_t, Layout::Contiguous, true))
      return false;
    out->conn = out->conn_view.data();
    out->stride = out->conn_view.stride(0);
    out->m = out->conn_view.extent(0);
    out->w = out->weight_view.data();
    weight_count = out->weight_view.extent(0);
  }
  if (out->m > INT32_MAX) return fail(PyExc_ValueError, "the list of point %d is longer than a 32-bit index can hold", i);
  if (weight_count < out->m) {
    return fail(PyExc_IndexError, "point %d has %zd weights for %zd connections", i, weight_count, out->m);
  }
  return true;
}

// The neighbour rows of point i are scattered over the matrix: ask for them
// while the point before is scored.
void prefetch_rows(const Matrix& d, PyObject* connections, int i, Py_ssize_t rows) {
  if (i >= int(graph::count(connections)) || d.col_stride != Py_ssize_t(sizeof(float))) return;
  const int64_t* next = graph::ints(graph::as_graph(connections), size_t(i));
  const int32_t next_size = graph::size(connections, size_t(i));
  const Py_ssize_t row_bytes = d.cols * Py_ssize_t(sizeof(float));
  for (int32_t e = 0; e < next_size; ++e) {
    if (next[e] < 0 || next[e] >= rows) continue;
    const char* row = reinterpret_cast<const char*>(d.row(next[e]));
    for (Py_ssize_t b = 0; b < row_bytes; b += 64) __builtin_prefetch(row + b);
  }
}

// Every non-empty list checked as the point-by-point loop checks it, in the
// same order, so that the first fault raises the same error.
bool check_lists(PyObject* connections, PyObject* weights, int n, Py_ssize_t rows) {
  PointList list;
  for (int i = 0; i < n; ++i) {
    if (graph::size(connections, size_t(i)) == 0) continue;
    if (!read_list(connections, weights, true, i, &list) ||
        !check_rows(list.conn, list.stride, list.m, rows, "neighbour index"))
      return false;
  }
  return true;
}

// A thread is started for every so many point-to-labelled pairs to scan,
// and every so many lists to write: below that it costs more than it saves.
constexpr double pairs_per_thread = 1 << 18;
constexpr double lists_per_thread = 1 << 13;

// True when list i of `c` holds only rows 0 .. n-1 and `w` has a weight for
// each entry.
bool list_fits(const graph::Object* c, const graph::Object* w, size_t i, int n) {
  const int32_t m = c->slots[i].size;
  if (w->slots[i].size < m) return false;
  const int64_t* rows = graph::ints(c, i);
  bool inside = true;
  for (int32_t j = 0; j < m; ++j) inside &= uint64_t(rows[j]) < uint64_t(n);
  return inside;
}

// Every point's chosen positions from the scan, the lists read straight
// from the containers, the points shared out among threads a run at a time.
// No thread calls Python. A thread skips a list that does not fit; the
// lists are then checked in point order, to raise the error the
// point-by-point loop raises.
bool select_in_threads(const LabelledScan& scan, PyObject* connections, PyObject* weights, int n, Py_ssize_t L,
                       KeptEdges* kept) {
  const graph::Object* c = graph::as_graph(connections);
  const graph::Object* w = graph::as_graph(weights);
  const int threads = parallel::threads_for(double(n) * double(L), pairs_per_thread);
  // runs short enough that every thread gets several
  parallel::Runs runs(size_t(n), std::clamp<size_t>(size_t(n) / (size_t(threads) * 8), 16, 256));
  std::atomic<bool> misfit{false};
  const bool done = parallel::run(threads, [&](int) {
    LabelledScan::Selection selection(scan);
    std::vector<Py_ssize_t> chosen;
    for (size_t first, last; runs.next(&first, &last);) {
      for (size_t i = first; i < last; ++i) {
        const int32_t m = c->slots[i].size;
        if (m == 0) continue;
        if (!list_fits(c, w, i, n)) {
          misfit.store(true, std::memory_order_relaxed);
          continue;
        }
        if (i + 1 < last) scan.prefetch(graph::ints(c, i + 1), c->slots[i + 1].size);
        selection.select(graph::ints(c, i), sizeof(int64_t), m, graph::floats(w, i), &chosen);
        kept->choose(i, chosen);
      }
    }
  });
  if (misfit.load()) {
    if (check_lists(connections, weights, n, n))
      return fail(PyExc_RuntimeError, "a neighbour list changed during informative_edges");
    return false;
  }
  if (!done) PyErr_NoMemory();
  return done;
}

PyObject* informative_edges(PyObject*, Args& a) {
  PyObject* X = a.object("X");
  const int k = a.integer("k");
  PyObject* connections = a.object("connections");
  PyObject* weights = a.object("weights");
  int n;
  if (!read_int(X, "n", &n)) return nullptr;
  if (!check_count(connections, "connections", n) || !check_count(weights, "weights", n)) return nullptr;

  Ref arange = global_attribute("np", "arange");
  Ref labeled_count = arange ? attribute(X, "labeled_count") : Ref();
  Ref int64_type = labeled_count ? global_attribute("np", "int64") : Ref();
  Ref labels_object = int64_type ? call(arange.get(), {labeled_count.get(), int64_type.get()}, {"dtype"}) : Ref();
  if (!labels_object) return nullptr;
  View<int64_t, 1> labels_array;
  if (!labels_array.assign_array(labels_object.get(), state.ndarray, ITYPE_t, false)) return nullptr;
  const Py_ssize_t L = labels_array.extent(0);
  labels_array.release();

  // Declared in this order so that the mapping is closed before the file goes.
  TemporaryFile file;
  Ref mapping;
  View<float, 2> mapped;
  Distances in_memory;
  Matrix d;
  LabelledScan scan;
  bool by_scan = false;
  if (n > in_memory_limit) {
    if (L > 0) {
      PointSets sets;
      if (is_original("create_pairwise_distance_matrix") && is_original("distance") && is_original("np")) {
        if (!read_point_sets(X, &sets)) return nullptr;
        by_scan = scan_applies(sets, n, L, true);
      }
      if (by_scan) {
        if (!scan.build(sets.data, sets.labeled)) return nullptr;
      } else {
        if (!pairwise_on_disk(X, n, L, &file, &mapping, &mapped)) return nullptr;
        d = matrix_of(mapped);
      }
    } else {
      d.rows = n;  // nothing to map: no labelled point, no column
    }
  } else {
    PointSets sets;
    if (!read_point_sets(X, &sets)) return nullptr;
    by_scan = L > 0 && scan_applies(sets, n, L, false);
    if (by_scan) {
      if (!scan.build(sets.data, sets.labeled)) return nullptr;
    } else {
      if (!pairwise_fast(labels_object.get(), sets, &in_memory)) return nullptr;
      d = in_memory.matrix;
    }
  }

  Ref shuffle = global_attribute("np", "random");
  shuffle = shuffle ? attribute(shuffle.get(), "shuffle") : Ref();
  if (!shuffle || !call(shuffle.get(), {labels_object.get()})) return nullptr;

  // Lists are read straight from the containers while to_numpy is the
  // built-in one and would build its arrays with NumPy itself; otherwise each
  // list goes through to_numpy as a Python caller would see it.
  Ref override_method;
  int conn_override = graph::find_override(connections, "to_numpy", &graph::to_numpy_def, &override_method);
  int weight_override = conn_override < 0 ? -1 : graph::find_override(weights, "to_numpy", &graph::to_numpy_def,
                                                                        &override_method);
  if (weight_override < 0) return nullptr;
  const bool direct = conn_override == 0 && weight_override == 0 && is_original("np") &&
                      graph::as_graph(connections)->dtype == graph::INT64 &&
                      graph::as_graph(weights)->dtype == graph::FLOAT32;

  // The result lists hold at most 3 k entries, and membership is answered
  // from them (nothing is ever removed from a kestrin container), so the
  // lists written in place below carry no per-vertex hash sets; appending
  // pair by pair keeps them, as the container's own append would.
  Ref weights_after = graph::create(size_t(n), graph::FLOAT32, k);
  Ref connections_after = weights_after ? graph::create(size_t(n), graph::INT64, k, !direct) : Ref();
  if (!connections_after) return nullptr;

  View<int64_t, 1> labels;
  bool labels_ready = false;
  Selector selector;
  std::vector<Py_ssize_t> chosen;
  PointList list;
  const Py_ssize_t rows = by_scan ? Py_ssize_t(n) : std::min<Py_ssize_t>(d.rows, n);

  // With the lists read straight from the containers nothing in the loop
  // calls Python, so the chosen positions are recorded and the result lists
  // written afterwards, each front to back (kept_edges.hpp). When some list
  // would outgrow the capacity the loop starts over appending pair by pair,
  // so that the overflow surfaces exactly where it does that way.
  std::optional<KeptEdges> kept;
  if (direct) kept.emplace(graph::as_graph(connections), graph::as_graph(weights), size_t(n));
  if (by_scan && !scan.pin_points(!direct)) return nullptr;
  std::optional<LabelledScan::Selection> selection;
  if (by_scan) selection.emplace(scan);
  // The scan and the writing of the lists take five parallel regions, all
  // on the same helpers. No Python code runs while they live.
  std::optional<parallel::Team> team;
  if (direct && by_scan)
    team.emplace(std::max(parallel::threads_for(double(n) * double(L), pairs_per_thread),
                          parallel::threads_for(n, lists_per_thread)));
  for (bool collect = direct;; collect = false) {
    // The scan of lists read straight from the containers runs on threads;
    // every other way goes point by point.
    const bool in_threads = collect && by_scan;
    if (in_threads && !select_in_threads(scan, connections, weights, n, L, &*kept)) return nullptr;
    for (int i = 0; i < n && !in_threads; ++i) {
      if (graph::size(connections, size_t(i)) == 0) continue;
      if (!labels_ready) {
        if (!labels.acquire(labels_object.get(), ITYPE_t, Layout::Contiguous, true)) return nullptr;
        if (!by_scan && !selector.set_labels(labels.data(), labels.extent(0), d)) return nullptr;
        labels_ready = true;
      }
      if (direct && by_scan && i + 1 < n) {
        scan.prefetch(graph::ints(graph::as_graph(connections), size_t(i) + 1), graph::size(connections, size_t(i) + 1));
      } else if (direct && !by_scan) {
        prefetch_rows(d, connections, i + 1, rows);
      }
      if (!read_list(connections, weights, direct, i, &list)) return nullptr;
      if (!check_rows(list.conn, list.stride, list.m, rows, "neighbour index")) return nullptr;
      if (by_scan) {
        selection->select(list.conn, list.stride, list.m, list.w, &chosen);
      } else {
        selector.select(d, list.conn, list.stride, list.m, list.w, sizeof(float), &chosen);
      }
      if (collect) {
        kept->choose(size_t(i), chosen);
        continue;
      }
      for (Py_ssize_t j : chosen) {
        const int64_t nb = list.neighbour(j);
        if (!keep_now(connections_after.get(), weights_after.get(), i, nb, list.w[j]) ||
            !keep_now(connections_after.get(), weights_after.get(), nb, i, list.w[j]))
          return nullptr;
      }
    }
    if (!collect) break;
    const int threads = parallel::threads_for(n, lists_per_thread);
    if (kept->size_lists(graph::as_graph(connections_after.get())->capacity, threads)) {
      scan.release();  // its memory goes before the lists are written
      if (!kept->write(connections_after.get(), weights_after.get(), threads)) return nullptr;
      break;
    }
  }
  return PyTuple_Pack(2, connections_after.get(), weights_after.get());
}

// ---- the module --------------------------------------------------------------------

FunctionDef mutual_knn_def{
    "mutual_knn",
    {{"X", not_none(c_contiguous(double_t_))}, {"k", as_int}, {"p", as_int, int_default(2)}},
    "mutual_knn(double[:, ::1] X, int k, int p=2) -> tuple\n\n    Constructs a mutual k-nearest neighbors graph.\n"
    "    \n    Parameters\n    ----------\n    X : double[:, ::1]\n        Data for which the mutual k-nearest "
    "neighbors graph will be constructed.\n    k : int\n        Number of nearest neighbors.\n    p : int\n        "
    "Which Minkowski p-norm to use. A large, finite p may cause a ValueError if overflow occurs.\n    \n    Returns\n"
    "    -------\n    connections_sparse : np.ndarray\n        Indices of mutual nearest neighbors.\n    "
    "weights_sparse : np.ndarray\n        Distances to mutual nearest neighbors.\n    ",
    mutual_knn};

FunctionDef find_idx_set_def{
    "_find_idx_set",
    {{"distances", not_none(read_only(const_DTYPE32_t))},
     {"labels", not_none(contiguous(ITYPE_t))},
     {"connections", not_none(as_ndarray)},
     {"weights", not_none(contiguous(float32_t))}},
    "_find_idx_set(const DTYPE32_t[:, :] distances, ITYPE_t[::1] labels, ndarray connections, float32_t[::1] "
    "weights) -> unordered_set[int]\n\n    _find_idx_set: Function to find a set of indices based on distance, "
    "labels, connections, and weights. \n\n    Parameters:\n    -----------\n    distances : DTYPE32_t[:, :]\n     "
    "   Pairwise distances between elements. \n        Assumes distances[j, j] == 0 for all `j`.\n\n    labels : "
    "ITYPE_t[::1]\n        IMemview of indices of data points that are labeled.\n\n    connections : "
    "np.ndarray[ITYPE_t, ndim=1]\n        Each entry corresponds to a row index in the distances matrix.\n\n    "
    "weights : np.float32_t[::1]\n        weights corresponding to each connection.\n    ",
    find_idx_set};

FunctionDef create_pairwise_distance_matrix_def{
    "create_pairwise_distance_matrix",
    {{"X", not_none(as_object)}, {"filename", not_none(as_object)}, {"chunk_size", not_none(as_object), int_default(5000)}},
    "create_pairwise_distance_matrix(X, filename, chunk_size=5000)\n\n    Create a pairwise distance matrix and store "
    "it on disk using a memory-mapped file.\n    \n    Parameters:\n    -----------\n    X: _AlgorithmInput\n        "
    "Input data object containing node information and methods to access labeled indices \n        and other "
    "metadata.\n    filename: str\n        Path to the memory-mapped file.\n    chunk_size: int \n        Number of "
    "rows to process in chunks.\n    ",
    create_pairwise_distance_matrix};

FunctionDef informative_edges_def{
    "informative_edges",
    {{"X", not_none(as_object)},
     {"k", as_int},
     {"connections", never_none(instance_of(&graph::type))},
     {"weights", never_none(instance_of(&graph::type))}},
    "informative_edges(X, int k, GraphWrapper connections: GraphWrapper, GraphWrapper weights: GraphWrapper)\n\n    "
    "Parameters:\n    -----------\n    X : _AlgorithmInput\n        Input data object containing node information and "
    "methods to access labeled indices \n        and other metadata.\n\n    k : int\n        The maximum number of "
    "connections to retain for each node.\n\n    connections : GraphWrapper\n        An object representing the "
    "pre-existing **kestrin** connections between nodes.\n\n    weights : GraphWrapper\n        An object "
    "representing the weights associated with the connections in the \n        `connections` array.\n    \n    "
    "Returns:\n    -----------\n    connections_after : GraphWrapper\n        Container of pointer arrays of "
    "connections associated with each vertix, such that the edges\n        minimize the **sum of distances between "
    "each other and at least one labeled** point in the dataset.\n\n    weights after : GraphWrapper\n        "
    "Container of pointer arrays of weights associated with the `connections`.\n    ",
    informative_edges,
    {{"connections", "GraphWrapper"}, {"weights", "GraphWrapper"}}};

const ModuleDef kestrin_module{
    "kestrin",
    qualified_name,
    "kestrin.cpp",
    {"ValueError", "TypeError", "IndexError", "ImportError", "range", "MemoryError", "OverflowError"},
    {
        {"scipy.spatial", "distance", "distance"},
        {"numpy", nullptr, "np"},
        {"scipy.spatial", "KDTree", "KDTree"},
        {"numpy", nullptr, "np"},
        {"time", nullptr, "time"},
    },
    {graph::type_def("halvorne_beta.algorithms.src.algorithm2.binaries.kestrin.GraphWrapper", false)},
    {&mutual_knn_def, &find_idx_set_def, &create_pairwise_distance_matrix_def, &informative_edges_def},
};

}  // namespace

FRAME_MODULE(kestrin, kestrin_module)
