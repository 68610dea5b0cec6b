// ombrel: label clustering by cutting a minimum spanning tree.
//
// prim_mst builds the tree of the complete distance graph; the other functions
// search it for labelled vertices and cut it into one subtree per label.
//
// This file holds the bindings and the module table. The kernels live in
// headers named after what they do:
//   prim_mst                    prim_mst.hpp, its distances in pairwise_distances.hpp
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
#include "prim_mst.hpp"
#include "python_call.hpp"
#include "edge_cut.hpp"
#include "explore_closure.hpp"
#include "relabelling.hpp"

using namespace frame;

namespace {

constexpr const char* qualified_name = "halvorne_beta.algorithms.src.algorithm1.binaries.ombrel";

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
