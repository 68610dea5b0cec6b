// Breadth-first searches over a neighbour graph, one per component.
//
// The searches only record what they find: the vertices in the order they
// were dequeued, where each component ends and whether it holds a labelled
// vertex. The Python objects of the result are built afterwards from that
// record, so that no Python code (a finaliser run by an allocation, say) can
// run while native code reads a container's lists.
//
// A search is parameterised by where the neighbours come from (the lists of
// kestrin's own GraphWrapper read in place, or `connections.to_numpy(v)`)
// and by its queue (a native one, or the array of `np.empty` while `np` is
// rebound). Every combination visits the same vertices in the same order.
#pragma once

#include <cstring>
#include <vector>

#include "buffer_view.hpp"
#include "graph_wrapper.hpp"
#include "module.hpp"
#include "python_call.hpp"

namespace components {

using namespace frame;

// What the searches found: every vertex once, component after component.
struct Found {
  std::vector<int32_t> order;  // vertices in dequeue order
  std::vector<int32_t> ends;   // per component, one past its last entry of `order`
  std::vector<uint8_t> flags;  // per component, 1 when it holds a labelled vertex
};

// The per-vertex state shared by all searches of one call.
struct Marks {
  int n;
  uint8_t* visited;
  const uint8_t* labeled;
};

// `length` vertex indices, `stride` bytes apart.
struct Neighbours {
  const char* data = nullptr;
  Py_ssize_t length = 0;
  Py_ssize_t stride = 0;
  int64_t operator[](Py_ssize_t i) const {
    int64_t value;
    std::memcpy(&value, data + i * stride, sizeof value);
    return value;
  }
};

// A hint that `address` is read soon. Written as the instruction itself: GCC
// counts a helper that only calls __builtin_prefetch as free of effects and
// drops the calls to it.
inline void prefetch_hint(const void* address) {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(address)));
#else
  __builtin_prefetch(address);
#endif
}

// ---- where the neighbours come from ---------------------------------------

constexpr const char* kestrin_name = "halvorne_beta.algorithms.src.algorithm2.binaries.kestrin";
constexpr const char* kestrin_graph_name = "halvorne_beta.algorithms.src.algorithm2.binaries.kestrin.GraphWrapper";

// `dict[key]`, owned; null when missing or when the lookup fails (the
// failure is dropped: the caller then takes the path through Python, which
// reports whatever is wrong).
inline Ref item(PyObject* dict, const char* key) {
  PyObject* value = nullptr;
  if (PyDict_GetItemStringRef(dict, key, &value) < 0) PyErr_Clear();
  return Ref::steal(value);
}

// The container itself when `connections.to_numpy(v)` could only copy list v
// into a new int64 array: `connections` is exactly kestrin's GraphWrapper
// (a static type: no override is possible), kestrin still binds NumPy itself
// as `np` (so that to_numpy runs no Python code), the lists hold int64 and
// every vertex 0 .. n-1 exists. Otherwise null, and the searches call to_numpy.
inline const graph::Object* stored_lists(PyObject* connections, int n) {
  PyTypeObject* type = Py_TYPE(connections);
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_basicsize != Py_ssize_t(sizeof(graph::Object)) ||
      std::strcmp(type->tp_name, kestrin_graph_name) != 0)
    return nullptr;
  Ref kestrin = item(PyImport_GetModuleDict(), kestrin_name);
  if (!kestrin || !PyModule_CheckExact(kestrin.get())) return nullptr;
  PyObject* names = PyModule_GetDict(kestrin.get());
  if (item(names, "GraphWrapper").get() != reinterpret_cast<PyObject*>(type) || item(names, "np").get() != state.numpy)
    return nullptr;
  const auto* g = graph::as_graph(connections);
  if (g->dtype != graph::INT64 || g->count < size_t(n)) return nullptr;
  return g;
}

// Neighbours read in place from kestrin's GraphWrapper. The slot is read
// afresh for every vertex, and no Python code runs while one is in use.
class StoredLists {
 public:
  explicit StoredLists(const graph::Object* g) : g_(g) {}
  // The queue's next vertices are known: their slots, then their lists,
  // are requested from memory before they are needed.
  template <class Queue>
  void prefetch(const Queue& queue) const {
    const int slot_ahead = queue.ahead(8), list_ahead = queue.ahead(4);
    if (slot_ahead >= 0) prefetch_hint(&g_->slots[slot_ahead]);
    if (list_ahead >= 0 && g_->slots[list_ahead].data != nullptr) prefetch_hint(g_->slots[list_ahead].data);
  }

