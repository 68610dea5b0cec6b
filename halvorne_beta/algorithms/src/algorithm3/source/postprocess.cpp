// postprocess: turns density cluster ids into class labels by nearest centroids.
//
// Clusters without a labelled point (ids -2, -3, ...) join, as a whole, the
// class whose centroid is nearest to theirs; then every noise point (-1)
// takes the class whose centroid, recomputed after the merge, is nearest to
// the point. The caller's label array is changed in place and returned.

#include "buffer_view.hpp"
#include "convert.hpp"
#include "module.hpp"
#include "nearest_centroid.hpp"
#include "python_call.hpp"

using namespace frame;
using namespace postprocess;

namespace {

constexpr const char* qualified_name = "halvorne_beta.algorithms.src.algorithm3.binaries.postprocess";

PyObject* tavrisk_postprocess(PyObject*, Args& a) {
  PyObject* points_object = a.object("points");
  PyObject* labels_object = a.object("labels");
  PyObject* metric = a.object("metric");
  const int p = a.integer("p");
  const ViewRef<double, 2> points = a.view<double, 2>("points");
  View<int32_t, 1> labels;
  if (!labels.assign_array(labels_object, state.ndarray, int_t, true)) return nullptr;
  if (points.extent(0) > INT32_MAX) return raise(PyExc_ValueError, "points has more rows than a 32-bit index can hold");
  const Py_ssize_t n = points.extent(0);

  Ref distance_metric = global("DistanceMetric");
  Ref get_metric = distance_metric ? attribute(distance_metric.get(), "get_metric") : Ref();
  if (!get_metric) return nullptr;
  Ref distance;
  if (metric != Py_None && PyUnicode_EqualToUTF8(metric, "minkowski")) {
    Ref power = Ref::steal(PyLong_FromLong(p));
    if (power) distance = call(get_metric.get(), {metric, power.get()}, {"p"});
  } else {
    distance = call(get_metric.get(), {metric});
  }
  if (!distance) return nullptr;
  if (labels.size() != n) {
    return raise(PyExc_ValueError, "labels has %zd entries but points has %zd rows", labels.size(), n);
  }

  bool ok = is_original("np") && is_original("DistanceMetric")
                ? native_postprocess(points, labels, distance.get(), n)
                : python_postprocess(points_object, points, labels_object, labels, distance.get(), n);
  if (!ok) return nullptr;
  return Py_NewRef(labels_object);
}

FunctionDef tavrisk_postprocess_def{
    "tavrisk_postprocess",
    {{"points", not_none(c_contiguous(double_t_))},
     {"labels", not_none(as_ndarray)},
     {"metric", exactly(&PyUnicode_Type), str_default("minkowski")},
     {"p", as_int, int_default(2)}},
    "tavrisk_postprocess(double[:, ::1] points, ndarray labels, str metric='minkowski', int p=2)",
    tavrisk_postprocess};

const ModuleDef postprocess_module{
    "postprocess",
    qualified_name,
    "postprocess.cpp",
    {"ValueError", "TypeError", "IndexError", "ImportError", "range", "MemoryError", "OverflowError"},
    {
        {"numpy", nullptr, "np"},
        {"sklearn.metrics", "DistanceMetric", "DistanceMetric"},
    },
    {},
    {&tavrisk_postprocess_def},
};

}  // namespace

FRAME_MODULE(postprocess, postprocess_module)
