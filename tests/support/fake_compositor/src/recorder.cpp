#include "recorder.hpp"

namespace kestrin::fake {

void Recorder::add(Record record) {
  {
    std::lock_guard lock(mutex_);
    // The sink runs under the lock so that a record file keeps the order.
    if (sink_) sink_(record);
    records_.push_back(std::move(record));
  }
  changed_.notify_all();
}

Records Recorder::snapshot() const {
  std::lock_guard lock(mutex_);
  return records_;
}

bool Recorder::wait_until(const std::function<bool(const Records&)>& predicate,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return predicate(records_); });
}

}  // namespace kestrin::fake
