// Growing one cluster breadth-first from a seed over precomputed
// neighbourhoods, without taking in points of another class.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "buffer_view.hpp"
#include "neighbour_collections.hpp"
#include "python_call.hpp"

namespace tavrisk {

constexpr int32_t queue_capacity = INT32_MAX;  // entries a queue can ever hold

// First-in first-out list of point indices, grown as entries arrive. Natively
// a vector; when the module's `np` has been rebound, arrays made by its
// `np.empty`, so that the rebinding sees every allocation.
class Queue {
 public:
  explicit Queue(bool through_numpy) : through_numpy_(through_numpy) {}

  bool start() { return !through_numpy_ || grow(64); }

  bool push(int32_t v) {
    if (!through_numpy_) {
      native_.push_back(v);
      return true;
    }
    if (count_ == size_t(view_->size()) && !grow(count_ * 2)) return false;
    view_->data()[count_++] = v;
    return true;
  }
  size_t size() const { return through_numpy_ ? count_ : native_.size(); }
  int32_t operator[](size_t i) const { return through_numpy_ ? view_->data()[i] : native_[i]; }

 private:
  bool grow(size_t wanted) {
    if (wanted > size_t(queue_capacity)) wanted = size_t(queue_capacity);
    Ref array = numpy_array("empty", Py_ssize_t(wanted), nullptr, "int32");
    if (!array) return false;
    auto view = std::make_unique<View<int32_t, 1>>();
    if (!view->acquire(array.get(), int_t, Layout::Contiguous, true)) return false;
    if (size_t(view->size()) <= count_) return out_of_bounds();
    if (count_ > 0) std::copy(view_->data(), view_->data() + count_, view->data());
    view_ = std::move(view);  // the old array's buffer is released here
    array_ = std::move(array);
    return true;
  }

  bool through_numpy_;
  std::vector<int32_t> native_;
  Ref array_;
  std::unique_ptr<View<int32_t, 1>> view_;
  size_t count_ = 0;
};

// The per-point arrays an expansion reads and writes.
struct Points {
  const int32_t* labels;
  Py_ssize_t n_labels;
  int32_t* cluster_labels;
  Py_ssize_t n_cluster_labels;
  char* visited;
  Py_ssize_t n_visited;
};

inline bool overlap(const void* a, size_t a_bytes, const void* b, size_t b_bytes) {
  auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
  return a_bytes > 0 && b_bytes > 0 && x < y + b_bytes && y < x + a_bytes;
}

// A queued point is processed when its flag is clear or its id is -1.
inline bool owned(const Points& a, Py_ssize_t point, bool* result) {
  Py_ssize_t v = point, c = point;
  if (!wrap(&v, a.n_visited)) return out_of_bounds();
  *result = false;
  if (a.visited[v] == 0) return true;
  if (!wrap(&c, a.n_cluster_labels)) return out_of_bounds();
  *result = a.cluster_labels[c] != -1;
  return true;
}

// Flags `point` as processed and gives it `cluster_id`.
inline bool claim(const Points& a, Py_ssize_t point, int cluster_id) {
  Py_ssize_t v = point, c = point;
  if (!wrap(&v, a.n_visited)) return out_of_bounds();
  a.visited[v] = 1;
  if (!wrap(&c, a.n_cluster_labels)) return out_of_bounds();
  a.cluster_labels[c] = cluster_id;
  return true;
}

// The points that the current expansion has queued, by flag position. Only
// a point's first queue entry can be processed (the entry processes it or
// finds it owned; either way it is owned afterwards), so later entries can be
// left out. One stamp per point, shared by the expansions of a driver run.
class QueuedMarks {
 public:
  void start_expansion(size_t points) {
    if (stamps_.size() != points) stamps_.assign(points, 0);
    if (++current_ == 0) {  // the stamps wrapped around: start afresh
      std::fill(stamps_.begin(), stamps_.end(), 0);
      current_ = 1;
    }
  }
  // True when `point` was queued before in this expansion; marks it.
  bool seen(size_t point) {
    if (stamps_[point] == current_) return true;
    stamps_[point] = current_;
    return false;
  }

