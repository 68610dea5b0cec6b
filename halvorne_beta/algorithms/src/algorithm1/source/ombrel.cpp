// ombrel: label clustering by cutting a minimum spanning tree.
//
// prim_mst builds the tree of the complete distance graph; the other functions
// search it for labelled vertices and cut it into one subtree per label.

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graph_wrapper.hpp"
#include "prim_mst.hpp"
#include "python_call.hpp"

using namespace frame;

namespace {

constexpr const char* qualified_name = "halvorne_beta.algorithms.src.algorithm1.binaries.ombrel";

// ---- labelled path search, labelled subgraph, edge cutting and relabelling ------------
//
// The searches walk the forest depth-first on explicit stacks, so that neither
// long paths nor long chains of searches reach the C stack. Every step that the
// module would otherwise make by calling one of its own functions by name (or
// a GraphWrapper method) goes through Python as soon as that name is rebound
// (or the method overridden); while all of them are the module's own, the work
// is done here without building Python objects per step.

constexpr const char* cycle_message =
    "connections_sparse is not a forest: vertex %d is reached along two different paths";

PyObject* find_all_paths_with_labels(PyObject*, PyObject* const* args);
PyObject* explore_graph_recursive(PyObject*, PyObject* const* args);
PyObject* find_subgraph_with_labels(PyObject*, PyObject* const* args);
PyObject* make_labels(PyObject*, PyObject* const* args);
PyObject* clusterize(PyObject*, PyObject* const* args);

FunctionDef find_all_paths_def{
    "find_all_paths_with_labels",
    {{"connections_sparse"}, {"labels"}, {"start"}, {"bomb_node", int_default(-1)}, {"path", none_default}},
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

FunctionDef explore_def{
    "explore_graph_recursive",
    {{"connections_sparse"}, {"labels"}, {"start"}},
    "explore_graph_recursive(GraphWrapper connections_sparse, ndarray labels, int start)\n\n    Explore the graph "
    "recursively by finding all paths from a starting node.\n    After finding paths, recursively call the function "
    "for the end nodes of each path,\n    passing the current start as a bomb node to prevent backtracking.\n\n    "
    "Parameters\n    ----------\n    connections_sparse: np.ndarray\n        Graph adjacency list in sparse format.\n"
    "    labels: np.ndarray\n        Array of labels for each node.\n    start: int\n        Starting node.\n\n    "
    "Returns\n    ----------\n    List of all paths explored during the traversal.\n    ",
    explore_graph_recursive};

FunctionDef find_subgraph_def{
    "find_subgraph_with_labels",
    {{"connections_sparse"}, {"weights_sparse"}, {"labels"}},
    "find_subgraph_with_labels(GraphWrapper connections_sparse, GraphWrapper weights_sparse, ndarray labels)\n\n    "
    "Creates subgraph of original graph that consists of paths between nodes with different labels.\n    If node is "
    "not labeled, it is not treated as an obstacle for path.\n\n    Parameters\n    ----------\n    weights_sparse\n"
    "    connections_sparse\n    labels: np.ndarray\n        Array in which each index refers to a node and its label "
    "information.\n\n    Returns\n    -------\n    sub_connections_sparse, sub_weights_sparse: np.ndarray\n        "
    "Objects similar to connections_sparse and weights_sparse that define a subgraph of the original graph.\n    ",
    find_subgraph_with_labels};

FunctionDef make_labels_def{
    "make_labels",
    {{"connections_sparse"}, {"node"}, {"label"}, {"visited"}, {"labels"}},
    "make_labels(GraphWrapper connections_sparse, int node, int label, set visited, ndarray labels)\n\n    "
    "Recursively assigns the same label to all nodes connected to the starting node.\n    Modifies the labels array "
    "in place.\n\n    Parameters\n    ----------\n    node: int\n        Index of starting node.\n    "
    "connections_sparse: list\n        Adjacency list where each index has a list of neighbors.\n    label: int\n   "
    "     Label of the starting node.\n    visited: set\n        Set of visited nodes to avoid redundant "
    "processing.\n    labels: np.ndarray[np.int32_t, ndim=1]\n        Array where each index represents a node and "
    "stores its label.\n    ",
    make_labels};

FunctionDef clusterize_def{
    "clusterize",
    {{"connections_sparse"}, {"weights_sparse"}, {"labels"}},
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

// ---- bindings of the module's own names --------------------------------------------

enum OwnName { FIND_ALL_PATHS, EXPLORE, FIND_SUBGRAPH, MAKE_LABELS };

// True while the module-level name still holds the module's own function.
bool own(OwnName which) {
  static PyObject* keys[4] = {};
  static const char* names[4] = {"find_all_paths_with_labels", "explore_graph_recursive", "find_subgraph_with_labels",
                                 "make_labels"};
  static const FunctionDef* defs[4] = {&find_all_paths_def, &explore_def, &find_subgraph_def, &make_labels_def};
  if (keys[which] == nullptr) {
    keys[which] = PyUnicode_InternFromString(names[which]);
    if (keys[which] == nullptr) {
      PyErr_Clear();
      return false;
    }
  }
  PyObject* value = PyDict_GetItemWithError(state.dict, keys[which]);  // borrowed
  if (value == nullptr) {
    PyErr_Clear();
    return false;
  }
  return is_builtin_method(value, defs[which]);
}

const char* own_name(OwnName which) {
  static const char* names[4] = {"find_all_paths_with_labels", "explore_graph_recursive", "find_subgraph_with_labels",
                                 "make_labels"};
  return names[which];
}

// A call of the module-level name with positional arguments and then keywords.
Ref call_name(OwnName which, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  Ref callable = global(own_name(which));
  return callable ? call(callable.get(), args, kwnames) : Ref();
}

PyObject* keywords(std::initializer_list<const char*> names) { return keyword_names(names).release(); }

// Keyword tuples, made once and kept like the module's other constants.
PyObject* kw_search_child() {
  static PyObject* k = keywords({"connections_sparse", "labels", "start", "bomb_node", "path"});
  return k;
}
PyObject* kw_bomb() {
  static PyObject* k = keywords({"bomb_node"});
  return k;
}
PyObject* kw_visited_labels() {
  static PyObject* k = keywords({"visited", "labels"});
  return k;
}

Ref py_int(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }

bool expected_list(PyObject* o) {
  if (PyList_CheckExact(o)) return true;
  return fail(PyExc_TypeError, "Expected %s, got %.200s", "list", type_name(o));
}

bool out_of_range(int64_t index, Py_ssize_t size) {
  return fail(PyExc_IndexError, "index %lld is out of bounds for axis 0 with size %zd", (long long)index, size);
}

// Unpacks an iterable of exactly two values.
bool unpack_two(PyObject* o, Ref* first, Ref* second) {
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

// ---- the label array -------------------------------------------------------------------

struct Labels {
  View<int8_t, 1> view;
  PyObject* obj = nullptr;
  Py_ssize_t n = 0;
  bool exact = false;  // a plain ndarray: its own indexing reads the bytes of the view

  bool take(PyObject* o, bool writable) {
    obj = o;
    if (!view.assign_array(o, state.ndarray, int8_t_, writable)) return false;
    n = view.extent(0);
    exact = Py_IS_TYPE(o, state.ndarray);
    if (n > INT32_MAX) return fail(PyExc_ValueError, "labels has more elements than a 32-bit index can hold");
    return true;
  }
  bool check(int64_t v) const {
    if (v >= 0 && v < n) return true;
    return fail(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
  }
  int8_t at(int64_t v) const { return view(v); }
};

// ---- neighbour lists --------------------------------------------------------------------

// Reads a vertex's neighbour list, truncated to 32-bit vertex indices as the
// searches use them: straight from the container while that gives what
// `to_numpy` would, else through `to_numpy` (an override, or a rebound `np`).
struct Reader {
  PyObject* obj = nullptr;
  bool direct = false;

  void set(PyObject* o) {
    obj = o;
    direct = Py_IS_TYPE(o, &graph::type) && graph::as_graph(o)->dtype == graph::INT64 && is_original("np");
  }
  bool read(int64_t v, std::vector<int32_t>& out) const {
    if (direct) {
      graph::Object* g = graph::as_graph(obj);
      if (!graph::check_index(g, v)) return false;
      const graph::Slot& s = g->slots[v];
      const int64_t* items = static_cast<const int64_t*>(s.data);
      for (int32_t i = 0; i < s.size; ++i) out.push_back(int32_t(items[i]));
      return true;
    }
    Ref array = graph::to_numpy(obj, v);
    if (!array) return false;
    View<int64_t, 1> items;
    if (!items.assign_array(array.get(), state.ndarray, ITYPE_t, false)) return false;
    for (Py_ssize_t i = 0; i < items.extent(0); ++i) out.push_back(int32_t(items(i)));
    return true;
  }
};

// ---- the depth-first path search ---------------------------------------------------------

// Epoch-stamped marks: a new epoch clears them all in O(1).
struct Marks {
  std::vector<uint32_t> stamp;
  uint32_t epoch = 1;
  // Grows to n entries; marks of earlier epochs stay but no longer count.
  void resize(size_t n) {
    if (stamp.size() < n) stamp.resize(n, 0);
  }
  void next() {
    if (++epoch == 0) {
      std::fill(stamp.begin(), stamp.end(), 0);
      epoch = 1;
    }
  }
  bool test(int64_t v) const { return stamp[size_t(v)] == epoch; }
  void set(int64_t v) { stamp[size_t(v)] = epoch; }
};

struct Frame {
  int32_t vertex;
  bool native;        // the vertex is on the native part of the path
  size_t native_len;  // native path length with this frame
  size_t begin, end, pos;
  Ref path;  // the frame's current path as a list, once a Python call needed it
  uint64_t branch = 0;  // its key in the branch memo, 0 for none
  bool found = false;   // a path was found through this frame
};

// Branch memo key: entering `to` from `from` in a search whose origin has `label`.
inline uint64_t branch_key(int32_t from, int32_t to, int8_t label) {
  return uint64_t(uint32_t(from)) << 36 | uint64_t(uint32_t(to)) << 8 | uint8_t(label);
}
constexpr int64_t branch_key_limit = int64_t(1) << 28;

// The label of a search's origin, read once it is first compared.
struct OriginLabel {
  bool known = false;
  bool native = false;
  long long value = 0;
  Ref obj;

  bool load(const Labels& L, PyObject* origin) {
    known = true;
    if (L.exact && PyLong_CheckExact(origin)) {
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(origin, &overflow);
      if (!overflow && v >= -L.n && v < L.n) {
        native = true;
        value = L.at(v < 0 ? v + L.n : v);
        return true;
      }
    }
    obj = Ref::steal(PyObject_GetItem(L.obj, origin));
    if (!obj) return false;
    if (PyLong_Check(obj.get()) || PyArray_IsScalar(obj.get(), Integer)) {
      Ref index = Ref::steal(PyNumber_Index(obj.get()));
      if (!index) return false;
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (v == -1 && PyErr_Occurred()) return false;
      if (!overflow) {
        native = true;
        value = v;
      }
    }
    return true;
  }
  // 1 when `label` equals the origin's label, 0 if not, -1 on error.
  int equal(int8_t label) const {
    if (native) return label == value;
    Ref left = py_int(label);
    return left ? PyObject_RichCompareBool(left.get(), obj.get(), Py_EQ) : -1;
  }
};

struct Search {
  Reader reader;
  Labels* labels = nullptr;
  bool recheck = true;  // Python code may run during a search: look names up at each step
  std::vector<uint32_t> on_path;
  Marks expanded, started;
  std::vector<int32_t> arena, nodes;
  std::vector<Frame> frames;
  size_t shared = 0;  // native path length unchanged since the last path found
  // On a forest, what a search finds beyond an edge depends only on that
  // edge, its direction and the origin's label: branches met again (from
  // another origin of the same label) add nothing new to a subgraph, beyond
  // the path that leads to them. Whether each explored branch found a path.
  std::unordered_map<uint64_t, bool>* branches = nullptr;

  // Items of a caller's path (find_all_paths_with_labels with `path`).
  PyObject* top = nullptr;
  std::vector<int64_t> top_marked, top_far;
  std::vector<Ref> top_odd;

  void init(PyObject* connections, Labels* L, bool check_names) {
    reader.set(connections);
    labels = L;
    recheck = check_names;
    branches = nullptr;
    if (on_path.size() < size_t(L->n)) on_path.resize(size_t(L->n), 0);  // all zero between searches
    expanded.resize(size_t(L->n));
    started.resize(size_t(L->n));
  }

  void pop() {
    Frame& f = frames.back();
    if (f.branch != 0) (*branches)[f.branch] = f.found;
    if (f.found && frames.size() > 1) frames[frames.size() - 2].found = true;
    if (f.native) {
      --on_path[size_t(f.vertex)];
      nodes.pop_back();
      if (shared > nodes.size()) shared = nodes.size();
    }
    arena.resize(f.begin);
    frames.pop_back();
  }
  void unwind() {
    while (!frames.empty()) pop();
    for (int64_t v : top_marked) --on_path[size_t(v)];
    top_marked.clear();
    top_far.clear();
    top_odd.clear();
    top = nullptr;
    arena.clear();
  }

  bool expand(int32_t v, bool native) {
    size_t begin = arena.size();
    if (!reader.read(v, arena)) return false;
    if (expanded.test(v)) return fail(PyExc_ValueError, cycle_message, int(v));
    expanded.set(v);
    frames.push_back(Frame{v, native, nodes.size() + (native ? 1 : 0), begin, arena.size(), begin, Ref()});
    if (native) {
      ++on_path[size_t(v)];
      nodes.push_back(v);
    }
    return true;
  }

  bool load_top(PyObject* list) {
    top = list;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      PyObject* item = PyList_GET_ITEM(list, i);
      if (PyLong_CheckExact(item)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow) continue;  // cannot equal a 32-bit vertex
        if (v >= 0 && v < labels->n) {
          ++on_path[size_t(v)];
          top_marked.push_back(v);
        } else {
          top_far.push_back(v);
        }
      } else {
        top_odd.push_back(Ref::borrow(item));
      }
    }
    return true;
  }

  // 1 when `v` is on the current path, 0 if not, -1 on error.
  int on_current_path(int32_t v) const {
    if (v >= 0 && v < labels->n && on_path[size_t(v)] != 0) return 1;
    for (int64_t far : top_far)
      if (far == v) return 1;
    if (top_odd.empty()) return 0;
    Ref value = py_int(v);
    if (!value) return -1;
    for (const Ref& item : top_odd) {
      int r = PyObject_RichCompareBool(item.get(), value.get(), Py_EQ);
      if (r != 0) return r;
    }
    return 0;
  }

  // The current path of frame `i` as a Python list (made once per frame).
  PyObject* frame_path(size_t i) {
    Frame& f = frames[i];
    if (f.path) return f.path.get();
    if (top != nullptr && !f.native && i == 0) {
      f.path = Ref::borrow(top);
      return top;
    }
    Py_ssize_t prefix = top ? PyList_GET_SIZE(top) : 0;
    Ref list = Ref::steal(PyList_New(prefix + Py_ssize_t(f.native_len)));
    if (!list) return nullptr;
    for (Py_ssize_t k = 0; k < prefix; ++k) PyList_SET_ITEM(list.get(), k, Py_NewRef(PyList_GET_ITEM(top, k)));
    for (size_t k = 0; k < f.native_len; ++k) {
      PyObject* v = PyLong_FromLong(nodes[k]);
      if (v == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), prefix + Py_ssize_t(k), v);
    }
    f.path = list;
    return list.get();
  }
};

// Workspaces outlive a call, so that a search reached once per step through
// a rebound name does not pay for arrays as long as the graph each time.
// Calls nest (a Python callee may call back in), so they are handed out as a stack.
template <class T>
struct Lease {
  static std::vector<T*>& pool() {
    static std::vector<T*> items;
    return items;
  }
  static size_t& in_use() {
    static size_t count = 0;
    return count;
  }
  T* item;
  Lease() {
    if (in_use() == pool().size()) pool().push_back(new T());
    item = pool()[in_use()++];
  }
  ~Lease() { --in_use(); }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  T& operator*() const { return *item; }
};

// Runs find_all_paths_with_labels from `start`: the caller's path is `top`
// (a list already holding `start` last), or none. Paths found are handed to
// `sink` in the order the search returns them: native ones as the native
// path plus the end vertex, those from Python calls as objects.
template <class Sink>
bool search(Search& s, int32_t start, int32_t bomb, PyObject* top, Sink& sink) {
  struct Unwind {
    Search& s;
    ~Unwind() { s.unwind(); }
  } unwind{s};
  const Labels& L = *s.labels;
  s.shared = 0;
  if (bomb != -1 && start == bomb) return true;
  if (!L.check(start)) return false;
  Ref origin;
  if (top != nullptr) {
    if (PyList_GET_SIZE(top) == 0) return fail(PyExc_IndexError, "list index out of range");
    origin = Ref::borrow(PyList_GET_ITEM(top, 0));
    if (L.at(start) >= 0) {
      Ref value = py_int(start);
      int differs = value ? PyObject_RichCompareBool(value.get(), origin.get(), Py_NE) : -1;
      if (differs < 0) return false;
      if (differs) return sink.python_path(top);
    }
    s.load_top(top);
  }
  if (!s.expand(start, top == nullptr)) return false;
  OriginLabel origin_label;
  while (!s.frames.empty()) {
    Frame& f = s.frames.back();
    if (f.pos == f.end) {
      s.pop();
      continue;
    }
    const int32_t neighbor = s.arena[f.pos++];
    int on = s.on_current_path(neighbor);
    if (on < 0) return false;
    if (on) continue;
    if (!L.check(neighbor)) return false;
    if (!origin_label.known) {
      if (!origin) origin = py_int(start);
      if (!origin || !origin_label.load(L, origin.get())) return false;
    }
    int same = origin_label.equal(L.at(neighbor));
    if (same < 0) return false;
    if (same) continue;
    if (s.recheck && !own(FIND_ALL_PATHS)) {
      PyObject* path = s.frame_path(s.frames.size() - 1);
      Ref index = py_int(neighbor), bomb_value = py_int(bomb);
      if (!path || !index || !bomb_value) return false;
      Ref found = call_name(FIND_ALL_PATHS, {s.reader.obj, L.obj, index.get(), bomb_value.get(), path},
                            kw_search_child());
      if (!found) return false;
      Ref it = Ref::steal(PyObject_GetIter(found.get()));
      if (!it) return false;
      while (Ref item = Ref::steal(PyIter_Next(it.get())))
        if (!sink.python_path(item.get())) return false;
      if (PyErr_Occurred()) return false;
      continue;
    }
    if (bomb != -1 && neighbor == bomb) continue;
    if (L.at(neighbor) >= 0) {
      if (!sink.native_path(s.nodes.data(), s.nodes.size(), neighbor, s.shared)) return false;
      s.shared = s.nodes.size();
      s.frames.back().found = true;
      continue;
    }
    uint64_t key = 0;
    if (s.branches != nullptr && origin_label.native) {
      key = branch_key(s.frames.back().vertex, neighbor, int8_t(origin_label.value));
      auto known = s.branches->find(key);
      if (known != s.branches->end()) {
        if (known->second) {
          if (!sink.known_path(s.nodes.data(), s.nodes.size(), s.shared)) return false;
          s.shared = s.nodes.size();
          s.frames.back().found = true;
        }
        continue;
      }
    }
    if (!s.expand(neighbor, true)) return false;
    s.frames.back().branch = key;
  }
  return true;
}

// Builds each path found as a Python list: the caller's path (if any), the
// native path, the end vertex.
struct ListSink {
  PyObject* out;
  PyObject* top;

  bool native_path(const int32_t* nodes, size_t n, int32_t end, size_t) {
    Py_ssize_t prefix = top ? PyList_GET_SIZE(top) : 0;
    Ref list = Ref::steal(PyList_New(prefix + Py_ssize_t(n) + 1));
    if (!list) return false;
    for (Py_ssize_t k = 0; k < prefix; ++k) PyList_SET_ITEM(list.get(), k, Py_NewRef(PyList_GET_ITEM(top, k)));
    for (size_t k = 0; k <= n; ++k) {
      PyObject* v = PyLong_FromLong(k < n ? nodes[k] : end);
      if (v == nullptr) return false;
      PyList_SET_ITEM(list.get(), prefix + Py_ssize_t(k), v);
    }
    return PyList_Append(out, list.get()) == 0;
  }
  bool python_path(PyObject* path) { return PyList_Append(out, path) == 0; }
  bool known_path(const int32_t*, size_t, size_t) { return fail(PyExc_SystemError, "branch memo without a subgraph"); }
};

// ---- chained searches (recursive_explore) ---------------------------------------------

struct ChainItem {
  int32_t end;
  int32_t before;  // the vertex before the end: the next search's bomb node
  Ref path;        // set for paths that came from Python
};

template <class Out>
struct ChainSink {
  Out& out;
  std::vector<ChainItem>& items;
  bool native_path(const int32_t* nodes, size_t n, int32_t end, size_t shared) {
    items.push_back(ChainItem{end, nodes[n - 1], Ref()});
    return out.native_path(nodes, n, end, shared);
  }
  bool python_path(PyObject* path) {
    items.push_back(ChainItem{0, 0, Ref::borrow(path)});
    return out.python_path(path);
  }
  // Paths through a known branch: their ends were chained when it was first met.
  bool known_path(const int32_t* nodes, size_t n, size_t shared) { return out.known_path(nodes, n, shared); }
};

// recursive_explore from `start`: searches from `start`, then from the end of
// every path found (the vertex before it as bomb node), depth-first in the
// order of the paths. Each finished search is handed to `out` as a whole
// (`commit`), so a failing one leaves nothing behind.
//
// `done`, when given, holds the (start, bomb node) pairs already searched in
// this subgraph computation: on a forest such a search and everything chained
// from it repeat exactly, and all their paths are already in the subgraph.
template <class Out>
bool chain(Search& s, int32_t start, int32_t bomb, Out& out, std::unordered_set<uint64_t>* done = nullptr) {
  s.expanded.next();
  s.started.next();
  std::unordered_set<int64_t> started_far;
  std::vector<ChainItem> items;
  struct Level {
    size_t begin, end, next;
    int32_t bomb;
  };
  std::vector<Level> levels;

  auto run = [&](int32_t from, int32_t bomb_node) -> bool {
    if (done != nullptr && !done->insert(uint64_t(uint32_t(from)) << 32 | uint32_t(bomb_node)).second) return true;
    if (from >= 0 && from < s.labels->n) {
      if (s.started.test(from)) return fail(PyExc_ValueError, cycle_message, int(from));
      s.started.set(from);
    } else if (!started_far.insert(from).second) {
      return fail(PyExc_ValueError, cycle_message, int(from));
    }
    size_t begin = items.size();
    if (!out.begin()) return false;
    ChainSink<Out> sink{out, items};
    bool ok;
    if (!s.recheck || own(FIND_ALL_PATHS)) {
      ok = search(s, from, bomb_node, nullptr, sink);
    } else {
      Ref a = py_int(from), b = py_int(bomb_node);
      Ref found = a && b ? call_name(FIND_ALL_PATHS, {s.reader.obj, s.labels->obj, a.get(), b.get()}, kw_bomb())
                         : Ref();
      ok = found && expected_list(found.get());
      Ref snapshot = Ref::steal(ok ? PyList_GetSlice(found.get(), 0, PyList_GET_SIZE(found.get())) : nullptr);
      ok = ok && snapshot;
      for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(snapshot.get()); ++i)
        ok = sink.python_path(PyList_GET_ITEM(snapshot.get(), i));
    }
    if (!ok) {
      out.rollback();
      return false;
    }
    if (!out.commit()) return false;
    levels.push_back(Level{begin, items.size(), begin, bomb_node});
    return true;
  };

  if (!run(start, bomb)) return false;
  while (!levels.empty()) {
    Level& level = levels.back();
    if (level.next == level.end) {
      items.resize(level.begin);
      levels.pop_back();
      continue;
    }
    const size_t i = level.next++;
    const int32_t level_bomb = level.bomb;
    int end, before;
    if (!items[i].path) {
      end = items[i].end;
      before = items[i].before;
      if (end == level_bomb) continue;
    } else {
      Ref path = items[i].path;
      if (!expected_list(path.get())) return false;
      if (PyList_GET_SIZE(path.get()) < 1) return fail(PyExc_IndexError, "list index out of range");
      Ref last = Ref::borrow(PyList_GET_ITEM(path.get(), PyList_GET_SIZE(path.get()) - 1));
      if (!to_int(last.get(), &end)) return false;
      if (end == level_bomb) continue;
      if (PyList_GET_SIZE(path.get()) < 2) return fail(PyExc_IndexError, "list index out of range");
      Ref previous = Ref::borrow(PyList_GET_ITEM(path.get(), PyList_GET_SIZE(path.get()) - 2));
      if (!to_int(previous.get(), &before)) return false;
    }
    if (!run(end, before)) return false;
  }
  return true;
}

// Collects the paths of each search into a list and extends `target` with it.
struct ListOut {
  PyObject* target;
  Ref paths;
  bool begin() {
    paths = Ref::steal(PyList_New(0));
    return bool(paths);
  }
  bool native_path(const int32_t* nodes, size_t n, int32_t end, size_t shared) {
    ListSink sink{paths.get(), nullptr};
    return sink.native_path(nodes, n, end, shared);
  }
  bool python_path(PyObject* path) { return PyList_Append(paths.get(), path) == 0; }
  void rollback() { paths = Ref(); }
  bool known_path(const int32_t*, size_t, size_t) { return fail(PyExc_SystemError, "branch memo without a subgraph"); }
  bool commit() {
    Py_ssize_t n = PyList_GET_SIZE(target);
    return PyList_SetSlice(target, n, n, paths.get()) == 0;
  }
};

// ---- the labelled subgraph ---------------------------------------------------------------

// Vertices covered by the paths collected so far.
struct Coverage {
  std::vector<uint8_t> covered;
  Ref odd;  // the path elements that are not plain ints, as a set

