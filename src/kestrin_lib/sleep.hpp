// Holds and pauses between input events.
#pragma once

#include <cstdint>
#include <ctime>

#include "kestrin_lib/error.hpp"

namespace kestrin {

// Sleeps the whole time, resuming after signals (a hold is never cut
// short). Other threads run meanwhile when the call lets them (see
// ReleaseWhileWaiting).
void sleep_ms(std::uint32_t milliseconds);

// `steps` steps spread evenly over `total_ms` from the moment it is made, as
// a drag moves: wait(step) sleeps until step/steps of the time has passed
// (at once when the time is 0), so that slow steps do not add up. The sleep
// is a wait like the others: a signal the interruption check accepts ends
// it with Error::interrupted().
class EvenSteps {
 public:
  EvenSteps(std::uint32_t total_ms, std::uint32_t steps);
  bool paced() const { return total_ns_ != 0; }
  Status wait(std::uint32_t step) const;

 private:
  timespec begun_{};
  std::uint64_t total_ns_;
  std::uint32_t steps_;
};

// The position of step `step` of `steps` on the way from `from` to `to`,
// rounded to the nearest whole.
std::uint32_t between(std::uint32_t from, std::uint32_t to, std::uint32_t step, std::uint32_t steps);

}  // namespace kestrin
