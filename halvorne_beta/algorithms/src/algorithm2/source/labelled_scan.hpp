// The per-point selection of informative_edges without the point-by-labelled
// distance matrix.
//
// For a point with neighbours y_j (edge lengths w_j), labelled point z is won
// by the position j with the smallest float32 sum fl(fl(|y_j - z|) + w_j),
// the lowest position among equal sums, a NaN sum never. Only the set of
// positions that win at least one labelled point matters.
//
// Each point scans the labelled points, eight (AVX2) or four (SSE2) at a
// time, two registers in flight, with float32 sums of float32 offsets from a
// common centre. Those sums lie within a proven error of the exact ones, so a
// labelled point whose best approximate sum beats the second best by more
// than twice that error is won by the best; only the others are scored
// exactly, operation for operation as the matrix path computes them. The scan
// stops as soon as every position has won; once few are left, it only has to
// show that they lose, which needs fewer sums per labelled point.
//
// Points whose coordinates or edge lengths are not finite or are extreme in
// magnitude, where the error bound would not hold, are scored exactly against
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

// ---- float32 lanes ------------------------------------------------------------

// Lane operations are inlined into the scan, and for AVX2 the scan into a
// function compiled for AVX2 (`flatten`), so that no vector crosses a call.
// Nothing on the way may be recursive: a recursive call would be compiled
// without AVX2 and receive its vectors in the wrong registers. (GCC's -Wpsabi
// note, silenced here, is about such calls; none is left.)
#define SCAN_INLINE inline
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