  void init(Py_ssize_t n) { covered.assign(size_t(n), 0); }
  void mark(int64_t v) {
    if (v >= 0 && size_t(v) < covered.size()) covered[size_t(v)] = 1;
  }
  bool add(PyObject* v) {
    if (PyLong_CheckExact(v)) {
      int overflow = 0;
      long long value = PyLong_AsLongLongAndOverflow(v, &overflow);
      if (!overflow) mark(value);
      return true;
    }
    if (!odd) odd = Ref::steal(PySet_New(nullptr));
    return odd && PySet_Add(odd.get(), v) == 0;
  }
  bool add_path(PyObject* path) {
    Ref it = Ref::steal(PyObject_GetIter(path));
    if (!it) return false;
    while (Ref v = Ref::steal(PyIter_Next(it.get())))
      if (!add(v.get())) return false;
    return !PyErr_Occurred();
  }
  int contains(int32_t v) const {
    if (covered[size_t(v)]) return 1;
    if (!odd) return 0;
    Ref value = py_int(v);
    return value ? PySet_Contains(odd.get(), value.get()) : -1;
  }
};

bool direct_of(PyObject* o, int dtype) {
  return Py_IS_TYPE(o, &graph::type) && graph::as_graph(o)->dtype == dtype && is_original("np");
}

// Position of the first `x` in vertex v's list, as `to_numpy(v).tolist().index(x)`.
bool position_in(PyObject* container, int64_t v, int64_t x, Py_ssize_t* out) {
  if (direct_of(container, graph::INT64)) {
    graph::Object* g = graph::as_graph(container);
    if (!graph::check_index(g, v)) return false;
    const int64_t* items = graph::ints(g, size_t(v));
    for (int32_t i = 0; i < g->slots[v].size; ++i) {
      if (items[i] == x) {
        *out = i;
        return true;
      }
    }
    return fail(PyExc_ValueError, "%lld is not in list", (long long)x);
  }
  Ref array = graph::to_numpy(container, v);
  Ref list = Ref::steal(array ? PyObject_CallMethod(array.get(), "tolist", nullptr) : nullptr);
  Ref value = list ? py_int(x) : Ref();
  Ref index = Ref::steal(value ? PyObject_CallMethod(list.get(), "index", "(O)", value.get()) : nullptr);
  return index && to_ssize(index.get(), out);
}

// Copies the edges of the collected paths, with their weights, into the two
// subgraph containers (the second phase of find_subgraph_with_labels).
struct Phase2 {
  PyObject* conn = nullptr;
  PyObject* weights = nullptr;
  Ref sub_conn, sub_w;
  bool direct_w = false, direct_sub = false;
  bool deferred = false;  // keep the first failure until the searches are done
  bool failed = false;
  PyObject* error = nullptr;

