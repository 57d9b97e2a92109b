#include "kestrin_lib/sleep.hpp"

#include <cerrno>
#include <ctime>

namespace kestrin {

void sleep_ms(std::uint32_t milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1'000'000L};
  while (remaining.tv_sec != 0 || remaining.tv_nsec != 0) {
    timespec request = remaining;
    if (::nanosleep(&request, &remaining) == 0 || errno != EINTR) break;
  }
}

}  // namespace kestrin
