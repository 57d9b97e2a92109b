// What the benchmark programs share: their clocks, failing loudly, a timed
// screencopy frame, and the "result " line of samples that benchmarks/run.py
// reads.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/helper.hpp"
#include "kestrin_lib/screencopy.hpp"

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

// What a screencopy frame said, with the ready event's CLOCK_MONOTONIC stamp,
// which wlroots takes as the output commit begins.
struct TimedFrame {
  std::optional<kestrin::ScreencopyBuffer> buffer;
  bool announced = false;  // buffer_done
  bool ready = false;
  bool failed = false;
  std::int64_t ready_stamp_ns = 0;
};

inline TimedFrame& timed_frame(void* data) { return *static_cast<TimedFrame*>(data); }

inline const kestrin::screencopy::FrameListener timed_frame_listener = {
    .buffer = [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
                 std::uint32_t height,
                 std::uint32_t stride) { timed_frame(data).buffer = kestrin::ScreencopyBuffer{format, width, height, stride}; },
    .flags = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t) {},
    .ready =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t sec_hi, std::uint32_t sec_lo, std::uint32_t nsec) {
          const auto seconds = static_cast<std::int64_t>((std::uint64_t{sec_hi} << 32) | sec_lo);
          timed_frame(data).ready_stamp_ns = seconds * 1'000'000'000 + nsec;
          timed_frame(data).ready = true;
        },
    .failed = [](void* data, zwlr_screencopy_frame_v1*) { timed_frame(data).failed = true; },
    .damage = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
    .linux_dmabuf = [](void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {},
    .buffer_done = [](void* data, zwlr_screencopy_frame_v1*) { timed_frame(data).announced = true; },
};

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