  ~Phase2() { Py_XDECREF(error); }
  void set(PyObject* c, PyObject* w) {
    conn = c;
    weights = w;
    direct_w = direct_of(w, graph::FLOAT32);
    direct_sub = is_original("np");
  }
  bool hold() {
    if (!deferred) return false;
    failed = true;
    error = PyErr_GetRaisedException();
    return true;
  }
  bool finish() {
    if (error == nullptr) return true;
    PyErr_SetRaisedException(error);
    error = nullptr;
    return false;
  }
  bool create(Py_ssize_t n) {
    if (n > INT32_MAX) return fail(PyExc_ValueError, "the graph has more vertices than a 32-bit index can hold");
    sub_conn = graph::create(size_t(n), graph::INT64, int(n));
    sub_w = sub_conn ? graph::create(size_t(n), graph::FLOAT32, int(n)) : Ref();
    return bool(sub_w);
  }
  int sub_contains(int32_t a, int32_t b) {
    if (direct_sub) {
      graph::Object* g = graph::as_graph(sub_conn.get());
      if (!graph::check_index(g, a)) return -1;
      const int64_t* items = graph::ints(g, size_t(a));
      for (int32_t i = 0; i < g->slots[a].size; ++i)
        if (items[i] == b) return 1;
      return 0;
    }
    Ref array = graph::to_numpy(sub_conn.get(), a);
    Ref value = array ? py_int(b) : Ref();
    return value ? PySequence_Contains(array.get(), value.get()) : -1;
  }
  bool weight_at(int32_t a, Py_ssize_t position, float* out) {
    if (direct_w) {
      graph::Object* g = graph::as_graph(weights);
      if (!graph::check_index(g, a)) return false;
      if (position >= g->slots[a].size) return out_of_range(position, g->slots[a].size);
      *out = graph::floats(g, size_t(a))[position];
      return true;
    }
    Ref array = graph::to_numpy(weights, a);
    Ref index = array ? py_int(position) : Ref();
    Ref item = Ref::steal(index ? PyObject_GetItem(array.get(), index.get()) : nullptr);
    double value;
    if (!item || !to_double(item.get(), &value)) return false;
    *out = float(value);
    return true;
  }
  bool one_way(int32_t a, int32_t b) {
    int present = sub_contains(a, b);
    if (present < 0) return false;
    if (present) return true;
    Py_ssize_t position;
    float w;
    return graph::append_int(sub_conn.get(), a, b) && position_in(conn, a, b, &position) &&
           weight_at(a, position, &w) && graph::append_float(sub_w.get(), a, double(w));
  }
  bool pair(int32_t a, int32_t b) {
    if (failed) return true;
    if (one_way(a, b) && one_way(b, a)) return true;
    return hold();
  }
  bool python_pairs(PyObject* path) {
    if (failed) return true;
    Py_ssize_t n = PyObject_Length(path);
    if (n < 0) return hold();
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
      Ref x = Ref::steal(PySequence_GetItem(path, i));
      Ref y = Ref::steal(x ? PySequence_GetItem(path, i + 1) : nullptr);
      int a, b;
      if (!y || !to_int(x.get(), &a) || !to_int(y.get(), &b)) return hold();
      if (!pair(a, b)) return false;
      if (failed) return true;
    }
    return true;
  }
};

