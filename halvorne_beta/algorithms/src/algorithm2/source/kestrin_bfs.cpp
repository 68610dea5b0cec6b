// kestrin_bfs: connected components of a neighbour graph, each flagged by
// whether it holds a labelled point.
//
// The graph is read only through `connections.to_numpy(v)`, once per vertex,
// in the order the breadth-first searches dequeue them.

#include <vector>

#include "buffer_view.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "python_call.hpp"

using namespace frame;

namespace {

constexpr const char* qualified_name = "halvorne_beta.algorithms.src.algorithm2.binaries.kestrin_bfs";

bool read_int(PyObject* o, const char* name, int* out) {
  Ref value = attribute(o, name);
  return value && to_int(value.get(), out);
}

// A uint8 or int64 array of at least n elements, viewed writable.
template <class T>
bool working_array(const char* function, int n, const char* dtype_name, const Element& el, Ref* object,
                   View<T, 1>* view) {
  *object = numpy_array(function, n, nullptr, dtype_name);
  if (!*object || !view->assign_array(object->get(), state.ndarray, el, true)) return false;
  if (view->extent(0) < n) {
    return fail(PyExc_ValueError, "np.%s returned %zd elements where %d were requested", function, view->extent(0), n);
  }
  return true;
}

// The neighbours of one vertex: read straight from a NumPy int64 vector,
// else through the array-variable checks (which give the messages for
// anything else).
struct Neighbours {
  View<int64_t, 1> view;
  const char* data = nullptr;
  Py_ssize_t length = 0, stride = 0;

  bool assign(PyObject* o) {
    if (PyArray_CheckExact(o)) {
      auto* a = reinterpret_cast<PyArrayObject*>(o);
      if (PyArray_NDIM(a) == 1 && PyArray_ITEMSIZE(a) == 8 && PyArray_ISNOTSWAPPED(a) &&
          (PyArray_TYPE(a) == NPY_LONG || PyArray_TYPE(a) == NPY_LONGLONG)) {
        view.release();
        data = PyArray_BYTES(a);
        length = PyArray_DIM(a, 0);
        stride = PyArray_STRIDE(a, 0);
        return true;
      }
    }
    if (!view.assign_array(o, state.ndarray, ITYPE_t, false)) return false;
    if (view.is_none()) return fail(PyExc_TypeError, "to_numpy returned None");
    data = view.bytes();
    length = view.extent(0);
    stride = view.stride(0);
    return true;
  }
  int64_t operator[](Py_ssize_t i) const { return *reinterpret_cast<const int64_t*>(data + i * stride); }
};

class Search {
 public:
  Search(int n, uint8_t* visited, const uint8_t* labeled, PyObject* connections)
      : n_(n), visited_(visited), labeled_(labeled), connections_(connections) {}

  bool prepare() {
    name_ = Ref::steal(PyUnicode_InternFromString("to_numpy"));
    if (!name_) return false;
    native_queue_ = is_original("np");
    if (native_queue_) queue_storage_.resize(size_t(n_));
    return true;
  }

