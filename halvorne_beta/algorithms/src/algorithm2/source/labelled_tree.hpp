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
//  - in the leaves the bounds do not settle, float32 sums of offsets from the
//    leaf centre, within a proven error, decide most labelled points; exact
//    float32 sums, operation for operation as the matrix path computes them,
//    decide the rest.
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
  static constexpr int leaf_size = 64;

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
    // each leaf's labelled points as float32 offsets from its centre,
    // coordinate by coordinate, each run padded to a multiple of 4
    leaf_start_.assign(nodes_.size(), 0);
    offsets_.clear();
    for (size_t v = 0; v < nodes_.size(); ++v) {
      const Node& node = nodes_[v];
      if (node.left >= 0) continue;
      leaf_start_[v] = offsets_.size();
      const size_t padded = size_t(node.end - node.begin + 3) & ~size_t(3);
      offsets_.resize(offsets_.size() + padded * dims_, 0.0f);
      float* out = offsets_.data() + leaf_start_[v];
      for (int32_t t = node.begin; t < node.end; ++t)
        for (int d = 0; d < dims_; ++d)
          out[size_t(d) * padded + size_t(t - node.begin)] = static_cast<float>(point(t)[d] - centre(int32_t(v))[d]);
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
    // positions in pairs, coordinates by dimension; the padding lane is
    // computed and never read
    lanes_ = size_t(m_ + 1) & ~size_t(1);
    spread_.assign(lanes_, 0.0);
    ws_.resize(lanes_, 0.0);
    soa_y_.assign(lanes_ * dims_, 0.0);
    for (int32_t j = 0; j < m_; ++j) {
      spread_[size_t(j)] = distance(y(j), reference_.data()) * (1 + double_slack_);
      for (int d = 0; d < dims_; ++d) soa_y_[size_t(d) * lanes_ + size_t(j)] = y(j)[d];
    }
    active_.resize(size_t(m_) * 64);
    lower_.resize(lanes_);
    upper_.resize(lanes_);
    centre_distance_.resize(lanes_);
    kept_distance_.resize(size_t(m_));
    near_.resize(size_t(dims_));
    listed_.resize(size_t(m_));
    std::copy(all_.begin(), all_.end(), active_.begin());
    descend(0, 0, m_);
  }

  // The labelled points of leaf v against the positions `active` (ascending,
  // `count` of them; kept_distance_ holds their distances to the centre).
  // Float32 sums of the offsets from the centre come first, within a proven
  // error of the exact ones, four labelled points at a time: a labelled point
  // whose possible winners have all won already is passed over, one with a
  // single possible winner is won by it, and only the others are scored
  // exactly, against their possible winners.
  void score_leaf(int32_t v, const int32_t* active, int32_t count) {
    const Node& node = nodes_[size_t(v)];
    const double* c = centre(v);
    const size_t points = size_t(node.end - node.begin), padded = (points + 3) & ~size_t(3);
    const float* z = offsets_.data() + leaf_start_[size_t(v)];
    approximate_.resize(size_t(count) * padded);
    least_upper_.assign(padded, std::numeric_limits<float>::infinity());
    error_.resize(size_t(count));
    for (int32_t a = 0; a < count; ++a) {
      const int32_t j = active[a];
      // the float32 differences err by at most 2^-23 of (|y - c| + R) each,
      // the squares, sums, root and addition by a few units of 2^-24 more
      const double scale = kept_distance_[size_t(a)] + node.radius + std::fabs(ws_[size_t(j)]);
      error_[size_t(a)] = float(approximation_slack_ * scale + 1e-18);
      for (int d = 0; d < dims_; ++d) near_[size_t(d)] = static_cast<float>(y(j)[d] - c[d]);
      const __m128 weight = _mm_set1_ps(weights_[size_t(j)]), error = _mm_set1_ps(error_[size_t(a)]);
      float* out = approximate_.data() + size_t(a) * padded;
      for (size_t t = 0; t < padded; t += 4) {
        __m128 sum = _mm_setzero_ps();
        for (int d = 0; d < dims_; ++d) {
          const __m128 diff = _mm_sub_ps(_mm_set1_ps(near_[size_t(d)]), _mm_loadu_ps(z + size_t(d) * padded + t));
          sum = _mm_add_ps(sum, _mm_mul_ps(diff, diff));
        }
        const __m128 value = _mm_add_ps(_mm_sqrt_ps(sum), weight);
        _mm_storeu_ps(out + t, value);
        _mm_storeu_ps(least_upper_.data() + t,
                      _mm_min_ps(_mm_loadu_ps(least_upper_.data() + t), _mm_add_ps(value, error)));
      }
    }
    // For every labelled point t: how many positions may win it, whether one
    // of them had not won yet when the leaf began, and the first of them.
    possible_.assign(padded, 0);
    open_.assign(padded, 0);
    first_.assign(padded, -1);
    for (int32_t a = 0; a < count; ++a) {
      const float* values = approximate_.data() + size_t(a) * padded;
      const __m128 error = _mm_set1_ps(error_[size_t(a)]);
      const __m128i open = _mm_set1_epi32(won_by_[size_t(active[a])] ? 0 : -1), position = _mm_set1_epi32(a);
      for (size_t t = 0; t < padded; t += 4) {
        auto* possible = reinterpret_cast<__m128i*>(possible_.data() + t);
        auto* opened = reinterpret_cast<__m128i*>(open_.data() + t);
        auto* first = reinterpret_cast<__m128i*>(first_.data() + t);
        const __m128i may = _mm_castps_si128(
            _mm_cmpnlt_ps(_mm_loadu_ps(least_upper_.data() + t), _mm_sub_ps(_mm_loadu_ps(values + t), error)));
        const __m128i before = _mm_loadu_si128(first);
        const __m128i take = _mm_and_si128(may, _mm_cmpeq_epi32(before, _mm_set1_epi32(-1)));
        _mm_storeu_si128(possible, _mm_sub_epi32(_mm_loadu_si128(possible), may));
        _mm_storeu_si128(opened, _mm_or_si128(_mm_loadu_si128(opened), _mm_and_si128(may, open)));
        _mm_storeu_si128(first, _mm_or_si128(_mm_and_si128(take, position), _mm_andnot_si128(take, before)));
      }
    }
    for (size_t t = 0; t < points && won_ < m_; ++t) {
      if (!open_[t]) continue;
      if (possible_[t] == 1) {
        win(active[first_[t]]);
        continue;
      }
      const __m128 least_upper = _mm_set1_ps(least_upper_[t]);
      int32_t listed = 0;
      for (int32_t a = first_[t]; a < count; ++a) {
        const float lower = approximate_[size_t(a) * padded + t] - error_[size_t(a)];
        if (!(lower > _mm_cvtss_f32(least_upper))) listed_[size_t(listed++)] = active[a];
      }
      score_exactly(point(node.begin + int32_t(t)), listed_.data(), listed);
    }
  }

  // For every position j, bounds over the node (centre c, radius R) of
  //   h_j(z) = |z - y_j| - |z - r| + w_j,
  // widened by the rounding margin of its float32 sums: lower_[j] and
  // upper_[j]. h_j lies within e_j = |y_j - r| of w_j everywhere (triangle
  // inequality), and within R times the bound e_j / sqrt(low_j low_r) of its
  // gradient of its value at the centre, low_j and low_r being the least
  // distances from y_j and r to the node. Two positions at a time.
  void bound_all(const double* c, double R, double rho, double low_r) {
    const size_t M = lanes_;
    const __m128d radius = _mm_set1_pd(R), rho_v = _mm_set1_pd(rho), low_r_v = _mm_set1_pd(low_r);
    const __m128d below = _mm_set1_pd(1 - double_slack_), above = _mm_set1_pd(1 + double_slack_);
    const __m128d slack = _mm_set1_pd(double_slack_), float_slack = _mm_set1_pd(float_slack_);
    const __m128d tiny = _mm_set1_pd(1e-37), zero = _mm_setzero_pd();
    const __m128d infinite = _mm_set1_pd(std::numeric_limits<double>::infinity());
    const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    const bool reference_outside = low_r > 0;
    for (size_t j = 0; j < M; j += 2) {
      __m128d square = zero;
      for (int d = 0; d < dims_; ++d) {
        const __m128d diff = _mm_sub_pd(_mm_set1_pd(c[d]), _mm_loadu_pd(soa_y_.data() + size_t(d) * M + j));
        square = _mm_add_pd(square, _mm_mul_pd(diff, diff));
      }
      const __m128d dist = _mm_sqrt_pd(square);
      const __m128d w = _mm_loadu_pd(ws_.data() + j), e = _mm_loadu_pd(spread_.data() + j);
      const __m128d abs_w = _mm_and_pd(w, magnitude);
      const __m128d h = _mm_add_pd(_mm_sub_pd(dist, rho_v), w);
      const __m128d rounding = _mm_mul_pd(slack, _mm_add_pd(_mm_add_pd(dist, rho_v), abs_w));
      const __m128d low_j = _mm_sub_pd(_mm_mul_pd(dist, below), radius);
      // where y_j or r may lie in the node the gradient bound is void
      __m128d width = _mm_add_pd(
          _mm_mul_pd(_mm_div_pd(_mm_mul_pd(radius, e), _mm_sqrt_pd(_mm_mul_pd(low_j, low_r_v))), above), rounding);
      const __m128d valid = reference_outside ? _mm_cmpgt_pd(low_j, zero) : zero;
      width = _mm_or_pd(_mm_and_pd(valid, width), _mm_andnot_pd(valid, infinite));
      const __m128d lower = _mm_max_pd(_mm_sub_pd(h, width), _mm_sub_pd(w, e));
      const __m128d upper = _mm_min_pd(_mm_add_pd(h, width), _mm_add_pd(w, e));
      const __m128d margin =
          _mm_add_pd(_mm_mul_pd(float_slack, _mm_add_pd(_mm_add_pd(dist, radius), abs_w)), tiny);
      _mm_storeu_pd(lower_.data() + j, _mm_sub_pd(lower, margin));
      _mm_storeu_pd(upper_.data() + j, _mm_add_pd(upper, margin));
      _mm_storeu_pd(centre_distance_.data() + j, dist);
    }
  }

  // Node v with the positions active_[from, from + count) still in the race.
  void descend(int32_t v, size_t from, int32_t count) {
    const Node& node = nodes_[size_t(v)];
    const double* c = centre(v);
    const double R = node.radius;
    const double rho = distance(c, reference_.data());
    const double low_r = rho * (1 - double_slack_) - R;
    bound_all(c, R, rho, low_r);
    const int32_t* active = active_.data() + from;
    double least_upper = std::numeric_limits<double>::infinity();
    for (int32_t a = 0; a < count; ++a) least_upper = std::min(least_upper, upper_[size_t(active[a])]);
    // keep the positions that may win somewhere in the node, still ascending
    const size_t next = from + size_t(count);
    if (active_.size() < next + size_t(count)) active_.resize(next + size_t(count) + size_t(m_));
    active = active_.data() + from;
    int32_t kept = 0;
    bool all_won = true;
    for (int32_t a = 0; a < count; ++a) {
      if (lower_[size_t(active[a])] > least_upper) continue;
      kept_distance_[size_t(kept)] = centre_distance_[size_t(active[a])];
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
  std::vector<float> offsets_;          // labelled points minus their leaf's centre, float32
  std::vector<double> ys_, ws_, reference_, spread_, lower_, upper_, centre_distance_, kept_distance_, soa_y_;
  size_t lanes_ = 0;
  std::vector<size_t> leaf_start_;       // where each leaf's offsets begin
  std::vector<float> near_, error_, approximate_, least_upper_;
  std::vector<int32_t> possible_, open_, first_;
  std::vector<int32_t> listed_;
  double approximation_slack_ = 0;
  std::vector<float> weights_;
  std::vector<uint8_t> won_by_;
  std::vector<int32_t> all_, active_;
};

}  // namespace
