// kestrin_bfs: connected components of a neighbour graph, each flagged by
// whether it holds a labelled point.
//
// The graph is read through `connections.to_numpy(v)`, once per vertex, in
// the order the breadth-first searches dequeue them; kestrin's own
// GraphWrapper, whose to_numpy would only copy a list, is read in place
// (component_search.hpp).

#include <vector>

#include "buffer_view.hpp"
#include "component_search.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "python_call.hpp"

using namespace frame;

namespace {

constexpr const char* qualified_name = "halvorne_beta.algorithms.src.algorithm2.binaries.kestrin_bfs";

// A uint8 array of n zeros from the rebound `np.zeros`, viewed writable.
bool zeros_array(int n, Ref* object, View<uint8_t, 1>* view) {
  *object = numpy_array("zeros", n, nullptr, "uint8");
  if (!*object || !view->assign_array(object->get(), state.ndarray, uint8_t_, true)) return false;
  if (view->is_none() || view->extent(0) < n) {
    return fail(PyExc_ValueError, "np.zeros returned %zd elements where %d were requested",
                view->is_none() ? Py_ssize_t(0) : view->extent(0), n);
  }
  return true;
}

// `visited` and `labeled`: native while `np` is NumPy itself, else the
// rebound np's arrays (created in that order).
class WorkingArrays {
 public:
  bool create(int n, bool native) {
    if (native) {
      visited_storage_.assign(size_t(n), 0);
      labeled_storage_.assign(size_t(n), 0);
      visited_ = visited_storage_.data();
      labeled_ = labeled_storage_.data();
      return true;
    }
    if (!zeros_array(n, &visited_object_, &visited_view_) || !zeros_array(n, &labeled_object_, &labeled_view_))
      return false;
    visited_ = visited_view_.data();
    labeled_ = labeled_view_.data();
    return true;
  }
  uint8_t* visited() const { return visited_; }
  uint8_t* labeled() const { return labeled_; }

 private:
  std::vector<uint8_t> visited_storage_, labeled_storage_;
  Ref visited_object_, labeled_object_;
  View<uint8_t, 1> visited_view_, labeled_view_;
  uint8_t* visited_ = nullptr;
  uint8_t* labeled_ = nullptr;
};

// Marks the first X.labeled_count entries of X.labeled_indices in `labeled`.
bool mark_labelled(PyObject* X, int n, uint8_t* labeled) {
  Ref indices_object = attribute(X, "labeled_indices");
  if (!indices_object) return false;
  View<int64_t, 1> labeled_indices;
  if (!labeled_indices.acquire(indices_object.get(), int64_t_, Layout::Contiguous, true)) return false;
  int labeled_count;
  if (!read_int(X, "labeled_count", &labeled_count)) return false;
  if (labeled_count > 0 && labeled_indices.is_none()) {
    return fail(PyExc_TypeError, "X.labeled_indices is None although X.labeled_count is %d", labeled_count);
  }
  if (labeled_count > labeled_indices.extent(0)) {
    return fail(PyExc_IndexError, "X.labeled_count (%d) exceeds the %zd entries of X.labeled_indices", labeled_count,
                labeled_indices.extent(0));
  }
  for (int i = 0; i < labeled_count; ++i) {
    const int64_t p = labeled_indices(i);
    if (p < 0 || p >= n) {
      return fail(PyExc_IndexError, "labelled index %lld lies outside 0 .. %d", static_cast<long long>(p), n - 1);
    }
    labeled[p] = 1;
  }
  return true;
}

// `vertix_component_label`: n zeros of uint8, from NumPy or the rebound np.
bool vertex_flag_array(int n, bool native, Ref* object, View<uint8_t, 1>* view) {
  if (!native) return zeros_array(n, object, view);
  npy_intp length = n;
  *object = Ref::steal(PyArray_ZEROS(1, &length, NPY_UINT8, 0));
  return *object && view->assign_array(object->get(), state.ndarray, uint8_t_, true);
}

PyObject* find_connected_components(PyObject*, Args& a) {
  PyObject* X = a.object("X");
  PyObject* connections = a.object("connections");
  int n;
  if (!read_int(X, "n", &n)) return nullptr;
  if (n < 0) return raise(PyExc_ValueError, "negative dimensions are not allowed");

  const bool native = is_original("np");
  WorkingArrays arrays;
  if (!arrays.create(n, native) || !mark_labelled(X, n, arrays.labeled())) return nullptr;
  Ref flags_object;
  View<uint8_t, 1> vertex_flags;
  if (!vertex_flag_array(n, native, &flags_object, &vertex_flags)) return nullptr;

  const components::Marks marks{n, arrays.visited(), arrays.labeled()};
  components::Found found;
  const bool searched = native ? components::search_all<components::RecordQueue>(marks, connections, &found)
                               : components::search_all<components::ArrayQueue>(marks, connections, &found);
  if (!searched) return nullptr;
  Ref components = components::component_list(found, vertex_flags);
  return components ? PyTuple_Pack(2, components.get(), flags_object.get()) : nullptr;
}

FunctionDef find_connected_components_def{
    "find_connected_components",
    {{"X", not_none(as_object)}, {"connections", not_none(as_object)}},
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