struct Sse2Floats {
  using F = __m128;
  using I = __m128i;
  static constexpr int width = 4;
  static SCAN_INLINE F load(const float* p) { return _mm_loadu_ps(p); }
  static SCAN_INLINE F set(float x) { return _mm_set1_ps(x); }
  static SCAN_INLINE I set_int(int32_t x) { return _mm_set1_epi32(x); }
  static SCAN_INLINE F sub(F a, F b) { return _mm_sub_ps(a, b); }
  static SCAN_INLINE F add(F a, F b) { return _mm_add_ps(a, b); }
  static SCAN_INLINE F mul(F a, F b) { return _mm_mul_ps(a, b); }
  static SCAN_INLINE F add_square(F e, F acc) { return _mm_add_ps(_mm_mul_ps(e, e), acc); }
  static SCAN_INLINE F sqrt(F a) { return _mm_sqrt_ps(a); }
  static SCAN_INLINE F min(F a, F b) { return _mm_min_ps(a, b); }  // a < b ? a : b
  static SCAN_INLINE F max(F a, F b) { return _mm_max_ps(a, b); }  // a > b ? a : b
  static SCAN_INLINE F abs(F a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
  static SCAN_INLINE F less(F a, F b) { return _mm_cmplt_ps(a, b); }
  static SCAN_INLINE I choose(F mask, I a, I b) {
    const I m = _mm_castps_si128(mask);
    return _mm_or_si128(_mm_and_si128(m, a), _mm_andnot_si128(m, b));
  }
  // Lanes where `gap` is not above `bound` (NaN included).
  static SCAN_INLINE F not_above(F gap, F bound) { return _mm_cmpngt_ps(gap, bound); }
  static SCAN_INLINE int bits(F mask) { return _mm_movemask_ps(mask); }
  static SCAN_INLINE void store(int32_t* p, I k) { _mm_storeu_si128(reinterpret_cast<I*>(p), k); }
  // Exact distances, `width` / 2 positions at a time: double precision,
  // rounded to float32 as the scalar conversion rounds.
  using D = __m128d;
  static SCAN_INLINE D load_doubles(const double* p) { return _mm_loadu_pd(p); }
  static SCAN_INLINE D set_double(double x) { return _mm_set1_pd(x); }
  static SCAN_INLINE D sub(D a, D b) { return _mm_sub_pd(a, b); }
  static SCAN_INLINE D add(D a, D b) { return _mm_add_pd(a, b); }
  static SCAN_INLINE D mul(D a, D b) { return _mm_mul_pd(a, b); }
  static SCAN_INLINE D sqrt(D a) { return _mm_sqrt_pd(a); }
  static SCAN_INLINE void store_rounded(float* p, D a) { _mm_storel_pi(reinterpret_cast<__m64*>(p), _mm_cvtpd_ps(a)); }
  // The union of 1 << k over the lanes outside `skip` (k < 32; -1 adds nothing).
  static SCAN_INLINE uint32_t positions(I k, F skip) {
    alignas(16) int32_t lanes[width];
    store(lanes, choose(skip, set_int(-1), k));
    uint32_t out = 0;
    for (int l = 0; l < width; ++l) out |= lanes[l] >= 0 ? uint32_t(1) << lanes[l] : 0;
    return out;
  }
};

#pragma GCC push_options
#pragma GCC target("avx2,fma")
struct Avx2Floats {
  using F = __m256;
  using I = __m256i;
  static constexpr int width = 8;
  static SCAN_INLINE F load(const float* p) { return _mm256_loadu_ps(p); }
  static SCAN_INLINE F set(float x) { return _mm256_set1_ps(x); }
  static SCAN_INLINE I set_int(int32_t x) { return _mm256_set1_epi32(x); }
  static SCAN_INLINE F sub(F a, F b) { return _mm256_sub_ps(a, b); }
  static SCAN_INLINE F add(F a, F b) { return _mm256_add_ps(a, b); }
  static SCAN_INLINE F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static SCAN_INLINE F add_square(F e, F acc) { return _mm256_fmadd_ps(e, e, acc); }
  static SCAN_INLINE F sqrt(F a) { return _mm256_sqrt_ps(a); }
  static SCAN_INLINE F min(F a, F b) { return _mm256_min_ps(a, b); }
  static SCAN_INLINE F max(F a, F b) { return _mm256_max_ps(a, b); }
  static SCAN_INLINE F abs(F a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
  static SCAN_INLINE F less(F a, F b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
  static SCAN_INLINE I choose(F mask, I a, I b) {
    return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(b), _mm256_castsi256_ps(a), mask));
  }
  static SCAN_INLINE F not_above(F gap, F bound) { return _mm256_cmp_ps(gap, bound, _CMP_NGT_UQ); }
  static SCAN_INLINE int bits(F mask) { return _mm256_movemask_ps(mask); }
  static SCAN_INLINE void store(int32_t* p, I k) { _mm256_storeu_si256(reinterpret_cast<I*>(p), k); }
  using D = __m256d;
  static SCAN_INLINE D load_doubles(const double* p) { return _mm256_loadu_pd(p); }
  static SCAN_INLINE D set_double(double x) { return _mm256_set1_pd(x); }
  static SCAN_INLINE D sub(D a, D b) { return _mm256_sub_pd(a, b); }
  static SCAN_INLINE D add(D a, D b) { return _mm256_add_pd(a, b); }
  static SCAN_INLINE D mul(D a, D b) { return _mm256_mul_pd(a, b); }
  static SCAN_INLINE D sqrt(D a) { return _mm256_sqrt_pd(a); }
  static SCAN_INLINE void store_rounded(float* p, D a) { _mm_storeu_ps(p, _mm256_cvtpd_ps(a)); }
  // (a shift by -1, read as unsigned, or by 32 or more gives 0)
  static SCAN_INLINE uint32_t positions(I k, F skip) {
    const I one = _mm256_sllv_epi32(set_int(1), choose(skip, set_int(-1), k));
    __m128i half = _mm_or_si128(_mm256_castsi256_si128(one), _mm256_extracti128_si256(one, 1));
    half = _mm_or_si128(half, _mm_shuffle_epi32(half, 0x4e));
    half = _mm_or_si128(half, _mm_shuffle_epi32(half, 0xb1));
    return uint32_t(_mm_cvtsi128_si32(half));
  }
};
#pragma GCC pop_options

const bool have_avx2_fma = have_avx2 && __builtin_cpu_supports("fma");

// ---- the tables every point's scan reads -------------------------------------------

class LabelledScan {
 public:
  // Coordinates of this magnitude or beyond, and edge lengths beyond
  // `weight_limit`, are scored exactly: far below the float32 overflow, so
  // every approximate sum of regular values is finite.
  static constexpr double coordinate_limit = 1e15;
  static constexpr double weight_limit = 1e30;
  // Labelled points are scanned in steps of two registers.
  static constexpr size_t step = 16;
  // How many positions may be left to win when the scan turns to showing
  // that they lose.
  static constexpr int32_t few_left = 2;
  // Labelled points put first by farthest-point picks (spread_labelled).
  static constexpr size_t farthest_picks = 96;

