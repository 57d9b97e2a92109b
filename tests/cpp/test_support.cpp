#include "test_support.hpp"

#include <cstdlib>
#include <filesystem>

namespace kestrin::testing {
namespace {

class RecordingSink final : public log::Sink {
 public:
  void log(const log::Record& record) noexcept override {
    std::lock_guard lock(mutex_);
    if (!active_) return;
    ++formatted_;
    records_.push_back(
        {record.level, std::string(record.target), record.format(), record.file ? record.file : "", record.line});
  }
  void flush() noexcept override {}

  void start() {
    std::lock_guard lock(mutex_);
    records_.clear();
    formatted_ = 0;
    active_ = true;
  }
  void stop() {
    std::lock_guard lock(mutex_);
    active_ = false;
  }
  std::vector<LoggedRecord> records() const {
    std::lock_guard lock(mutex_);
    return records_;
  }
  int formatted() const {
    std::lock_guard lock(mutex_);
    return formatted_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LoggedRecord> records_;
  int formatted_ = 0;
  bool active_ = false;
};

RecordingSink& sink() {
  static RecordingSink* instance = [] {
    auto* created = new RecordingSink;
    log::set_sink(created);
    return created;
  }();
  return *instance;
}

}  // namespace

LogCapture::LogCapture(log::LevelFilter level) {
  sink().start();
  log::set_max_level(level);
}

LogCapture::~LogCapture() {
  log::set_max_level(log::LevelFilter::off);
  sink().stop();
}

std::vector<LoggedRecord> LogCapture::records() const { return sink().records(); }

std::vector<std::string> LogCapture::messages() const {
  std::vector<std::string> out;
  for (const auto& record : records()) out.push_back(record.message);
  return out;
}

int LogCapture::formatted() const { return sink().formatted(); }

int open_descriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

ScopedEnv::ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
  if (const char* current = std::getenv(name)) saved_ = current;
  if (value)
    ::setenv(name, value->c_str(), 1);
  else
    ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
  if (saved_)
    ::setenv(name_.c_str(), saved_->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

}  // namespace kestrin::testing
