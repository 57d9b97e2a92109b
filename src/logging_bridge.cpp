#include "logging_bridge.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "kestrin_lib/log.hpp"
#include "logger_cache.hpp"

namespace kestrin::py {
namespace {

using log::Level;
using log::LevelFilter;

// No trace record ever reaches Python, whatever its configuration says.
constexpr LevelFilter static_threshold = LevelFilter::debug;

// Overrides of the static threshold for a target and everything below it.
struct TargetFilter {
  std::string_view prefix;
  LevelFilter filter;
};
constexpr std::array<TargetFilter, 0> target_filters{};

bool is_segment_prefix(std::string_view prefix, std::string_view target) noexcept {
  if (!target.starts_with(prefix)) return false;
  return target.size() == prefix.size() || target.substr(prefix.size()).starts_with("::");
}

// The filter of the longest configured prefix of `target`, or the threshold.
LevelFilter configured_filter(std::string_view target) noexcept {
  const TargetFilter* best = nullptr;
  for (const TargetFilter& candidate : target_filters) {
    if (is_segment_prefix(candidate.prefix, target) && (best == nullptr || candidate.prefix.size() > best->prefix.size()))
      best = &candidate;
  }
  return best != nullptr ? best->filter : static_threshold;
}

LevelFilter most_permissive_filter() noexcept {
  LevelFilter most = static_threshold;
  for (const TargetFilter& candidate : target_filters) most = std::max(most, candidate.filter);
  return most;
}

int python_level(Level level) noexcept {
  switch (level) {
    case Level::error: return 40;
    case Level::warn: return 30;
    case Level::info: return 20;
    case Level::debug: return 10;
    case Level::trace: return 5;
  }
  return 5;
}

std::string logger_name(std::string_view target) {
  std::string name;
  name.reserve(target.size());
  for (std::size_t at = 0; at < target.size();) {
    if (target.substr(at).starts_with("::")) {
      name += '.';
      at += 2;
    } else {
      name += target[at++];
    }
  }
  return name;
}

Ref intern(const char* text) noexcept { return Ref::steal(PyUnicode_InternFromString(text)); }

class LoggingBridge final : public log::Sink {
 public:
  explicit LoggingBridge(Ref logging)
      : logging_(std::move(logging)),
        get_logger_(intern("getLogger")),
        is_enabled_for_(intern("isEnabledFor")),
        make_record_(intern("makeRecord")),
        handle_(intern("handle")),
        no_args_(Ref::steal(PyTuple_New(0))),
        cache_(std::make_shared<const CacheNode>()) {}

  bool ready() const noexcept { return get_logger_ && is_enabled_for_ && make_record_ && handle_ && no_args_; }

  void log(const log::Record& record) noexcept override {
    std::optional<CacheEntry> cached;
    {
      const CacheTree root = cache_.load(std::memory_order_acquire);
      const CacheNode* node = find_node(*root, record.target);
      if (node != nullptr && node->entry) {
        if (!log::admits(node->entry->filter, record.level)) return;
        cached = node->entry;
      }
    }
    if (!log::admits(configured_filter(record.target), record.level)) return;
    if (!Py_IsInitialized()) return;

    GilState gil;
    ExceptionStash stash;
    try {
      forward(record, cached);
    } catch (...) {
      // Out of memory while building the record: it is lost, nothing else.
    }
  }

  void flush() noexcept override {}

 private:
  void forward(const log::Record& record, const std::optional<CacheEntry>& cached) {
    Ref message = text_to_str(record.format());
    Ref name = text_to_str(logger_name(record.target));
    Ref number = Ref::steal(PyLong_FromLong(python_level(record.level)));
    Ref pathname = record.file != nullptr ? Ref::steal(PyUnicode_DecodeFSDefault(record.file)) : Ref::borrow(Py_None);
    Ref lineno = Ref::steal(PyLong_FromUnsignedLong(record.line));
    if (!message || !name || !number || !pathname || !lineno) {
      PyErr_PrintEx(0);
      return;
    }
    Ref logger = cached ? Ref::borrow(cached->logger)
                        : Ref::steal(PyObject_CallMethodObjArgs(logging_.get(), get_logger_.get(), name.get(), nullptr));
    if (!logger || !deliver(logger.get(), name.get(), number.get(), pathname.get(), lineno.get(), message.get())) {
      PyErr_PrintEx(0);
      return;
    }
    if (!cached) store(record.target, logger.get(), compute_filter(logger.get()));
  }

