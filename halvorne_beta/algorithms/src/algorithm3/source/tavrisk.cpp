// tavrisk: semi-supervised density clustering.
//
// semi_supervised_dbscan finds every point's neighbourhood once, then makes
// three passes over the points (labelled non-core seeds, labelled core
// seeds, everything else) and hands each seed to expand_cluster, which grows
// one cluster breadth-first without taking in points of another class.
//
// Where things live: radius_search.hpp finds Euclidean neighbourhoods
// natively (the same sets as SciPy's KD-tree), neighbour_collections.hpp
// reads neighbourhoods from Python lists or the native table, and
// cluster_expansion.hpp grows one cluster. This file binds the arguments and
// runs the passes.

#include <cstdint>
#include <vector>

#include "buffer_view.hpp"
#include "cluster_expansion.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "neighbour_collections.hpp"
#include "python_call.hpp"
#include "radius_search.hpp"

using namespace frame;
using namespace tavrisk;

namespace {

constexpr const char* qualified_name = "halvorne_beta.algorithms.src.algorithm3.binaries.tavrisk";

// ---- expand_cluster ------------------------------------------------------------------

PyObject* expand_cluster(PyObject*, Args& a) {
  const int cluster_id = a.integer("cluster_id");
  if (cluster_id == -1) {
    // -1 marks an unassigned point: its points would never count as owned
    // and would be queued again without end.
    return raise(PyExc_ValueError, "cluster_id must not be -1 (the id of unassigned points)");
  }
  const ViewRef<int32_t, 1> labels = a.view<int32_t, 1>("labels");
  const ViewRef<int32_t, 1> cluster_labels = a.view<int32_t, 1>("cluster_labels");
  const ViewRef<char, 1> visited = a.view<char, 1>("visited");
  const Points points{labels.data(), labels.size(), cluster_labels.data(), cluster_labels.size(), visited.data(),
                      visited.size()};
  const ListSource neighbourhoods{a.object("tree_ball_proximity")};
  if (!expand(points, a.integer("min_samples"), a.index("point_idx"), cluster_id, neighbourhoods,
              !is_original("np")))
    return nullptr;
  Py_RETURN_NONE;
}

FunctionDef expand_cluster_def{
    "expand_cluster",
    {{"data", strided(double_t_)},
     {"min_samples", as_int},
     {"labels", not_none(contiguous(int_t))},
     {"cluster_labels", not_none(contiguous(int_t))},
     {"visited", not_none(contiguous(char_t))},
     {"point_idx", as_index},
     {"cluster_id", as_int},
     {"tree_ball_proximity", not_none(exactly(&PyList_Type))}},
    "expand_cluster(double[:, :] data, int min_samples, int[::1] labels, int[::1] cluster_labels, char[::1] "
    "visited, Py_ssize_t point_idx, int cluster_id, list tree_ball_proximity)",
    expand_cluster};

// ---- semi_supervised_dbscan ----------------------------------------------------------

// Length of entry i of the neighbourhood list, as len() sees it.
bool neighbourhood_size(PyObject* tree_ball_proximity, Py_ssize_t i, Py_ssize_t* out) {
  if (PyList_CheckExact(tree_ball_proximity) && i < PyList_GET_SIZE(tree_ball_proximity)) {
    PyObject* entry = PyList_GET_ITEM(tree_ball_proximity, i);
    if (PyList_CheckExact(entry)) {
      *out = PyList_GET_SIZE(entry);
      return true;
    }
    if (PyArray_CheckExact(entry) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(entry)) >= 1) {
      *out = PyArray_DIM(reinterpret_cast<PyArrayObject*>(entry), 0);
      return true;
    }
  }
  Ref entry = item_at(tree_ball_proximity, i);
  if (!entry) return false;
  *out = PyObject_Length(entry.get());
  return *out >= 0;
}

// The neighbourhoods of one call: the list the library gave (or that was
// made for a rebound expand_cluster), the native table, or both.
struct Neighbourhoods {
  Ref list;
  radius_search::NeighbourTable table;
  // The table holds what the list holds (or there is no list). Any Python
  // code may change the list, so it is cleared whenever some runs.
  bool table_valid = false;

  bool size(Py_ssize_t i, Py_ssize_t* out) const {
    if (table_valid && i < Py_ssize_t(table.points())) {
      *out = Py_ssize_t(table.size(size_t(i)));
      return true;
    }
    return neighbourhood_size(list.get(), i, out);
  }
};

