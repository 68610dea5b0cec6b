// The mutual k-nearest-neighbour graph from one batched neighbour search.
//
// The search answers k + 1 neighbours per point, the point itself normally
// first. Its rows are compacted into the k-column neighbour table (item 2 of
// mutual_knn's result) and the float32 length table (item 3); a pair (i, j)
// is mutual when the row of i's j-th neighbour names i. The lists are filled
// straight into the reserved storage of the two new containers.
#pragma once

#include <algorithm>
#include <vector>

#include "buffer_view.hpp"
#include "graph_wrapper.hpp"

namespace mutual_pairs {

using namespace frame;

// The column of search row i that the table leaves out: where i itself is
// (the first hit for distinct points, maybe a later one among coincident
// points), else the last column, the farthest hit.
inline int dropped_column(const View<int64_t, 2>& found, int i, int k) {
  for (int j = 0; j <= k; ++j) {
    if (found(i, j) == i) return j;
  }
  return k;
}

inline bool outside(int64_t nb, int i, int n) {
  return fail(PyExc_IndexError,
              "neighbour %lld of point %d lies outside 0 .. %d (k must be smaller than the number of points)",
              static_cast<long long>(nb), i, n - 1);
}

// Row by row, the search's k + 1 indices without the dropped column; every
// index is checked against 0 .. n-1 (the search pads with n when k >= n).
inline bool compact_indices(const View<int64_t, 2>& found, int n, int k, const View<int64_t, 2>& table,
                            std::vector<int32_t>* dropped) {
  for (int i = 0; i < n; ++i) {
    const int drop = dropped_column(found, i, k);
    (*dropped)[size_t(i)] = drop;
    for (int j = 0, out = 0; j <= k; ++j) {
      if (j == drop) continue;
      const int64_t nb = found(i, j);
      if (nb < 0 || nb >= n) return outside(nb, i, n);
      table(i, out++) = nb;
    }
  }
  return true;
}

// The matching distances, rounded to float32 as astype rounds them.
inline void compact_lengths(const View<double, 2>& found, int n, int k, const std::vector<int32_t>& dropped,
                            const View<float, 2>& lengths) {
  for (int i = 0; i < n; ++i) {
    const int drop = dropped[size_t(i)];
    for (int j = 0, out = 0; j <= k; ++j) {
      if (j != drop) lengths(i, out++) = static_cast<float>(found(i, j));
    }
  }
}

// Read access to the neighbour table, whatever its strides.
class Table {
 public:
  Table(const View<int64_t, 2>& table, int n, int k)
      : base_(table.bytes()), row_step_(table.stride(0)), column_step_(table.stride(1)), n_(n), k_(k) {}
  int n() const { return n_; }
  int k() const { return k_; }
  int64_t operator()(int64_t row, int column) const {
    return *reinterpret_cast<const int64_t*>(base_ + row * row_step_ + column * column_step_);
  }
  Py_ssize_t row_bytes() const { return Py_ssize_t(k_) * column_step_; }
  const char* row(int64_t nb) const { return base_ + nb * row_step_; }
  // How often row `nb` names i (at most once for a real search).
  int32_t times_named(int64_t nb, int64_t i) const {
    int32_t hits = 0;
    if (column_step_ == Py_ssize_t(sizeof(int64_t))) {
      const int64_t* row = reinterpret_cast<const int64_t*>(this->row(nb));
      for (int m = 0; m < k_; ++m) hits += row[m] == i;
      return hits;
    }
    for (int m = 0; m < k_; ++m) hits += (*this)(nb, m) == i;
    return hits;
  }

 private:
  const char* base_;
  Py_ssize_t row_step_, column_step_;
  int n_, k_;
};

// Per pair (i, j): how often the row of i's j-th neighbour names i, capped
// at 255 (such a pair is counted again when its list is filled). The rows
// of a point's neighbours lie anywhere in the table, so those of the point
// a few places ahead are requested from memory first. Every neighbour is
// checked again here: the table may be an array of a rebound `np` that
// Python code could reach since it was written.
inline bool count_mutual(const Table& table, std::vector<uint8_t>* mutual) {
  constexpr int ahead = 4;
  const int n = table.n(), k = table.k();
  mutual->assign(size_t(n) * size_t(k), 0);
  for (int i = 0; i < n; ++i) {
    uint8_t* hits_of_i = mutual->data() + size_t(i) * size_t(k);
    for (int j = 0; j < k; ++j) {
      const int64_t nb = table(i, j);
      if (nb < 0 || nb >= n) return outside(nb, i, n);
    }
    // Written out here: GCC counts a helper that only prefetches as free of
    // effects and drops the calls to it.
    for (int j = 0; i + ahead < n && j < k; ++j) {
      const int64_t nb = table(i + ahead, j);
      if (nb < 0 || nb >= n) continue;
      for (Py_ssize_t b = 0; b < table.row_bytes(); b += 64) __builtin_prefetch(table.row(nb) + b);
    }
    for (int j = 0; j < k; ++j) hits_of_i[j] = uint8_t(std::min(table.times_named(table(i, j), i), 255));
  }
  return true;
}

inline int32_t hits_at(const Table& table, const std::vector<uint8_t>& mutual, int i, int j) {
  const int32_t counted = mutual[size_t(i) * size_t(table.k()) + size_t(j)];
  return counted < 255 ? counted : table.times_named(table(i, j), i);
}

// Entries of list i: one pair per time a neighbour's row names i.
inline int64_t degree(const Table& table, const std::vector<uint8_t>& mutual, int i) {
  int64_t total = 0;
  for (int j = 0; j < table.k(); ++j) total += hits_at(table, mutual, i, j);
  return total;
}

// List i of both fresh containers, written into storage allocated at its
// final length, exactly as the appends would fill it.
inline void fill_list(const Table& table, const View<float, 2>& lengths, const std::vector<uint8_t>& mutual, int i,
                      graph::Object* connections, graph::Object* weights) {
  int64_t* out_c = graph::ints(connections, size_t(i));
  float* out_w = graph::floats(weights, size_t(i));
  int32_t size = 0;
  for (int j = 0; j < table.k(); ++j) {
    for (int32_t hit = hits_at(table, mutual, i, j); hit > 0; --hit, ++size) {
      out_c[size] = table(i, j);
      out_w[size] = lengths(i, j);
    }
  }
  connections->slots[i].size = size;
  weights->slots[i].size = size;
}

// Fills the fresh containers `GraphWrapper(n, 0, k)` and `GraphWrapper(n, 1, k)`.
// No Python code runs from here on, so the table stays as checked.
inline bool fill_containers(const Table& table, const View<float, 2>& lengths, PyObject* connections,
                            PyObject* weights) {
  std::vector<uint8_t> mutual;
  if (!count_mutual(table, &mutual)) return false;
  // every list's length first, so that all of them share one block per
  // container; the first list too long fails as its append would
  std::vector<int32_t> sizes(size_t(table.n()));
  graph::Object* c = graph::as_graph(connections);
  graph::Object* w = graph::as_graph(weights);
  for (int i = 0; i < table.n(); ++i) {
    const int64_t entries = degree(table, mutual, i);
    if (entries > c->capacity) return fail(PyExc_OverflowError, "Array has reached its maximum size");
    sizes[size_t(i)] = int32_t(entries);
  }
  if (!graph::allocate_lists(connections, sizes.data()) || !graph::allocate_lists(weights, sizes.data())) return false;
  for (int i = 0; i < table.n(); ++i)
    if (sizes[size_t(i)] > 0) fill_list(table, lengths, mutual, i, c, w);
  return true;
}

}  // namespace mutual_pairs
