// The per-point selection of informative_edges without the point-by-labelled
// distance matrix.
//
// For a point with neighbours y_j (edge lengths w_j), labelled point z is won
// by the position j with the smallest float32 sum fl(fl(|y_j - z|) + w_j),
// the lowest position among equal sums, a NaN sum never. Only the set of
// positions that win at least one labelled point matters, so a search over a
// tree of the labelled points settles whole nodes at once:
//
//  - every sum of neighbour j over a node lies, up to the rounding margin
//    mu_j, in [A_j, B_j] + |z - r| for a reference point r shared by all
//    neighbours, so the common term cancels when two neighbours are compared;
//  - a neighbour with A_j above the smallest B is beaten everywhere in the
//    node and drops out below it;
//  - a node whose remaining neighbours have all won already cannot add to the
//    set, and a node left with one neighbour is won by it;
//  - only leaves that the bounds do not settle compute exact float32 sums,
//    operation for operation as the matrix path does.
//
// Points whose coordinates or edge lengths are not finite or are extreme in
// magnitude, where the margins would not hold, are scored exactly against
// every labelled point instead.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "euclidean_distances.hpp"

namespace {

class LabelledTree {
 public:
  // Coordinates of this magnitude or beyond, and edge lengths beyond
  // `weight_limit`, are scored exactly: far below the float32 overflow, so
  // every sum of regular values is finite and the margins hold.
  static constexpr double coordinate_limit = 1e15;
  static constexpr double weight_limit = 1e30;
  static constexpr int leaf_size = 8;