  bool get(int v, Neighbours* out) {
    const graph::Slot& slot = g_->slots[v];
    *out = {static_cast<const char*>(slot.data), slot.size, Py_ssize_t(sizeof(int64_t))};
    return true;
  }

 private:
  const graph::Object* g_;
};

// Neighbours from `connections.to_numpy(v)`: a one-dimensional int64 NumPy
// array, held until the next vertex is asked for.
class ToNumpyCalls {
 public:
  explicit ToNumpyCalls(PyObject* connections) : connections_(connections) {}

  bool prepare() {
    name_ = Ref::steal(PyUnicode_InternFromString("to_numpy"));
    return bool(name_);
  }

  template <class Queue>
  void prefetch(const Queue&) const {}

  bool get(int v, Neighbours* out) {
    view_.release();
    result_ = Ref();
    Ref vertex = Ref::steal(PyLong_FromLong(v));
    if (!vertex) return false;
    PyObject* args[] = {connections_, vertex.get()};
    result_ = Ref::steal(PyObject_VectorcallMethod(name_.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result_) return false;
    if (plain_int64_vector(result_.get(), out)) return true;
    if (!view_.assign_array(result_.get(), state.ndarray, ITYPE_t, false)) return false;
    if (view_.is_none()) return fail(PyExc_TypeError, "to_numpy returned None");
    *out = {view_.bytes(), view_.extent(0), view_.stride(0)};
    return true;
  }

 private:
  // A NumPy int64 vector in native byte order, read without a buffer export.
  static bool plain_int64_vector(PyObject* o, Neighbours* out) {
    if (!PyArray_CheckExact(o)) return false;
    auto* a = reinterpret_cast<PyArrayObject*>(o);
    if (PyArray_NDIM(a) != 1 || PyArray_ITEMSIZE(a) != 8 || !PyArray_ISNOTSWAPPED(a) ||
        (PyArray_TYPE(a) != NPY_LONG && PyArray_TYPE(a) != NPY_LONGLONG))
      return false;
    *out = {PyArray_BYTES(a), PyArray_DIM(a, 0), PyArray_STRIDE(a, 0)};
    return true;
  }

  PyObject* connections_;
  Ref name_;
  Ref result_;
  View<int64_t, 1> view_;
};

// ---- queues ---------------------------------------------------------------

// While `np` is NumPy itself: the queue is `order` itself, since a queue's
// entries, read from the head, are exactly the dequeue order.
class RecordQueue {
 public:
  RecordQueue(int n, Found* found) : n_(n), order_(found->order) {}
  bool start(int v) {
    head_ = order_.size();
    return push(v);
  }
  bool empty() const { return head_ == order_.size(); }
  // The vertex `distance` places behind the head, or -1.
  int ahead(size_t distance) const { return head_ + distance < order_.size() ? order_[head_ + distance] : -1; }
  bool pop(int* v) {
    *v = order_[head_++];
    return true;
  }
  bool push(int v) {
    if (order_.size() >= size_t(n_)) return full();
    order_.push_back(v);
    return true;
  }

 private:
  static bool full() { return fail(PyExc_RuntimeError, "the search queue is full: a vertex was enqueued twice"); }
  int n_;
  std::vector<int32_t>& order_;
  size_t head_ = 0;
};

// While `np` is rebound: a queue of `np.empty(n, dtype=np.int64)` per search.
// Its entries are Python-visible, so each one dequeued is checked.
class ArrayQueue {
 public:
  ArrayQueue(int n, Found* found) : n_(n), order_(found->order) {}
  bool start(int v) {
    view_.release();
    array_ = numpy_array("empty", n_, nullptr, "int64");
    if (!array_ || !view_.assign_array(array_.get(), state.ndarray, ITYPE_t, true)) return false;
    if (view_.is_none() || view_.extent(0) < n_) {
      return fail(PyExc_ValueError, "np.empty returned %zd elements where %d were requested",
                  view_.is_none() ? Py_ssize_t(0) : view_.extent(0), n_);
    }
    head_ = tail_ = 0;
    return push(v);
  }
  bool empty() const { return head_ == tail_; }
  int ahead(Py_ssize_t distance) const {
    if (head_ + distance >= tail_) return -1;
    const int64_t value = view_(head_ + distance);
    return value >= 0 && value < n_ ? int(value) : -1;
  }
  bool pop(int* v) {
    const int64_t value = view_(head_++);
    if (value < 0 || value >= n_) {
      return fail(PyExc_IndexError, "queued vertex %lld lies outside 0 .. %d", static_cast<long long>(value), n_ - 1);
    }
    *v = int(value);
    order_.push_back(*v);
    return true;
  }
  bool push(int v) {
    if (tail_ >= view_.extent(0)) {
      return fail(PyExc_RuntimeError, "the search queue is full: a vertex was enqueued twice");
    }
    view_(tail_++) = v;
    return true;
  }

