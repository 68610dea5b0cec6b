// Euclidean distances from points to labelled points, rounded to float32,
// computed exactly as SciPy's cdist computes them followed by astype.

#pragma once

#include <immintrin.h>

#include <cmath>
#include <vector>

#include "buffer_view.hpp"
#include "selection_kernels.hpp"

namespace {

using namespace frame;

// A two-dimensional float32 or float64 NumPy array in native byte order.
bool plain_points(PyObject* o) {
  if (!PyArray_CheckExact(o)) return false;
  auto* a = reinterpret_cast<PyArrayObject*>(o);
  return PyArray_NDIM(a) == 2 && PyArray_ISNOTSWAPPED(a) &&
         (PyArray_TYPE(a) == NPY_FLOAT || PyArray_TYPE(a) == NPY_DOUBLE);
}

double coordinate(PyArrayObject* a, npy_intp row, npy_intp column) {
  const char* p = PyArray_BYTES(a) + row * PyArray_STRIDE(a, 0) + column * PyArray_STRIDE(a, 1);
  return PyArray_TYPE(a) == NPY_FLOAT ? double(*reinterpret_cast<const float*>(p)) : *reinterpret_cast<const double*>(p);
}

// Distances from one point to the labelled columns in blocks of 16 held in
// registers across the coordinates; returns how many columns it did.
__attribute__((target("avx2"), optimize("fp-contract=off"))) npy_intp euclidean_block_avx2(
    const double* point, const double* columns, npy_intp dims, npy_intp L, float* row) {
  npy_intp c = 0;
  for (; c + 16 <= L; c += 16) {
    __m256d acc[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd()};
    for (npy_intp j = 0; j < dims; ++j) {
      const __m256d a = _mm256_set1_pd(point[j]);
      const double* b = columns + j * L + c;
      for (int q = 0; q < 4; ++q) {
        const __m256d diff = _mm256_sub_pd(a, _mm256_loadu_pd(b + 4 * q));
        acc[q] = _mm256_add_pd(acc[q], _mm256_mul_pd(diff, diff));
      }
    }
    for (int q = 0; q < 4; ++q) _mm_storeu_ps(row + c + 4 * q, _mm256_cvtpd_ps(_mm256_sqrt_pd(acc[q])));
  }
  return c;
}

// SciPy's Euclidean distance, operation for operation: in double precision,
// the squared differences summed in coordinate order, then the square root;
// finally rounded to float32 as astype does. No fused multiply-add, which
// would round differently.
__attribute__((optimize("fp-contract=off"))) void euclidean_float32(PyArrayObject* points, PyArrayObject* labeled,
                                                                      std::vector<float>* out) {
  const npy_intp n = PyArray_DIM(points, 0), L = PyArray_DIM(labeled, 0), dims = PyArray_DIM(points, 1);
  std::vector<double> columns(size_t(dims) * size_t(L));  // labelled coordinates, one coordinate per row
  for (npy_intp c = 0; c < L; ++c)
    for (npy_intp j = 0; j < dims; ++j) columns[size_t(j * L + c)] = coordinate(labeled, c, j);
  std::vector<double> sums(size_t(L) + 2);
  std::vector<double> point(static_cast<size_t>(dims));
  out->resize(size_t(n) * size_t(L));
  for (npy_intp p = 0; p < n; ++p) {
    for (npy_intp j = 0; j < dims; ++j) point[size_t(j)] = coordinate(points, p, j);
    double* __restrict s = sums.data();
    float* row = out->data() + size_t(p) * size_t(L);
    npy_intp c = have_avx2 ? euclidean_block_avx2(point.data(), columns.data(), dims, L, row) : 0;
    for (npy_intp e = c; e < L; ++e) s[e] = 0.0;
    for (npy_intp j = 0; j < dims; ++j) {
      const double a = point[size_t(j)];
      const double* __restrict b = columns.data() + j * L;
      for (npy_intp e = c; e < L; ++e) {
        const double diff = a - b[e];
        s[e] = s[e] + diff * diff;
      }
    }
    for (; c + 2 <= L; c += 2) {
      const __m128 pair = _mm_cvtpd_ps(_mm_sqrt_pd(_mm_loadu_pd(s + c)));
      _mm_store_ss(row + c, pair);
      _mm_store_ss(row + c + 1, _mm_shuffle_ps(pair, pair, 1));
    }
    for (; c < L; ++c) row[c] = static_cast<float>(std::sqrt(s[c]));
  }
}

}  // namespace