// Phase 2 as the paths arrive (the containers are the module's own, so the
// order of the work cannot be seen; failures wait for the searches to end).
struct StreamOut {
  Coverage& cov;
  Phase2& p2;
  size_t found = 0;
  bool begin() { return true; }
  void rollback() {}
  bool commit() { return true; }
  bool native_path(const int32_t* nodes, size_t n, int32_t end, size_t shared) {
    ++found;
    for (size_t i = shared; i < n; ++i) cov.mark(nodes[i]);
    cov.mark(end);
    // pairs inside the first `shared` vertices were met by an earlier path of this search
    for (size_t i = shared > 0 ? shared - 1 : 0; i + 1 < n; ++i)
      if (!p2.pair(nodes[i], nodes[i + 1])) return false;
    return p2.pair(nodes[n - 1], end);
  }
  bool python_path(PyObject* path) {
    ++found;
    return cov.add_path(path) && p2.python_pairs(path);
  }
  // The path up to a known branch: only its own edges can be new.
  bool known_path(const int32_t* nodes, size_t n, size_t shared) {
    ++found;
    for (size_t i = shared; i < n; ++i) cov.mark(nodes[i]);
    for (size_t i = shared > 0 ? shared - 1 : 0; i + 1 < n; ++i)
      if (!p2.pair(nodes[i], nodes[i + 1])) return false;
    return true;
  }
};

