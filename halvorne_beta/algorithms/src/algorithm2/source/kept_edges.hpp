// The edges informative_edges keeps, written into the result containers list
// by list instead of pair by pair.
//
// Appending pair by pair, point i's chosen position j (neighbour v, weight w)
// appends v to list i and then i to list v, each unless already listed, for
// i ascending and j ascending. So list v receives, in this order:
//   - i from every point i < v that chose v, i ascending;
//   - its own chosen neighbours, j ascending (a self-loop's second copy is a
//     repeat);
//   - i from every point i > v that chose v, i ascending;
// each value kept at its first arrival, with that arrival's weight. Recording
// the chosen positions per point and the choosers per vertex is enough to
// write every list front to back, sized exactly, in one block per container.
#pragma once

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include "graph_wrapper.hpp"
#include "parallel.hpp"

namespace {

using namespace frame;

class KeptEdges {
 public:
  // For `connections` and `weights`, kestrin containers of int64 and float32
  // lists whose first n lists are read; the caller checks that every chosen
  // neighbour lies in 0 .. n-1 and that every list has its weights.
  KeptEdges(const graph::Object* connections, const graph::Object* weights, size_t n)
      : connections_(connections), weights_(weights) {
    if (!spare_lent_) {
      b_.swap(spare_);
      spare_lent_ = borrowed_ = true;
    }
    try {
      b_.chosen.assign(n, 0);
    } catch (...) {
      give_back();
      throw;
    }
  }

  ~KeptEdges() { give_back(); }

  KeptEdges(const KeptEdges&) = delete;
  KeptEdges& operator=(const KeptEdges&) = delete;

  // Point i chose `positions` (ascending) of its list. Threads may record
  // different points at once.
  void choose(size_t i, const std::vector<Py_ssize_t>& positions) {
    if (positions.empty()) return;
    if (positions.back() < 63) {
      uint64_t bits = 0;
      for (Py_ssize_t j : positions) bits |= uint64_t(1) << j;
      b_.chosen[i] = bits;
      return;
    }
    std::lock_guard<std::mutex> lock(wide_mutex_);
    b_.chosen[i] = wide | wide_.size();
    wide_.push_back(int64_t(positions.size()));
    wide_.insert(wide_.end(), positions.begin(), positions.end());
  }

  // The length of every result list, on `threads` threads. False, before
  // anything is written, when some list would exceed `capacity`: the caller
  // can then append pair by pair and fail where that fails.
  bool size_lists(int32_t capacity, int threads) {
    const size_t n = b_.chosen.size();
    index_choosers(threads);
    b_.sizes.assign(n, 0);
    if (!by_vertex(threads, [&](size_t v, Stamps& stamps) {
          int32_t size = 0;
          visit(v, stamps, [&](int64_t, float, bool fresh) { size += fresh; });
          b_.sizes[v] = size;
        }))
      throw std::bad_alloc();
    for (size_t v = 0; v < n; ++v)
      if (b_.sizes[v] > capacity) return false;
    return true;
  }

  // Fills `out_c` and `out_w` (empty containers of n lists) once sized.
  bool write(PyObject* out_c, PyObject* out_w, int threads) {
    if (!graph::allocate_lists(out_c, b_.sizes.data()) || !graph::allocate_lists(out_w, b_.sizes.data())) return false;
    graph::Object* c = graph::as_graph(out_c);
    graph::Object* w = graph::as_graph(out_w);
    const bool written = by_vertex(threads, [&](size_t v, Stamps& stamps) {
      int64_t* values = graph::ints(c, v);
      float* lengths = graph::floats(w, v);
      const int32_t final_size = b_.sizes[v];
      int32_t size = 0;
      int64_t spare_value;
      float spare_length;
      // Every entry is written where the next fresh one goes, and kept by
      // counting it only when fresh: no branch to mispredict. Once the list
      // is full, the repeats left go to the spare slots.
      visit(v, stamps, [&](int64_t value, float weight, bool fresh) {
        const bool room = size < final_size;
        *(room ? values + size : &spare_value) = value;
        *(room ? lengths + size : &spare_length) = weight;
        size += fresh;
      });
      c->slots[v].size = w->slots[v].size = size;
    });
    if (!written) PyErr_NoMemory();
    return written;
  }

