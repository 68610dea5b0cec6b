// Euclidean radius search over every point of a data set, with the same
// answer as SciPy's `KDTree(data).query_ball_tree(KDTree(data), r=eps)`.
//
// What SciPy decides. With p = 2 and no approximation, a pair (i, j) is a
// neighbour pair when d(i, j) <= eps * eps, where d is the squared distance
// summed the way its point-point kernel sums it: one running sum in
// dimension order below 4 dimensions, four running sums (dimensions taken
// modulo 4) added together and then the remaining dimensions from 4 up.
// Whole pairs of tree nodes are also decided at once: dropped when the
// smallest squared distance between their boxes exceeds the bound, taken
// without checking when the largest one is below it. Those box distances
// are sums in dimension order of rounded squares of rounded coordinate
// differences, and rounding is monotone, so below 4 dimensions a box's
// smallest (largest) distance is never above (below) the pointwise value of
// any pair inside it: the box decisions agree with the pointwise test and
// the tree's shape cannot matter. The one exception is an incremental
// update of the box distances, which SciPy makes only while both distances
// equal the squared diameter of the data's bounding box; every pair below
// such a node pair is then exactly that far apart, and only a bound within
// rounding of that diameter could be decided differently: such bounds are
// left to SciPy.
//
// From 4 dimensions on, the pointwise sum and the box sums associate
// differently. A pair is decided here only when the dimension-order sum and
// the pointwise sum fall on the same side of the bound (then no box decision
// can differ from the pointwise one) and the sums are either exact or not
// within rounding of the bound (so that no ordering of the pointwise sum
// could change the side). Anything else, and data that is not finite or
// whose box diameter overflows (SciPy refuses those), is left to SciPy.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <numeric>
#include <vector>

#pragma GCC push_options
#pragma GCC optimize("fp-contract=off")  // every product rounded before it is summed, as in SciPy

namespace radius_search {

// Neighbourhoods of all points: 32-bit point indices, one row per point,
// kept in blocks so that growing the table never copies what it holds.
class NeighbourTable {
 public:
  void reset(size_t points) {
    rows_.assign(points, Row{});
    blocks_.clear();
    free_ = 0;
  }
  size_t points() const { return rows_.size(); }
  int64_t size(size_t i) const { return rows_[i].count; }
  const int32_t* row(size_t i) const { return rows_[i].begin; }

  void store(size_t i, const int32_t* values, size_t count) {
    if (count == 0) {
      rows_[i] = Row{};
      return;
    }
    if (count > free_) {
      const size_t capacity = std::max(count, block_entries);
      blocks_.push_back(std::make_unique_for_overwrite<int32_t[]>(capacity));
      next_ = blocks_.back().get();
      free_ = capacity;
    }
    std::copy_n(values, count, next_);
    rows_[i] = Row{next_, int64_t(count)};
    next_ += count;
    free_ -= count;
  }

 private:
  static constexpr size_t block_entries = size_t(1) << 20;
  struct Row {
    const int32_t* begin = nullptr;
    int64_t count = 0;
  };
  std::vector<Row> rows_;
  std::vector<std::unique_ptr<int32_t[]>> blocks_;
  int32_t* next_ = nullptr;
  size_t free_ = 0;
};

// ---- squared distances, summed as SciPy sums them ------------------------------------

inline double squared_in_order(const double* u, const double* v, int64_t m) {
  double s = 0;
  for (int64_t k = 0; k < m; ++k) {
    const double d = u[k] - v[k];
    s += d * d;
  }
  return s;
}

// Four running sums over the first multiple-of-4 dimensions, then the rest.
inline double squared_pointwise(const double* u, const double* v, int64_t m) {
  if (m < 4) return squared_in_order(u, v, m);
  double acc[4] = {0., 0., 0., 0.};
  int64_t k = 0;
  for (; k + 4 <= m; k += 4) {
    for (int lane = 0; lane < 4; ++lane) {
      const double d = u[k + lane] - v[k + lane];
      acc[lane] += d * d;
    }
  }
  double s = acc[0] + acc[1] + acc[2] + acc[3];
  for (; k < m; ++k) {
    const double d = u[k] - v[k];
    s += d * d;
  }
  return s;
}

// True when every coordinate difference is an integer small enough that
// every square and every partial sum, in any order, is exact.
inline bool sums_exactly(const double* u, const double* v, int64_t m) {
  double total = 0;
  for (int64_t k = 0; k < m; ++k) {
    const double d = std::fabs(u[k] - v[k]);
    if (d != std::floor(d) || d >= 67108864.0) return false;  // 2^26
    total += d * d;
  }
  return total <= 4503599627370496.0;  // 2^52: sums of such integers stay exact
}

struct Box {
  std::vector<double> low, high;
};

// Smallest and largest squared distance between two boxes, in dimension order.
inline double box_min(const double* a_low, const double* a_high, const double* b_low, const double* b_high,
                      int64_t m) {
  double s = 0;
  for (int64_t k = 0; k < m; ++k) {
    const double gap = std::fmax(0., std::fmax(a_low[k] - b_high[k], b_low[k] - a_high[k]));
    s += gap * gap;
  }
  return s;
}
inline double box_max(const double* a_low, const double* a_high, const double* b_low, const double* b_high,
                      int64_t m) {
  double s = 0;
  for (int64_t k = 0; k < m; ++k) {
    const double span = std::fmax(a_high[k] - b_low[k], b_high[k] - a_low[k]);
    s += span * span;
  }
  return s;
}

// ---- the tree ------------------------------------------------------------------------

// A kd-tree over a copy of the points in tree order. Nodes split their
// widest side at the median; leaves hold at most `leaf_size` points.
class Tree {
 public:
  static constexpr int64_t leaf_size = 8;