// Keeps every collected path for a phase 2 after all searches.
struct StoreOut {
  struct Entry {
    size_t begin, end;
    Ref path;
  };
  std::vector<int32_t> flat;
  std::vector<Entry> entries;
  bool begin() { return true; }
  void rollback() {}
  bool commit() { return true; }
  bool native_path(const int32_t* nodes, size_t n, int32_t end, size_t) {
    size_t b = flat.size();
    flat.insert(flat.end(), nodes, nodes + n);
    flat.push_back(end);
    entries.push_back(Entry{b, flat.size(), Ref()});
    return true;
  }
  bool python_path(PyObject* path) {
    entries.push_back(Entry{0, 0, Ref::borrow(path)});
    return true;
  }
  bool known_path(const int32_t*, size_t, size_t) { return fail(PyExc_SystemError, "branch memo without a subgraph"); }
};

// Everything the subgraph reads is the module's own: no Python code runs.
bool subgraph_is_native(PyObject* conn, PyObject* weights, const Labels& L) {
  return own(EXPLORE) && own(FIND_ALL_PATHS) && L.exact && direct_of(conn, graph::INT64) &&
         direct_of(weights, graph::FLOAT32);
}

// True when the lists hold a forest: every edge once in each endpoint's list,
// no loops, no vertex outside the container, no cycle.
bool is_forest(PyObject* conn) {
  graph::Object* g = graph::as_graph(conn);
  const size_t n = g->count;
  std::vector<uint64_t> up, down;  // edges listed by their lower / higher endpoint
  std::vector<int64_t> parent(n);
  for (size_t v = 0; v < n; ++v) parent[v] = int64_t(v);
  auto root = [&](int64_t v) {
    while (parent[size_t(v)] != v) v = parent[size_t(v)] = parent[size_t(parent[size_t(v)])];
    return v;
  };
  for (size_t v = 0; v < n; ++v) {
    const int64_t* items = graph::ints(g, v);
    for (int32_t i = 0; i < g->slots[v].size; ++i) {
      const int64_t u = items[i];
      if (u < 0 || uint64_t(u) >= n || size_t(u) == v) return false;
      if (size_t(u) > v) {
        int64_t a = root(int64_t(v)), b = root(u);
        if (a == b) return false;
        parent[size_t(a)] = b;
        up.push_back(uint64_t(v) << 32 | uint64_t(u));
      } else {
        down.push_back(uint64_t(u) << 32 | uint64_t(v));
      }
    }
  }
  if (up.size() != down.size() || n > UINT32_MAX) return false;
  std::sort(up.begin(), up.end());
  std::sort(down.begin(), down.end());
  return up == down;
}

