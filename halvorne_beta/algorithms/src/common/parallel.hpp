// Work shared among the processor's cores, for kernels that call no Python.
//
// The caller keeps the GIL throughout: the threads only read what the call
// has pinned and write what each of them owns, and no Python code can run
// (and change a container or an array under them) until they have joined.
// Nothing here touches the interpreter.
#pragma once

#include <immintrin.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace parallel {

// The thread count HALVORNE_BETA_THREADS fixes (tests use it to run the
// threaded paths on small inputs), or 0 when it holds no positive number.
inline int fixed_thread_count() {
  const char* text = std::getenv("HALVORNE_BETA_THREADS");
  if (text == nullptr) return 0;
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= 1 ? int(std::min(value, 256L)) : 0;
}

// The processors this process may run on.
inline int processor_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return int(std::max(1u, std::thread::hardware_concurrency()));
}

// Threads for `work` units of work: one per `per_thread` units, up to the
// processors, or the count the environment fixes.
inline int threads_for(double work, double per_thread) {
  if (const int fixed = fixed_thread_count()) return fixed;
  return int(std::clamp(work / per_thread, 1.0, double(processor_count())));
}

// Helper threads kept for the parallel regions of one call. Starting a
// thread and having it run takes tens of microseconds, on some virtual
// machines over a hundred (the idle processor has to be woken), which is as
// long as a short region's work: a call with several regions makes a Team
// first, and while it lives, run() on the thread that made it hands each
// region to the same helpers. Between regions they spin for a while and
// then sleep. Regions do not nest: run() within a region starts threads.
class Team {
 public:
  explicit Team(int threads) : previous_(current_team()) {
    try {
      for (int t = 1; t < threads; ++t) helpers_.emplace_back([this, t] { serve(t); });
    } catch (const std::exception&) {
      // fewer helpers: regions then run on fewer threads
    }
    current_team() = this;
  }

  ~Team() {
    current_team() = previous_;
    stop_.store(true, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
    generation_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
  }

  Team(const Team&) = delete;
  Team& operator=(const Team&) = delete;

  // The team made on this thread and still alive, if any.
  static Team*& current_team() {
    thread_local Team* team = nullptr;
    return team;
  }

  int size() const { return int(helpers_.size()) + 1; }
  bool busy() const { return busy_; }

  // Runs call(context, t) for t = 0 .. threads-1 (at most size()), t = 0
  // on the caller's thread, and waits for all.
  void run(int threads, void (*call)(void*, int), void* context) {
    busy_ = true;
    call_ = call;
    context_ = context;
    active_ = threads;
    pending_.store(int(helpers_.size()), std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
    generation_.notify_all();
    call(context, 0);
    for (int left = pending_.load(std::memory_order_acquire); left != 0;) left = await_change(pending_, left);
    busy_ = false;
  }

 private:
  // Returns the value of `value` once it differs from `old`: spinning for
  // up to `spin` (yielding, should the processors be oversubscribed), then
  // sleeping until notified.
  template <class T>
  static T await_change(const std::atomic<T>& value, T old) {
    constexpr auto spin = std::chrono::microseconds(200);
    const auto until = std::chrono::steady_clock::now() + spin;
    for (unsigned spins = 1;; ++spins) {
      const T now = value.load(std::memory_order_acquire);
      if (now != old) return now;
      if (spins % 64 != 0) {
        _mm_pause();
      } else if (std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
      } else {
        value.wait(old, std::memory_order_acquire);
      }
    }
  }

  void serve(int t) {
    for (uint64_t seen = 0;;) {
      seen = await_change(generation_, seen);
      if (stop_.load(std::memory_order_relaxed)) return;
      if (t < active_) call_(context_, t);
      if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) pending_.notify_one();
    }
  }

  Team* const previous_;
  std::vector<std::thread> helpers_;
  std::atomic<uint64_t> generation_{0};
  std::atomic<int> pending_{0};
  std::atomic<bool> stop_{false};
  void (*call_)(void*, int) = nullptr;
  void* context_ = nullptr;
  int active_ = 0;
  bool busy_ = false;
};

// Runs work(t) for t = 0 .. threads-1, each on its own thread (t = 0 on
// the caller's), and waits for all. work() takes its items from a shared
// counter, so a thread that could not be started only leaves more for the
// others. Large per-thread buffers are best allocated by the caller, indexed
// by t: memory a thread allocates stays with its own malloc arena, and much
// of it stays resident after the call. False when any work() threw
// (std::bad_alloc, say); the caller then reports it.
template <class Work>
bool run(int threads, Work work) {
  std::atomic<bool> failed{false};
  auto guarded = [&](int t) {
    try {
      work(t);
    } catch (...) {
      failed = true;
    }
  };
  Team* team = Team::current_team();
  if (team != nullptr && !team->busy() && threads > 1 && team->size() > 1) {
    auto call = [](void* context, int t) { (*static_cast<decltype(guarded)*>(context))(t); };
    team->run(std::min(threads, team->size()), call, &guarded);
    return !failed;
  }
  std::vector<std::thread> started;
  try {
    for (int t = 1; t < threads; ++t) started.emplace_back(guarded, t);
  } catch (const std::exception&) {
    // no more threads (std::system_error) or no memory for them: fewer run
  }
  guarded(0);
  for (std::thread& thread : started) thread.join();
  return !failed;
}

// Hands out the items 0 .. count-1 a run at a time, to any number of
// threads.
class Runs {
 public:
  Runs(size_t count, size_t run) : count_(count), run_(run) {}
  // The next run [first, last); false once all are handed out.
  bool next(size_t* first, size_t* last) {
    const size_t start = next_.fetch_add(run_);
    if (start >= count_) return false;
    *first = start;
    *last = std::min(count_, start + run_);
    return true;
  }

 private:
  const size_t count_, run_;
  std::atomic<size_t> next_{0};
};

}  // namespace parallel
