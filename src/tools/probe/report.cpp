#include "report.hpp"

#include <cstdio>
#include <ctime>
#include <string>

namespace probe {

double monotonic_ms() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

Json event_line(std::string_view name) {
  Json line;
  line["event"] = name;
  line["t"] = monotonic_ms();
  return line;
}

namespace {
bool lost = false;
}  // namespace

bool output_lost() { return lost; }

void emit(const Json& line) {
  if (lost) return;
  // Text from a keymap need not be valid UTF-8; replace rather than throw.
  std::string text = line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  text.push_back('\n');
  lost = std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0;
}

}  // namespace probe