bool subgraph_native(PyObject* conn, PyObject* weights, Labels& L, Search& s, Ref* out_conn, Ref* out_w,
                     bool forest) {
  Coverage cov;
  cov.init(L.n);
  Phase2 p2;
  p2.set(conn, weights);
  p2.deferred = true;
  if (!p2.create(Py_ssize_t(graph::count(conn)))) p2.hold();
  StreamOut out{cov, p2};
  std::unordered_set<uint64_t> done;
  std::unordered_map<uint64_t, bool> branches;
  struct Reset {
    Search& s;
    ~Reset() { s.branches = nullptr; }
  } reset{s};
  if (forest && int64_t(graph::count(conn)) < branch_key_limit && L.n < branch_key_limit) s.branches = &branches;
  for (Py_ssize_t i = 0; i < L.n; ++i) {
    if (L.at(i) == -1 || cov.covered[size_t(i)]) continue;
    size_t before = out.found;
    if (!chain(s, int32_t(i), -1, out, forest ? &done : nullptr)) return false;
    if (out.found == before) cov.mark(i);
  }
  if (!p2.finish()) return false;
  *out_conn = p2.sub_conn;
  *out_w = p2.sub_w;
  return true;
}

// The same, step by step through whatever is rebound or overridden.
bool subgraph_general(PyObject* conn, PyObject* weights, Labels& L, Search& s, Ref* out_conn, Ref* out_w, bool) {
  Coverage cov;
  cov.init(L.n);
  StoreOut store;
  for (Py_ssize_t i = 0; i < L.n; ++i) {
    if (L.at(i) == -1) continue;
    int covered = cov.contains(int32_t(i));
    if (covered < 0) return false;
    if (covered) continue;
    size_t before = store.entries.size();
    if (own(EXPLORE)) {
      if (!chain(s, int32_t(i), -1, store)) return false;
    } else {
      Ref start = py_int(i);
      Ref found = start ? call_name(EXPLORE, {conn, L.obj, start.get()}) : Ref();
      if (!found || !expected_list(found.get())) return false;
      Ref snapshot = Ref::steal(PyList_GetSlice(found.get(), 0, PyList_GET_SIZE(found.get())));
      if (!snapshot) return false;
      for (Py_ssize_t k = 0; k < PyList_GET_SIZE(snapshot.get()); ++k)
        store.python_path(PyList_GET_ITEM(snapshot.get(), k));
    }
    if (store.entries.size() == before) {
      cov.mark(i);
      continue;
    }
    for (size_t e = before; e < store.entries.size(); ++e) {
      const StoreOut::Entry& entry = store.entries[e];
      if (entry.path) {
        if (!cov.add_path(entry.path.get())) return false;
      } else {
        for (size_t k = entry.begin; k < entry.end; ++k) cov.mark(store.flat[k]);
      }
    }
  }
  Py_ssize_t n;
  if (Py_IS_TYPE(conn, &graph::type) && is_original("np")) {
    n = Py_ssize_t(graph::count(conn));
  } else {
    Ref all = Ref::steal(PyObject_CallMethod(conn, "to_numpy_all", nullptr));
    n = all ? PyObject_Length(all.get()) : -1;
    if (n < 0) return false;
  }
  Phase2 p2;
  p2.set(conn, weights);
  if (!p2.create(n)) return false;
  for (const StoreOut::Entry& entry : store.entries) {
    if (entry.path) {
      if (!p2.python_pairs(entry.path.get())) return false;
    } else {
      for (size_t k = entry.begin; k + 1 < entry.end; ++k)
        if (!p2.pair(store.flat[k], store.flat[k + 1])) return false;
    }
  }
  *out_conn = p2.sub_conn;
  *out_w = p2.sub_w;
  return true;
}

// ---- the flood of make_labels -----------------------------------------------------------

struct Flood {
  Reader reader;
  Labels* labels = nullptr;
  PyObject* visited = nullptr;  // the caller's set; none for an internal flood
  bool recheck = true;
  bool set_mode = false;  // membership answered by the caller's set itself
  Marks seen;
  std::vector<int32_t> arena;
  struct Level {
    size_t begin, end, pos;
  };
  std::vector<Level> levels;

  void init(PyObject* connections, Labels* L, PyObject* set, bool check_names) {
    reader.set(connections);
    labels = L;
    visited = set;
    recheck = check_names;
    seen.resize(size_t(L->n));
    levels.clear();
    arena.clear();
  }
  int member(int32_t v) const {
    if (!set_mode && v >= 0 && v < labels->n) return seen.test(v);
    if (visited == nullptr) return 0;
    Ref value = py_int(v);
    return value ? PySet_Contains(visited, value.get()) : -1;
  }
  bool visit(int32_t v, int label) {
    if (visited != nullptr) {
      Ref value = py_int(v);
      if (!value || PySet_Add(visited, value.get()) < 0) return false;
    }
    if (v >= 0 && v < labels->n) seen.set(v);
    if (!labels->check(v)) return false;
    labels->view(v) = int8_t(label);
    size_t begin = arena.size();
    if (!reader.read(v, arena)) return false;
    levels.push_back(Level{begin, arena.size(), begin});
    return true;
  }
  bool run(int32_t node, int label) {
    seen.next();
    levels.clear();
    arena.clear();
    set_mode = visited != nullptr;
    if (!visit(node, label)) return false;
    while (!levels.empty()) {
      Level& level = levels.back();
      if (level.pos == level.end) {
        arena.resize(level.begin);
        levels.pop_back();
        continue;
      }
      const int32_t neighbor = arena[level.pos++];
      int m = member(neighbor);
      if (m < 0) return false;
      if (m) continue;
      if (recheck && !own(MAKE_LABELS)) {
        Ref index = py_int(neighbor), value = py_int(label);
        if (!index || !value) return false;
        PyObject* set = visited != nullptr ? visited : Py_None;
        if (!call_name(MAKE_LABELS, {reader.obj, index.get(), value.get(), set, labels->obj})) return false;
        set_mode = true;
        continue;
      }
      if (!visit(neighbor, label)) return false;
    }
    return true;
  }
};

// ---- edge cutting --------------------------------------------------------------------------

// 1 when some list of the subgraph is not empty (read from `to_numpy_all`).
int has_edges(PyObject* sub) {
  if (Py_IS_TYPE(sub, &graph::type) && is_original("np")) {
    for (size_t v = 0; v < graph::count(sub); ++v)
      if (graph::size(sub, v) > 0) return 1;
    return 0;
  }
  Ref all = Ref::steal(PyObject_CallMethod(sub, "to_numpy_all", nullptr));
  if (!all) return -1;
  Py_ssize_t n = PySequence_Length(all.get());
  if (n < 0) return -1;
  int any = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(all.get(), i));
    Py_ssize_t length = item ? PyObject_Length(item.get()) : -1;
    if (length < 0) return -1;
    if (length > 0) any = 1;
  }
  return any;
}

