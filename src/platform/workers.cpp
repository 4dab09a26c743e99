#include "platform/workers.h"

#include "platform/platform.h"

namespace korvane::platform {

unsigned Cores() noexcept { return std::max(1u, std::thread::hardware_concurrency()); }

unsigned WorkerThreads::Start(unsigned count, const std::function<void(unsigned)>& body,
                              unsigned first_slot) {
  unsigned started = 0;
  try {
    threads_.reserve(threads_.size() + count);
  } catch (...) {
    return 0;  // no room to keep even one handle
  }
  for (; started < count; ++started) {
    const unsigned slot = first_slot + started;
    std::thread t;
    if (!Current().StartThread(t, [body, slot] { body(slot); })) break;
    threads_.push_back(std::move(t));  // reserved: cannot throw
  }
  return started;
}

void WorkerThreads::Join() noexcept {
  for (std::thread& t : threads_) {
    if (t.joinable()) t.join();
  }
  threads_.clear();
}

bool Platform::StartThread(std::thread& out, std::function<void()> body) {
  try {
    out = std::thread(std::move(body));
    return true;
  } catch (...) {
    // std::system_error when the system has no thread to give; bad_alloc for its state.
    return false;
  }
}

}  // namespace korvane::platform
