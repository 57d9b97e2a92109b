// What the benchmark programs share: their clocks, failing loudly, and the
// "result " line of samples that benchmarks/run.py reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "kestrin_lib/error.hpp"

namespace bench {

using Clock = std::chrono::steady_clock;
using Samples = std::vector<std::int64_t>;

// The name failures are reported under, set by each program's main.
inline const char* program_name = "kestrin-bench";

inline std::int64_t ns_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

[[noreturn]] inline void die(const std::string& what, const kestrin::Error& error) {
  std::cerr << program_name << ": " << what << ": " << kestrin::report_text(error) << '\n';
  std::exit(1);
}

template <class T>
T must(kestrin::Result<T> result, const char* what) {
  if (!result) die(what, result.error());
  return std::move(*result);
}

inline void must(kestrin::Status status, const char* what) {
  if (!status) die(what, status.error());
}

// This thread's CPU time: what a call costs the client itself, whatever the
// compositor and the scheduler add to its wall time.
inline std::int64_t thread_cpu_ns() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// The clock wlroots stamps screencopy's ready events with.
inline std::int64_t monotonic_now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

inline void write_samples(std::string& out, const std::map<std::string, Samples>& groups) {
  out += '{';
  bool first_group = true;
  for (const auto& [name, samples] : groups) {
    if (!first_group) out += ',';
    first_group = false;
    out += '"' + name + "\":[";
    for (std::size_t i = 0; i < samples.size(); ++i) {
      if (i != 0) out += ',';
      out += std::to_string(samples[i]);
    }
    out += ']';
  }
  out += '}';
}

inline unsigned parse_count(const char* text, const char* option) {
  char* end = nullptr;
  unsigned long value = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || value == 0 || value > 1'000'000) {
    std::cerr << program_name << ": " << option << " wants a count from 1 to 1000000\n";
    std::exit(2);
  }
  return static_cast<unsigned>(value);
}

}  // namespace bench
