// ombrel: label clustering by cutting a minimum spanning tree.
//
// prim_mst builds the tree of the complete distance graph; the other functions
// search it for labelled vertices and cut it into one subtree per label.
//
// This file holds the bindings and the module table. The kernels live in
// headers named after what they do:
//   find_all_paths_with_labels  path_search.hpp (its sinks described there)
//   explore_graph_recursive     chained_search.hpp, explore_closure.hpp (recursive_explore)
//   find_subgraph_with_labels   subgraph.hpp
//   make_labels                 label_flood.hpp
//   clusterize                  edge_cut.hpp, then relabelling.hpp
// own_names.hpp says when a call by module-level name may run natively, and
// vertex_reading.hpp reads labels and neighbour lists for all of them.

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graph_wrapper.hpp"
#include "python_call.hpp"
#include "edge_cut.hpp"
#include "explore_closure.hpp"
#include "relabelling.hpp"

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

bool out_of_bounds(int axis) { return fail(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis); }

// The heap search step by step, through the module's heappop, heappush,
// squareform and np, for when any of them has been rebound.
bool heap_prim(PyObject* distances, int n, PyObject* connections, PyObject* weights) {
  Ref matrix_object = call_global("squareform", {distances});
  if (!matrix_object) return false;
  View<double, 2> matrix;
  if (!matrix.assign_array(matrix_object.get(), state.ndarray, DTYPE_t, false)) return false;
  Ref visited_object = numpy_array("zeros", n, nullptr, "bool_");
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

  Ref distances_object = call_global("pdist", {X, metric}, {"metric"});
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


// ---- find_all_paths_with_labels: path_search.hpp ---------------------------------------

PyObject* find_all_paths_with_labels(PyObject*, Args& a) {
  PyObject* connections = a.object("connections_sparse");
  PyObject* path = a.object("path");
  const int start = a.integer("start");
  Labels L;
  if (!L.take(a.object("labels"), false)) return nullptr;
  Ref result = Ref::steal(PyList_New(0));
  if (!result) return nullptr;
  Ref top;  // path + [start]
  if (path != Py_None) {
    Ref single = Ref::steal(Py_BuildValue("[i]", start));
    if (!single) return nullptr;
    top = Ref::steal(PyNumber_Add(path, single.get()));
    if (!top || !expected_list(top.get())) return nullptr;
  }
  Lease<Search> lease;
  Search& s = *lease;
  s.init(connections, &L, true);
  s.expanded.next();
  ListSink sink{result.get(), top.get()};
  if (!search(s, start, a.integer("bomb_node"), top.get(), sink)) return nullptr;
  return result.release();
}

FunctionDef find_all_paths_def{
    "find_all_paths_with_labels",
    {{"connections_sparse", not_none(instance_of(&graph::type))},
     {"labels", not_none(as_ndarray)},
     {"start", as_int},
     {"bomb_node", as_int, int_default(-1)},
     {"path", as_object, none_default}},
    "find_all_paths_with_labels(GraphWrapper connections_sparse, ndarray labels, int start, int bomb_node=-1, "
    "path=None)\n\n    Find all paths from the starting node to nodes with labels greater than -1 using DFS "
    "algorithm.\n    Stop searching a path if a node with the same label as the starting node is encountered,\n    "
    "if a node with a label > -1 is found, or if a \"bomb node\" is encountered.\n\n    Parameters\n    "
    "----------\n    connections_sparse: np.ndarray\n        Object that for each index of the first dimension has "
    "a list representation of vertices connected to the index.\n    labels: np.ndarray\n        Array in which for "
    "each index that refers to node there is label information.\n    start: int\n        Index of starting node.\n"
    "    bomb_node: int, optional\n        Index of the \"bomb node\". If visited, the search in this direction "
    "stops. Defaults to None.\n    path:\n        Path at the current state of algorithm. Defaults to None.\n\n    "
    "Returns\n    ----------\n    List of all paths from the starting node to nodes with labels > -1\n    ",
    find_all_paths_with_labels};

// ---- explore_graph_recursive: chained_search.hpp, explore_closure.hpp --------------------

PyObject* explore_graph_recursive(PyObject*, Args& a) {
  PyObject* connections = a.object("connections_sparse");
  PyObject* labels = a.object("labels");
  Ref recursive_explore = make_closure(connections);
  if (!recursive_explore) return nullptr;
  Labels L;  // only a check of the argument: recursive_explore views it again
  if (!L.take(labels, false)) return nullptr;
  Ref all_paths = Ref::steal(PyList_New(0));
  if (!all_paths || !explore_into(connections, a.integer("start"), -1, all_paths.get(), labels)) return nullptr;
  return all_paths.release();
}

FunctionDef explore_def{
    "explore_graph_recursive",
    {{"connections_sparse", not_none(instance_of(&graph::type))}, {"labels", not_none(as_ndarray)}, {"start", as_int}},
    "explore_graph_recursive(GraphWrapper connections_sparse, ndarray labels, int start)\n\n    Explore the graph "
    "recursively by finding all paths from a starting node.\n    After finding paths, recursively call the function "
    "for the end nodes of each path,\n    passing the current start as a bomb node to prevent backtracking.\n\n    "
    "Parameters\n    ----------\n    connections_sparse: np.ndarray\n        Graph adjacency list in sparse format.\n"
    "    labels: np.ndarray\n        Array of labels for each node.\n    start: int\n        Starting node.\n\n    "
    "Returns\n    ----------\n    List of all paths explored during the traversal.\n    ",
    explore_graph_recursive};

// ---- find_subgraph_with_labels: subgraph.hpp ----------------------------------------------

PyObject* find_subgraph_with_labels(PyObject*, Args& a) {
  PyObject* connections = a.object("connections_sparse");
  PyObject* weights = a.object("weights_sparse");
  Labels L;
  if (!L.take(a.object("labels"), false)) return nullptr;
  const bool native = subgraph_is_native(connections, weights, L);
  Lease<Search> lease;
  Search& s = *lease;
  s.init(connections, &L, !native);
  Ref sub_conn, sub_w;
  if (!labelled_subgraph(connections, weights, L, s, native, native && is_forest(connections), &sub_conn, &sub_w))
    return nullptr;
  return PyTuple_Pack(2, sub_conn.get(), sub_w.get());
}

FunctionDef find_subgraph_def{
    "find_subgraph_with_labels",
    {{"connections_sparse", not_none(instance_of(&graph::type))},
     {"weights_sparse", not_none(instance_of(&graph::type))},
     {"labels", not_none(as_ndarray)}},
    "find_subgraph_with_labels(GraphWrapper connections_sparse, GraphWrapper weights_sparse, ndarray labels)\n\n    "
    "Creates subgraph of original graph that consists of paths between nodes with different labels.\n    If node is "
    "not labeled, it is not treated as an obstacle for path.\n\n    Parameters\n    ----------\n    weights_sparse\n"
    "    connections_sparse\n    labels: np.ndarray\n        Array in which each index refers to a node and its label "
    "information.\n\n    Returns\n    -------\n    sub_connections_sparse, sub_weights_sparse: np.ndarray\n        "
    "Objects similar to connections_sparse and weights_sparse that define a subgraph of the original graph.\n    ",
    find_subgraph_with_labels};

// ---- make_labels: label_flood.hpp ----------------------------------------------------------

PyObject* make_labels(PyObject*, Args& a) {
  Labels L;
  if (!L.take(a.object("labels"), true)) return nullptr;
  Lease<Flood> lease;
  Flood& flood = *lease;
  flood.init(a.object("connections_sparse"), &L, a.object("visited"), true);
  if (!flood.run(a.integer("node"), a.integer("label"))) return nullptr;
  Py_RETURN_NONE;
}

FunctionDef make_labels_def{
    "make_labels",
    {{"connections_sparse", not_none(instance_of(&graph::type))},
     {"node", as_int},
     {"label", as_int},
     {"visited", not_none(exactly(&PySet_Type))},
     {"labels", not_none(as_ndarray)}},
    "make_labels(GraphWrapper connections_sparse, int node, int label, set visited, ndarray labels)\n\n    "
    "Recursively assigns the same label to all nodes connected to the starting node.\n    Modifies the labels array "
    "in place.\n\n    Parameters\n    ----------\n    node: int\n        Index of starting node.\n    "
    "connections_sparse: list\n        Adjacency list where each index has a list of neighbors.\n    label: int\n   "
    "     Label of the starting node.\n    visited: set\n        Set of visited nodes to avoid redundant "
    "processing.\n    labels: np.ndarray[np.int32_t, ndim=1]\n        Array where each index represents a node and "
    "stores its label.\n    ",
    make_labels};

// ---- clusterize: edge_cut.hpp, then relabelling.hpp -------------------------------------------

PyObject* clusterize(PyObject*, Args& a) {
  PyObject* connections = a.object("connections_sparse");
  PyObject* weights = a.object("weights_sparse");
  Labels L;
  if (!L.take(a.object("labels"), false)) return nullptr;
  if (!cut_until_separated(connections, weights, L)) return nullptr;
  Ref new_labels = relabel(connections, weights, L);
  if (!new_labels) return nullptr;
  return PyTuple_Pack(3, connections, weights, new_labels.get());
}

FunctionDef clusterize_def{
    "clusterize",
    {{"connections_sparse", not_none(instance_of(&graph::type))},
     {"weights_sparse", not_none(instance_of(&graph::type))},
     {"labels", not_none(as_ndarray)}},
    "clusterize(GraphWrapper connections_sparse, GraphWrapper weights_sparse, ndarray labels)\n\n    Main function "
    "for clustering the data with given labels. The algorithm is a modification of\n    traditional edge cutting in "
    "the MST graph. It finds a subgraph of edges that are part of the path\n    that connects nodes of different "
    "labels. It chooses edges from that subgraph and cuts them until\n    all nodes with different labels are "
    "separated. At the end, it connects the nodes with the same labels.\n\n    Parameters\n    ----------\n    "
    "weights_sparse: np.ndarray\n        Array of edge weights.\n    connections_sparse: np.ndarray\n        Array of "
    "connections (edges) between nodes.\n    labels: np.ndarray\n        Array where each index represents a node "
    "and its corresponding label.\n\n    Returns\n    -------\n    new_labels: np.ndarray\n        Array of new "
    "labels, where all nodes are assigned to a label.\n    ",
    clusterize};

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
    {graph::type_def(true)},
    {&prim_mst_def, &find_all_paths_def, &explore_def, &find_subgraph_def, &make_labels_def, &clusterize_def},
};

}  // namespace

FRAME_MODULE(ombrel, ombrel_module)
