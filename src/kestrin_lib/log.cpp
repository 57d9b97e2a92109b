#include "kestrin_lib/log.hpp"

#include <atomic>

namespace kestrin::log {
namespace {

std::atomic<Sink*> installed_sink{nullptr};
std::atomic<LevelFilter> maximum{LevelFilter::off};

}  // namespace

bool set_sink(Sink* sink) noexcept {
  Sink* expected = nullptr;
  return installed_sink.compare_exchange_strong(expected, sink, std::memory_order_acq_rel);
}

LevelFilter max_level() noexcept { return maximum.load(std::memory_order_relaxed); }

void set_max_level(LevelFilter filter) noexcept { maximum.store(filter, std::memory_order_relaxed); }

void emit(const Record& record) noexcept {
  if (Sink* sink = installed_sink.load(std::memory_order_acquire)) sink->log(record);
}

}  // namespace kestrin::log
