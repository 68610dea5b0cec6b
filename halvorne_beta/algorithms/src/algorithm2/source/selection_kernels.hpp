// The selection kernel over a float32 point-by-labelled-position matrix: per
// labelled column, the neighbour position whose edge length plus distance
// to the labelled point is smallest.

#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "buffer_view.hpp"

namespace {

using namespace frame;

// A read-only float32 matrix: rows are points, columns labelled positions.
struct Matrix {
  const char* base = nullptr;
  Py_ssize_t rows = 0, cols = 0, row_stride = 0, col_stride = 0;
  const float* row(Py_ssize_t r) const { return reinterpret_cast<const float*>(base + r * row_stride); }
  float at(Py_ssize_t r, Py_ssize_t c) const {
    return *reinterpret_cast<const float*>(base + r * row_stride + c * col_stride);
  }
};

// Of a local view or a parameter's ViewRef alike.
template <class View>
Matrix matrix_of(const View& v) {
  return Matrix{v.bytes(), v.extent(0), v.extent(1), v.stride(0), v.stride(1)};
}

// Per labelled column, the position j with the smallest sum
// distances[connections[j], c] + weights[j] (float32, strict <, so the lowest
// position wins ties and NaN never wins). The chosen set is the union of the
// columns' winners, whatever order the labels come in, so each distinct
// column is scored once and in storage order.
// Dense columns: blocks of 16 columns stay in registers while every
// neighbour row is added in. min(s, b) is exactly "s < b ? s : b" (it keeps
// b for NaN and for ties), so the lowest position keeps equal sums.
// `offset` shifts every row to the first column handled here.
void score_dense(const float* const* rows, const float* weights, Py_ssize_t m, size_t L, float* bound,
                 int32_t* best, size_t offset = 0) {
  size_t c = 0;
  for (; c + 16 <= L; c += 16) {
    __m128 b[4];
    __m128i k[4];
    for (int q = 0; q < 4; ++q) {
      b[q] = _mm_set1_ps(std::numeric_limits<float>::infinity());
      k[q] = _mm_set1_epi32(-1);
    }
    for (Py_ssize_t j = 0; j < m; ++j) {
      const __m128 wv = _mm_set1_ps(weights[j]);
      const __m128i jv = _mm_set1_epi32(int32_t(j));
      const float* row = rows[j] + offset + c;
      for (int q = 0; q < 4; ++q) {
        const __m128 sum = _mm_add_ps(_mm_loadu_ps(row + 4 * q), wv);
        const __m128i lower = _mm_castps_si128(_mm_cmplt_ps(sum, b[q]));
        b[q] = _mm_min_ps(sum, b[q]);
        k[q] = _mm_or_si128(_mm_and_si128(lower, jv), _mm_andnot_si128(lower, k[q]));
      }
    }
    for (int q = 0; q < 4; ++q) {
      _mm_storeu_ps(bound + c + 4 * q, b[q]);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(best + c + 4 * q), k[q]);
    }
  }
  for (; c < L; ++c) {
    float b = std::numeric_limits<float>::infinity();
    int32_t k = -1;
    for (Py_ssize_t j = 0; j < m; ++j) {
      const float sum = rows[j][offset + c] + weights[j];
      if (sum < b) {
        b = sum;
        k = int32_t(j);
      }
    }
    bound[c] = b;
    best[c] = k;
  }
}

// The same with 256-bit registers, blocks of 32 columns, for processors
// that have them; the operations and their order per column are the same.
__attribute__((target("avx2"))) void score_dense_avx2(const float* const* rows, const float* weights,
                                                       Py_ssize_t m, size_t L, float* bound, int32_t* best) {
  size_t c = 0;
  for (; c + 32 <= L; c += 32) {
    __m256 b[4];
    __m256i k[4];
    for (int q = 0; q < 4; ++q) {
      b[q] = _mm256_set1_ps(std::numeric_limits<float>::infinity());
      k[q] = _mm256_set1_epi32(-1);
    }
    for (Py_ssize_t j = 0; j < m; ++j) {
      const __m256 wv = _mm256_set1_ps(weights[j]);
      const __m256i jv = _mm256_set1_epi32(int32_t(j));
      const float* row = rows[j] + c;
      for (int q = 0; q < 4; ++q) {
        const __m256 sum = _mm256_add_ps(_mm256_loadu_ps(row + 8 * q), wv);
        const __m256 lower = _mm256_cmp_ps(sum, b[q], _CMP_LT_OQ);
        b[q] = _mm256_min_ps(sum, b[q]);
        k[q] = _mm256_castps_si256(
            _mm256_blendv_ps(_mm256_castsi256_ps(k[q]), _mm256_castsi256_ps(jv), lower));
      }
    }
    for (int q = 0; q < 4; ++q) {
      _mm256_storeu_ps(bound + c + 8 * q, b[q]);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(best + c + 8 * q), k[q]);
    }
  }
  if (c < L) score_dense(rows, weights, m, L - c, bound + c, best + c, c);
}