  struct Node {
    int64_t begin, end;     // positions in tree order
    int64_t less, greater;  // child nodes, -1 for a leaf
  };

  Tree(const double* data, int64_t n, int64_t m) : m_(m), order_(size_t(n)) {
    std::iota(order_.begin(), order_.end(), int32_t(0));
    nodes_.reserve(size_t(2 * (n / leaf_size + 1)));
    build(data, 0, n);
    points_.resize(size_t(n * m));
    for (int64_t t = 0; t < n; ++t) std::copy_n(data + int64_t(order_[t]) * m, m, points_.data() + t * m);
  }

  int64_t dimensions() const { return m_; }
  const Node& node(int64_t k) const { return nodes_[size_t(k)]; }
  int64_t node_count() const { return int64_t(nodes_.size()); }
  const double* low(int64_t k) const { return bounds_.data() + size_t(k * 2 * m_); }
  const double* high(int64_t k) const { return low(k) + m_; }
  const double* point(int64_t t) const { return points_.data() + t * m_; }
  int32_t index(int64_t t) const { return order_[size_t(t)]; }

 private:
  int64_t build(const double* data, int64_t begin, int64_t end) {
    const int64_t k = int64_t(nodes_.size());
    nodes_.push_back(Node{begin, end, -1, -1});
    bounds_.resize(bounds_.size() + size_t(2 * m_));
    double* lo = bounds_.data() + size_t(k * 2 * m_);
    double* hi = lo + m_;
    for (int64_t d = 0; d < m_; ++d) {
      lo[d] = hi[d] = data[int64_t(order_[begin]) * m_ + d];
      for (int64_t t = begin + 1; t < end; ++t) {
        const double x = data[int64_t(order_[t]) * m_ + d];
        lo[d] = std::min(lo[d], x);
        hi[d] = std::max(hi[d], x);
      }
    }
    if (end - begin <= leaf_size) return k;
    int64_t widest = 0;
    for (int64_t d = 1; d < m_; ++d)
      if (hi[d] - lo[d] > hi[widest] - lo[widest]) widest = d;
    if (!(hi[widest] > lo[widest])) return k;  // all points equal: one leaf
    const int64_t middle = begin + (end - begin) / 2;
    std::nth_element(order_.begin() + begin, order_.begin() + middle, order_.begin() + end,
                     [&](int32_t a, int32_t b) { return data[a * m_ + widest] < data[b * m_ + widest]; });
    const int64_t less = build(data, begin, middle);
    const int64_t greater = build(data, middle, end);
    nodes_[size_t(k)].less = less;
    nodes_[size_t(k)].greater = greater;
    return k;
  }