  // One thread's selection, point by point (below).
  class Selection;

  // `points` (n rows) and `labelled` (L rows): two-dimensional float32 or
  // float64 arrays with the same number of columns. The labelled points are
  // copied; the points stay referenced, for `pin_points`.
  bool build(const Ref& points, const Ref& labelled) {
    points_ = points;
    auto* p = reinterpret_cast<PyArrayObject*>(points.get());
    auto* l = reinterpret_cast<PyArrayObject*>(labelled.get());
    dims_ = int(PyArray_DIM(p, 1));
    float32_points_ = PyArray_TYPE(p) == NPY_FLOAT;
    const npy_intp n = PyArray_DIM(p, 0), L = PyArray_DIM(l, 0);
    try {
      std::vector<double> row(static_cast<size_t>(dims_));
      std::vector<double> low(size_t(dims_), std::numeric_limits<double>::infinity()), high(size_t(dims_), -low[0]);
      auto widen = [&] {
        for (int d = 0; d < dims_; ++d) {
          low[size_t(d)] = std::min(low[size_t(d)], row[size_t(d)]);
          high[size_t(d)] = std::max(high[size_t(d)], row[size_t(d)]);
        }
      };
      if (float32_points_) {
        widen_over_rows<float>(p, low.data(), high.data());
      } else {
        widen_over_rows<double>(p, low.data(), high.data());
      }
      for (npy_intp c = 0; c < L; ++c) {
        for (int d = 0; d < dims_; ++d) row[size_t(d)] = coordinate(l, c, d);
        const bool regular = is_regular(row.data());
        std::vector<double>& into = regular ? labelled_ : outliers_;
        into.insert(into.end(), row.begin(), row.end());
        if (regular) widen();
      }
      spread_labelled();
      set_centre(low, high);
      n_ = size_t(n);
      // the regular labelled points as offsets, one coordinate per row, each
      // row padded with NaN (a NaN sum is never the least)
      count_ = labelled_.size() / size_t(dims_);
      padded_ = (count_ + step - 1) / step * step;
      columns_.assign(padded_ * size_t(dims_), std::numeric_limits<float>::quiet_NaN());
      for (size_t c = 0; c < count_; ++c)
        for (int d = 0; d < dims_; ++d)
          columns_[size_t(d) * padded_ + c] = static_cast<float>(labelled_[c * dims_ + d] - centre_[size_t(d)]);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
    return true;
  }

  // The scan reads the points' own coordinates: in place when no Python
  // code runs until the last `select`, else from a copy made now. Python code
  // may have run since `build`, so the array is checked again first.
  bool pin_points(bool python_runs) {
    auto* p = reinterpret_cast<PyArrayObject*>(points_.get());
    const size_t n = n_;
    if (PyArray_NDIM(p) != 2 || size_t(PyArray_DIM(p, 0)) != n || PyArray_DIM(p, 1) != dims_ ||
        PyArray_TYPE(p) != (float32_points_ ? NPY_FLOAT : NPY_DOUBLE) || !PyArray_ISNOTSWAPPED(p))
      return fail(PyExc_RuntimeError, "the point array changed during informative_edges");
    if (!python_runs) {
      rows_ = Rows{PyArray_BYTES(p), PyArray_STRIDE(p, 0), PyArray_STRIDE(p, 1), float32_points_};
      return true;
    }
    try {
      own_points_.resize(n * size_t(dims_));
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return false;
    }
    for (size_t r = 0; r < n; ++r)
      for (int d = 0; d < dims_; ++d) own_points_[r * dims_ + d] = coordinate(p, npy_intp(r), d);
    rows_ = Rows{reinterpret_cast<const char*>(own_points_.data()), npy_intp(dims_ * sizeof(double)),
                 npy_intp(sizeof(double)), false};
    return true;
  }

  // Frees the scan's tables; no selection may run afterwards.
  void release() {
    *this = LabelledScan();
  }

  // Asks for the rows of the next point's neighbours while this one is
  // scanned (a list read straight from its container, not yet checked).
  void prefetch(const int64_t* connections, int32_t m) const {
    for (int32_t j = 0; j < m; ++j)
      if (connections[j] >= 0 && size_t(connections[j]) < n_) __builtin_prefetch(rows_.row(connections[j]));
  }

 private:
  // Rows of the caller's point array, read in place.
  struct Rows {
    const char* base;
    npy_intp row_stride, column_stride;
    bool is_float32;
    const char* row(int64_t r) const { return base + r * row_stride; }
    double at(int64_t r, int d) const {
      const char* p = row(r) + d * column_stride;
      return is_float32 ? double(*reinterpret_cast<const float*>(p)) : *reinterpret_cast<const double*>(p);
    }
  };

  // Widens [low, high] over every row of `points` (elements of type T) whose
  // coordinates are all regular: the same test as is_regular, in one pass
  // typed for the array.
  template <class T>
  void widen_over_rows(PyArrayObject* points, double* low, double* high) const {
    const char* base = PyArray_BYTES(points);
    const npy_intp rows = PyArray_DIM(points, 0), row_stride = PyArray_STRIDE(points, 0),
                   column_stride = PyArray_STRIDE(points, 1);
    const int dims = dims_;
    for (npy_intp r = 0; r < rows; ++r) {
      const char* row = base + r * row_stride;
      bool regular = true;
      for (int d = 0; d < dims; ++d)
        regular &= std::fabs(double(*reinterpret_cast<const T*>(row + d * column_stride))) < coordinate_limit;
      if (!regular) continue;
      for (int d = 0; d < dims; ++d) {
        const double x = double(*reinterpret_cast<const T*>(row + d * column_stride));
        low[d] = std::min(low[d], x);
        high[d] = std::max(high[d], x);
      }
    }
  }

  bool is_regular(const double* row) const {
    for (int d = 0; d < dims_; ++d)
      if (!(std::fabs(row[d]) < coordinate_limit)) return false;
    return true;
  }

  // The centre of the regular points' bounding box, and the error terms of
  // the float32 offsets from it (u = 2^-24 below):
  //  - each offset is within 1.0001 u M of the exact one, M the largest
  //    offset, so each float32 difference of offsets is within 4.01 u M of
  //    the exact difference, and the difference vector within sqrt(dims)
  //    times that: `offset_error_`;
  //  - squaring and summing (with or without fused multiply-adds), the root
  //    and the float32 roundings of both paths add (dims + 4) u relative to
  //    the distance and the sum: `relative_error_`;
  //  - underflow, even flushed to zero, adds less than sqrt(dims 2^-125).
  void set_centre(const std::vector<double>& low, const std::vector<double>& high) {
    centre_.assign(size_t(dims_), 0.0);
    double largest = 0;
    for (int d = 0; d < dims_; ++d) {
      if (!(low[size_t(d)] <= high[size_t(d)])) continue;  // no regular row
      centre_[size_t(d)] = low[size_t(d)] + (high[size_t(d)] - low[size_t(d)]) / 2;
      largest = std::max({largest, high[size_t(d)] - centre_[size_t(d)], centre_[size_t(d)] - low[size_t(d)]});
    }
    const double u = std::ldexp(1.0, -24), root_dims = std::sqrt(double(dims_));
    offset_error_ = root_dims * 4.01 * u * largest + std::sqrt(dims_ * std::ldexp(1.0, -125));
    relative_error_ = (dims_ + 4) * u;
    // every squared offset difference, summed, stays far from float32's range
    approximable_ = double(dims_) * (2 * largest) * (2 * largest) < 1e37;
    largest_offset_ = largest;
  }

  const double* labelled(size_t c) const { return labelled_.data() + c * dims_; }

  // Reorders the regular labelled points so that every point's scan finds
  // its winners in the first steps: which positions win does not depend on
  // the order, but the scan sums every position until all but a few have
  // won. First come farthest-point picks: the first of them lie on the hull
  // of the labelled points, around every point inside, and together they
  // cover the space evenly. The rest follow by a stride through the
  // caller's order, which is often sorted (the estimators sort it).
  void spread_labelled() {
    const size_t count = labelled_.size() / size_t(dims_);
    if (count < 3) return;
    size_t stride = size_t(double(count) * 0.6180339887498949);
    while (std::gcd(stride, count) != 1) ++stride;
    std::vector<double> spread(labelled_.size());
    for (size_t c = 0, from = 0; c < count; ++c, from = (from + stride) % count)
      std::copy_n(labelled_.data() + from * dims_, dims_, spread.data() + c * dims_);
    farthest_first(&spread, count);
    labelled_.swap(spread);
  }

  // Moves to the front, one at a time, the point farthest from those already
  // there (the first point stays first), for the first `farthest_picks`.
  void farthest_first(std::vector<double>* points, size_t count) const {
    const size_t dims = size_t(dims_), picks = std::min(count, farthest_picks);
    double* const p = points->data();
    // per point: its least squared distance to a point in front
    std::vector<double> nearest(count, std::numeric_limits<double>::infinity());
    for (size_t front = 0, pick = 0; front < picks; ++front) {
      if (pick != front) {
        std::swap_ranges(p + pick * dims, p + (pick + 1) * dims, p + front * dims);
        std::swap(nearest[pick], nearest[front]);
      }
      double farthest = -1;
      for (size_t c = front + 1; c < count; ++c) {
        double squared = 0;
        for (size_t d = 0; d < dims; ++d) {
          const double e = p[c * dims + d] - p[front * dims + d];
          squared += e * e;
        }
        nearest[c] = std::min(nearest[c], squared);
        if (nearest[c] > farthest) {
          farthest = nearest[c];
          pick = c;
        }
      }
    }
  }

  int dims_ = 0;
  bool approximable_ = true;
  Ref points_;
  bool float32_points_ = false;
  Rows rows_{};                    // set by pin_points
  std::vector<double> own_points_;
  size_t n_ = 0;                   // points
  std::vector<double> labelled_;   // regular labelled points, in the spread order
  std::vector<double> outliers_;   // the other labelled points
  std::vector<float> columns_;     // labelled offsets, one coordinate per row of `padded_`
  std::vector<double> centre_;
  size_t count_ = 0, padded_ = 0;
  double offset_error_ = 0, relative_error_ = 0;
  double largest_offset_ = 0;      // M above: every regular point lies within it of the centre
};

// ---- one point at a time -------------------------------------------------------------

// The per-point state of the scan. Each thread has its own; the tables are
// only read.
class LabelledScan::Selection {
 public:
  explicit Selection(const LabelledScan& tables) : t_(tables) {}

