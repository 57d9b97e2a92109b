// The thread-safe list of records: written by the compositor's thread, read
// by the tests.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "fake_compositor/fake_compositor.hpp"

namespace kestrin::fake {

class Recorder {
 public:
  explicit Recorder(std::function<void(const Record&)> sink) : sink_(std::move(sink)) {}

  void add(Record record);
  Records snapshot() const;
  bool wait_until(const std::function<bool(const Records&)>& predicate, std::chrono::milliseconds timeout) const;

 private:
  std::function<void(const Record&)> sink_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  Records records_;
};

}  // namespace kestrin::fake