// AVX2 kernels run where the processor has AVX2, unless HALVORNE_BETA_NO_AVX2
// is set in the environment (the tests run the SSE2 kernels that way).
const bool have_avx2 = __builtin_cpu_supports("avx2") && std::getenv("HALVORNE_BETA_NO_AVX2") == nullptr;

class Selector {
 public:
  // `labels` values must be valid columns; `columns` becomes their sorted
  // distinct values.
  bool set_labels(const int64_t* labels, Py_ssize_t count, const Matrix& d) {
    columns_.assign(labels, labels + count);
    for (int64_t c : columns_) {
      if (c < 0 || c >= d.cols) {
        return fail(PyExc_IndexError, "label position %lld lies outside the %zd columns of distances",
                    static_cast<long long>(c), d.cols);
      }
    }
    std::sort(columns_.begin(), columns_.end());
    columns_.erase(std::unique(columns_.begin(), columns_.end()), columns_.end());
    dense_ = d.col_stride == Py_ssize_t(sizeof(float)) && !columns_.empty() && columns_.front() == 0 &&
             columns_.back() == int64_t(columns_.size()) - 1;
    bound_.resize(columns_.size());
    best_.resize(columns_.size());
    return true;
  }

  // Fills `chosen` with the winning positions, ascending. Neighbour rows and
  // the weight count have been checked by the caller.
  void select(const Matrix& d, const int64_t* connections, Py_ssize_t stride, Py_ssize_t m, const float* weights,
              Py_ssize_t weight_stride, std::vector<Py_ssize_t>* chosen) {
    chosen->clear();
    const size_t L = columns_.size();
    if (m == 0 || L == 0) return;
    float* bound = bound_.data();
    int32_t* best = best_.data();
    if (dense_) {
      rows_.resize(size_t(m));
      weights_.resize(size_t(m));
      for (Py_ssize_t j = 0; j < m; ++j) {
        rows_[j] = d.row(*reinterpret_cast<const int64_t*>(reinterpret_cast<const char*>(connections) + j * stride));
        weights_[j] = *reinterpret_cast<const float*>(reinterpret_cast<const char*>(weights) + j * weight_stride);
      }
      if (have_avx2) {
        score_dense_avx2(rows_.data(), weights_.data(), m, L, bound, best);
      } else {
        score_dense(rows_.data(), weights_.data(), m, L, bound, best);
      }
    } else {
      std::fill(bound_.begin(), bound_.end(), std::numeric_limits<float>::infinity());
      std::fill(best_.begin(), best_.end(), -1);
      for (Py_ssize_t j = 0; j < m; ++j) {
        const int64_t r = *reinterpret_cast<const int64_t*>(reinterpret_cast<const char*>(connections) + j * stride);
        const float w = *reinterpret_cast<const float*>(reinterpret_cast<const char*>(weights) + j * weight_stride);
        for (size_t c = 0; c < L; ++c) {
          const float sum = d.at(r, columns_[c]) + w;
          if (sum < bound[c]) {
            bound[c] = sum;
            best[c] = int32_t(j);
          }
        }
      }
    }
    marks_.assign(size_t(m), 0);
    for (size_t c = 0; c < L; ++c)
      if (best[c] >= 0) marks_[size_t(best[c])] = 1;
    for (Py_ssize_t j = 0; j < m; ++j)
      if (marks_[size_t(j)]) chosen->push_back(j);
  }

 private:
  std::vector<int64_t> columns_;
  std::vector<float> bound_;
  std::vector<int32_t> best_;
  std::vector<uint8_t> marks_;
  std::vector<const float*> rows_;
  std::vector<float> weights_;
  bool dense_ = false;
};

bool check_rows(const int64_t* connections, Py_ssize_t stride, Py_ssize_t m, Py_ssize_t rows, const char* what) {
  for (Py_ssize_t j = 0; j < m; ++j) {
    int64_t r = *reinterpret_cast<const int64_t*>(reinterpret_cast<const char*>(connections) + j * stride);
    if (r < 0 || r >= rows) {
      return fail(PyExc_IndexError, "%s %lld lies outside 0 .. %zd", what, static_cast<long long>(r), rows - 1);
    }
  }
  return true;
}

}  // namespace
