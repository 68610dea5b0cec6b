// find_all_paths_with_labels: the depth-first search from one vertex to the
// nearest vertices carrying another label.
//
// The search walks the forest on an explicit stack, so that long paths never
// reach the C stack. Each step that the module would make by calling
// find_all_paths_with_labels by name goes through Python once that name is
// rebound; otherwise no Python object is built per step.
//
// Sinks. A search hands every path it finds to a sink, in the order the
// search returns them, through three calls; each returns false, with a
// Python exception set, to stop the search:
//   native_path(nodes, n, end, shared)
//       a path found here: `nodes[0..n)` from the search's start to the last
//       vertex before the end, then `end`, the labelled vertex that ends it
//       (the caller's own path prefix, if any, is not in `nodes`). The first
//       `shared` vertices are those of the previous native path of this
//       search, so the edges among them were handed over already.
//   python_path(path)
//       a path returned by a Python call (the rebound name), as that object.
//   known_path(nodes, n, shared)
//       the search met a branch already explored during this subgraph
//       computation, and that branch found paths: only the way to it,
//       `nodes[0..n)`, is new. Asked only when a branch memo is set, which
//       only the subgraph computation does.
#pragma once

#include <unordered_map>
#include <vector>

#include "vertex_reading.hpp"

namespace {

constexpr const char* cycle_message =
    "connections_sparse is not a forest: vertex %d is reached along two different paths";

// A path as a new list: the items of `top` (a list, or null), `nodes[0..n)`
// and `end` (unless null).
inline Ref path_list(PyObject* top, const int32_t* nodes, size_t n, const int32_t* end) {
  Py_ssize_t prefix = top ? PyList_GET_SIZE(top) : 0;
  Ref list = Ref::steal(PyList_New(prefix + Py_ssize_t(n) + (end ? 1 : 0)));
  if (!list) return Ref();
  for (Py_ssize_t k = 0; k < prefix; ++k) PyList_SET_ITEM(list.get(), k, Py_NewRef(PyList_GET_ITEM(top, k)));
  for (size_t k = 0; k < n + (end ? 1 : 0); ++k) {
    PyObject* v = PyLong_FromLong(k < n ? nodes[k] : *end);
    if (v == nullptr) return Ref();
    PyList_SET_ITEM(list.get(), prefix + Py_ssize_t(k), v);
  }
  return list;
}

// One vertex on the search's stack, with the neighbours still to try.
struct Frame {
  int32_t vertex;
  bool native;        // the vertex is on the native part of the path
  size_t native_len;  // native path length with this frame
  size_t begin, end, pos;  // its neighbours: arena[begin..end), next at pos
  Ref path;             // the frame's current path as a list, once a Python call needed it
  uint64_t branch = 0;  // its key in the branch memo, 0 for none
  bool found = false;   // a path was found through this frame
};

// Branch memo key: entering `to` from `from` in a search whose origin has `label`.
inline uint64_t branch_key(int32_t from, int32_t to, int8_t label) {
  return uint64_t(uint32_t(from)) << 36 | uint64_t(uint32_t(to)) << 8 | uint8_t(label);
}
constexpr int64_t branch_key_limit = int64_t(1) << 28;

// The label of a search's origin, read once it is first compared. Labels are
// compared as Python numbers with `labels[origin]` (NumPy indexing): natively
// when that is a plain integer, else through Python.
struct OriginLabel {
  bool known = false;
  bool native = false;
  long long value = 0;
  Ref obj;

  bool load(const Labels& L, PyObject* origin) {
    known = true;
    if (load_native(L, origin)) return true;
    obj = Ref::steal(PyObject_GetItem(L.obj, origin));
    if (!obj) return false;
    if (!PyLong_Check(obj.get()) && !PyArray_IsScalar(obj.get(), Integer)) return true;
    Ref index = Ref::steal(PyNumber_Index(obj.get()));
    if (!index) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow) return true;
    native = true;
    value = v;
    return true;
  }
  // 1 when `label` equals the origin's label, 0 if not, -1 on error.
  int equal(int8_t label) const {
    if (native) return label == value;
    Ref left = py_int(label);
    return left ? PyObject_RichCompareBool(left.get(), obj.get(), Py_EQ) : -1;
  }

