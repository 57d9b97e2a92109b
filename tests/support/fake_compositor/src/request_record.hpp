// The record of one request, made from what libwayland's protocol logger
// hands over before the request is dispatched.
#pragma once

#include <wayland-server-core.h>

#include "fake_compositor/fake_compositor.hpp"

namespace kestrin::fake {

// {"client", "interface", "id", "request", "args"}; see README.md for how
// each argument type is written.
Record request_record(int client_number, const wl_protocol_logger_message& message);

// {"size", "hash"} of the file behind `fd`, read without moving its offset.
// A descriptor that cannot be examined gives null for what is unknown.
nlohmann::json file_summary(int fd);

}  // namespace kestrin::fake
