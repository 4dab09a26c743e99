// A mutex and a condition variable for the threads that share one file's
// work. On Windows they are the system's slim lock and condition variable:
// MinGW's std::mutex and std::condition_variable sleep on semaphores, and
// under Wine every such wait and wake-up is a call to the Wine server.
#pragma once

#if !defined(_WIN32)
#include <condition_variable>
#include <mutex>
#endif

namespace korvane::platform {

// Lockable as std::mutex is (std::lock_guard, std::unique_lock).
class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
#if defined(_WIN32)
  void lock() noexcept;
  void unlock() noexcept;
#else
  void lock() { mutex_.lock(); }
  void unlock() noexcept { mutex_.unlock(); }
#endif

 private:
  friend class Condition;
#if defined(_WIN32)
  void* lock_ = nullptr;  // an SRWLOCK, a pointer's size, zero when free
#else
  std::mutex mutex_;
#endif
};

class Condition {
 public:
  Condition() = default;
  Condition(const Condition&) = delete;
  Condition& operator=(const Condition&) = delete;

  // Waits, with `locked` held, until done() is true.
  template <class Done>
  void Wait(Mutex& locked, Done&& done) {
    while (!done()) WaitOnce(locked);
  }
#if defined(_WIN32)
  void NotifyAll() noexcept;
#else
  void NotifyAll() noexcept { condition_.notify_all(); }
#endif

 private:
#if defined(_WIN32)
  void WaitOnce(Mutex& locked) noexcept;
  void* condition_ = nullptr;  // a CONDITION_VARIABLE, a pointer's size, zero at rest
#else
  void WaitOnce(Mutex& locked) {
    std::unique_lock<std::mutex> lock(locked.mutex_, std::adopt_lock);
    condition_.wait(lock);
    lock.release();
  }
  std::condition_variable condition_;
#endif
};

}  // namespace korvane::platform