 private:
  // A plain array indexed by a plain int reads the view.
  bool load_native(const Labels& L, PyObject* origin) {
    if (!L.exact || !PyLong_CheckExact(origin)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(origin, &overflow);
    if (overflow || v < -L.n || v >= L.n) return false;
    native = true;
    value = L.at(v < 0 ? v + L.n : v);
    return true;
  }
};

// The state of a search, kept between searches (see Lease) so that its
// per-vertex arrays are allocated once.
struct Search {
  NeighbourReader reader;
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
    reader.set(connections, check_names);
    labels = L;
    recheck = check_names;
    branches = nullptr;
    if (on_path.size() < size_t(L->n)) on_path.resize(size_t(L->n), 0);  // all zero between searches
    expanded.resize(size_t(L->n));
    started.resize(size_t(L->n));
  }

  // Leaves the top frame; a finished frame's outcome goes to the branch memo.
  void pop() {
    Frame& f = frames.back();
    if (f.branch != 0) (*branches)[f.branch] = f.found;  // may throw: the frame is still in place
    if (f.found && frames.size() > 1) frames[frames.size() - 2].found = true;
    drop_top();
  }
  // Empties the stack after a search, without touching the memo: a search
  // that failed teaches nothing, and this runs in a destructor, where
  // nothing may allocate or throw.
  void unwind() noexcept {
    while (!frames.empty()) drop_top();
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
    if (!native) return true;
    ++on_path[size_t(v)];
    nodes.push_back(v);
    return true;
  }

  // Marks the items of the caller's path as being on the current path.
  void load_top(PyObject* list) {
    top = list;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      PyObject* item = PyList_GET_ITEM(list, i);
      if (!PyLong_CheckExact(item)) {
        top_odd.push_back(Ref::borrow(item));
        continue;
      }
      int overflow = 0;
      long long v = PyLong_AsLongLongAndOverflow(item, &overflow);
      if (overflow) continue;  // cannot equal a 32-bit vertex
      if (v >= 0 && v < labels->n) {
        ++on_path[size_t(v)];
        top_marked.push_back(v);
      } else {
        top_far.push_back(v);
      }
    }
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
    f.path = path_list(top, nodes.data(), f.native_len, nullptr);
    return f.path.get();
  }

 private:
  void drop_top() noexcept {
    Frame& f = frames.back();
    if (f.native) {
      --on_path[size_t(f.vertex)];
      nodes.pop_back();
      if (shared > nodes.size()) shared = nodes.size();
    }
    arena.resize(f.begin);  // shrinking: cannot allocate
    frames.pop_back();
  }
};

// Returns the search state to empty on every way out of a search.
struct SearchReset {
  Search& s;
  ~SearchReset() { s.unwind(); }
};

// The origin's label is read the first time a neighbour's label is compared.
inline bool ensure_origin_label(const Search& s, int32_t start, Ref& origin, OriginLabel& label) {
  if (label.known) return true;
  if (!origin) origin = py_int(start);
  return origin && label.load(*s.labels, origin.get());
}

// The neighbour's branch through a rebound find_all_paths_with_labels.
template <class Sink>
bool search_through_python(Search& s, int32_t neighbor, int32_t bomb, Sink& sink) {
  PyObject* path = s.frame_path(s.frames.size() - 1);
  Ref index = py_int(neighbor), bomb_value = py_int(bomb);
  if (!path || !index || !bomb_value) return false;
  static KeywordNames all_by_keyword{"connections_sparse", "labels", "start", "bomb_node", "path"};
  Ref found = call_name(FIND_ALL_PATHS, {s.reader.obj, s.labels->obj, index.get(), bomb_value.get(), path},
                        all_by_keyword);
  if (!found) return false;
  Ref it = Ref::steal(PyObject_GetIter(found.get()));
  if (!it) return false;
  while (Ref item = Ref::steal(PyIter_Next(it.get())))
    if (!sink.python_path(item.get())) return false;
  return !PyErr_Occurred();
}