 private:
  static constexpr uint64_t wide = uint64_t(1) << 63;  // marks an index into wide_

  struct Chooser {
    Chooser() {}  // left unset when the index is sized: every one is filled
    Chooser(int32_t p, float w) : point(p), weight(w) {}
    int32_t point;
    float weight;
  };

  // Per thread: the vertex whose list last took each value.
  struct Stamps {
    std::vector<int32_t> of;
  };

  // The large buffers of a call. They are handed on to the next call unless
  // they are large (then they go as soon as they are done with): buffers
  // allocated afresh have every page mapped and zeroed by the kernel again,
  // at a few microseconds a page on some machines, a tenth of this call's
  // time at 30 000 points. (Calls run under the GIL; a call made while
  // another is under way, from Python code the first one runs, allocates
  // its own.)
  struct Buffers {
    std::vector<uint64_t> chosen;         // per point: its chosen positions as bits, or wide | index
    std::vector<std::vector<uint32_t>> places;  // per range of points: its place in each vertex's run
    std::vector<size_t> first_chooser;    // n + 1 offsets into choosers
    std::vector<Chooser> choosers;
    std::vector<int32_t> sizes;           // of the result lists
    std::vector<Stamps> stamps;           // per thread
    void swap(Buffers& other) {
      chosen.swap(other.chosen);
      places.swap(other.places);
      first_chooser.swap(other.first_chooser);
      choosers.swap(other.choosers);
      sizes.swap(other.sizes);
      stamps.swap(other.stamps);
    }
    size_t bytes() const {
      size_t total = chosen.capacity() * sizeof(uint64_t) + first_chooser.capacity() * sizeof(size_t) +
                     choosers.capacity() * sizeof(Chooser) + sizes.capacity() * sizeof(int32_t);
      for (const auto& p : places) total += p.capacity() * sizeof(uint32_t);
      for (const auto& s : stamps) total += s.of.capacity() * sizeof(int32_t);
      return total;
    }
  };
  static constexpr size_t spare_limit = size_t(16) << 20;  // about 200 000 points at k = 10
  inline static Buffers spare_;
  inline static bool spare_lent_ = false;

  void give_back() {
    if (!borrowed_) return;
    if (b_.bytes() <= spare_limit) b_.swap(spare_);
    spare_lent_ = borrowed_ = false;
  }

  size_t chosen_count(size_t i) const {
    const uint64_t c = b_.chosen[i];
    return c & wide ? size_t(wide_[c & ~wide]) : size_t(__builtin_popcountll(c));
  }

  template <class F>
  void for_each_chosen(size_t i, F f) const {
    const uint64_t c = b_.chosen[i];
    if (c & wide) {
      const int64_t* p = wide_.data() + (c & ~wide);
      for (int64_t q = 1; q <= p[0]; ++q) f(p[q]);
      return;
    }
    for (uint64_t b = c; b != 0; b &= b - 1) f(int64_t(__builtin_ctzll(b)));
  }

  const int64_t* list(size_t i) const { return graph::ints(connections_, i); }
  const float* list_weights(size_t i) const { return graph::floats(weights_, i); }

