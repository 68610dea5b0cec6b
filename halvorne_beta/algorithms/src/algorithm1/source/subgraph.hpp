// find_subgraph_with_labels: the edges of every path that joins two
// differently-labelled vertices, with their weights, in two new containers.
//
// Phase 1 chains searches (chained_search.hpp) from each labelled vertex not
// yet covered by a path; phase 2 copies the edges of the collected paths.
// When everything involved is the module's own (no rebound name, no
// override, a plain label array), nothing either phase does can be seen
// from Python, so phase 2 runs as the paths arrive (`subgraph_native`);
// otherwise the phases run one after the other, step by step through
// whatever was rebound or overridden (`subgraph_general`).
#pragma once

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "chained_search.hpp"

namespace {

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
  // 1 when vertex v (inside the label array) is covered, 0 if not, -1 on error.
  int contains(int32_t v) const {
    if (covered[size_t(v)]) return 1;
    if (!odd) return 0;
    Ref value = py_int(v);
    return value ? PySet_Contains(odd.get(), value.get()) : -1;
  }
};

// Position of the first `x` in vertex v's list, as
// `to_numpy(v).tolist().index(x)` gives it; `direct` when reads_directly()
// holds for the container. A position from Python may be anything an
// override answers; the callers check it.
inline bool position_in(PyObject* container, bool direct, int64_t v, int64_t x, Py_ssize_t* out) {
  if (direct) {
    graph::Object* g = graph::as_graph(container);
    if (!graph::check_index(g, v)) return false;
    const int64_t* items = graph::ints(g, size_t(v));
    for (int32_t i = 0; i < g->slots[v].size; ++i) {
      if (items[i] != x) continue;
      *out = i;
      return true;
    }
    return fail(PyExc_ValueError, "%lld is not in list", (long long)x);
  }
  Ref array = graph::to_numpy(container, v);
  if (!array) return false;
  Ref list = Ref::steal(PyObject_CallMethod(array.get(), "tolist", nullptr));
  if (!list) return false;
  Ref value = py_int(x);
  if (!value) return false;
  Ref index = Ref::steal(PyObject_CallMethod(list.get(), "index", "(O)", value.get()));
  return index && to_ssize(index.get(), out);
}

// Element `position` of a list of `size` elements, as NumPy indexing finds
// it: a negative position counts from the end.
inline bool numpy_position(Py_ssize_t position, Py_ssize_t size, Py_ssize_t* out) {
  Py_ssize_t at = position < 0 ? position + size : position;
  if (at < 0 || at >= size) return numpy_out_of_range(position, size);
  *out = at;
  return true;
}

// Item i of a path, as a vertex index.
inline bool int_item(PyObject* path, Py_ssize_t i, int* out) {
  Ref item = Ref::steal(PySequence_GetItem(path, i));
  return item && to_int(item.get(), out);
}

// Copies the edges of the collected paths, with their weights, into the two
// subgraph containers (phase 2).
struct EdgeCopy {
  PyObject* conn = nullptr;
  PyObject* weights = nullptr;
  Ref sub_conn, sub_w;
  // Set while no Python code can run between the edges (everything is the
  // module's own); failures then wait until the searches are done, and
  // whether a container is read directly is decided once.
  bool deferred = false;
  Ref error;  // the first failure, while deferred
  bool conn_direct = false, weights_direct = false, sub_direct = false;

  void set(PyObject* c, PyObject* w, bool native) {
    conn = c;
    weights = w;
    deferred = native;
  }
  bool create(Py_ssize_t n) {
    if (n > INT32_MAX) return fail(PyExc_ValueError, "the graph has more vertices than a 32-bit index can hold");
    sub_conn = graph::create(size_t(n), graph::INT64, int(n));
    if (!sub_conn) return false;
    sub_w = graph::create(size_t(n), graph::FLOAT32, int(n));
    if (!sub_w) return false;
    refresh(true);
    return true;
  }
  // Keeps the current exception when failures wait for the searches.
  bool hold() {
    if (!deferred) return false;
    error = Ref::steal(PyErr_GetRaisedException());
    return true;
  }
  // Raises the kept failure, if any.
  bool finish() {
    if (!error) return true;
    PyErr_SetRaisedException(error.release());
    return false;
  }
  bool failed() const { return bool(error); }

  // Adds the edge {a, b} in both directions unless it is there already.
  bool pair(int32_t a, int32_t b) {
    if (failed()) return true;
    if (one_way(a, b) && one_way(b, a)) return true;
    return hold();
  }
  bool python_pairs(PyObject* path) {
    if (failed()) return true;
    Py_ssize_t n = PyObject_Length(path);
    if (n < 0) return hold();
    for (Py_ssize_t i = 0; i + 1 < n; ++i) {
      int a, b;
      if (!int_item(path, i, &a) || !int_item(path, i + 1, &b)) return hold();
      if (!pair(a, b)) return false;
      if (failed()) return true;
    }
    return true;
  }

