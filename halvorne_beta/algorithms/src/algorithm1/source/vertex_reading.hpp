// What the searches and the flood read per vertex: its label, its neighbour
// list, and marks that say whether it was met in the current walk.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "buffer_view.hpp"
#include "graph_wrapper.hpp"
#include "own_names.hpp"

namespace {

// The label array, viewed as one signed byte per vertex.
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
    return out_of_bounds(0);
  }
  int8_t at(int64_t v) const { return view(v); }
};

// True when `to_numpy` of `o` would copy the list straight from the
// container: the plain type holding `dtype`, and `np` not rebound.
inline bool reads_directly(PyObject* o, int dtype) {
  return Py_IS_TYPE(o, &graph::type) && graph::as_graph(o)->dtype == dtype && is_original("np");
}

// Reads a vertex's neighbour list, truncated to 32-bit vertex indices as the
// searches use them: straight from the container while that gives what
// `to_numpy` would, else through `to_numpy` (an override, or a rebound `np`).
// With `recheck`, Python code may run between reads (a callback may rebind
// `np`), so the choice is made again at each read.
struct NeighbourReader {
  PyObject* obj = nullptr;
  bool direct = false;
  bool recheck = true;

  void set(PyObject* o, bool check_each_read) {
    obj = o;
    recheck = check_each_read;
    direct = reads_directly(o, graph::INT64);
  }
  // Appends the neighbours of `v` to `out`.
  bool read(int64_t v, std::vector<int32_t>& out) {
    if (recheck) direct = reads_directly(obj, graph::INT64);
    if (direct) return read_stored(v, out);
    Ref array = graph::to_numpy(obj, v);
    if (!array) return false;
    View<int64_t, 1> items;
    if (!items.assign_array(array.get(), state.ndarray, ITYPE_t, false)) return false;
    for (Py_ssize_t i = 0; i < items.extent(0); ++i) out.push_back(int32_t(items(i)));
    return true;
  }

 private:
  bool read_stored(int64_t v, std::vector<int32_t>& out) const {
    graph::Object* g = graph::as_graph(obj);
    if (!graph::check_index(g, v)) return false;
    const graph::Slot& s = g->slots[v];
    const int64_t* items = static_cast<const int64_t*>(s.data);
    for (int32_t i = 0; i < s.size; ++i) out.push_back(int32_t(items[i]));
    return true;
  }
};

// Epoch-stamped marks: a new epoch clears them all in O(1).
struct Marks {
  std::vector<uint32_t> stamp;
  uint32_t epoch = 1;

  // Grows to n entries; marks of earlier epochs stay but no longer count.
  void resize(size_t n) {
    if (stamp.size() < n) stamp.resize(n, 0);
  }
  void next() {
    if (++epoch != 0) return;
    std::fill(stamp.begin(), stamp.end(), 0);
    epoch = 1;
  }
  bool test(int64_t v) const { return stamp[size_t(v)] == epoch; }
  void set(int64_t v) { stamp[size_t(v)] = epoch; }
};

// Workspaces outlive a call, so that a search reached once per step through
// a rebound name does not pay for arrays as long as the graph each time.
// Calls nest (a Python callee may call back in), so they are handed out as a
// stack.
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
    std::vector<T*>& items = pool();
    if (in_use() == items.size()) {
      items.reserve(items.size() + 1);  // may throw: nothing is changed yet
      items.push_back(new T());
    }
    item = items[in_use()++];
  }
  ~Lease() { --in_use(); }
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  T& operator*() const { return *item; }
};

}  // namespace