// A branch the memo knows: its paths are in the subgraph already.
template <class Sink>
bool follow_known_branch(Search& s, bool found, Sink& sink) {
  if (!found) return true;
  if (!sink.known_path(s.nodes.data(), s.nodes.size(), s.shared)) return false;
  s.shared = s.nodes.size();
  s.frames.back().found = true;
  return true;
}

// One neighbour of the top frame that is neither on the path nor of the
// origin's label: a path ends at it, or the search goes on into it.
template <class Sink>
bool step_into(Search& s, int32_t neighbor, int32_t bomb, const OriginLabel& origin_label, Sink& sink) {
  const Labels& L = *s.labels;
  if (s.recheck && !own(FIND_ALL_PATHS)) return search_through_python(s, neighbor, bomb, sink);
  if (bomb != -1 && neighbor == bomb) return true;
  if (L.at(neighbor) >= 0) {
    if (!sink.native_path(s.nodes.data(), s.nodes.size(), neighbor, s.shared)) return false;
    s.shared = s.nodes.size();
    s.frames.back().found = true;
    return true;
  }
  uint64_t key = 0;
  if (s.branches != nullptr && origin_label.native) {
    key = branch_key(s.frames.back().vertex, neighbor, int8_t(origin_label.value));
    auto known = s.branches->find(key);
    if (known != s.branches->end()) return follow_known_branch(s, known->second, sink);
  }
  if (!s.expand(neighbor, true)) return false;
  s.frames.back().branch = key;
  return true;
}

// The first steps of the search, before any neighbour is tried: 1 to go on,
// 0 when the search is over, -1 on error.
template <class Sink>
int start_search(Search& s, int32_t start, int32_t bomb, PyObject* top, Ref& origin, Sink& sink) {
  const Labels& L = *s.labels;
  if (bomb != -1 && start == bomb) return 0;
  if (!L.check(start)) return -1;
  if (top != nullptr) {
    if (PyList_GET_SIZE(top) == 0) {
      PyErr_SetString(PyExc_IndexError, "list index out of range");
      return -1;
    }
    origin = Ref::borrow(PyList_GET_ITEM(top, 0));
    if (L.at(start) >= 0) {
      Ref value = py_int(start);
      int differs = value ? PyObject_RichCompareBool(value.get(), origin.get(), Py_NE) : -1;
      if (differs < 0) return -1;
      if (differs) return sink.python_path(top) ? 0 : -1;
    }
    s.load_top(top);
  }
  return s.expand(start, top == nullptr) ? 1 : -1;
}

// Runs find_all_paths_with_labels from `start`: the caller's path is `top`
// (a list already holding `start` last), or none.
template <class Sink>
bool search(Search& s, int32_t start, int32_t bomb, PyObject* top, Sink& sink) {
  SearchReset reset{s};
  s.shared = 0;
  Ref origin;
  int started = start_search(s, start, bomb, top, origin, sink);
  if (started <= 0) return started == 0;
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
    if (!s.labels->check(neighbor) || !ensure_origin_label(s, start, origin, origin_label)) return false;
    int same = origin_label.equal(s.labels->at(neighbor));
    if (same < 0) return false;
    if (same) continue;
    if (!step_into(s, neighbor, bomb, origin_label, sink)) return false;
  }
  return true;
}

// Builds each path found as a Python list and appends it to `out`.
struct ListSink {
  PyObject* out;
  PyObject* top;  // the caller's path, or null

  bool native_path(const int32_t* nodes, size_t n, int32_t end, size_t) {
    Ref list = path_list(top, nodes, n, &end);
    return list && PyList_Append(out, list.get()) == 0;
  }
  bool python_path(PyObject* path) { return PyList_Append(out, path) == 0; }
  bool known_path(const int32_t*, size_t, size_t) { return fail(PyExc_SystemError, "branch memo without a subgraph"); }
};

}  // namespace