  // Fills `chosen` with the winning positions, ascending. The neighbour rows
  // (0 .. n-1) and the weight count have been checked by the caller.
  void select(const int64_t* connections, Py_ssize_t stride, Py_ssize_t m, const float* weights,
              std::vector<Py_ssize_t>* chosen) {
    chosen->clear();
    if (m == 0) return;
    const int dims = t_.dims_;
    m_ = int32_t(m);
    won_.assign(size_t(m), 0);
    won_count_ = 0;
    won_bits_ = 0;
    weights_.assign(weights, weights + m);
    bool regular = t_.approximable_;
    float largest_weight = 0;
    // each neighbour's coordinates, for exact scores, and its offsets from
    // the centre, for the scan; the exact rows padded to the widest register
    constexpr size_t widest = Avx2Floats::width / 2;
    exact_stride_ = (size_t(m) + widest - 1) / widest * widest;
    exact_ys_.resize(exact_stride_ * size_t(dims));
    ys_.resize(size_t(dims) * size_t(m));
    for (Py_ssize_t j = 0; j < m; ++j) {
      const int64_t r = *reinterpret_cast<const int64_t*>(reinterpret_cast<const char*>(connections) + j * stride);
      for (int d = 0; d < dims; ++d) {
        const double x = t_.rows_.at(r, d), offset = x - t_.centre_[size_t(d)];
        exact_ys_[size_t(d) * exact_stride_ + size_t(j)] = x;
        ys_[size_t(d) * m + j] = static_cast<float>(offset);
        // a point outside the box (not regular) has no error bound
        regular = regular && std::fabs(offset) <= t_.largest_offset_;
      }
      regular = regular && std::fabs(double(weights[j])) <= weight_limit;
      largest_weight = std::max(largest_weight, std::fabs(weights[j]));
    }
    for (int d = 0; d < dims; ++d)
      std::fill(exact_ys_.begin() + ptrdiff_t(size_t(d) * exact_stride_ + size_t(m)),
                exact_ys_.begin() + ptrdiff_t(size_t(d + 1) * exact_stride_), 0.0);
    const size_t outlier_count = t_.outliers_.size() / size_t(dims);
    for (size_t c = 0; c < outlier_count && !all_won(); ++c) score_exactly<Sse2Floats>(t_.outliers_.data() + c * dims);
    if (regular) {
      scan(largest_weight);
    } else {
      for (size_t c = 0; c < t_.count_ && !all_won(); ++c) score_exactly<Sse2Floats>(t_.labelled(c));
    }
    for (int32_t j = 0; j < m_; ++j)
      if (won_[size_t(j)]) chosen->push_back(j);
  }

