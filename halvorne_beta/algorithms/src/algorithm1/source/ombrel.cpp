// ombrel: label clustering by cutting a minimum spanning tree.
//
// prim_mst builds the tree of the complete distance graph; the other functions
// search it for labelled vertices and cut it into one subtree per label.

#include <algorithm>
#include <cmath>
#include <vector>

#include "graph_wrapper.hpp"

using namespace frame;

namespace {

constexpr const char* qualified_name = "halvorne_beta.algorithms.src.algorithm1.binaries.ombrel";

// ---- prim_mst ----------------------------------------------------------------------

// Candidate order of the tree search: by weight with NaN after every number,
// then by the vertex index, then by the parent index.
inline bool weight_less(double a, double b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a < b;
}
inline bool weight_equal(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// Index of pair (i, j), i < j, in the condensed distance vector.
inline size_t condensed_index(size_t n, size_t i, size_t j) { return n * i - i * (i + 1) / 2 + (j - i - 1); }

// Prim's algorithm over the condensed vector: each vertex outside the tree
// keeps its cheapest (weight, parent) link to it; the next vertex is the one
// with the cheapest link, the smallest index first. This is the tree the lazy
// heap search yields, tie-breaks included, in O(n) extra memory.
//
// Vertices outside the tree are kept in increasing order, so that the links
// towards a new vertex u are read as its condensed row (v > u, sequential)
// and its column (v < u, a regular stride that is prefetched ahead).
bool dense_prim(const double* distances, size_t n, PyObject* connections, PyObject* weights) {
  std::vector<double> key(n, 0.0);
  std::vector<int32_t> parent(n, -1);
  std::vector<int32_t> outside(n);
  for (size_t v = 0; v < n; ++v) outside[v] = int32_t(v);
  size_t remaining = n;
  size_t chosen = 0;  // position in `outside` of the vertex joining next
  constexpr size_t ahead = 64;  // column reads miss the cache: keep many in flight
  while (remaining > 0) {
    const size_t u = size_t(outside[chosen]);
    std::copy(outside.begin() + chosen + 1, outside.begin() + remaining, outside.begin() + chosen);
    --remaining;
    if (parent[u] != -1) {
      int64_t p = parent[u];
      if (!graph::append_int(connections, int64_t(u), p) || !graph::append_int(connections, p, int64_t(u)) ||
          !graph::append_float(weights, int64_t(u), key[u]) || !graph::append_float(weights, p, key[u]))
        return false;
    }
    const int32_t joined = int32_t(u);
    // row_start + v is the position of (u, v) for v > u
    const ptrdiff_t row_start = ptrdiff_t(n * u - u * (u + 1) / 2) - ptrdiff_t(u) - 1;
    size_t best = remaining;
    double best_key = 0.0;
    for (size_t k = 0; k < remaining; ++k) {
      const size_t v = size_t(outside[k]);
      double d;
      if (v < u) {
        if (k + ahead < remaining && size_t(outside[k + ahead]) < u)
          __builtin_prefetch(distances + condensed_index(n, size_t(outside[k + ahead]), u));
        d = distances[condensed_index(n, v, u)];
      } else {
        d = distances[row_start + ptrdiff_t(v)];
      }
      if (parent[v] == -1 || weight_less(d, key[v]) || (weight_equal(d, key[v]) && joined < parent[v])) {
        key[v] = d;
        parent[v] = joined;
      }
      if (best == remaining || weight_less(key[v], best_key)) {
        best = k;
        best_key = key[v];
      }
    }
    chosen = best;
  }
  return true;
}

// Unpacks a heap entry into (weight, vertex, parent).
bool unpack_entry(PyObject* entry, double* weight, int* u, int* parent) {
  Ref items = Ref::steal(PySequence_Tuple(entry));
  if (!items) return false;
  Py_ssize_t size = PyTuple_GET_SIZE(items.get());
  if (size < 3) {
    return fail(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", size);
  }
  if (size > 3) return fail(PyExc_ValueError, "too many values to unpack (expected 3)");
  return to_double(PyTuple_GET_ITEM(items.get(), 0), weight) && to_int(PyTuple_GET_ITEM(items.get(), 1), u) &&
         to_int(PyTuple_GET_ITEM(items.get(), 2), parent);
}

Ref call_global(const char* name, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  Ref callable = global(name);
  if (!callable) return Ref();
  PyObject* argv[4];
  size_t n = 0;
  for (PyObject* a : args) argv[n++] = a;
  size_t positional = n - (kwnames ? size_t(PyTuple_GET_SIZE(kwnames)) : 0);
  return Ref::steal(PyObject_Vectorcall(callable.get(), argv, positional, kwnames));
}

bool out_of_bounds(int axis) { return fail(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis); }

// The heap search step by step, through the module's heappop, heappush,
// squareform and np, for when any of them has been rebound.
bool heap_prim(PyObject* distances, int n, PyObject* connections, PyObject* weights) {
  Ref matrix_object = call_global("squareform", {distances});
  if (!matrix_object) return false;
  View<double, 2> matrix;
  if (!matrix.assign_array(matrix_object.get(), state.ndarray, DTYPE_t, false)) return false;
  Ref np = global("np");
  Ref zeros = Ref::steal(np ? PyObject_GetAttrString(np.get(), "zeros") : nullptr);
  Ref bool_type = Ref::steal(zeros ? PyObject_GetAttrString(np.get(), "bool_") : nullptr);
  Ref count = Ref::steal(bool_type ? PyLong_FromLong(n) : nullptr);
  Ref dtype_kw = Ref::steal(count ? Py_BuildValue("(s)", "dtype") : nullptr);
  if (!dtype_kw) return false;
  PyObject* zeros_args[] = {count.get(), bool_type.get()};
  Ref visited_object = Ref::steal(PyObject_Vectorcall(zeros.get(), zeros_args, 1, dtype_kw.get()));
  if (!visited_object) return false;
  View<uint8_t, 1> visited;
  if (!visited.assign_array(visited_object.get(), state.ndarray, uint8_t_, true)) return false;
  if (n > 0) {
    if (visited.extent(0) < n) return out_of_bounds(0);
    if (matrix.extent(0) < n) return out_of_bounds(0);
    if (matrix.extent(1) < n) return out_of_bounds(1);
  }
  Ref heap = Ref::steal(Py_BuildValue("[(dii)]", 0.0, 0, -1));
  if (!heap) return false;
  while (PyList_GET_SIZE(heap.get()) > 0) {
    Ref entry = call_global("heappop", {heap.get()});
    double weight;
    int u, parent;
    if (!entry || !unpack_entry(entry.get(), &weight, &u, &parent)) return false;
    if (u < 0 || u >= n) return out_of_bounds(0);
    if (visited(u)) continue;
    visited(u) = 1;
    if (parent != -1) {
      if (!graph::append_int(connections, u, parent) || !graph::append_int(connections, parent, u) ||
          !graph::append_float(weights, u, weight) || !graph::append_float(weights, parent, weight))
        return false;
    }
    for (int v = 0; v < n; ++v) {
      if (visited(v)) continue;
      Ref candidate = Ref::steal(Py_BuildValue("(dii)", matrix(u, v), v, u));
      if (!candidate || !call_global("heappush", {heap.get(), candidate.get()})) return false;
    }
  }
  return true;
}

PyObject* prim_mst(PyObject*, PyObject* const* args) {
  PyObject* X = args[0];
  PyObject* metric = args[1];
  if (!check_arg(X, "X", state.ndarray, false) || !check_arg(metric, "metric", &PyUnicode_Type, true)) return nullptr;
  if (!require(X, "X")) return nullptr;
  View<double, 2> points;
  if (!points.assign_array(X, state.ndarray, float64_t, false)) return nullptr;
  if (points.extent(0) > INT32_MAX) return raise(PyExc_ValueError, "X has more rows than a 32-bit index can hold");
  const int n = int(points.extent(0));

  Ref metric_kw = Ref::steal(Py_BuildValue("(s)", "metric"));
  if (!metric_kw) return nullptr;
  Ref distances_object = call_global("pdist", {X, metric}, metric_kw.get());
  if (!distances_object) return nullptr;
  View<double, 1> distances;
  if (!distances.assign_array(distances_object.get(), state.ndarray, DTYPE_t, false)) return nullptr;

  Ref connections = graph::create(size_t(n), graph::INT64, n);
  Ref weights = connections ? graph::create(size_t(n), graph::FLOAT32, n) : Ref();
  if (!weights) return nullptr;

  const size_t pairs = size_t(n) * size_t(n > 0 ? n - 1 : 0) / 2;
  bool natives = is_original("squareform") && is_original("heappop") && is_original("heappush") &&
                 is_original("np");
  bool ok;
  if (natives && size_t(distances.extent(0)) == pairs && (pairs == 0 || distances.stride(0) == sizeof(double))) {
    ok = dense_prim(distances.data(), size_t(n), connections.get(), weights.get());
  } else {
    ok = heap_prim(distances_object.get(), n, connections.get(), weights.get());
  }
  if (!ok) return nullptr;
  return PyTuple_Pack(2, connections.get(), weights.get());
}

FunctionDef prim_mst_def{
    "prim_mst",
    {{"X"}, {"metric", str_default("euclidean")}},
    "prim_mst(ndarray X, str metric='euclidean')\n\n    Performs Prim's algorithm on an array of datapoints, creating a "
    "minimum spanning tree\n    using a complete weighted graph.\n\n    Parameters\n    ----------\n    X: "
    "np.ndarray\n        Array of datapoints in a continuous or discrete space.\n    metric: str\n        Distance "
    "metric as defined in scipy.spatial.distance.pdist.\n\n    Returns\n    ----------\n    tuple\n        A "
    "2-tuple containing:\n        - mst_connections: list of lists, representing the adjacency list of the MST.\n  "
    "      - mst_weights: list of lists, representing the edge weights of the MST.\n    ",
    prim_mst};

const ModuleDef ombrel_module{
    "ombrel",
    qualified_name,
    "ombrel.cpp",
    {"ValueError", "TypeError", "IndexError", "ImportError", "range", "MemoryError", "OverflowError"},
    {
        {"scipy.spatial", "distance", "distance"},
        {"numpy", nullptr, "np"},
        {"scipy.spatial.distance", "pdist", "pdist"},
        {"scipy.spatial.distance", "squareform", "squareform"},
        {"heapq", "heappop", "heappop"},
        {"heapq", "heappush", "heappush"},
        {"numpy", nullptr, "np"},
    },
    {graph::type_def("halvorne_beta.algorithms.src.algorithm1.binaries.ombrel.GraphWrapper", true)},
    {&prim_mst_def},
};

}  // namespace

FRAME_MODULE(ombrel, ombrel_module)