// The edge to cut: the first occurrence, in vertex order and then list order,
// of the largest subgraph weight (as pop_max finds it), and the neighbour
// stored at that position. `remove` also removes every occurrence of that
// weight, as pop_max does, for a subgraph that the caller can still see.
bool choose_cut(PyObject* sub_conn, PyObject* sub_w, bool remove, int* first, int* second) {
  Ref method;
  int overridden = graph::find_override(sub_w, "pop_max", &graph::pop_max_def, &method);
  if (overridden < 0) return false;
  if (overridden) {
    Ref result = graph::pop_max(sub_w);
    if (!result) return false;
    Ref a, b;
    return unpack_two(result.get(), &a, &b) && to_int(a.get(), first) && to_int(b.get(), second);
  }
  graph::Object* g = graph::as_graph(sub_w);
  bool found = false;
  float best = -1.0f;
  size_t best_vertex = 0;
  int32_t best_position = 0;
  if (g->dtype == graph::FLOAT32) {
    for (size_t v = 0; v < g->count; ++v) {
      const float* w = graph::floats(g, v);
      for (int32_t i = 0; i < g->slots[v].size; ++i) {
        if (w[i] > best || (!found && w[i] == best)) {
          best = w[i];
          found = true;
          best_vertex = v;
          best_position = i;
        }
      }
    }
  }
  if (!found) return fail(PyExc_ValueError, "All sub-arrays are empty, cannot pop max");
  int64_t partner;
  if (direct_of(sub_conn, graph::INT64)) {
    graph::Object* c = graph::as_graph(sub_conn);
    if (best_vertex >= c->count || best_position >= c->slots[best_vertex].size)
      return out_of_range(best_position, best_vertex < c->count ? c->slots[best_vertex].size : 0);
    partner = graph::ints(c, best_vertex)[best_position];
  } else {
    Ref array = graph::to_numpy(sub_conn, int64_t(best_vertex));
    Ref index = array ? py_int(best_position) : Ref();
    Ref item = Ref::steal(index ? PyObject_GetItem(array.get(), index.get()) : nullptr);
    if (!item || !to_int64(item.get(), &partner)) return false;
  }
  if (partner < INT32_MIN || partner > INT32_MAX) return fail(PyExc_OverflowError, "value too large to convert to int");
  if (remove) {
    for (size_t v = 0; v < g->count; ++v) {
      float* w = graph::floats(g, v);
      int32_t kept = 0;
      for (int32_t i = 0; i < g->slots[v].size; ++i)
        if (!(w[i] == best)) w[kept++] = w[i];
      g->slots[v].size = kept;
    }
  }
  *first = int(best_vertex);
  *second = int(partner);
  return true;
}

// Removes the edge {first, second} from both containers, each direction at
// the first position where it occurs.
bool cut(PyObject* conn, PyObject* weights, int first, int second) {
  Py_ssize_t for_first, for_second;
  if (!position_in(conn, first, second, &for_first) || !position_in(conn, second, first, &for_second)) return false;
  return graph::pop(conn, first, int(for_first)) && graph::pop(conn, second, int(for_second)) &&
         graph::pop(weights, first, int(for_first)) && graph::pop(weights, second, int(for_second));
}

// ---- the Python-visible functions ----------------------------------------------------------

PyObject* find_all_paths_with_labels(PyObject*, PyObject* const* args) {
  PyObject* connections = args[0];
  PyObject* labels = args[1];
  PyObject* path = args[4];
  int start, bomb;
  if (!check_arg(connections, "connections_sparse", &graph::type, false) ||
      !check_arg(labels, "labels", state.ndarray, false) || !to_int(args[2], &start) || !to_int(args[3], &bomb))
    return nullptr;
  if (!require(connections, "connections_sparse") || !require(labels, "labels")) return nullptr;
  Labels L;
  if (!L.take(labels, false)) return nullptr;
  Ref result = Ref::steal(PyList_New(0));
  if (!result) return nullptr;
  Ref top;
  if (path != Py_None) {
    Ref single = Ref::steal(Py_BuildValue("[i]", start));
    top = Ref::steal(single ? PyNumber_Add(path, single.get()) : nullptr);
    if (!top || !expected_list(top.get())) return nullptr;
  }
  Lease<Search> lease;
  Search& s = *lease;
  s.init(connections, &L, true);
  s.expanded.next();
  ListSink sink{result.get(), top.get()};
  if (!search(s, start, bomb, top.get(), sink)) return nullptr;
  return result.release();
}

// recursive_explore: the function object each explore_graph_recursive call
// makes, holding the call's connections_sparse.
struct Closure {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* connections;
};

FunctionDef recursive_explore_def{
    "recursive_explore", {{"current_start"}, {"bomb_node"}, {"visited_paths"}, {"labels"}}, nullptr, nullptr};

constexpr const char* recursive_explore_qualname = "explore_graph_recursive.<locals>.recursive_explore";

bool explore_into(PyObject* connections, int start, int bomb, PyObject* visited, PyObject* labels) {
  Labels L;
  if (!L.take(labels, false)) return false;
  Lease<Search> lease;
  Search& s = *lease;
  s.init(connections, &L, true);
  ListOut out{visited, Ref()};
  return chain(s, start, bomb, out);
}

PyObject* closure_body(PyObject* self, PyObject* const* bound) {
  int start, bomb;
  if (!to_int(bound[0], &start) || !to_int(bound[1], &bomb) ||
      !check_arg(bound[2], "visited_paths", &PyList_Type, true) || !check_arg(bound[3], "labels", state.ndarray, false))
    return nullptr;
  if (!require(bound[2], "visited_paths") || !require(bound[3], "labels")) return nullptr;
  if (!explore_into(reinterpret_cast<Closure*>(self)->connections, start, bomb, bound[2], bound[3])) return nullptr;
  Py_RETURN_NONE;
}

PyObject* closure_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  PyObject* bound[4];
  PyObject* result = nullptr;
  if ((recursive_explore_def.names[0] != nullptr || recursive_explore_def.prepare()) &&
      bind(recursive_explore_def, "recursive_explore", args, PyVectorcall_NARGS(nargsf), kwnames, bound))
    result = run_body(closure_body, self, bound);
  if (result == nullptr) add_traceback((std::string(qualified_name) + "." + recursive_explore_qualname).c_str());
  return result;
}

int closure_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<Closure*>(self)->connections);
  return 0;
}
int closure_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<Closure*>(self)->connections);
  return 0;
}
void closure_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  closure_clear(self);
  PyObject_GC_Del(self);
}
PyObject* closure_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %s at %p>", recursive_explore_qualname, self);
}