 private:
  bool all_won() const { return won_count_ == m_; }

  void win(int32_t j) {
    if (!won_[size_t(j)]) {
      won_[size_t(j)] = 1;
      ++won_count_;
      if (j < 32) won_bits_ |= uint32_t(1) << j;
    }
  }

  // Labelled point z won among `distance` (the exact distances of every
  // position): strict <, so the lowest position keeps equal sums and NaN
  // never wins.
  void win_least(const float* distance) {
    float bound = std::numeric_limits<float>::infinity();
    int32_t best = -1;
    for (int32_t j = 0; j < m_; ++j) {
      const float sum = distance[j] + weights_[size_t(j)];
      if (sum < bound) {
        bound = sum;
        best = j;
      }
    }
    if (best >= 0) win(best);
  }

  // Labelled point z against every position, exactly as the matrix path
  // scores it: the squared differences (point minus labelled point) summed in
  // coordinate order in double precision, the root, rounded to float32,
  // then the weight added. Several positions go at a time, each lane running
  // those scalar operations in the same order on the coordinates `select`
  // gathered (padded to the widest register, so that either lane width
  // reads them).
  template <class V>
  SCAN_INLINE void score_exactly(const double* z) {
    using D = typename V::D;
    constexpr int lanes = V::width / 2;
    const int dims = t_.dims_;
    const size_t padded = exact_stride_;
    if (distances_.size() < padded) distances_.resize(padded);
    for (size_t j = 0; j < padded; j += lanes) {
      D s = V::set_double(0.0);
      for (int d = 0; d < dims; ++d) {
        const D diff = V::sub(V::load_doubles(exact_ys_.data() + size_t(d) * padded + j), V::set_double(z[d]));
        D square = V::mul(diff, diff);
        __asm__("" : "+x"(square));  // never fused into the sum
        s = V::add(s, square);
      }
      V::store_rounded(distances_.data() + j, V::sqrt(s));
    }
    win_least(distances_.data());
  }

