// Distances between one point and a set of points, computed the way SciPy's
// pdist computes them, so that every distance is the same double, bit for bit.
//
// pdist works out each pair on its own: for "euclidean", "sqeuclidean",
// "cityblock" and "chebyshev" (and "minkowski" with its default p, which it
// hands to the euclidean code) it folds the columns into one accumulator from
// the first column to the last, starting at +0.0; for "cosine" the dot product
// and each row norm fold even and odd columns into two accumulators, add them,
// then add the last column when the count is odd. The kernels here keep that
// order for every pair and find their speed across pairs instead: each SIMD
// lane works on a different pair. A product is never fused with the sum that
// follows it (`unfused` hides the product from the compiler), whatever the
// target offers.
//
// Whether the installed SciPy still computes this way is not taken on trust:
// prim_mst compares these kernels with pdist itself before it relies on them.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__GNUC__) && defined(__x86_64__)
#include <immintrin.h>
#define PAIRWISE_X86_LANES 1
#endif

namespace pairwise {

enum class Metric { euclidean, sqeuclidean, cityblock, chebyshev, cosine };

// The names pdist gives these metrics (matched after lower-casing, as pdist does).
struct MetricName {
  const char* name;
  Metric metric;
};
inline constexpr MetricName metric_names[] = {
    {"euclidean", Metric::euclidean},     {"euclid", Metric::euclidean},       {"eu", Metric::euclidean},
    {"e", Metric::euclidean},             {"minkowski", Metric::euclidean},    {"mi", Metric::euclidean},
    {"m", Metric::euclidean},             {"pnorm", Metric::euclidean},        {"sqeuclidean", Metric::sqeuclidean},
    {"sqe", Metric::sqeuclidean},         {"sqeuclid", Metric::sqeuclidean},   {"cityblock", Metric::cityblock},
    {"cblock", Metric::cityblock},        {"cb", Metric::cityblock},           {"c", Metric::cityblock},
    {"chebyshev", Metric::chebyshev},     {"chebychev", Metric::chebyshev},    {"cheby", Metric::chebyshev},
    {"cheb", Metric::chebyshev},          {"ch", Metric::chebyshev},           {"cosine", Metric::cosine},
    {"cos", Metric::cosine},
};

// The metric a name stands for; false for names handled elsewhere (any byte
// outside ASCII included: Unicode lower-casing is left to pdist).
inline bool find_metric(const char* text, size_t length, Metric* out) {
  char lowered[16];
  if (length == 0 || length >= sizeof(lowered)) return false;
  for (size_t i = 0; i < length; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80 || c == 0) return false;
    lowered[i] = (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : char(c);
  }
  lowered[length] = '\0';
  for (const MetricName& entry : metric_names) {
    if (std::strcmp(entry.name, lowered) == 0) {
      *out = entry.metric;
      return true;
    }
  }
  return false;
}

// A product the compiler may not merge into a fused multiply-add: the empty
// asm hides it (x86-64: in an SSE/AVX register; AArch64: in a SIMD register).
#if defined(__GNUC__) && defined(__x86_64__)
#define PAIRWISE_UNFUSED(x) asm("" : "+x"(x))
#elif defined(__GNUC__) && defined(__aarch64__)
#define PAIRWISE_UNFUSED(x) asm("" : "+w"(x))
#else
#define PAIRWISE_UNFUSED(x) \
  do {                      \
    volatile auto kept = x; \
    x = kept;               \
  } while (0)
#endif

// ---- lanes: one double per lane, masks as the comparison results ----------

struct ScalarLanes {
  using V = double;
  using M = bool;
  static constexpr size_t width = 1;
  static V load(const double* p) { return *p; }
  static void store(double* p, V v) { *p = v; }
  static V broadcast(double x) { return x; }
  static V zero() { return 0.0; }
  static V add(V a, V b) { return a + b; }
  static V sub(V a, V b) { return a - b; }
  static V mul(V a, V b) { return a * b; }
  static V div(V a, V b) { return a / b; }
  static V abs(V a) { return std::fabs(a); }
  static V sqrt(V a) { return std::sqrt(a); }
  static V unfused(V a) {
    PAIRWISE_UNFUSED(a);
    return a;
  }
  // (acc < x) ? x : acc, the running maximum that lets NaN pass unnoticed
  static V keep_larger(V acc, V x) { return acc < x ? x : acc; }
  static V sign_one(V a) { return std::copysign(1.0, a); }
  static M less(V a, V b) { return a < b; }
  static M equal(V a, V b) { return a == b; }
  static M nan(V a) { return a != a; }
  static M both(M a, M b) { return a && b; }
  static M either(M a, M b) { return a || b; }
  static M but_not(M a, M b) { return a && !b; }
  static V select(M m, V a, V b) { return m ? a : b; }
};

#ifdef PAIRWISE_X86_LANES

struct Sse2Lanes {
  using V = __m128d;
  using M = __m128d;
  static constexpr size_t width = 2;
  static V load(const double* p) { return _mm_loadu_pd(p); }
  static void store(double* p, V v) { _mm_storeu_pd(p, v); }
  static V broadcast(double x) { return _mm_set1_pd(x); }
  static V zero() { return _mm_setzero_pd(); }
  static V add(V a, V b) { return _mm_add_pd(a, b); }
  static V sub(V a, V b) { return _mm_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm_mul_pd(a, b); }
  static V div(V a, V b) { return _mm_div_pd(a, b); }
  static V abs(V a) { return _mm_andnot_pd(_mm_set1_pd(-0.0), a); }
  static V sqrt(V a) { return _mm_sqrt_pd(a); }
  static V unfused(V a) {
    PAIRWISE_UNFUSED(a);
    return a;
  }
  // maxpd returns its second operand unless the first is greater
  static V keep_larger(V acc, V x) { return _mm_max_pd(x, acc); }
  static V sign_one(V a) {
    return _mm_or_pd(_mm_and_pd(_mm_set1_pd(-0.0), a), _mm_set1_pd(1.0));
  }
  static M less(V a, V b) { return _mm_cmplt_pd(a, b); }
  static M equal(V a, V b) { return _mm_cmpeq_pd(a, b); }
  static M nan(V a) { return _mm_cmpunord_pd(a, a); }
  static M both(M a, M b) { return _mm_and_pd(a, b); }
  static M either(M a, M b) { return _mm_or_pd(a, b); }
  static M but_not(M a, M b) { return _mm_andnot_pd(b, a); }
  static V select(M m, V a, V b) { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
};

#pragma GCC push_options
#pragma GCC target("avx")
struct AvxLanes {
  using V = __m256d;
  using M = __m256d;
  static constexpr size_t width = 4;
  static V load(const double* p) { return _mm256_loadu_pd(p); }
  static void store(double* p, V v) { _mm256_storeu_pd(p, v); }
  static V broadcast(double x) { return _mm256_set1_pd(x); }
  static V zero() { return _mm256_setzero_pd(); }
  static V add(V a, V b) { return _mm256_add_pd(a, b); }
  static V sub(V a, V b) { return _mm256_sub_pd(a, b); }
  static V mul(V a, V b) { return _mm256_mul_pd(a, b); }
  static V div(V a, V b) { return _mm256_div_pd(a, b); }
  static V abs(V a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
  static V sqrt(V a) { return _mm256_sqrt_pd(a); }
  static V unfused(V a) {
    PAIRWISE_UNFUSED(a);
    return a;
  }
  static V keep_larger(V acc, V x) { return _mm256_max_pd(x, acc); }
  static V sign_one(V a) {
    return _mm256_or_pd(_mm256_and_pd(_mm256_set1_pd(-0.0), a), _mm256_set1_pd(1.0));
  }
  static M less(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
  static M equal(V a, V b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
  static M nan(V a) { return _mm256_cmp_pd(a, a, _CMP_UNORD_Q); }
  static M both(M a, M b) { return _mm256_and_pd(a, b); }
  static M either(M a, M b) { return _mm256_or_pd(a, b); }
  static M but_not(M a, M b) { return _mm256_andnot_pd(b, a); }
  // (blendvpd would be rewritten into a sign test of 64-bit integers, which
  // AVX without AVX2 cannot do on a whole register)
  static V select(M m, V a, V b) { return _mm256_or_pd(_mm256_and_pd(m, a), _mm256_andnot_pd(m, b)); }
};

#pragma GCC pop_options

#endif  // PAIRWISE_X86_LANES

// ---- points stored for a lane-wise scan -----------------------------------

// Points in blocks of `block` positions: a block holds its points' first
// column side by side, then their second column, and so on, so that a scan
// reads memory front to back and loads one column of several points at once.
// The last block is padded with zeros. For "cosine" each position also keeps
// its point's norm.
struct PointBlocks {
  static constexpr size_t block = 8;
  size_t dims = 0;
  size_t count = 0;
  std::vector<double> values;
  std::vector<double> norms;

  static constexpr size_t padded(size_t count) { return (count + block - 1) / block * block; }
  void reset(size_t points, size_t columns, bool with_norms) {
    dims = columns;
    count = points;
    values.assign(padded(points) * columns, 0.0);
    norms.assign(with_norms ? padded(points) : 0, 0.0);
  }
  double& at(size_t position, size_t column) {
    return values[((position / block) * dims + column) * block + position % block];
  }
  const double* block_start(size_t position) const { return values.data() + (position / block) * dims * block; }
  void copy_point(size_t position, double* out) {
    for (size_t c = 0; c < dims; ++c) out[c] = at(position, c);
  }
  // Moves the point at `from` into `to` (the removal of `to` from the set
  // when `from` is the last position).
  void move(size_t from, size_t to) {
    for (size_t c = 0; c < dims; ++c) at(to, c) = at(from, c);
    if (!norms.empty()) norms[to] = norms[from];
  }
};

// The norm pdist divides by for "cosine": square root of the row's sum of
// squares, even and odd columns summed apart.
inline double cosine_norm(const double* row, size_t dims) {
  double even = 0.0, odd = 0.0;
  size_t c = 0;
  for (; c + 2 <= dims; c += 2) {
    even = even + ScalarLanes::unfused(row[c] * row[c]);
    odd = odd + ScalarLanes::unfused(row[c + 1] * row[c + 1]);
  }
  double sum = even + odd;
  if (c < dims) sum = sum + ScalarLanes::unfused(row[c] * row[c]);
  return std::sqrt(sum);
}

// SIMD values pass between these templates only when they are inlined into
// one function, for AVX one compiled for AVX.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpsabi"

// Distances from point `u` to the block of points starting at `start`:
// out[h] receives lanes h * width ... of the block. `norms` (cosine only)
// points at the block's first norm.
template <class L, Metric metric>
inline void block_distances(const double* start, size_t dims, const double* u, double u_norm, const double* norms,
                            typename L::V* out) {
  using V = typename L::V;
  constexpr size_t parts = PointBlocks::block / L::width;
  constexpr size_t stride = PointBlocks::block;
  if constexpr (metric == Metric::cosine) {
    V even[parts], odd[parts];
    for (size_t h = 0; h < parts; ++h) even[h] = odd[h] = L::zero();
    size_t c = 0;
    for (; c + 2 <= dims; c += 2) {
      const V u0 = L::broadcast(u[c]), u1 = L::broadcast(u[c + 1]);
      for (size_t h = 0; h < parts; ++h) {
        even[h] = L::add(even[h], L::unfused(L::mul(L::load(start + c * stride + h * L::width), u0)));
        odd[h] = L::add(odd[h], L::unfused(L::mul(L::load(start + (c + 1) * stride + h * L::width), u1)));
      }
    }
    const V un = L::broadcast(u_norm), one = L::broadcast(1.0);
    for (size_t h = 0; h < parts; ++h) {
      V dot = L::add(even[h], odd[h]);
      if (c < dims) dot = L::add(dot, L::unfused(L::mul(L::load(start + c * stride + h * L::width), L::broadcast(u[c]))));
      V cosine = L::div(dot, L::mul(L::load(norms + h * L::width), un));
      // rounding can carry |cosine| past 1: pdist clips it to +-1
      cosine = L::select(L::less(one, L::abs(cosine)), L::sign_one(cosine), cosine);
      out[h] = L::sub(one, cosine);
    }
  } else {
    V acc[parts];
    for (size_t h = 0; h < parts; ++h) acc[h] = L::zero();
    for (size_t c = 0; c < dims; ++c) {
      const V uc = L::broadcast(u[c]);
      for (size_t h = 0; h < parts; ++h) {
        const V diff = L::sub(L::load(start + c * stride + h * L::width), uc);
        if constexpr (metric == Metric::euclidean) {
          const V a = L::abs(diff);
          acc[h] = L::add(acc[h], L::unfused(L::mul(a, a)));
        } else if constexpr (metric == Metric::sqeuclidean) {
          acc[h] = L::add(acc[h], L::unfused(L::mul(diff, diff)));
        } else if constexpr (metric == Metric::cityblock) {
          acc[h] = L::add(acc[h], L::abs(diff));
        } else {
          acc[h] = L::keep_larger(acc[h], L::abs(diff));
        }
      }
    }
    for (size_t h = 0; h < parts; ++h) out[h] = metric == Metric::euclidean ? L::sqrt(acc[h]) : acc[h];
  }
}

#pragma GCC diagnostic pop

}  // namespace pairwise