  int64_t m_;
  std::vector<int32_t> order_;
  std::vector<Node> nodes_;
  std::vector<double> bounds_;  // per node: m lows, then m highs
  std::vector<double> points_;
};

// ---- the search ----------------------------------------------------------------------

enum class Outcome { Found, LeftToLibrary };

struct Bounds {
  double bound;    // eps * eps: a pair is in when its distance is at most this
  double prune;    // box pairs whose smallest distance exceeds this hold no pair
  double take;     // box pairs whose largest distance is below this are all in
  bool ordered;    // pointwise and box sums associate alike (below 4 dimensions)
};

// The pointwise decision for one pair; false in *decided when it is not
// certain to be SciPy's.
inline bool pair_within(const double* u, const double* v, int64_t m, const Bounds& b, bool* decided) {
  const double d = squared_pointwise(u, v, m);
  if (b.ordered) return d <= b.bound;
  const double in_order = squared_in_order(u, v, m);
  const bool inside = d <= b.bound;
  const bool near = std::fabs(in_order - b.bound) <= 1e-12 * b.bound || std::fabs(d - b.bound) <= 1e-12 * b.bound;
  if ((in_order <= b.bound) != inside || (near && !sums_exactly(u, v, m))) *decided = false;
  return inside;
}

// Leaves of `tree` whose box may hold a neighbour of a point in leaf `a`;
// `whole` marks those entirely within reach.
inline void candidate_leaves(const Tree& tree, int64_t a, const Bounds& b, std::vector<int64_t>* stack,
                             std::vector<std::pair<int64_t, bool>>* out) {
  out->clear();
  stack->assign(1, 0);
  const int64_t m = tree.dimensions();
  while (!stack->empty()) {
    const int64_t k = stack->back();
    stack->pop_back();
    if (box_min(tree.low(a), tree.high(a), tree.low(k), tree.high(k), m) > b.prune) continue;
    const Tree::Node& node = tree.node(k);
    const bool whole = box_max(tree.low(a), tree.high(a), tree.low(k), tree.high(k), m) < b.take;
    if (node.less < 0 || whole) {
      out->emplace_back(k, whole);
      continue;
    }
    stack->push_back(node.greater);
    stack->push_back(node.less);
  }
}

// Squared diameter of the bounding box, as SciPy's tracker starts from it.
inline double squared_diameter(const double* data, int64_t n, int64_t m) {
  double s = 0;
  for (int64_t d = 0; d < m; ++d) {
    double lo = data[d], hi = data[d];
    for (int64_t i = 1; i < n; ++i) {
      lo = std::min(lo, data[i * m + d]);
      hi = std::max(hi, data[i * m + d]);
    }
    const double span = hi - lo;
    s += span * span;
  }
  return s;
}

inline bool all_finite(const double* data, int64_t count) {
  for (int64_t i = 0; i < count; ++i)
    if (!std::isfinite(data[i])) return false;
  return true;
}

// Fills `table` with every point's neighbourhood (the point itself
// included), or says that the library must decide.
inline Outcome find_neighbourhoods(const double* data, int64_t n, int64_t m, double eps, NeighbourTable* table) {
  if (n <= 0 || m <= 0 || n > INT32_MAX || !all_finite(data, n * m)) return Outcome::LeftToLibrary;
  const double diameter = squared_diameter(data, n, m);
  const double bound = eps * eps;
  if (std::isinf(diameter)) return Outcome::LeftToLibrary;
  if (diameter > 0 && std::fabs(bound - diameter) <= 1e-6 * diameter) return Outcome::LeftToLibrary;
  table->reset(size_t(n));
  if (std::isnan(bound)) return Outcome::Found;  // no distance is at most NaN

  const bool ordered = m < 4;
  const double slack = ordered ? 0.0 : 1e-9;  // far above the rounding of m-term sums
  const Bounds b{bound, bound * (1 + slack), bound * (1 - slack), ordered};
  const Tree tree(data, n, m);
  std::vector<int64_t> stack;
  std::vector<std::pair<int64_t, bool>> leaves;
  std::vector<int32_t> row;
  bool decided = true;
  for (int64_t a = 0; a < tree.node_count(); ++a) {
    const Tree::Node& leaf = tree.node(a);
    if (leaf.less >= 0) continue;
    candidate_leaves(tree, a, b, &stack, &leaves);
    for (int64_t t = leaf.begin; t < leaf.end; ++t) {
      row.clear();
      const double* x = tree.point(t);
      for (const auto& [k, whole] : leaves) {
        const Tree::Node& other = tree.node(k);
        for (int64_t s = other.begin; s < other.end; ++s)
          if (whole || pair_within(x, tree.point(s), m, b, &decided)) row.push_back(tree.index(s));
      }
      if (!decided) return Outcome::LeftToLibrary;
      table->store(size_t(tree.index(t)), row.data(), row.size());
    }
  }
  return Outcome::Found;
}

}  // namespace radius_search

#pragma GCC pop_options