// The arguments as the steps read them; the views live as long as the call.
struct Arguments {
  explicit Arguments(Args& a)
      : data(a.object("data")),
        labels(a.object("labels")),
        metric(a.object("metric")),
        data_view(a.view<double, 2>("data")),
        labels_view(a.view<int32_t, 1>("labels")),
        eps(a.real("eps")),
        min_samples(a.integer("min_samples")),
        p(a.integer("p")) {}

  PyObject* data;  // the caller's objects, borrowed for the call
  PyObject* labels;
  PyObject* metric;
  ViewRef<double, 2> data_view;
  ViewRef<int32_t, 1> labels_view;
  double eps;
  int min_samples, p;
};

// Point indices are 32-bit, and the passes read a label for every row.
bool check_sizes(const Arguments& a) {
  const Py_ssize_t rows = a.data_view.extent(0);
  if (rows > INT32_MAX) return fail(PyExc_ValueError, "data has more rows than a 32-bit index can hold");
  if (a.labels_view.size() < rows) {
    return fail(PyExc_ValueError, "labels has %zd entries, fewer than the %zd rows of data", a.labels_view.size(),
                rows);
  }
  return true;
}

bool is_euclidean_kdtree_case(const Arguments& a) {
  return a.metric != Py_None && PyUnicode_EqualToUTF8(a.metric, "minkowski") && a.p == 2;
}

// `KDTree(data).query_ball_tree(tree, r=eps)`, or the ball tree's
// `query_radius(data, r=eps)` as a list, through the module's names.
Ref library_neighbourhoods(const Arguments& a) {
  // The trees read the caller's memory through a buffer object, no copy.
  Ref data = Ref::steal(PyMemoryView_FromObject(a.data));
  Ref radius = data ? Ref::steal(PyFloat_FromDouble(a.eps)) : Ref();
  if (!radius) return Ref();
  if (is_euclidean_kdtree_case(a)) {
    Ref tree = call_global("KDTree", {data.get()});
    Ref query = tree ? attribute(tree.get(), "query_ball_tree") : Ref();
    return query ? call(query.get(), {tree.get(), radius.get()}, {"r"}) : Ref();
  }
  Ref tree;
  if (PyUnicode_Check(a.metric) && PyUnicode_EqualToUTF8(a.metric, "minkowski")) {
    Ref power = Ref::steal(PyLong_FromLong(a.p));
    if (power) tree = call_global("BallTree", {data.get(), a.metric, power.get()}, {"metric", "p"});
  } else {
    tree = call_global("BallTree", {data.get(), a.metric}, {"metric"});
  }
  Ref query = tree ? attribute(tree.get(), "query_radius") : Ref();
  Ref found = query ? call(query.get(), {data.get(), radius.get()}, {"r"}) : Ref();
  return found ? Ref::steal(PySequence_List(found.get())) : Ref();
}

// The neighbourhoods: found natively while the library's KD-tree, the
// expansion and NumPy are the module's own, else from the library's list
// (copied into the table when the expansions will read it natively).
bool find_neighbourhoods(const Arguments& a, Neighbourhoods* out) {
  const bool native = is_original("expand_cluster") && is_original("np");
  if (native && is_euclidean_kdtree_case(a) && is_original("KDTree")) {
    const auto outcome = radius_search::find_neighbourhoods(a.data_view.data(), a.data_view.extent(0),
                                                            a.data_view.extent(1), a.eps, &out->table);
    out->table_valid = outcome == radius_search::Outcome::Found;
    if (out->table_valid) return true;
  }
  out->list = library_neighbourhoods(a);
  if (!out->list) return false;
  out->table_valid = native && load_table(out->list.get(), &out->table);
  return true;
}

// The state the three passes share.
struct Driver {
  const Arguments& arguments;
  PyObject* cluster_labels;  // the result array
  PyObject* visited;
  Neighbourhoods& neighbourhoods;
  Points points;
  QueuedMarks marks;
  // Buffer objects handed to a rebound expand_cluster, made on first use.
  Ref data_object, labels_object, cluster_labels_object, visited_object, soft_visited_object;
};

Ref memory_of(Ref* slot, PyObject* exporter) {
  if (!*slot) *slot = Ref::steal(PyMemoryView_FromObject(exporter));
  return *slot;
}

