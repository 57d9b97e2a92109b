#include "kestrin_lib/sleep.hpp"

#include <cerrno>
#include <cmath>
#include <ctime>

namespace kestrin {

void sleep_ms(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1'000'000L};
  while (remaining.tv_sec != 0 || remaining.tv_nsec != 0) {
    timespec request = remaining;
    if (::nanosleep(&request, &remaining) == 0 || errno != EINTR) break;
  }
}

EvenSteps::EvenSteps(std::uint32_t total_ms, std::uint32_t steps)
    : total_ns_(std::uint64_t{total_ms} * 1'000'000), steps_(steps) {
  ::clock_gettime(CLOCK_MONOTONIC, &begun_);
}

void EvenSteps::wait(std::uint32_t step) const {
  if (total_ns_ == 0 || steps_ == 0) return;
  const std::uint64_t total = static_cast<std::uint64_t>(begun_.tv_nsec) + total_ns_ * step / steps_;
  const timespec deadline{begun_.tv_sec + static_cast<time_t>(total / 1'000'000'000),
                          static_cast<long>(total % 1'000'000'000)};
  // Resumes after signals, as sleep_ms does.
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

std::uint32_t between(std::uint32_t from, std::uint32_t to, std::uint32_t step, std::uint32_t steps) {
  const double position = from + (static_cast<double>(to) - from) * step / steps;
  return static_cast<std::uint32_t>(std::lround(position));
}

}  // namespace kestrin
