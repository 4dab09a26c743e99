// Threads for parallel loops. Every parallel loop of the library (the fits,
// the surface index, the replay, the batch) starts its threads here, so that
// one rule holds everywhere: a thread the system will not start means fewer
// workers, never an abort. The loops hand out their work through a shared
// counter, so any number of workers, the calling thread alone included,
// finishes it with the same result.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

namespace korvane::platform {

// Processors the system reports; at least 1.
unsigned Cores() noexcept;

// Threads started for one piece of work, joined before it is left.
class WorkerThreads {
 public:
  WorkerThreads() = default;
  WorkerThreads(const WorkerThreads&) = delete;
  WorkerThreads& operator=(const WorkerThreads&) = delete;
  ~WorkerThreads() { Join(); }

  // Starts up to `count` threads running body(first_slot), body(first_slot + 1), ...
  // through the installed platform; returns how many started. `body` must not throw.
  unsigned Start(unsigned count, const std::function<void(unsigned)>& body,
                 unsigned first_slot = 1);
  // Waits for every thread started; afterwards there are none.
  void Join() noexcept;
  std::size_t size() const { return threads_.size(); }

 private:
  std::vector<std::thread> threads_;
};

// Threads a batch of `n` items gets: `threads` (0: one per core), but at most
// one per `min_per_thread` items and at least one. Starting a thread costs
// about as much as a few thousand nearest-point queries, so small batches
// stay on one.
inline unsigned BatchThreads(std::size_t n, unsigned threads, std::size_t min_per_thread = 4096) {
  if (threads == 0) threads = Cores();
  const std::size_t useful = std::max<std::size_t>(1, n / std::max<std::size_t>(1, min_per_thread));
  return static_cast<unsigned>(std::min<std::size_t>(threads, useful));
}

// Runs f(k) for k in [0, n) on the calling thread and up to `threads` - 1
// others, each taking the next k in turn; the first exception (in worker
// order) is rethrown once all have stopped.
template <class F>
void ParallelTasks(std::size_t n, unsigned threads, F&& f) {
  const unsigned t = BatchThreads(n, threads, 1);
  std::atomic<std::size_t> next{0};
  std::vector<std::exception_ptr> errors(t);
  const auto run = [&](unsigned w) {
    try {
      for (std::size_t k = next++; k < n; k = next++) f(k);
    } catch (...) {
      errors[w] = std::current_exception();
      next = n;
    }
  };
  {
    WorkerThreads workers;
    workers.Start(t - 1, run);
    run(0);
  }
  for (const std::exception_ptr& e : errors) {
    if (e) std::rethrow_exception(e);
  }
}

// Calls f(begin, end) on contiguous slices covering [0, n), `threads` slices
// at once (see BatchThreads). The first exception of any slice is rethrown.
template <class F>
void ParallelRanges(std::size_t n, unsigned threads, F&& f) {
  const unsigned t = BatchThreads(n, threads);
  if (t <= 1) {
    f(std::size_t{0}, n);
    return;
  }
  ParallelTasks(t, t, [&](std::size_t k) { f(n * k / t, n * (k + 1) / t); });
}

}  // namespace korvane::platform
