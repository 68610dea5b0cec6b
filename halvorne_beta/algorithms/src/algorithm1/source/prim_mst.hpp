// prim_mst: the minimum spanning tree of the complete distance graph, grown
// by Prim's algorithm from vertex 0.
//
// Three routes give the same tree:
// - while pdist, squareform, heappop, heappush and np are the module's own and
//   the metric is one of pairwise_distances.hpp, the distances are computed
//   here, one joining vertex at a time, and nothing of size n * n exists;
// - otherwise pdist (whatever it is bound to) gives the condensed vector, and
//   Prim's algorithm runs over it natively while the heap functions,
//   squareform and np are the module's own;
// - or step by step through squareform, np, heappop and heappush.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "graph_wrapper.hpp"
#include "pairwise_distances.hpp"
#include "python_call.hpp"

namespace {

using namespace frame;

// Candidate order of the tree search: by weight with NaN after every number,
// then by the vertex index, then by the parent index.
inline bool weight_less(double a, double b) {
  if (std::isnan(a)) return false;
  return std::isnan(b) || a < b;
}
inline bool weight_equal(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// Index of pair (i, j), i < j, in the condensed distance vector.
inline size_t condensed_index(size_t n, size_t i, size_t j) { return n * i - i * (i + 1) / 2 + (j - i - 1); }

bool add_tree_edge(PyObject* connections, PyObject* weights, int64_t u, int64_t parent, double weight) {
  return graph::append_int(connections, u, parent) && graph::append_int(connections, parent, u) &&
         graph::append_float(weights, u, weight) && graph::append_float(weights, parent, weight);
}

// ---- Prim's algorithm over the condensed vector --------------------------------------

// Each vertex outside the tree keeps its cheapest (weight, parent) link to it;
// the next vertex is the one with the cheapest link, the smallest index first.
// This is the tree the lazy heap search yields, tie-breaks included, in O(n)
// extra memory.
//
// Vertices outside the tree are kept in increasing order, so that the links
// towards a new vertex u are read as its condensed row (v > u, sequential)
// and its column (v < u, a regular stride that is prefetched ahead).
bool dense_prim(const double* distances, size_t n, PyObject* connections, PyObject* weights) {
  std::vector<double> key(n, 0.0);
  std::vector<int32_t> parent(n, -1);
  std::vector<int32_t> outside(n);
  for (size_t v = 0; v < n; ++v) outside[v] = int32_t(v);
  size_t remaining = n;
  size_t chosen = 0;  // position in `outside` of the vertex joining next
  constexpr size_t ahead = 64;  // column reads miss the cache: keep many in flight
  while (remaining > 0) {
    const size_t u = size_t(outside[chosen]);
    std::copy(outside.begin() + chosen + 1, outside.begin() + remaining, outside.begin() + chosen);
    --remaining;
    if (parent[u] != -1 && !add_tree_edge(connections, weights, int64_t(u), parent[u], key[u])) return false;
    const int32_t joined = int32_t(u);
    // row_start + v is the position of (u, v) for v > u
    const ptrdiff_t row_start = ptrdiff_t(n * u - u * (u + 1) / 2) - ptrdiff_t(u) - 1;
    size_t best = remaining;
    double best_key = 0.0;
    for (size_t k = 0; k < remaining; ++k) {
      const size_t v = size_t(outside[k]);
      double d;
      if (v < u) {
        if (k + ahead < remaining && size_t(outside[k + ahead]) < u)
          __builtin_prefetch(distances + condensed_index(n, size_t(outside[k + ahead]), u));
        d = distances[condensed_index(n, v, u)];
      } else {
        d = distances[row_start + ptrdiff_t(v)];
      }
      if (parent[v] == -1 || weight_less(d, key[v]) || (weight_equal(d, key[v]) && joined < parent[v])) {
        key[v] = d;
        parent[v] = joined;
      }
      if (best == remaining || weight_less(key[v], best_key)) {
        best = k;
        best_key = key[v];
      }
    }
    chosen = best;
  }
  return true;
}

// ---- the heap search step by step ----------------------------------------------------

// Unpacks a heap entry into (weight, vertex, parent).
bool unpack_entry(PyObject* entry, double* weight, int* u, int* parent) {
  Ref items = Ref::steal(PySequence_Tuple(entry));
  if (!items) return false;
  Py_ssize_t size = PyTuple_GET_SIZE(items.get());
  if (size < 3) {
    return fail(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", size);
  }
  if (size > 3) return fail(PyExc_ValueError, "too many values to unpack (expected 3)");
  return to_double(PyTuple_GET_ITEM(items.get(), 0), weight) && to_int(PyTuple_GET_ITEM(items.get(), 1), u) &&
         to_int(PyTuple_GET_ITEM(items.get(), 2), parent);
}

// The heap search step by step, through the module's heappop, heappush,
// squareform and np, for when any of them has been rebound.
bool heap_prim(PyObject* distances, int n, PyObject* connections, PyObject* weights) {
  Ref matrix_object = call_global("squareform", {distances});
  if (!matrix_object) return false;
  View<double, 2> matrix;
  if (!matrix.assign_array(matrix_object.get(), state.ndarray, DTYPE_t, false)) return false;
  Ref visited_object = numpy_array("zeros", n, nullptr, "bool_");
  if (!visited_object) return false;
  View<uint8_t, 1> visited;
  if (!visited.assign_array(visited_object.get(), state.ndarray, uint8_t_, true)) return false;
  if (n > 0) {
    if (visited.extent(0) < n) return out_of_bounds(0);
    if (matrix.extent(0) < n) return out_of_bounds(0);
    if (matrix.extent(1) < n) return out_of_bounds(1);
  }
  Ref heap = Ref::steal(Py_BuildValue("[(dii)]", 0.0, 0, -1));
  if (!heap) return false;
  while (PyList_GET_SIZE(heap.get()) > 0) {
    Ref entry = call_global("heappop", {heap.get()});
    double weight;
    int u, parent;
    if (!entry || !unpack_entry(entry.get(), &weight, &u, &parent)) return false;
    if (u < 0 || u >= n) return out_of_bounds(0);
    if (visited(u)) continue;
    visited(u) = 1;
    if (parent != -1 && !add_tree_edge(connections, weights, u, parent, weight)) return false;
    for (int v = 0; v < n; ++v) {
      if (visited(v)) continue;
      Ref candidate = Ref::steal(Py_BuildValue("(dii)", matrix(u, v), v, u));
      if (!candidate || !call_global("heappush", {heap.get(), candidate.get()})) return false;
    }
  }
  return true;
}

// ---- Prim's algorithm with distances computed as vertices join -----------------------

using pairwise::Metric;
using pairwise::PointBlocks;

// The vertices outside the tree, packed at positions 0 .. count-1 (a vertex
// that joins is replaced by the last one), each with its cheapest link to the
// tree. Indices are held as doubles so that one lane compares them all.
struct Outside {
  PointBlocks points;
  std::vector<double> key;     // weight of the cheapest link; NaN before the first
  std::vector<double> parent;  // its tree end; +inf before the first link
  std::vector<double> vertex;

  void remove(size_t position) {
    const size_t last = points.count - 1;
    if (position != last) {
      points.move(last, position);
      key[position] = key[last];
      parent[position] = parent[last];
      vertex[position] = vertex[last];
    }
    --points.count;
  }
};

inline constexpr double lane_offsets[PointBlocks::block] = {0, 1, 2, 3, 4, 5, 6, 7};

// SIMD values pass between these templates only when they are inlined into
// one function, for AVX one compiled for AVX.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// Whether (a_key, a_vertex) comes before (b_key, b_vertex) in the order the
// next vertex is chosen by (arguments by reference: SIMD values are never
// passed by value outside their target).
template <class L>
inline void comes_first(const typename L::V& a_key, const typename L::V& a_vertex, const typename L::V& b_key,
                        const typename L::V& b_vertex, typename L::M& first) {
  const auto a_nan = L::nan(a_key), b_nan = L::nan(b_key);
  const auto lighter = L::but_not(L::either(b_nan, L::less(a_key, b_key)), a_nan);
  const auto same = L::either(L::equal(a_key, b_key), L::both(a_nan, b_nan));
  first = L::either(lighter, L::both(same, L::less(a_vertex, b_vertex)));
}

// Links every outside vertex to `joined` (point `u`) where that is cheaper,
// the same weight with a smaller parent index counting as cheaper, and
// returns the position of the vertex to join next.
template <class L, Metric metric>
inline size_t link_and_choose(Outside& out, const double* u, double u_norm, double joined) {
  using V = typename L::V;
  constexpr size_t parts = PointBlocks::block / L::width;
  const size_t count = out.points.count, dims = out.points.dims;
  const V joined_lane = L::broadcast(joined), count_lane = L::broadcast(double(count));
  const V step = L::broadcast(double(PointBlocks::block));
  V best_key[parts], best_vertex[parts], best_position[parts], position[parts];
  for (size_t h = 0; h < parts; ++h) {
    best_key[h] = L::broadcast(std::numeric_limits<double>::quiet_NaN());
    best_vertex[h] = L::broadcast(std::numeric_limits<double>::infinity());
    best_position[h] = L::zero();
    position[h] = L::load(lane_offsets + h * L::width);
  }
  const double* norms = out.points.norms.empty() ? nullptr : out.points.norms.data();
  for (size_t start = 0; start < count; start += PointBlocks::block) {
    V distance[parts];
    pairwise::block_distances<L, metric>(out.points.block_start(start), dims, u, u_norm,
                                         norms ? norms + start : nullptr, distance);
    for (size_t h = 0; h < parts; ++h) {
      const size_t at = start + h * L::width;
      const auto valid = L::less(position[h], count_lane);  // the last block is padded
      V key = L::load(&out.key[at]), parent = L::load(&out.parent[at]);
      typename L::M take;
      comes_first<L>(distance[h], joined_lane, key, parent, take);
      take = L::both(valid, take);
      key = L::select(take, distance[h], key);
      L::store(&out.key[at], key);
      L::store(&out.parent[at], L::select(take, joined_lane, parent));
      const V vertex = L::load(&out.vertex[at]);
      typename L::M better;
      comes_first<L>(key, vertex, best_key[h], best_vertex[h], better);
      better = L::both(valid, better);
      best_key[h] = L::select(better, key, best_key[h]);
      best_vertex[h] = L::select(better, vertex, best_vertex[h]);
      best_position[h] = L::select(better, position[h], best_position[h]);
      position[h] = L::add(position[h], step);
    }
  }
  double keys[PointBlocks::block], vertices[PointBlocks::block], positions[PointBlocks::block];
  for (size_t h = 0; h < parts; ++h) {
    L::store(keys + h * L::width, best_key[h]);
    L::store(vertices + h * L::width, best_vertex[h]);
    L::store(positions + h * L::width, best_position[h]);
  }
  size_t best = 0;
  for (size_t lane = 1; lane < PointBlocks::block; ++lane) {
    bool first;
    comes_first<pairwise::ScalarLanes>(keys[lane], vertices[lane], keys[best], vertices[best], first);
    if (first) best = lane;
  }
  return size_t(positions[best]);
}

// Distances from point `u` to every point of `points`, into out[0 .. count-1]
// (out has room for the padded count): the kernels as the tree search runs them.
template <class L, Metric metric>
inline void distances_to_all(const PointBlocks& points, const double* u, double u_norm, double* out) {
  constexpr size_t parts = PointBlocks::block / L::width;
  const double* norms = points.norms.empty() ? nullptr : points.norms.data();
  for (size_t start = 0; start < points.count; start += PointBlocks::block) {
    typename L::V distance[parts];
    pairwise::block_distances<L, metric>(points.block_start(start), points.dims, u, u_norm,
                                         norms ? norms + start : nullptr, distance);
    for (size_t h = 0; h < parts; ++h) L::store(out + start + h * L::width, distance[h]);
  }
}

// The kernels' two entry points for one lane set, each compiled as one
// function (flatten: everything inlined into it, for AVX under its target).
#define PRIM_LANE_ENTRY_POINTS(attributes, suffix, Lanes)                                                         \
  attributes size_t link_and_choose_##suffix(Metric metric, Outside& out, const double* u, double u_norm,         \
                                             double joined) {                                                      \
    switch (metric) {                                                                                              \
      case Metric::euclidean: return link_and_choose<Lanes, Metric::euclidean>(out, u, u_norm, joined);           \
      case Metric::sqeuclidean: return link_and_choose<Lanes, Metric::sqeuclidean>(out, u, u_norm, joined);       \
      case Metric::cityblock: return link_and_choose<Lanes, Metric::cityblock>(out, u, u_norm, joined);           \
      case Metric::chebyshev: return link_and_choose<Lanes, Metric::chebyshev>(out, u, u_norm, joined);           \
      case Metric::cosine: return link_and_choose<Lanes, Metric::cosine>(out, u, u_norm, joined);                 \
    }                                                                                                              \
    return 0;                                                                                                      \
  }                                                                                                                \
  attributes void distances_to_all_##suffix(Metric metric, const PointBlocks& points, const double* u,            \
                                            double u_norm, double* out) {                                          \
    switch (metric) {                                                                                              \
      case Metric::euclidean: return distances_to_all<Lanes, Metric::euclidean>(points, u, u_norm, out);          \
      case Metric::sqeuclidean: return distances_to_all<Lanes, Metric::sqeuclidean>(points, u, u_norm, out);      \
      case Metric::cityblock: return distances_to_all<Lanes, Metric::cityblock>(points, u, u_norm, out);          \
      case Metric::chebyshev: return distances_to_all<Lanes, Metric::chebyshev>(points, u, u_norm, out);          \
      case Metric::cosine: return distances_to_all<Lanes, Metric::cosine>(points, u, u_norm, out);                \
    }                                                                                                              \
  }

#ifdef PAIRWISE_X86_LANES
PRIM_LANE_ENTRY_POINTS(__attribute__((flatten)), base, pairwise::Sse2Lanes)
PRIM_LANE_ENTRY_POINTS(__attribute__((target("avx"), flatten)), avx, pairwise::AvxLanes)
#else
PRIM_LANE_ENTRY_POINTS(__attribute__((flatten)), base, pairwise::ScalarLanes)
#endif
#undef PRIM_LANE_ENTRY_POINTS

#pragma GCC diagnostic pop

#ifdef PAIRWISE_X86_LANES
// Read once: the lanes must not change between the check against pdist and the tree.
bool detect_avx() {
  __builtin_cpu_init();  // this may run before libgcc's own initialisation
  return __builtin_cpu_supports("avx");
}
const bool avx_lanes = detect_avx();
#endif

size_t link_and_choose_here(Metric metric, Outside& out, const double* u, double u_norm, double joined) {
#ifdef PAIRWISE_X86_LANES
  if (avx_lanes) return link_and_choose_avx(metric, out, u, u_norm, joined);
#endif
  return link_and_choose_base(metric, out, u, u_norm, joined);
}

void distances_to_all_here(Metric metric, const PointBlocks& points, const double* u, double u_norm, double* out) {
#ifdef PAIRWISE_X86_LANES
  if (avx_lanes) return distances_to_all_avx(metric, points, u, u_norm, out);
#endif
  distances_to_all_base(metric, points, u, u_norm, out);
}

// Grows the tree from vertex 0 (whose point is `u`) until no vertex is left outside.
bool grow_tree(Metric metric, Outside& out, std::vector<double>& u, double u_norm, PyObject* connections,
               PyObject* weights) {
  double joined = 0;
  while (out.points.count > 0) {
    const size_t next = link_and_choose_here(metric, out, u.data(), u_norm, joined);
    joined = out.vertex[next];
    if (!add_tree_edge(connections, weights, int64_t(joined), int64_t(out.parent[next]), out.key[next])) return false;
    out.points.copy_point(next, u.data());
    if (!out.points.norms.empty()) u_norm = out.points.norms[next];
    out.remove(next);
  }
  return true;
}

// Row i of `points`, read element by element (any strides, any alignment).
void read_row(const View<double, 2>& points, Py_ssize_t i, double* row) {
  const char* start = points.bytes() + i * points.stride(0);
  for (Py_ssize_t c = 0; c < points.extent(1); ++c) std::memcpy(row + c, start + c * points.stride(1), sizeof(double));
}

// Rows 1 .. n-1 of `points` as the vertices outside a tree that holds vertex 0.
void place_outside(const View<double, 2>& points, Metric metric, Outside& out, std::vector<double>& first,
                   double* first_norm) {
  const size_t n = size_t(points.extent(0)), dims = size_t(points.extent(1));
  const bool cosine = metric == Metric::cosine;
  out.points.reset(n - 1, dims, cosine);
  const size_t slots = PointBlocks::padded(n - 1);
  out.key.assign(slots, std::numeric_limits<double>::quiet_NaN());
  out.parent.assign(slots, std::numeric_limits<double>::infinity());
  out.vertex.assign(slots, std::numeric_limits<double>::infinity());
  std::vector<double> row(dims);
  read_row(points, 0, first.data());
  *first_norm = cosine ? pairwise::cosine_norm(first.data(), dims) : 0.0;
  for (size_t v = 1; v < n; ++v) {
    read_row(points, Py_ssize_t(v), row.data());
    for (size_t c = 0; c < dims; ++c) out.points.at(v - 1, c) = row[c];
    if (cosine) out.points.norms[v - 1] = pairwise::cosine_norm(row.data(), dims);
    out.vertex[v - 1] = double(v);
  }
}

// The tree with distances computed as each vertex joins: memory O(n * columns).
bool streaming_prim(const View<double, 2>& points, Metric metric, PyObject* connections, PyObject* weights) {
  if (points.extent(0) < 2) return true;
  Outside out;
  std::vector<double> u(size_t(points.extent(1)));
  double u_norm;
  place_outside(points, metric, out, u, &u_norm);
  return grow_tree(metric, out, u, u_norm, connections, weights);
}

// ---- whether the kernels give pdist's numbers ----------------------------------------
//
// Before a metric name is first served natively, the kernels and pdist itself
// work out the same crafted points: integer grids full of ties, duplicates,
// magnitudes near 1e+-150 whose squares overflow or underflow, signed zeros,
// NaN and infinities, subnormals, and widths from one column to hundreds. Any
// difference (a SciPy that sums in another order, a fused multiply-add) sends
// that name to pdist for the rest of the process.

uint64_t mix_bits(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

constexpr size_t probe_rows = 24;
constexpr size_t probe_widths[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 15, 16, 17, 33, 100, 257};

double probe_value(size_t row, size_t column, size_t dims) {
  const uint64_t h = mix_bits(row * 1000003u + column);
  const double unit = double(h >> 11) * 0x1p-53;
  const double sign = (h & 1) ? -1.0 : 1.0;
  const double varied = sign * std::ldexp(1.0 + unit, int((h >> 1) % 121) - 60);
  const double inf = std::numeric_limits<double>::infinity();
  const size_t marked = (row * 7) % dims;  // the column holding a row's special value
  switch (row) {
    case 0: case 1: case 2: case 3: return double(int(h % 7) - 3);  // integer grid: ties
    case 4: return probe_value(1, column, dims);                     // duplicates
    case 5: return probe_value(8, column, dims);
    case 6: case 7: case 8: case 9: return varied;                   // rounding depends on the order
    case 10: return sign * (1.0 + unit) * 1e150;
    case 11: return sign * (1.0 + unit) * 1e154;                     // squares overflow
    case 12: return sign * (1.0 + unit) * 1e-150;
    case 13: return sign * (1.0 + unit) * 1e-160;                    // squares underflow
    case 14: return (h & 2) ? -0.0 : 0.0;
    case 15: return column == marked ? std::numeric_limits<double>::quiet_NaN() : varied;
    case 16: return column == marked ? inf : varied;
    case 17: return column == marked ? -inf : varied;
    case 18: return column == 0 ? inf : column == dims - 1 ? -inf : 1e300 * sign;
    case 19: return 0.0;
    case 20: return sign * double(h % 5) * 5e-324;                    // subnormals
    case 21: return (column % 2) ? 1.0 : sign * 1e16;                 // cancellation
    case 22: return double(int(h % 3)) * 0.1;
    default: return sign * (1.0 + unit);
  }
}

// 1: same numbers as pdist; 0: different; -1: pdist raised (exception set).
int kernels_match_pdist(PyObject* metric_name, Metric metric) {
  for (size_t dims : probe_widths) {
    npy_intp shape[2] = {npy_intp(probe_rows), npy_intp(dims)};
    Ref probe = Ref::steal(PyArray_SimpleNew(2, shape, NPY_FLOAT64));
    if (!probe) return -1;
    double* cells = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(probe.get())));
    for (size_t r = 0; r < probe_rows; ++r)
      for (size_t c = 0; c < dims; ++c) cells[r * dims + c] = probe_value(r, c, dims);

    Ref expected_object = call_global("pdist", {probe.get(), metric_name}, {"metric"});
    if (!expected_object) return -1;
    View<double, 1> expected;
    if (!expected.assign_array(expected_object.get(), state.ndarray, DTYPE_t, false)) return -1;
    if (size_t(expected.extent(0)) != probe_rows * (probe_rows - 1) / 2) return 0;

    PointBlocks all;
    all.reset(probe_rows, dims, metric == Metric::cosine);
    for (size_t r = 0; r < probe_rows; ++r) {
      for (size_t c = 0; c < dims; ++c) all.at(r, c) = cells[r * dims + c];
      if (metric == Metric::cosine) all.norms[r] = pairwise::cosine_norm(cells + r * dims, dims);
    }
    double ours[PointBlocks::padded(probe_rows)];
    for (size_t i = 0; i < probe_rows; ++i) {
      const double* u = cells + i * dims;
      distances_to_all_here(metric, all, u, metric == Metric::cosine ? all.norms[i] : 0.0, ours);
      for (size_t j = 0; j < probe_rows; ++j) {
        if (j == i) continue;
        const double theirs = expected(Py_ssize_t(condensed_index(probe_rows, std::min(i, j), std::max(i, j))));
        const bool same = std::memcmp(&theirs, &ours[j], sizeof(double)) == 0 ||
                          (std::isnan(theirs) && std::isnan(ours[j]));
        if (!same) return 0;
      }
    }
  }
  return 1;
}

