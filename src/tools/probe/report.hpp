// The probe's output: one JSON object per line on stdout, flushed at once so
// that a reader on a pipe sees every event as it happens. Every line carries
// "event" (its name) and "t", the probe's CLOCK_MONOTONIC time of receipt in
// milliseconds, the clock Python's time.monotonic() reads.
#pragma once

#include <nlohmann/json.hpp>

#include <string_view>

namespace probe {

using Json = nlohmann::ordered_json;

// CLOCK_MONOTONIC in milliseconds.
double monotonic_ms();

// Starts a line: {"event": name, "t": now}.
Json event_line(std::string_view name);

// Writes the line. A failed write means the reader is gone; it is remembered
// for the main loop, which then ends the probe.
void emit(const Json& line);
bool output_lost();

}  // namespace probe