  // `points` (n rows) and `labelled` (L rows): two-dimensional float32 or
  // float64 arrays with `dims` columns.
  bool build(PyArrayObject* points, PyArrayObject* labelled) {
    dims_ = int(PyArray_DIM(points, 1));
    const npy_intp n = PyArray_DIM(points, 0), L = PyArray_DIM(labelled, 0);
    // relative slack for quantities computed in double precision, and the
    // float32 rounding of a distance and of a sum on top of it
    double_slack_ = 4e-16 * (dims_ + 8);
    float_slack_ = std::ldexp(1.0, -20) + 4 * double_slack_;
    approximation_slack_ = std::ldexp(8 * std::sqrt(double(dims_)) + 4.0 * dims_ + 32, -24) + float_slack_;
    try {
      points_.resize(size_t(n) * size_t(dims_));
      regular_point_.resize(size_t(n));
      for (npy_intp p = 0; p < n; ++p) {
        double* row = points_.data() + size_t(p) * size_t(dims_);
        for (int d = 0; d < dims_; ++d) row[d] = coordinate(points, p, d);
        regular_point_[size_t(p)] = is_regular(row);
      }
      std::vector<double> regular;
      for (npy_intp c = 0; c < L; ++c) {
        std::vector<double> row(static_cast<size_t>(dims_));
        for (int d = 0; d < dims_; ++d) row[size_t(d)] = coordinate(labelled, c, d);
        std::vector<double>& into = is_regular(row.data()) ? regular : outliers_;
        into.insert(into.end(), row.begin(), row.end());
      }
      build_tree(std::move(regular));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
    return true;
  }

  // Fills `chosen` with the winning positions, ascending. The neighbour rows
  // (0 .. n-1) and the weight count have been checked by the caller.
  void select(const int64_t* connections, Py_ssize_t stride, Py_ssize_t m, const float* weights,
              std::vector<Py_ssize_t>* chosen) {
    chosen->clear();
    if (m == 0) return;
    gather(connections, stride, m, weights);
    bool regular = true;
    for (Py_ssize_t j = 0; j < m && regular; ++j) {
      const int64_t r = *reinterpret_cast<const int64_t*>(reinterpret_cast<const char*>(connections) + j * stride);
      regular = regular_point_[size_t(r)] && std::fabs(double(weights[j])) <= weight_limit;
    }
    all_.resize(size_t(m));
    std::iota(all_.begin(), all_.end(), int32_t(0));
    const size_t outlier_count = outliers_.size() / size_t(dims_);
    for (size_t c = 0; c < outlier_count && won_ < m_; ++c) score_exactly(outliers_.data() + c * dims_, all_.data(), m_);
    if (regular) {
      search();
    } else {
      const size_t count = coords_.size() / size_t(dims_);
      for (size_t c = 0; c < count && won_ < m_; ++c) score_exactly(coords_.data() + c * dims_, all_.data(), m_);
    }
    for (int32_t j = 0; j < m_; ++j)
      if (won_by_[size_t(j)]) chosen->push_back(j);
  }

 private:
  struct Node {
    double radius;          // every labelled point of the node lies within it of the centre
    int32_t begin, end;     // its labelled points, in tree order
    int32_t left, right;    // children, -1 for a leaf
  };

  bool is_regular(const double* row) const {
    for (int d = 0; d < dims_; ++d)
      if (!(std::fabs(row[d]) < coordinate_limit)) return false;
    return true;
  }

  double distance(const double* a, const double* b) const {
    double s = 0.0;
    for (int d = 0; d < dims_; ++d) {
      const double diff = a[d] - b[d];
      s += diff * diff;
    }
    return std::sqrt(s);
  }

  // The float32 distance exactly as the matrix holds it: the squared
  // differences (point minus labelled point) summed in coordinate order in
  // double precision, the square root, then rounded to float32.
  float exact_distance(const double* point, const double* labelled) const {
    double s = 0.0;
    for (int d = 0; d < dims_; ++d) {
      const double diff = point[d] - labelled[d];
      double square = diff * diff;
      __asm__("" : "+x"(square));  // the product rounded on its own, never fused into the sum
      s = s + square;
    }
    return static_cast<float>(std::sqrt(s));
  }

  // ---- the tree over the regular labelled points ----

  void build_tree(std::vector<double> regular) {
    const int32_t count = int32_t(regular.size() / size_t(dims_));
    nodes_.clear();
    centres_.clear();
    std::vector<int32_t> order(static_cast<size_t>(count));
    std::iota(order.begin(), order.end(), 0);
    if (count > 0) split(regular, order, 0, count);
    coords_.resize(regular.size());
    for (int32_t t = 0; t < count; ++t)
      std::copy_n(regular.data() + size_t(order[size_t(t)]) * dims_, dims_, coords_.data() + size_t(t) * dims_);
    // the centre and radius of each node over its points, now in tree order
    for (size_t v = 0; v < nodes_.size(); ++v) {
      Node& node = nodes_[v];
      double* centre = centres_.data() + v * dims_;
      double radius = 0;
      for (int32_t t = node.begin; t < node.end; ++t) radius = std::max(radius, distance(centre, point(t)));
      node.radius = radius * (1 + double_slack_) + 1e-150;
    }
    // each labelled point as a float32 offset from the centre of its leaf
    offsets_.resize(coords_.size());
    for (size_t v = 0; v < nodes_.size(); ++v) {
      if (nodes_[v].left >= 0) continue;
      for (int32_t t = nodes_[v].begin; t < nodes_[v].end; ++t)
        for (int d = 0; d < dims_; ++d)
          offsets_[size_t(t) * dims_ + d] = static_cast<float>(point(t)[d] - centre(int32_t(v))[d]);
    }
  }

  // Builds the node of order[begin, end) and returns its index.
  int32_t split(const std::vector<double>& regular, std::vector<int32_t>& order, int32_t begin, int32_t end) {
    const int32_t index = int32_t(nodes_.size());
    nodes_.push_back(Node{0, begin, end, -1, -1});
    std::vector<double> low(size_t(dims_), std::numeric_limits<double>::infinity());
    std::vector<double> high(size_t(dims_), -std::numeric_limits<double>::infinity());
    for (int32_t t = begin; t < end; ++t) {
      const double* p = regular.data() + size_t(order[size_t(t)]) * dims_;
      for (int d = 0; d < dims_; ++d) {
        low[size_t(d)] = std::min(low[size_t(d)], p[d]);
        high[size_t(d)] = std::max(high[size_t(d)], p[d]);
      }
    }
    int widest = 0;
    for (int d = 0; d < dims_; ++d) {
      centres_.push_back(low[size_t(d)] + (high[size_t(d)] - low[size_t(d)]) / 2);
      if (high[size_t(d)] - low[size_t(d)] > high[size_t(widest)] - low[size_t(widest)]) widest = d;
    }
    if (end - begin <= leaf_size || high[size_t(widest)] == low[size_t(widest)]) return index;
    const int32_t middle = begin + (end - begin) / 2;
    std::nth_element(order.begin() + begin, order.begin() + middle, order.begin() + end, [&](int32_t a, int32_t b) {
      return regular[size_t(a) * dims_ + widest] < regular[size_t(b) * dims_ + widest];
    });
    const int32_t left = split(regular, order, begin, middle);
    const int32_t right = split(regular, order, middle, end);
    nodes_[size_t(index)].left = left;
    nodes_[size_t(index)].right = right;
    return index;
  }

  const double* point(int32_t t) const { return coords_.data() + size_t(t) * dims_; }
  const double* centre(int32_t v) const { return centres_.data() + size_t(v) * dims_; }

  // ---- one point's search ----

  void gather(const int64_t* connections, Py_ssize_t stride, Py_ssize_t m, const float* weights) {
    m_ = int32_t(m);
    ys_.resize(size_t(m) * dims_);
    ws_.resize(size_t(m));
    weights_.resize(size_t(m));
    won_by_.assign(size_t(m), 0);
    won_ = 0;
    for (Py_ssize_t j = 0; j < m; ++j) {
      const int64_t r = *reinterpret_cast<const int64_t*>(reinterpret_cast<const char*>(connections) + j * stride);
      std::copy_n(points_.data() + size_t(r) * dims_, dims_, ys_.data() + size_t(j) * dims_);
      weights_[size_t(j)] = weights[j];
      ws_[size_t(j)] = double(weights[j]);
    }
  }

  const double* y(int32_t j) const { return ys_.data() + size_t(j) * dims_; }

  void win(int32_t j) {
    if (!won_by_[size_t(j)]) {
      won_by_[size_t(j)] = 1;
      ++won_;
    }
  }

  // Labelled point z against the positions `active` (ascending): the exact
  // sums, strict <, so the lowest position keeps equal sums and NaN never wins.
  void score_exactly(const double* z, const int32_t* active, int32_t count) {
    float bound = std::numeric_limits<float>::infinity();
    int32_t best = -1;
    for (int32_t a = 0; a < count; ++a) {
      const int32_t j = active[a];
      const float sum = exact_distance(y(j), z) + weights_[size_t(j)];
      if (sum < bound) {
        bound = sum;
        best = j;
      }
    }
    if (best >= 0) win(best);
  }

  void search() {
    if (nodes_.empty()) return;
    // the reference point: the neighbours' centroid, close to all of them
    reference_.assign(size_t(dims_), 0.0);
    for (int32_t j = 0; j < m_; ++j)
      for (int d = 0; d < dims_; ++d) reference_[size_t(d)] += y(j)[d];
    for (int d = 0; d < dims_; ++d) reference_[size_t(d)] /= m_;
    spread_.resize(size_t(m_));
    for (int32_t j = 0; j < m_; ++j) spread_[size_t(j)] = distance(y(j), reference_.data()) * (1 + double_slack_);
    active_.resize(size_t(m_) * 64);
    lower_.resize(size_t(m_));
    centre_distance_.resize(size_t(m_));
    kept_distance_.resize(size_t(m_));
    std::copy(all_.begin(), all_.end(), active_.begin());
    descend(0, 0, m_);
  }

  // The labelled points of leaf v against the positions `active` (ascending,
  // `count` of them; kept_distance_ holds their distances to the centre).
  // Float32 sums of the offsets from the centre come first, within a proven
  // error of the exact ones: a labelled point whose possible winners have all
  // won already is passed over, one with a single possible winner is won by
  // it, and only the others are scored exactly.
  void score_leaf(int32_t v, const int32_t* active, int32_t count) {
    const Node& node = nodes_[size_t(v)];
    const double* c = centre(v);
    const int32_t padded = (count + 3) & ~3;
    near_.assign(size_t(padded) * dims_, 0.0f);
    near_weight_.assign(size_t(padded), 0.0f);
    error_.resize(size_t(padded));
    for (int32_t a = 0; a < count; ++a) {
      const int32_t j = active[a];
      for (int d = 0; d < dims_; ++d) near_[size_t(d) * padded + a] = static_cast<float>(y(j)[d] - c[d]);
      near_weight_[size_t(a)] = weights_[size_t(j)];
      // the float32 differences err by at most 2^-23 of (|y - c| + R) each,
      // the squares, sums, root and addition by a few units of 2^-24 more
      const double scale = kept_distance_[size_t(a)] + node.radius + std::fabs(ws_[size_t(j)]);
      error_[size_t(a)] = float(approximation_slack_ * scale + 1e-18);
    }
    approximate_.resize(size_t(padded));
    possible_.resize(size_t(count));
    for (int32_t t = node.begin; t < node.end && won_ < m_; ++t) {
      const float* z = offsets_.data() + size_t(t) * dims_;
      for (int32_t a = 0; a < padded; a += 4) {
        __m128 sum = _mm_setzero_ps();
        for (int d = 0; d < dims_; ++d) {
          const __m128 diff = _mm_sub_ps(_mm_loadu_ps(near_.data() + size_t(d) * padded + a), _mm_set1_ps(z[d]));
          sum = _mm_add_ps(sum, _mm_mul_ps(diff, diff));
        }
        _mm_storeu_ps(approximate_.data() + a, _mm_add_ps(_mm_sqrt_ps(sum), _mm_loadu_ps(near_weight_.data() + a)));
      }
      float least_upper = std::numeric_limits<float>::infinity();
      for (int32_t a = 0; a < count; ++a) least_upper = std::min(least_upper, approximate_[size_t(a)] + error_[size_t(a)]);
      int32_t possible = 0;
      bool all_won = true;
      for (int32_t a = 0; a < count; ++a) {
        if (approximate_[size_t(a)] - error_[size_t(a)] > least_upper) continue;
        possible_[size_t(possible++)] = active[a];
        all_won = all_won && won_by_[size_t(active[a])];
      }
      if (all_won) continue;
      if (possible == 1) {
        win(possible_[0]);
        continue;
      }
      score_exactly(point(t), possible_.data(), possible);
    }
  }

  // Node v with the positions active_[from, from + count) still in the race.
  void descend(int32_t v, size_t from, int32_t count) {
    const Node& node = nodes_[size_t(v)];
    const double* c = centre(v);
    const double R = node.radius;
    const double rho = distance(c, reference_.data());
    const double low_r = rho * (1 - double_slack_) - R;
    const int32_t* active = active_.data() + from;
    double least_upper = std::numeric_limits<double>::infinity();
    for (int32_t a = 0; a < count; ++a) {
      const int32_t j = active[a];
      const double w = ws_[size_t(j)], e = spread_[size_t(j)];
      const double d = distance(c, y(j));
      // h_j(z) = |z - y_j| - |z - r| + w_j: within e of w_j everywhere, and
      // within R times its gradient bound of its value at the centre
      const double h = d - rho + w;
      const double rounding = double_slack_ * (d + rho + std::fabs(w));
      double lower = w - e, upper = w + e;
      const double low_j = d * (1 - double_slack_) - R;
      if (low_j > 0 && low_r > 0) {
        const double width = R * e / std::sqrt(low_j * low_r) * (1 + double_slack_) + rounding;
        lower = std::max(lower, h - width);
        upper = std::min(upper, h + width);
      }
      const double margin = float_slack_ * (d + R + std::fabs(w)) + 1e-37;
      lower_[size_t(a)] = lower - margin;
      centre_distance_[size_t(a)] = d;
      least_upper = std::min(least_upper, upper + margin);
    }
    // keep the positions that may win somewhere in the node, still ascending
    const size_t next = from + size_t(count);
    if (active_.size() < next + size_t(count)) active_.resize(next + size_t(count) + size_t(m_));
    active = active_.data() + from;
    int32_t kept = 0;
    bool all_won = true;
    for (int32_t a = 0; a < count; ++a) {
      if (lower_[size_t(a)] > least_upper) continue;
      kept_distance_[size_t(kept)] = centre_distance_[size_t(a)];
      active_[next + size_t(kept++)] = active[a];
      all_won = all_won && won_by_[size_t(active[a])];
    }
    if (all_won) return;
    if (kept == 1) {
      win(active_[next]);
      return;
    }
    if (node.left < 0) {
      score_leaf(v, active_.data() + next, kept);
      return;
    }
    // the nearer child first
    int32_t first = node.left, second = node.right;
    if (distance(centre(second), reference_.data()) < distance(centre(first), reference_.data())) std::swap(first, second);
    descend(first, next, kept);
    if (won_ < m_) descend(second, next, kept);
  }

  int dims_ = 0;
  double double_slack_ = 0, float_slack_ = 0;
  std::vector<double> points_;          // all points, n x dims
  std::vector<uint8_t> regular_point_;
  std::vector<double> coords_;          // regular labelled points in tree order
  std::vector<double> outliers_;        // the other labelled points
  std::vector<Node> nodes_;
  std::vector<double> centres_;
  // one point's search
  int32_t m_ = 0, won_ = 0;
  std::vector<float> offsets_;          // each labelled point minus its leaf's centre, float32
  std::vector<double> ys_, ws_, reference_, spread_, lower_, centre_distance_, kept_distance_;
  std::vector<float> near_, near_weight_, error_, approximate_;
  std::vector<int32_t> possible_;
  double approximation_slack_ = 0;
  std::vector<float> weights_;
  std::vector<uint8_t> won_by_;
  std::vector<int32_t> all_, active_;
};

}  // namespace