// Verdicts by metric name as callers spelled it. Kept for the life of the
// process, like the module: the installed SciPy does not change under it.
struct MetricVerdict {
  std::string name;
  bool exact;
};
std::vector<MetricVerdict> metric_verdicts;
constexpr size_t max_metric_verdicts = 64;

// Whether `metric_name` may be served by the kernels (its metric in *metric);
// false without an exception for "leave it to pdist", false with one for a
// failure that must propagate.
bool native_metric(PyObject* metric_name, Metric* metric) {
  if (!PyUnicode_CheckExact(metric_name)) return false;
  Py_ssize_t length;
  const char* text = PyUnicode_AsUTF8AndSize(metric_name, &length);
  if (text == nullptr) {
    PyErr_Clear();  // not a name pdist serves natively either (lone surrogates)
    return false;
  }
  if (!pairwise::find_metric(text, size_t(length), metric)) return false;
  const std::string name(text, size_t(length));
  for (const MetricVerdict& verdict : metric_verdicts) {
    if (verdict.name == name) return verdict.exact;
  }
  const int match = kernels_match_pdist(metric_name, *metric);
  if (match < 0) {
    // pdist refused the probe: the described route will show the caller why
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
    return false;
  }
  if (metric_verdicts.size() < max_metric_verdicts) metric_verdicts.push_back({name, match == 1});
  return match == 1;
}