  // isEnabledFor, then makeRecord and handle. False with the exception set.
  bool deliver(PyObject* logger, PyObject* name, PyObject* number, PyObject* pathname, PyObject* lineno,
               PyObject* message) {
    const int enabled = is_enabled_for(logger, number);
    if (enabled <= 0) return enabled == 0;
    // An empty args tuple keeps logging from %-formatting the message.
    Ref log_record = Ref::steal(PyObject_CallMethodObjArgs(logger, make_record_.get(), name, number, pathname, lineno,
                                                           message, no_args_.get(), Py_None, nullptr));
    if (!log_record) return false;
    Ref handled = Ref::steal(PyObject_CallMethodObjArgs(logger, handle_.get(), log_record.get(), nullptr));
    return static_cast<bool>(handled);
  }

  // 1 or 0, or -1 with the exception set.
  int is_enabled_for(PyObject* logger, PyObject* number) {
    Ref result = Ref::steal(PyObject_CallMethodObjArgs(logger, is_enabled_for_.get(), number, nullptr));
    return result ? PyObject_IsTrue(result.get()) : -1;
  }

  // The most detailed level the logger admits now. A logger whose answer
  // cannot be had gets trace, so that isEnabledFor keeps deciding.
  LevelFilter compute_filter(PyObject* logger) {
    static constexpr std::pair<long, LevelFilter> probes[] = {
        {5, LevelFilter::trace}, {10, LevelFilter::debug}, {20, LevelFilter::info},
        {30, LevelFilter::warn}, {40, LevelFilter::error}};
    for (const auto& [number, filter] : probes) {
      Ref py_number = Ref::steal(PyLong_FromLong(number));
      const int enabled = py_number ? is_enabled_for(logger, py_number.get()) : -1;
      if (enabled < 0) {
        PyErr_PrintEx(0);
        return LevelFilter::trace;
      }
      if (enabled > 0) return filter;
    }
    return LevelFilter::off;
  }

  void store(std::string_view target, PyObject* logger, LevelFilter filter) {
    keep_alive(logger);
    CacheTree current = cache_.load(std::memory_order_acquire);
    CacheTree updated = with_entry(current, target, CacheEntry{logger, filter});
    // Losing against a concurrent update is fine: a later record stores again.
    cache_.compare_exchange_strong(current, std::move(updated), std::memory_order_acq_rel);
  }

  void keep_alive(PyObject* logger) {
    const bool kept = std::any_of(kept_loggers_.begin(), kept_loggers_.end(),
                                  [logger](const Ref& held) { return held.get() == logger; });
    if (!kept) kept_loggers_.push_back(Ref::borrow(logger));
  }

  Ref logging_;
  Ref get_logger_;
  Ref is_enabled_for_;
  Ref make_record_;
  Ref handle_;
  Ref no_args_;
  std::atomic<CacheTree> cache_;
  // Every logger a cache tree ever referred to; only touched with the lock held.
  std::vector<Ref> kept_loggers_;
};

}  // namespace

bool install_logging_bridge() {
  Ref logging = Ref::steal(PyImport_ImportModule("logging"));
  if (!logging) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    raise_internal_fault("Failed to initialize python logging: " + describe_exception(error.get()));
    return false;
  }
  auto bridge = std::make_unique<LoggingBridge>(std::move(logging));
  if (!bridge->ready()) return false;
  if (!log::set_sink(bridge.get())) {
    raise_internal_fault("the log sink is already registered (the module body ran a second time)");
    return false;
  }
  // Registered for the rest of the process: the facade may call it until exit.
  static_cast<void>(bridge.release());
  log::set_max_level(most_permissive_filter());
  return true;
}

}  // namespace kestrin::py