 private:
  int n_;
  std::vector<int32_t>& order_;
  Ref array_;
  View<int64_t, 1> view_;
  Py_ssize_t head_ = 0, tail_ = 0;
};

// ---- the searches ---------------------------------------------------------

// One breadth-first search from `start`, appended to `found`.
template <class Source, class Queue>
bool search(int start, const Marks& marks, Source& source, Queue& queue, Found* found) {
  if (!queue.start(start)) return false;
  marks.visited[start] = 1;
  uint8_t flag = marks.labeled[start] != 0;
  while (!queue.empty()) {
    int v;
    Neighbours neighbours;
    source.prefetch(queue);
    if (!queue.pop(&v) || !source.get(v, &neighbours)) return false;
    for (Py_ssize_t e = 0; e < neighbours.length; ++e) {
      const int64_t w = neighbours[e];
      if (w < 0 || w >= marks.n) {
        return fail(PyExc_IndexError, "neighbour %lld of vertex %d lies outside 0 .. %d", static_cast<long long>(w), v,
                    marks.n - 1);
      }
      if (marks.visited[w]) continue;
      marks.visited[w] = 1;
      flag |= marks.labeled[w] != 0;
      if (!queue.push(int(w))) return false;
    }
  }
  found->ends.push_back(int32_t(found->order.size()));
  found->flags.push_back(flag);
  return true;
}

// A search from every vertex not yet reached, in increasing order.
template <class Source, class Queue>
bool search_all(const Marks& marks, Source& source, Found* found) {
  Queue queue(marks.n, found);
  for (int i = 0; i < marks.n; ++i) {
    if (marks.visited[i]) continue;
    if (!search(i, marks, source, queue, found)) return false;
  }
  return true;
}

template <class Queue>
bool search_all(const Marks& marks, PyObject* connections, Found* found) {
  found->order.reserve(size_t(marks.n));
  if (const graph::Object* g = stored_lists(connections, marks.n)) {
    StoredLists source(g);
    return search_all<StoredLists, Queue>(marks, source, found);
  }
  ToNumpyCalls source(connections);
  return source.prepare() && search_all<ToNumpyCalls, Queue>(marks, source, found);
}

// ---- the result ------------------------------------------------------------

// `(nodes, is_labeled)` for component c.
inline Ref component_tuple(const Found& found, size_t c) {
  const int32_t begin = c == 0 ? 0 : found.ends[c - 1], end = found.ends[c];
  Ref nodes = Ref::steal(PyList_New(end - begin));
  if (!nodes) return Ref();
  for (int32_t e = begin; e < end; ++e) {
    PyObject* vertex = PyLong_FromLong(found.order[size_t(e)]);
    if (vertex == nullptr) return Ref();
    PyList_SET_ITEM(nodes.get(), e - begin, vertex);
  }
  Ref flag = Ref::steal(PyLong_FromLong(found.flags[c]));
  return flag ? Ref::steal(PyTuple_Pack(2, nodes.get(), flag.get())) : Ref();
}

// The component tuples, in the order found; writes every vertex's flag.
inline Ref component_list(const Found& found, const View<uint8_t, 1>& vertex_flags) {
  Ref components = Ref::steal(PyList_New(Py_ssize_t(found.ends.size())));
  if (!components) return Ref();
  for (size_t c = 0; c < found.ends.size(); ++c) {
    Ref component = component_tuple(found, c);
    if (!component) return Ref();
    PyList_SET_ITEM(components.get(), Py_ssize_t(c), component.release());
  }
  for (size_t c = 0, e = 0; c < found.ends.size(); ++c) {
    for (; e < size_t(found.ends[c]); ++e) vertex_flags(found.order[e]) = found.flags[c];
  }
  return components;
}

}  // namespace components