// One expansion by this module's own expand_cluster, natively.
bool expand_natively(Driver& d, Py_ssize_t i, int cluster_id) {
  Neighbourhoods& hoods = d.neighbourhoods;
  const int min_samples = d.arguments.min_samples;
  const bool through_numpy = !is_original("np");
  if (through_numpy) hoods.table_valid = false;  // np.empty may run code that changes the list
  bool ok;
  if (hoods.list && !(check_arg(hoods.list.get(), "tree_ball_proximity", &PyList_Type, true) &&
                      require(hoods.list.get(), "tree_ball_proximity"))) {
    ok = false;
  } else if (hoods.table_valid) {  // no Python code runs: only this expansion changes flags and ids
    ok = expand(d.points, min_samples, i, cluster_id, TableSource{hoods.table, hoods.list.get()}, false, &d.marks);
  } else {
    ok = expand(d.points, min_samples, i, cluster_id, ListSource{hoods.list.get()}, through_numpy);
  }
  if (!ok) add_traceback(expand_cluster_def, nullptr);
  return ok;
}

// One expansion through a rebound expand_cluster, with the arguments it is
// documented to receive.
bool expand_through_python(Driver& d, PyObject* expand_function, Py_ssize_t i, int cluster_id, bool soft) {
  Neighbourhoods& hoods = d.neighbourhoods;
  if (!hoods.list) {
    hoods.list = table_as_list(hoods.table);
    if (!hoods.list) return false;
  }
  hoods.table_valid = false;  // the callee may change the list
  Ref list = hoods.list;      // held across the call, whatever the callee does
  Ref data = memory_of(&d.data_object, d.arguments.data);
  Ref labels = data ? memory_of(&d.labels_object, d.arguments.labels) : Ref();
  Ref cluster_labels = labels ? memory_of(&d.cluster_labels_object, d.cluster_labels) : Ref();
  Ref visited = cluster_labels ? memory_of(soft ? &d.soft_visited_object : &d.visited_object, d.visited) : Ref();
  Ref min_samples = visited ? Ref::steal(PyLong_FromLong(d.arguments.min_samples)) : Ref();
  Ref index = min_samples ? Ref::steal(PyLong_FromSsize_t(i)) : Ref();
  Ref id = index ? Ref::steal(PyLong_FromLong(cluster_id)) : Ref();
  if (!id) return false;
  return bool(call(expand_function, {data.get(), min_samples.get(), labels.get(), cluster_labels.get(),
                                     visited.get(), index.get(), id.get(), list.get()}));
}

// One expansion, through the module's current `expand_cluster`.
bool seed(Driver& d, Py_ssize_t i, int cluster_id, bool soft) {
  if (is_original("expand_cluster")) return expand_natively(d, i, cluster_id);
  Ref f = global("expand_cluster");
  return f && expand_through_python(d, f.get(), i, cluster_id, soft);
}

// Pass 1 (`core` false): labelled points that are not core points, through
// the soft-visited view. Pass 2 (`core` true): labelled core points.
bool seed_labelled(Driver& d, Py_ssize_t n_samples, bool core) {
  const int32_t* labels = d.arguments.labels_view.data();
  const char* flags = d.points.visited;
  const Py_ssize_t needed = d.arguments.min_samples;
  for (Py_ssize_t i = 0; i < n_samples; ++i) {
    if (flags[i] != 0 || labels[i] < 0) continue;
    Py_ssize_t size;
    if (!d.neighbourhoods.size(i, &size)) return false;
    if ((size >= needed) == core && !seed(d, i, labels[i], !core)) return false;
  }
  return true;
}

// Pass 3: everything not yet processed; unlabelled core points seed
// clusters -2, -3, ...; the others are set aside as noise for now (a later
// cluster may still take them in).
bool seed_unlabelled(Driver& d, Py_ssize_t n_samples) {
  char* flags = d.points.visited;
  const Py_ssize_t needed = d.arguments.min_samples;
  int64_t cluster_id = -2;
  for (Py_ssize_t i = 0; i < n_samples; ++i) {
    if (flags[i] != 0) continue;
    Py_ssize_t size;
    if (!d.neighbourhoods.size(i, &size)) return false;
    if (size < needed) {
      flags[i] = 1;
      continue;
    }
    if (!seed(d, i, int(cluster_id), false)) return false;
    --cluster_id;
  }
  return true;
}

