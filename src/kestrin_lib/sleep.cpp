#include "kestrin_lib/sleep.hpp"

#include <cerrno>
#include <cmath>
#include <ctime>

#include "kestrin_lib/wayland.hpp"

namespace kestrin {

void sleep_ms(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1'000'000L};
  Blocking blocking;
  while (remaining.tv_sec != 0 || remaining.tv_nsec != 0) {
    timespec request = remaining;
    if (::nanosleep(&request, &remaining) == 0 || errno != EINTR) break;
  }
}

EvenSteps::EvenSteps(std::uint32_t total_ms, std::uint32_t steps)
    : total_ns_(std::uint64_t{total_ms} * 1'000'000), steps_(steps) {
  ::clock_gettime(CLOCK_MONOTONIC, &begun_);
}

Status EvenSteps::wait(std::uint32_t step) const {
  if (total_ns_ == 0 || steps_ == 0) return {};
  const std::uint64_t total = static_cast<std::uint64_t>(begun_.tv_nsec) + total_ns_ * step / steps_;
  const std::int64_t deadline_ns =
      (static_cast<std::int64_t>(begun_.tv_sec) + static_cast<std::int64_t>(total / 1'000'000'000)) * 1'000'000'000 +
      static_cast<std::int64_t>(total % 1'000'000'000);
  for (;;) {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const std::int64_t left = deadline_ns - (static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec);
    if (left <= 0) return {};
    const timespec timeout{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    // A signal the check lets go on (-1, EINTR) only shortens this round.
    if (auto slept = poll_interruptible(nullptr, 0, &timeout); !slept) return std::unexpected(slept.error());
  }
}

std::uint32_t between(std::uint32_t from, std::uint32_t to, std::uint32_t step, std::uint32_t steps) {
  const double position = from + (static_cast<double>(to) - from) * step / steps;
  return static_cast<std::uint32_t>(std::lround(position));
}

}  // namespace kestrin