bool native_distances_allowed(PyObject* X, PyObject* metric_name, const View<double, 2>& points, Metric* metric) {
  if (!is_original("pdist") || !is_original("squareform") || !is_original("heappop") || !is_original("heappush") ||
      !is_original("np"))
    return false;
  // pdist reads subclasses through their own conversions: leave them to it
  if (!Py_IS_TYPE(X, state.ndarray) || metric_name == Py_None || points.extent(1) < 1) return false;
  return native_metric(metric_name, metric);
}

// ---- the entry point ---------------------------------------------------------------

PyObject* prim_mst(PyObject*, Args& a) {
  PyObject* X = a.object("X");
  PyObject* metric = a.object("metric");
  View<double, 2> points;
  if (!points.assign_array(X, state.ndarray, float64_t, false)) return nullptr;
  if (points.extent(0) > INT32_MAX) return raise(PyExc_ValueError, "X has more rows than a 32-bit index can hold");
  const int n = int(points.extent(0));

  Metric native;
  if (native_distances_allowed(X, metric, points, &native)) {
    Ref connections = graph::create(size_t(n), graph::INT64, n);
    Ref weights = connections ? graph::create(size_t(n), graph::FLOAT32, n) : Ref();
    if (!weights || !streaming_prim(points, native, connections.get(), weights.get())) return nullptr;
    return PyTuple_Pack(2, connections.get(), weights.get());
  }
  if (PyErr_Occurred()) return nullptr;

  Ref distances_object = call_global("pdist", {X, metric}, {"metric"});
  if (!distances_object) return nullptr;
  View<double, 1> distances;
  if (!distances.assign_array(distances_object.get(), state.ndarray, DTYPE_t, false)) return nullptr;

  Ref connections = graph::create(size_t(n), graph::INT64, n);
  Ref weights = connections ? graph::create(size_t(n), graph::FLOAT32, n) : Ref();
  if (!weights) return nullptr;

  const size_t pairs = size_t(n) * size_t(n > 0 ? n - 1 : 0) / 2;
  bool natives = is_original("squareform") && is_original("heappop") && is_original("heappush") &&
                 is_original("np");
  bool ok;
  if (natives && size_t(distances.extent(0)) == pairs && (pairs == 0 || distances.stride(0) == sizeof(double))) {
    ok = dense_prim(distances.data(), size_t(n), connections.get(), weights.get());
  } else {
    ok = heap_prim(distances_object.get(), n, connections.get(), weights.get());
  }
  if (!ok) return nullptr;
  return PyTuple_Pack(2, connections.get(), weights.get());
}

FunctionDef prim_mst_def{
    "prim_mst",
    {{"X", not_none(as_ndarray)}, {"metric", exactly(&PyUnicode_Type), str_default("euclidean")}},
    "prim_mst(ndarray X, str metric='euclidean')\n\n    Performs Prim's algorithm on an array of datapoints, creating a "
    "minimum spanning tree\n    using a complete weighted graph.\n\n    Parameters\n    ----------\n    X: "
    "np.ndarray\n        Array of datapoints in a continuous or discrete space.\n    metric: str\n        Distance "
    "metric as defined in scipy.spatial.distance.pdist.\n\n    Returns\n    ----------\n    tuple\n        A "
    "2-tuple containing:\n        - mst_connections: list of lists, representing the adjacency list of the MST.\n  "
    "      - mst_weights: list of lists, representing the edge weights of the MST.\n    ",
    prim_mst};

}  // namespace