PyGetSetDef closure_getset[] = {
    {"__name__", [](PyObject*, void*) { return PyUnicode_FromString("recursive_explore"); }, nullptr, nullptr, nullptr},
    {"__qualname__", [](PyObject*, void*) { return PyUnicode_FromString(recursive_explore_qualname); }, nullptr,
     nullptr, nullptr},
    {"__module__", [](PyObject*, void*) { return PyUnicode_FromString(qualified_name); }, nullptr, nullptr, nullptr},
    {"__doc__", [](PyObject*, void*) { return Py_NewRef(Py_None); }, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject closure_type = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "native_closure";
  t.tp_basicsize = sizeof(Closure);
  t.tp_dealloc = closure_dealloc;
  t.tp_vectorcall_offset = offsetof(Closure, vectorcall);
  t.tp_repr = closure_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
  t.tp_traverse = closure_traverse;
  t.tp_clear = closure_clear;
  t.tp_getset = closure_getset;
  return t;
}();

Ref make_closure(PyObject* connections) {
  if (!(closure_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&closure_type) < 0) return Ref();
  Closure* c = PyObject_GC_New(Closure, &closure_type);
  if (c == nullptr) return Ref();
  c->vectorcall = closure_call;
  c->connections = Py_NewRef(connections);
  PyObject_GC_Track(reinterpret_cast<PyObject*>(c));
  return Ref::steal(reinterpret_cast<PyObject*>(c));
}

PyObject* explore_graph_recursive(PyObject*, PyObject* const* args) {
  PyObject* connections = args[0];
  PyObject* labels = args[1];
  int start;
  if (!check_arg(connections, "connections_sparse", &graph::type, false) ||
      !check_arg(labels, "labels", state.ndarray, false) || !to_int(args[2], &start))
    return nullptr;
  if (!require(connections, "connections_sparse") || !require(labels, "labels")) return nullptr;
  Ref recursive_explore = make_closure(connections);
  if (!recursive_explore) return nullptr;
  Labels L;
  if (!L.take(labels, false)) return nullptr;
  Ref all_paths = Ref::steal(PyList_New(0));
  if (!all_paths || !explore_into(connections, start, -1, all_paths.get(), labels)) return nullptr;
  return all_paths.release();
}

// The (connections_sparse, weights_sparse, labels) arguments of the subgraph
// search and of clusterize: declared types, then None, then the label view.
bool take_tree_arguments(PyObject* connections, PyObject* weights, PyObject* labels, Labels* L) {
  return check_arg(connections, "connections_sparse", &graph::type, false) &&
         check_arg(weights, "weights_sparse", &graph::type, false) && check_arg(labels, "labels", state.ndarray, false) &&
         require(connections, "connections_sparse") && require(weights, "weights_sparse") &&
         require(labels, "labels") && L->take(labels, false);
}

PyObject* find_subgraph_with_labels(PyObject*, PyObject* const* args) {
  PyObject* connections = args[0];
  PyObject* weights = args[1];
  PyObject* labels = args[2];
  Labels L;
  if (!take_tree_arguments(connections, weights, labels, &L)) return nullptr;
  const bool native = subgraph_is_native(connections, weights, L);
  Lease<Search> lease;
  Search& s = *lease;
  s.init(connections, &L, !native);
  Ref sub_conn, sub_w;
  if (!(native ? subgraph_native : subgraph_general)(connections, weights, L, s, &sub_conn, &sub_w,
                                                    native && is_forest(connections)))
    return nullptr;
  return PyTuple_Pack(2, sub_conn.get(), sub_w.get());
}

PyObject* make_labels(PyObject*, PyObject* const* args) {
  PyObject* connections = args[0];
  PyObject* visited = args[3];
  PyObject* labels = args[4];
  int node, label;
  if (!check_arg(connections, "connections_sparse", &graph::type, false) || !to_int(args[1], &node) ||
      !to_int(args[2], &label) || !check_arg(visited, "visited", &PySet_Type, true) ||
      !check_arg(labels, "labels", state.ndarray, false))
    return nullptr;
  if (!require(connections, "connections_sparse") || !require(visited, "visited") || !require(labels, "labels"))
    return nullptr;
  Labels L;
  if (!L.take(labels, true)) return nullptr;
  Lease<Flood> flood_lease;
  Flood& flood = *flood_lease;
  flood.init(connections, &L, visited, true);
  if (!flood.run(node, label)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* clusterize(PyObject*, PyObject* const* args) {
  PyObject* connections = args[0];
  PyObject* weights = args[1];
  PyObject* labels = args[2];
  Labels L;
  if (!take_tree_arguments(connections, weights, labels, &L)) return nullptr;
  const Py_ssize_t n = L.n;

  // Cutting: one edge per pass, until no path joins two different labels.
  Lease<Search> lease;
  Search& s = *lease;
  int search_mode = -1;  // how `s` was set up: 1 native, 0 general
  int forest = -1;       // cuts keep a forest a forest: checked once
  for (;;) {
    Ref sub_conn, sub_w;
    const bool own_subgraph = own(FIND_SUBGRAPH);
    if (own_subgraph) {
      const bool native = subgraph_is_native(connections, weights, L);
      if (search_mode != int(native)) {
        s.init(connections, &L, !native);
        search_mode = int(native);
      }
      if (native && forest < 0) forest = int(is_forest(connections));
      if (!(native ? subgraph_native : subgraph_general)(connections, weights, L, s, &sub_conn, &sub_w,
                                                        native && forest == 1))
        return nullptr;
    } else {
      Ref result = call_name(FIND_SUBGRAPH, {connections, weights, labels});
      if (!result || !unpack_two(result.get(), &sub_conn, &sub_w)) return nullptr;
      for (PyObject* sub : {sub_conn.get(), sub_w.get()}) {
        if (!graph::is_graph(sub)) {
          return raise(PyExc_TypeError, "Cannot convert %.200s to %.200s", type_name(sub), graph::type.tp_name);
        }
      }
    }
    int any = has_edges(sub_conn.get());
    if (any < 0) return nullptr;
    if (!any) break;
    int first, second;
    if (!choose_cut(sub_conn.get(), sub_w.get(), !own_subgraph, &first, &second) ||
        !cut(connections, weights, first, second))
      return nullptr;
  }

  // Grouping by label, in order of first occurrence.
  int group_of[256];
  std::fill(std::begin(group_of), std::end(group_of), -1);
  std::vector<std::vector<int32_t>> groups;
  for (Py_ssize_t i = 0; i < n; ++i) {
    int8_t label = L.at(i);
    if (label == -1) continue;
    int& g = group_of[label + 128];
    if (g < 0) {
      g = int(groups.size());
      groups.emplace_back();
    }
    groups[size_t(g)].push_back(int32_t(i));
  }

  // Chaining the members of each label with weight-1 edges.
  const bool float_weights = Py_IS_TYPE(weights, &graph::type) && graph::as_graph(weights)->dtype == graph::FLOAT32;
  for (const auto& group : groups) {
    for (size_t i = 0; i + 1 < group.size(); ++i) {
      const int64_t a = group[i], b = group[i + 1];
      if (!graph::append_int(connections, a, b) || !graph::append_int(connections, b, a)) return nullptr;
      bool ok = float_weights ? graph::append_float(weights, a, 1.0) && graph::append_float(weights, b, 1.0)
                              : graph::append_int(weights, a, 1) && graph::append_int(weights, b, 1);
      if (!ok) return nullptr;
    }
  }

  // Flooding each label from its first member.
  Ref new_labels = Ref::steal(PyObject_CallMethod(labels, "copy", nullptr));
  if (!new_labels) return nullptr;
  Labels target;
  bool target_ready = false;
  Lease<Flood> flood_lease;
  Flood& flood = *flood_lease;
  for (const auto& group : groups) {
    Ref node = py_int(group[0]);
    Ref label_value = Ref::steal(node ? PyObject_GetItem(new_labels.get(), node.get()) : nullptr);
    if (!label_value) return nullptr;
    if (own(MAKE_LABELS)) {
      int label;
      if (!to_int(label_value.get(), &label) || !check_arg(new_labels.get(), "labels", state.ndarray, false) ||
          !require(new_labels.get(), "labels"))
        return nullptr;
      if (!target_ready) {
        if (!target.take(new_labels.get(), true)) return nullptr;
        target_ready = true;
      }
      // An internal set nobody else sees: marks stand in for it unless
      // Python code can run during the flood.
      Reader probe;
      probe.set(connections);
      Ref visited = probe.direct ? Ref() : Ref::steal(PySet_New(nullptr));
      if (!probe.direct && !visited) return nullptr;
      flood.init(connections, &target, visited.get(), !probe.direct);
      if (!flood.run(group[0], label)) return nullptr;
    } else {
      Ref visited = Ref::steal(PySet_New(nullptr));
      if (!visited || !call_name(MAKE_LABELS, {connections, node.get(), label_value.get(), visited.get(),
                                                new_labels.get()},
                                 kw_visited_labels()))
        return nullptr;
    }
  }
  return PyTuple_Pack(3, connections, weights, new_labels.get());
}

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
    {&prim_mst_def, &find_all_paths_def, &explore_def, &find_subgraph_def, &make_labels_def, &clusterize_def},
};

}  // namespace

FRAME_MODULE(ombrel, ombrel_module)