 private:
  // Otherwise a callback may have rebound `np` since the last edge.
  void refresh(bool always = false) {
    if (deferred && !always) return;
    conn_direct = reads_directly(conn, graph::INT64);
    weights_direct = reads_directly(weights, graph::FLOAT32);
    sub_direct = reads_directly(sub_conn.get(), graph::INT64);
  }
  // 1 when b is among a's neighbours in the subgraph, 0 if not, -1 on error.
  int sub_contains(int32_t a, int32_t b) {
    if (sub_direct) {
      graph::Object* g = graph::as_graph(sub_conn.get());
      if (!graph::check_index(g, a)) return -1;
      const int64_t* items = graph::ints(g, size_t(a));
      for (int32_t i = 0; i < g->slots[a].size; ++i)
        if (items[i] == b) return 1;
      return 0;
    }
    Ref array = graph::to_numpy(sub_conn.get(), a);
    if (!array) return -1;
    Ref value = py_int(b);
    if (!value) return -1;
    return PySequence_Contains(array.get(), value.get());
  }
  // `weights.to_numpy(a)[position]`, held as a 4-byte float.
  bool weight_at(int32_t a, Py_ssize_t position, float* out) {
    if (weights_direct) {
      graph::Object* g = graph::as_graph(weights);
      if (!graph::check_index(g, a)) return false;
      Py_ssize_t at;
      if (!numpy_position(position, g->slots[a].size, &at)) return false;
      *out = graph::floats(g, size_t(a))[at];
      return true;
    }
    Ref array = graph::to_numpy(weights, a);
    if (!array) return false;
    Ref item = item_at(array.get(), position);
    double value;
    if (!item || !to_double(item.get(), &value)) return false;
    *out = float(value);
    return true;
  }
  bool one_way(int32_t a, int32_t b) {
    refresh();
    int present = sub_contains(a, b);
    if (present != 0) return present > 0;
    if (!graph::append_int(sub_conn.get(), a, b)) return false;
    Py_ssize_t position;
    if (!position_in(conn, conn_direct, a, b, &position)) return false;
    refresh();
    float w;
    return weight_at(a, position, &w) && graph::append_float(sub_w.get(), a, double(w));
  }
};

// Phase 2 as the paths arrive (the containers are the module's own, so the
// order of the work cannot be seen; failures wait for the searches to end).
struct StreamOut {
  Coverage& cov;
  EdgeCopy& edges;
  size_t found = 0;

  bool begin() { return true; }
  void rollback() {}
  bool commit() { return true; }
  bool native_path(const int32_t* nodes, size_t n, int32_t end, size_t shared) {
    if (!known_path(nodes, n, shared)) return false;
    cov.mark(end);
    return edges.pair(nodes[n - 1], end);
  }
  bool python_path(PyObject* path) {
    ++found;
    return cov.add_path(path) && edges.python_pairs(path);
  }
  // The path up to a known branch: only its own edges can be new (pairs
  // inside the first `shared` vertices were met by an earlier path of this
  // search).
  bool known_path(const int32_t* nodes, size_t n, size_t shared) {
    ++found;
    for (size_t i = shared; i < n; ++i) cov.mark(nodes[i]);
    for (size_t i = shared > 0 ? shared - 1 : 0; i + 1 < n; ++i)
      if (!edges.pair(nodes[i], nodes[i + 1])) return false;
    return true;
  }
};

// Keeps every collected path for a phase 2 after all searches.
struct StoreOut {
  struct Entry {
    size_t begin, end;  // a native path: flat[begin..end)
    Ref path;           // a path from Python
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

  // Marks the vertices of the entries from `first` on as covered.
  bool cover(size_t first, Coverage& cov) const {
    for (size_t e = first; e < entries.size(); ++e) {
      const Entry& entry = entries[e];
      if (entry.path && !cov.add_path(entry.path.get())) return false;
      if (entry.path) continue;
      for (size_t k = entry.begin; k < entry.end; ++k) cov.mark(flat[k]);
    }
    return true;
  }
};

// Everything the subgraph reads is the module's own: no Python code runs.
inline bool subgraph_is_native(PyObject* conn, PyObject* weights, const Labels& L) {
  return own(EXPLORE) && own(FIND_ALL_PATHS) && L.exact && reads_directly(conn, graph::INT64) &&
         reads_directly(weights, graph::FLOAT32);
}

// True when the lists hold a forest: every edge once in each endpoint's list,
// no loops, no vertex outside the container, no cycle.
inline bool is_forest(PyObject* conn) {
  graph::Object* g = graph::as_graph(conn);
  const size_t n = g->count;
  if (n > UINT32_MAX) return false;
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
      if (size_t(u) < v) {
        down.push_back(uint64_t(u) << 32 | uint64_t(v));
        continue;
      }
      int64_t a = root(int64_t(v)), b = root(u);
      if (a == b) return false;
      parent[size_t(a)] = b;
      up.push_back(uint64_t(v) << 32 | uint64_t(u));
    }
  }
  if (up.size() != down.size()) return false;
  std::sort(up.begin(), up.end());
  std::sort(down.begin(), down.end());
  return up == down;
}