  // For every vertex, the points other than itself that chose it, ascending,
  // each with the weight of its choice. The points are cut into one range
  // per thread; each range counts its choosers per vertex, the counts become
  // each range's place in every vertex's run, and each range fills its
  // places in point order, so that every run ends ascending.
  void index_choosers(int threads) {
    const size_t n = b_.chosen.size(), ranges = size_t(std::max(threads, 1));
    // Places are 32-bit, half the memory read at random: more choices
    // than they count would take over 32 GiB of index.
    size_t choices = 0;
    for (size_t i = 0; i < n; ++i) choices += chosen_count(i);
    if (choices > UINT32_MAX) throw std::bad_alloc();
    std::vector<std::vector<uint32_t>>& places = b_.places;
    places.resize(ranges);
    for (std::vector<uint32_t>& p : places) p.assign(n, 0);
    auto range = [&](size_t r, size_t* first, size_t* last) {
      *first = n * r / ranges;
      *last = n * (r + 1) / ranges;
    };
    if (!by_range(ranges, [&](size_t r) {
          size_t first, last;
          range(r, &first, &last);
          for (size_t i = first; i < last; ++i)
            for_each_chosen(i, [&](int64_t j) {
              if (size_t(list(i)[j]) != i) ++places[r][size_t(list(i)[j])];
            });
        }))
      throw std::bad_alloc();
    b_.first_chooser.assign(n + 1, 0);
    for (size_t v = 0; v < n; ++v) {
      size_t place = b_.first_chooser[v];
      for (size_t r = 0; r < ranges; ++r) {
        const size_t count = places[r][v];
        places[r][v] = uint32_t(place);
        place += count;
      }
      b_.first_chooser[v + 1] = place;
    }
    b_.choosers.resize(b_.first_chooser[n]);
    // The places are scattered over the index: each batch of entries has its
    // places asked for before any is written.
    if (!by_range(ranges, [&](size_t r) {
          size_t first, last;
          range(r, &first, &last);
          constexpr int batch = 32;
          size_t place[batch];
          Chooser entry[batch];
          int pending = 0;
          auto flush = [&] {
            for (int e = 0; e < pending; ++e) b_.choosers[place[e]] = entry[e];
            pending = 0;
          };
          for (size_t i = first; i < last; ++i) {
            for_each_chosen(i, [&](int64_t j) {
              const size_t v = size_t(list(i)[j]);
              if (v == i) return;
              place[pending] = places[r][v]++;
              __builtin_prefetch(b_.choosers.data() + place[pending], 1);
              entry[pending++] = Chooser{int32_t(i), list_weights(i)[j]};
              if (pending == batch) flush();
            });
          }
          flush();
        }))
      throw std::bad_alloc();
    // large places go now: the lists written next make the call's peak
    if (b_.bytes() > spare_limit) std::vector<std::vector<uint32_t>>().swap(places);
  }

  // Runs each(r) for r = 0 .. ranges-1, one thread per range.
  template <class Each>
  static bool by_range(size_t ranges, Each each) {
    parallel::Runs runs(ranges, 1);
    return parallel::run(int(ranges), [&](int) {
      for (size_t first, last; runs.next(&first, &last);) each(first);
    });
  }

  // Runs each(v, stamps) for every vertex, on `threads` threads.
  template <class Each>
  bool by_vertex(int threads, Each each) {
    const size_t n = b_.chosen.size();
    parallel::Runs runs(n, 1024);
    std::vector<Stamps>& stamps = b_.stamps;
    stamps.resize(size_t(std::max(threads, 1)));
    for (Stamps& s : stamps) s.of.assign(n, -1);
    return parallel::run(threads, [&](int t) {
      for (size_t first, last; runs.next(&first, &last);)
        for (size_t v = first; v < last; ++v) each(v, stamps[size_t(t)]);
    });
  }

  // Calls add(value, weight, fresh) for each entry of list v in order,
  // `fresh` false for a repeat.
  template <class Add>
  void visit(size_t v, Stamps& stamps, Add add) const {
    const int32_t mark = int32_t(v);
    int32_t* const of = stamps.of.data();
    auto offer = [&](int64_t value, float weight) {
      const bool fresh = of[value] != mark;
      of[value] = mark;
      add(value, weight, fresh);
    };
    // a point that chose v twice comes twice, its first choice first
    const Chooser* in = b_.choosers.data() + b_.first_chooser[v];
    const Chooser* end = b_.choosers.data() + b_.first_chooser[v + 1];
    for (; in < end && size_t(in->point) < v; ++in) offer(in->point, in->weight);
    for_each_chosen(v, [&](int64_t j) { offer(list(v)[j], list_weights(v)[j]); });
    for (; in < end; ++in) offer(in->point, in->weight);
  }

  const graph::Object* connections_;
  const graph::Object* weights_;
  std::vector<int64_t> wide_;           // count, then positions, for lists of 63 or more
  std::mutex wide_mutex_;
  Buffers b_;
  bool borrowed_ = false;  // b_ came from spare_
};

}  // namespace