 private:
  std::vector<uint32_t> stamps_;
  uint32_t current_ = 0;
};

// Grows the cluster `cluster_id` from `point_idx`.
//
// Points already flagged and owned by a cluster are skipped when taken from
// the queue. Flags only ever become 1 and ids only ever become `cluster_id`
// (never -1), so a neighbour in that state when it would be appended is
// certain to be skipped: it is counted as appended (the queue's capacity
// still applies) but not stored, which keeps the queue to the points that
// can still join. This holds only while flags and ids do not share memory.
// With `marks`, and flags and ids of equal length (so that a position names
// the same point in both), a point's later queue entries are left out too.
template <class Source>
bool expand(const Points& a, int min_samples, Py_ssize_t point_idx, int cluster_id, const Source& source,
            bool through_numpy, QueuedMarks* marks = nullptr) {
  Queue queue(through_numpy);
  if (!queue.start()) return false;
  if (point_idx < INT32_MIN || point_idx > INT32_MAX) return out_of_bounds();  // not storable as a queue entry
  if (!queue.push(int32_t(point_idx))) return false;
  int32_t queue_end = 1;
  const bool elide = !overlap(a.visited, size_t(a.n_visited), a.cluster_labels,
                              size_t(a.n_cluster_labels) * sizeof(int32_t));
  if (!elide || a.n_visited != a.n_cluster_labels) marks = nullptr;
  if (marks != nullptr) {
    marks->start_expansion(size_t(a.n_visited));
    Py_ssize_t seed = point_idx;
    if (wrap(&seed, a.n_visited)) marks->seen(size_t(seed));
  }

  for (size_t next = 0; next < queue.size(); ++next) {
    const Py_ssize_t current_point_idx = queue[next];
    bool skip;
    if (!owned(a, current_point_idx, &skip)) return false;
    if (skip) continue;
    if (!claim(a, current_point_idx, cluster_id)) return false;

    typename Source::Entry neighbors;
    if (!source.open(current_point_idx, &neighbors)) return false;
    if (neighbors.length() > INT32_MAX) return int_overflow();
    const int n_neighbors = int(neighbors.length());
    Py_ssize_t l = current_point_idx;
    if (!wrap(&l, a.n_labels)) return out_of_bounds();
    if (a.labels[l] < 0 && n_neighbors < min_samples) continue;  // a border point

    for (int i = 0; i < n_neighbors; ++i) {
      if constexpr (requires { neighbors.indices; }) {
        // neighbour indices are scattered: start the loads a few entries ahead
        constexpr int ahead = 8;
        if (i + ahead < n_neighbors) {
          const int32_t j = neighbors.indices[i + ahead];
          if (j >= 0 && j < a.n_labels) __builtin_prefetch(a.labels + j);
          if (j >= 0 && j < a.n_cluster_labels) __builtin_prefetch(a.cluster_labels + j);
        }
      }
      int idx;
      if (!neighbors.get(i, &idx)) return false;
      Py_ssize_t k = idx;
      if (!wrap(&k, a.n_labels)) return out_of_bounds();
      const int32_t label = a.labels[k];
      if (label >= 0 && label != cluster_id) continue;  // another class
      if (queue_end == queue_capacity) return out_of_bounds();
      ++queue_end;
      if (elide) {
        Py_ssize_t fv = idx, fc = idx;
        if (wrap(&fv, a.n_visited) && a.visited[fv] != 0 && wrap(&fc, a.n_cluster_labels) &&
            a.cluster_labels[fc] != -1)
          continue;
        if (marks != nullptr && fv >= 0 && fv < a.n_visited && marks->seen(size_t(fv))) continue;
      }
      if (!queue.push(idx)) return false;
    }
  }
  return true;
}

}  // namespace tavrisk
