// The tool's wait: compositor events, lines on stdin, and signals.
#pragma once

#include <functional>
#include <string>

#include "kestrin_lib/wayland.hpp"

namespace seat_keyboard {

// Blocks SIGTERM, SIGINT, SIGHUP and SIGUSR1 and returns a signalfd for them,
// so that they arrive in the loop rather than in the middle of a request.
kestrin::Fd watch_signals();

enum class LoopEnd { told_to_stop, stdin_closed, failed };

// Runs until a termination signal, the end of stdin, or a broken connection
// (then `why` says what happened). SIGUSR1 and a line "activate" call
// `activate`; other lines are reported on stderr and ignored.
LoopEnd run_loop(const kestrin::EventQueue& queue, int signal_fd, const std::function<void()>& activate,
                 std::string& why);

}  // namespace seat_keyboard