  // One point's neighbours against every regular labelled point.
  void scan(float largest_weight) {
    if (t_.count_ == 0) return;
    // a sum s is within  A/2 + B/2 |s|  of its exact value (twice the bound
    // worked out in set_centre, for the second-order terms), so two sums
    // whose gap exceeds  A + B max(|s1|, |s2|)  are ordered as the exact ones
    const double relative = t_.relative_error_;
    gap_constant_ = float(4 * (t_.offset_error_ + relative * (largest_weight + t_.offset_error_)));
    gap_relative_ = float(4 * relative);
    const int dims = t_.dims_;
    if (have_avx2_fma) {
      if (dims == 3) return scan_avx2<3>();
      if (dims == 2) return scan_avx2<2>();
      return scan_avx2<0>();
    }
    if (dims == 3) return scan_sse2<3>();
    if (dims == 2) return scan_sse2<2>();
    return scan_sse2<0>();
  }

  template <int DIMS>
  __attribute__((target("avx2,fma"), flatten)) void scan_avx2() {
    scan_lanes<Avx2Floats, DIMS>();
  }

  template <int DIMS>
  __attribute__((flatten)) void scan_sse2() {
    scan_lanes<Sse2Floats, DIMS>();
  }

  // The approximate sums of position j over the two registers of labelled
  // points from t. DIMS is the number of coordinates when known at compile
  // time, else 0.
  template <class V, int DIMS>
  SCAN_INLINE void sums(size_t t, int32_t j, typename V::F* out) const {
    using F = typename V::F;
    const int dims = DIMS > 0 ? DIMS : t_.dims_;
    const size_t m = size_t(m_);
    F sum[2] = {V::set(0.0f), V::set(0.0f)};
    for (int d = 0; d < dims; ++d) {
      const F y = V::set(ys_[size_t(d) * m + size_t(j)]);
      const float* row = t_.columns_.data() + size_t(d) * t_.padded_ + t;
      sum[0] = V::add_square(V::sub(V::load(row), y), sum[0]);
      sum[1] = V::add_square(V::sub(V::load(row + V::width), y), sum[1]);
    }
    const F w = V::set(weights_[size_t(j)]);
    out[0] = V::add(V::sqrt(sum[0]), w);
    out[1] = V::add(V::sqrt(sum[1]), w);
  }

