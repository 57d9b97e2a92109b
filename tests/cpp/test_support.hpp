// Shared helpers of the core tests: a log sink that records, and a scoped
// change of an environment variable.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kestrin_lib/log.hpp"

namespace kestrin::testing {

struct LoggedRecord {
  log::Level level;
  std::string target;
  std::string message;
  std::string file;
  unsigned line;
};

// Installs (once per process) a sink that keeps every record, and lets the
// maximum level be set per test.
class LogCapture {
 public:
  explicit LogCapture(log::LevelFilter level = log::LevelFilter::debug);
  ~LogCapture();

  std::vector<LoggedRecord> records() const;
  std::vector<std::string> messages() const;
  // How many records the sink saw and how many messages it formatted.
  int formatted() const;
};

// How many descriptors the process has open.
int open_descriptors();

class ScopedEnv {
 public:
  // Sets `name` to `value`, or unsets it when `value` is empty.
  ScopedEnv(const char* name, std::optional<std::string> value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

}  // namespace kestrin::testing