// `np.full(n, -1, dtype=np.int32)` and `np.zeros(n, dtype=np.int8)`, each
// checked to be an ndarray of the declared element type.
bool make_result_arrays(Py_ssize_t n_samples, Ref* cluster_labels, Ref* visited) {
  Ref minus_one = Ref::steal(PyLong_FromLong(-1));
  *cluster_labels = minus_one ? numpy_array("full", n_samples, minus_one.get(), "int32") : Ref();
  View<int32_t, 1> cluster_labels_array;
  if (!*cluster_labels || !cluster_labels_array.assign_array(cluster_labels->get(), state.ndarray, int_t, true))
    return false;
  *visited = numpy_array("zeros", n_samples, nullptr, "int8");
  View<char, 1> visited_array;
  return *visited && visited_array.assign_array(visited->get(), state.ndarray, char_t, true);
}

PyObject* semi_supervised_dbscan(PyObject*, Args& args) {
  const Arguments a(args);
  if (!check_sizes(a)) return nullptr;
  const Py_ssize_t n_samples = a.data_view.extent(0);
  Ref cluster_labels, visited;
  if (!make_result_arrays(n_samples, &cluster_labels, &visited)) return nullptr;
  Neighbourhoods neighbourhoods;
  if (!find_neighbourhoods(a, &neighbourhoods)) return nullptr;

  View<int32_t, 1> cluster_labels_view;
  View<char, 1> visited_view;  // the passes' visited and soft-visited views: one set of flags
  if (!cluster_labels_view.acquire(cluster_labels.get(), int_t, Layout::Contiguous, true) ||
      !visited_view.acquire(visited.get(), char_t, Layout::Contiguous, true))
    return nullptr;
  if (cluster_labels_view.size() < n_samples || visited_view.size() < n_samples) return out_of_bounds(), nullptr;

  Driver d{a, cluster_labels.get(), visited.get(), neighbourhoods,
           Points{a.labels_view.data(), a.labels_view.size(), cluster_labels_view.data(), cluster_labels_view.size(),
                  visited_view.data(), visited_view.size()},
           {}};
  if (!seed_labelled(d, n_samples, false) || !seed_labelled(d, n_samples, true) || !seed_unlabelled(d, n_samples))
    return nullptr;
  Ref asarray = global_attribute("np", "asarray");
  return asarray ? call(asarray.get(), {cluster_labels.get()}).release() : nullptr;
}

FunctionDef semi_supervised_dbscan_def{
    "semi_supervised_dbscan",
    {{"data", not_none(c_contiguous(double_t_))},
     {"eps", as_double},
     {"min_samples", as_int},
     {"labels", not_none(contiguous(int_t))},
     {"metric", exactly(&PyUnicode_Type)},
     {"p", as_int}},
    "semi_supervised_dbscan(double[:, ::1] data, double eps, int min_samples, int[::1] labels, str metric, int p)\n"
    "\n"
    "    Semi-supervised DBSCAN implementation.\n"
    "\n"
    "    Parameters:\n"
    "    ----------\n"
    "    data : double[:, ::1]\n"
    "        2D NumPy array of shape (n_samples, n_features)\n"
    "    eps : doubel\n"
    "        Epsilon neighborhood radius\n"
    "    min_samples : int\n"
    "        Minimum number of samples to form a core point\n"
    "    labels : int[::1]\n"
    "        1D NumPy array of shape (n_samples,) with labeled data.\n"
    "        labels[i] >= 0 indicates the point is labeled.\n"
    "        labels[i] == -1 indicates the point is unlabeled.\n"
    "    metric : str\n"
    "        Metric defining the distance between data points.\n"
    "    p : int\n"
    "        Defines which Minkowski p-norm to use. Works only if metric is set to `minkowski`.\n"
    "\n"
    "    Returns:\n"
    "    ----------\n"
    "    cluster_labels : np.ndarray\n"
    "        1D NumPy array of cluster assignments for each point.\n"
    "    ",
    semi_supervised_dbscan};

const ModuleDef tavrisk_module{
    "tavrisk",
    qualified_name,
    "tavrisk.cpp",
    {"ValueError", "TypeError", "IndexError", "ImportError", "range", "MemoryError", "OverflowError"},
    {
        {"numpy", nullptr, "np"},
        {"scipy.spatial", "KDTree", "KDTree"},
        {"sklearn.neighbors", "BallTree", "BallTree"},
    },
    {},
    {&semi_supervised_dbscan_def, &expand_cluster_def},
};

}  // namespace

FRAME_MODULE(tavrisk, tavrisk_module)
