// The request to stop the compositor, seen by its thread: checked between
// loop iterations and waited for by a stalled client.
#pragma once

#include <condition_variable>
#include <mutex>

namespace kestrin::fake {

class StopSignal {
 public:
  void request() {
    {
      std::lock_guard lock(mutex_);
      requested_ = true;
    }
    changed_.notify_all();
  }

  bool requested() const {
    std::lock_guard lock(mutex_);
    return requested_;
  }

  void wait() const {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return requested_; });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  bool requested_ = false;
};

}  // namespace kestrin::fake