  // One breadth-first search from `start`; the component tuple, or null.
  Ref run(int start, uint8_t* flag) {
    int64_t* queue;
    Ref queue_object;
    View<int64_t, 1> queue_view;
    if (native_queue_) {
      queue = queue_storage_.data();
    } else {
      if (!working_array("empty", n_, "int64", ITYPE_t, &queue_object, &queue_view)) return Ref();
      queue = queue_view.data();
      if (queue_view.stride(0) != Py_ssize_t(sizeof(int64_t))) {
        return (fail(PyExc_ValueError, "np.empty returned a strided queue"), Ref());
      }
    }
    Ref nodes = Ref::steal(PyList_New(0));
    if (!nodes) return Ref();
    queue[0] = start;
    visited_[start] = 1;
    int head = 0, tail = 1;
    *flag = labeled_[start] != 0;
    Neighbours neighbours;
    while (head < tail) {
      const int v = int(queue[head++]);
      Ref vertex = Ref::steal(PyLong_FromLong(v));
      if (!vertex || PyList_Append(nodes.get(), vertex.get()) < 0) return Ref();
      PyObject* args[] = {connections_, vertex.get()};
      Ref found = Ref::steal(
          PyObject_VectorcallMethod(name_.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
      if (!found || !neighbours.assign(found.get())) return Ref();
      for (Py_ssize_t e = 0; e < neighbours.length; ++e) {
        const int64_t w = neighbours[e];
        if (w < 0 || w >= n_) {
          return (fail(PyExc_IndexError, "neighbour %lld of vertex %d lies outside 0 .. %d", static_cast<long long>(w),
                       v, n_ - 1),
                  Ref());
        }
        if (visited_[w]) continue;
        visited_[w] = 1;
        if (!*flag && labeled_[w]) *flag = 1;
        queue[tail++] = w;
      }
    }
    Ref is_labeled = Ref::steal(PyLong_FromLong(*flag));
    return is_labeled ? Ref::steal(PyTuple_Pack(2, nodes.get(), is_labeled.get())) : Ref();
  }

 private:
  int n_;
  uint8_t* visited_;
  const uint8_t* labeled_;
  PyObject* connections_;
  Ref name_;
  bool native_queue_ = false;
  std::vector<int64_t> queue_storage_;
};

PyObject* find_connected_components(PyObject*, PyObject* const* args) {
  PyObject* X = args[0];
  PyObject* connections = args[1];
  if (!require(X, "X") || !require(connections, "connections")) return nullptr;
  int n;
  if (!read_int(X, "n", &n)) return nullptr;
  if (n < 0) return raise(PyExc_ValueError, "negative dimensions are not allowed");

  // Working arrays: native while `np` is NumPy itself, else the rebound np's.
  const bool native = is_original("np");
  std::vector<uint8_t> visited_storage, labeled_storage;
  Ref visited_object, labeled_object;
  View<uint8_t, 1> visited_view, labeled_view;
  uint8_t *visited, *labeled;
  if (native) {
    visited_storage.assign(size_t(n), 0);
    labeled_storage.assign(size_t(n), 0);
    visited = visited_storage.data();
    labeled = labeled_storage.data();
  } else {
    if (!working_array("zeros", n, "uint8", uint8_t_, &visited_object, &visited_view) ||
        !working_array("zeros", n, "uint8", uint8_t_, &labeled_object, &labeled_view))
      return nullptr;
    visited = visited_view.data();
    labeled = labeled_view.data();
  }

  Ref indices_object = attribute(X, "labeled_indices");
  if (!indices_object) return nullptr;
  View<int64_t, 1> labeled_indices;
  if (!labeled_indices.acquire(indices_object.get(), int64_t_, Layout::Contiguous, true)) return nullptr;
  int labeled_count;
  if (!read_int(X, "labeled_count", &labeled_count)) return nullptr;
  if (labeled_count > 0 && labeled_indices.is_none()) {
    return raise(PyExc_TypeError, "X.labeled_indices is None although X.labeled_count is %d", labeled_count);
  }
  if (labeled_count > labeled_indices.extent(0)) {
    return raise(PyExc_IndexError, "X.labeled_count (%d) exceeds the %zd entries of X.labeled_indices", labeled_count,
                 labeled_indices.extent(0));
  }
  for (int i = 0; i < labeled_count; ++i) {
    const int64_t p = labeled_indices(i);
    if (p < 0 || p >= n) {
      return raise(PyExc_IndexError, "labelled index %lld lies outside 0 .. %d", static_cast<long long>(p), n - 1);
    }
    labeled[p] = 1;
  }
  labeled_indices.release();

  Ref components = Ref::steal(PyList_New(0));
  Ref labels_object;
  View<uint8_t, 1> labels;
  if (!components) return nullptr;
  if (native) {
    npy_intp length = n;
    labels_object = Ref::steal(PyArray_ZEROS(1, &length, NPY_UINT8, 0));
    if (!labels_object || !labels.assign_array(labels_object.get(), state.ndarray, uint8_t_, true)) return nullptr;
  } else if (!working_array("zeros", n, "uint8", uint8_t_, &labels_object, &labels)) {
    return nullptr;
  }

  Search search(n, visited, labeled, connections);
  if (!search.prepare()) return nullptr;
  for (int i = 0; i < n; ++i) {
    if (visited[i]) continue;
    uint8_t flag;
    Ref component = search.run(i, &flag);
    if (!component) return nullptr;
    PyObject* nodes = PyTuple_GET_ITEM(component.get(), 0);
    for (Py_ssize_t e = 0; e < PyList_GET_SIZE(nodes); ++e) {
      labels(PyLong_AsLong(PyList_GET_ITEM(nodes, e))) = flag;
    }
    if (PyList_Append(components.get(), component.get()) < 0) return nullptr;
  }
  return PyTuple_Pack(2, components.get(), labels_object.get());
}

FunctionDef find_connected_components_def{
    "find_connected_components",
    {{"X"}, {"connections"}},
    "find_connected_components(X, connections) -> tuple\n\n    Finds the connected components in a graph and flags "
    "them based on whether there are any \n    labeled datapoint associated to them.\n\n    Parameters\n    "
    "----------\n    X : _AlgorithmInput\n        Input data object containing node information and methods to "
    "access labeled indices \n        and other metadata.\n    \n    connections : GraphWrapper\n        An object "
    "representing the graph structure.\n\n    Returns\n    -------\n    tuple\n        A tuple containing:\n        "
    "- components (list of tuples): A list of connected components where each component is \n          represented "
    "as a tuple `(nodes, is_labeled)`. `nodes` is a list of node indices in the \n          component, and "
    "`is_labeled` is a flag if the component contains at least one labeled datapoint.\n        - "
    "vertix_component_label (np.ndarray): A 1D numpy array where the value at each index \n          corresponds to "
    "the flag whether the vertix belongs to a component with at least labeled datapoint.\n    ",
    find_connected_components};

const ModuleDef kestrin_bfs_module{
    "kestrin_bfs",
    qualified_name,
    "kestrin_bfs.cpp",
    {"ValueError", "TypeError", "IndexError", "ImportError", "range"},
    {{"numpy", nullptr, "np"}},
    {},
    {&find_connected_components_def},
};

}  // namespace

FRAME_MODULE(kestrin_bfs, kestrin_bfs_module)