// Clears the search's branch memo pointer on every way out.
struct MemoReset {
  Search& s;
  ~MemoReset() { s.branches = nullptr; }
};

// Both phases at once; `forest` allows the search memos. A failure of phase 2
// waits until the searches are done, since the described order runs every
// search first: a search that fails later is the error the caller sees.
inline bool subgraph_native(PyObject* conn, PyObject* weights, Labels& L, Search& s, Ref* out_conn, Ref* out_w,
                            bool forest) {
  Coverage cov;
  cov.init(L.n);
  EdgeCopy edges;
  edges.set(conn, weights, true);
  if (!edges.create(Py_ssize_t(graph::count(conn)))) edges.hold();
  StreamOut out{cov, edges};
  std::unordered_set<uint64_t> done;
  std::unordered_map<uint64_t, bool> branches;
  MemoReset reset{s};
  if (forest && int64_t(graph::count(conn)) < branch_key_limit && L.n < branch_key_limit) s.branches = &branches;
  for (Py_ssize_t i = 0; i < L.n; ++i) {
    if (L.at(i) == -1 || cov.covered[size_t(i)]) continue;
    size_t before = out.found;
    if (!chain(s, int32_t(i), -1, out, forest ? &done : nullptr)) return false;
    if (out.found == before) cov.mark(i);
  }
  if (!edges.finish()) return false;
  *out_conn = edges.sub_conn;
  *out_w = edges.sub_w;
  return true;
}

// Phase 1 step by step: explore_graph_recursive from `start`, natively or
// through the rebound name, its paths stored.
inline bool explore_from(PyObject* conn, Labels& L, Search& s, int32_t start, StoreOut& store) {
  if (own(EXPLORE)) return chain(s, start, -1, store);
  Ref start_value = py_int(start);
  if (!start_value) return false;
  Ref found = call_name(EXPLORE, {conn, L.obj, start_value.get()});
  if (!found || !expected_list(found.get())) return false;
  // a copy: the callee may keep the list and change it while we read
  Ref snapshot = Ref::steal(PyList_GetSlice(found.get(), 0, PyList_GET_SIZE(found.get())));
  if (!snapshot) return false;
  for (Py_ssize_t k = 0; k < PyList_GET_SIZE(snapshot.get()); ++k) store.python_path(PyList_GET_ITEM(snapshot.get(), k));
  return true;
}

// n: the length of `to_numpy_all()`, read natively when that is what it gives.
inline bool vertex_count(PyObject* conn, Py_ssize_t* n) {
  if (Py_IS_TYPE(conn, &graph::type) && is_original("np")) {
    *n = Py_ssize_t(graph::count(conn));
    return true;
  }
  Ref all = Ref::steal(PyObject_CallMethod(conn, "to_numpy_all", nullptr));
  *n = all ? PyObject_Length(all.get()) : -1;
  return *n >= 0;
}

// The two phases one after the other, through whatever is rebound or overridden.
inline bool subgraph_general(PyObject* conn, PyObject* weights, Labels& L, Search& s, Ref* out_conn, Ref* out_w) {
  Coverage cov;
  cov.init(L.n);
  StoreOut store;
  for (Py_ssize_t i = 0; i < L.n; ++i) {
    if (L.at(i) == -1) continue;
    int covered = cov.contains(int32_t(i));
    if (covered < 0) return false;
    if (covered) continue;
    size_t before = store.entries.size();
    if (!explore_from(conn, L, s, int32_t(i), store)) return false;
    if (store.entries.size() == before) {
      cov.mark(i);
      continue;
    }
    // the reference procedure re-adds all paths; the earlier ones are covered already
    if (!store.cover(before, cov)) return false;
  }
  Py_ssize_t n;
  if (!vertex_count(conn, &n)) return false;
  EdgeCopy edges;
  edges.set(conn, weights, false);
  if (!edges.create(n)) return false;
  for (const StoreOut::Entry& entry : store.entries) {
    if (entry.path && !edges.python_pairs(entry.path.get())) return false;
    if (entry.path) continue;
    for (size_t k = entry.begin; k + 1 < entry.end; ++k)
      if (!edges.pair(store.flat[k], store.flat[k + 1])) return false;
  }
  *out_conn = edges.sub_conn;
  *out_w = edges.sub_w;
  return true;
}

// The whole of find_subgraph_with_labels on taken arguments.
inline bool labelled_subgraph(PyObject* conn, PyObject* weights, Labels& L, Search& s, bool native, bool forest,
                              Ref* out_conn, Ref* out_w) {
  if (native) return subgraph_native(conn, weights, L, s, out_conn, out_w, forest);
  return subgraph_general(conn, weights, L, s, out_conn, out_w);
}

}  // namespace
