// Holds and pauses between input events.
#pragma once

#include <cstdint>

namespace kestrin {

// Sleeps the whole time, resuming after signals.
void sleep_ms(std::uint32_t milliseconds);

}  // namespace kestrin