  // Lanes of the step from t that hold labelled points, as bits.
  int valid_lanes(size_t t, int lanes) const {
    return t_.count_ - t >= size_t(lanes) ? (1 << lanes) - 1 : (1 << (t_.count_ - t)) - 1;
  }

  // Two registers of labelled points at a time: per register, the least
  // approximate sum, the second least and the first position reaching the
  // least. Once few positions are left to win, the rest of the scan only
  // has to show that they lose (prove_losers).
  template <class V, int DIMS>
  SCAN_INLINE void scan_lanes() {
    using F = typename V::F;
    using I = typename V::I;
    constexpr int W = V::width;
    static_assert(2 * W <= int(step));
    const F infinity = V::set(std::numeric_limits<float>::infinity());
    const F gap_constant = V::set(gap_constant_), gap_relative = V::set(gap_relative_);
    alignas(32) int32_t best[2 * W];
    const int32_t m = m_;
    for (size_t t = 0; t < t_.count_ && !all_won(); t += 2 * W) {
      if (m - won_count_ <= few_left) return prove_losers<V, DIMS>(t);
      F least[2] = {infinity, infinity}, second[2] = {infinity, infinity};
      I first[2] = {V::set_int(-1), V::set_int(-1)};
      for (int32_t j = 0; j < m; ++j) {
        F s[2];
        sums<V, DIMS>(t, j, s);
        const I position = V::set_int(j);
        for (int h = 0; h < 2; ++h) {
          const F lower = V::less(s[h], least[h]);
          second[h] = V::min(V::max(s[h], least[h]), second[h]);
          least[h] = V::min(s[h], least[h]);
          first[h] = V::choose(lower, position, first[h]);
        }
      }
      // Lanes whose two least sums are too close to order are scored
      // exactly; the others are won by their first least position.
      F unsure[2];
      for (int h = 0; h < 2; ++h) {
        const F scale = V::max(V::abs(least[h]), V::abs(second[h]));
        unsure[h] = V::not_above(V::sub(second[h], least[h]), V::add(gap_constant, V::mul(gap_relative, scale)));
      }
      const int valid = valid_lanes(t, 2 * W);
      const int exact = (V::bits(unsure[0]) | V::bits(unsure[1]) << W) & valid;
      if (m <= 32) {
        // past the last labelled point every sum is NaN and no lane has a position
        const uint32_t fresh = (V::positions(first[0], unsure[0]) | V::positions(first[1], unsure[1])) & ~won_bits_;
        for (uint32_t b = fresh; b != 0; b &= b - 1) win(__builtin_ctz(b));
      } else {
        for (int h = 0; h < 2; ++h) V::store(best + h * W, first[h]);
        for (int l = 0; l < 2 * W; ++l)
          if ((valid & ~exact) >> l & 1 && best[l] >= 0) win(best[l]);
      }
      for (int b = exact; b != 0; b &= b - 1) score_exactly<V>(t_.labelled(t + size_t(__builtin_ctz(b))));
    }
  }

