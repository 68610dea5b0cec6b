// Work shared among the processor's cores, for kernels that call no Python.
//
// The caller keeps the GIL throughout: the threads only read what the call
// has pinned and write what each of them owns, and no Python code can run
// (and change a container or an array under them) until they have joined.
// Nothing here touches the interpreter.
#pragma once

#include <sched.h>

#include <algorithm>
#include <atomic>
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