  // The scan from t on, when at most `few_left` positions have not won: per
  // register, the least approximate sum u of the positions left and the
  // least b of won ones; a lane where b lies below u by more than the error
  // (u - b > A + B (|u| + |b|), which bounds A + B max(|u|, |b|)) cannot be
  // won by a position left. The other lanes are scored exactly.
  //
  // Any won position that beats the positions left settles a lane, and the
  // first won positions (the nearest neighbours, when a list runs by edge
  // length) beat them over most of space: they are summed first, and the
  // other won positions only for a step they leave unsettled, about one in
  // three. (Testing after every position costs more in mispredicted exits
  // than it saves.)
  template <class V, int DIMS>
  SCAN_INLINE void prove_losers(size_t t) {
    using F = typename V::F;
    constexpr int W = V::width;
    const F infinity = V::set(std::numeric_limits<float>::infinity());
    const F gap_constant = V::set(gap_constant_), gap_relative = V::set(gap_relative_);
    left_.resize(size_t(m_));
    won_order_.resize(size_t(m_));
    int32_t* const left = left_.data();
    int32_t* const won = won_order_.data();
    int32_t left_count = 0, won_listed = 0;
    auto sort_positions = [&] {
      left_count = won_listed = 0;
      for (int32_t j = 0; j < m_; ++j) {
        if (won_[size_t(j)]) {
          won[won_listed++] = j;
        } else {
          left[left_count++] = j;
        }
      }
    };
    sort_positions();
    constexpr int32_t first_tier = 2;
    for (; t < t_.count_ && !all_won(); t += 2 * W) {
      F ceiling[2] = {infinity, infinity};
      for (int32_t q = 0; q < left_count; ++q) {
        F s[2];
        sums<V, DIMS>(t, left[q], s);
        ceiling[0] = V::min(s[0], ceiling[0]);
        ceiling[1] = V::min(s[1], ceiling[1]);
      }
      // below `limit` (computed from b as b + B |b|) a lane is settled
      F limit[2];
      for (int h = 0; h < 2; ++h)
        limit[h] = V::sub(V::sub(ceiling[h], gap_constant), V::mul(gap_relative, V::abs(ceiling[h])));
      const int valid = valid_lanes(t, 2 * W);
      F least[2] = {infinity, infinity};
      auto sum_won = [&](int32_t from, int32_t to) {
        for (int32_t q = from; q < to; ++q) {
          F s[2];
          sums<V, DIMS>(t, won[q], s);
          least[0] = V::min(s[0], least[0]);
          least[1] = V::min(s[1], least[1]);
        }
      };
      auto unsettled_lanes = [&] {
        int settled = 0;
        for (int h = 0; h < 2; ++h) {
          const F scaled = V::add(least[h], V::mul(gap_relative, V::abs(least[h])));
          settled |= V::bits(V::less(scaled, limit[h])) << (h * W);
        }
        return ~settled & valid;
      };
      sum_won(0, std::min(won_listed, first_tier));
      int unsettled = unsettled_lanes();
      if (unsettled != 0 && won_listed > first_tier) {
        sum_won(first_tier, won_listed);
        unsettled = unsettled_lanes();
      }
      if (unsettled == 0) continue;
      const int32_t before = won_count_;
      for (int b = unsettled; b != 0; b &= b - 1)
        score_exactly<V>(t_.labelled(t + size_t(__builtin_ctz(b))));
      if (won_count_ != before) sort_positions();
    }
  }

  const LabelledScan& t_;
  float gap_constant_ = 0, gap_relative_ = 0;
  int32_t m_ = 0, won_count_ = 0;
  uint32_t won_bits_ = 0;  // won_ of the first 32 positions
  size_t exact_stride_ = 0;  // of exact_ys_: the positions, padded
  std::vector<float> weights_, ys_, distances_;
  std::vector<double> exact_ys_;
  std::vector<uint8_t> won_;
  std::vector<int32_t> left_, won_order_;  // positions not won and won, while proving losers
};

#undef SCAN_INLINE
#pragma GCC diagnostic pop

}  // namespace
