// The probe's main loop: compositor events, commands read from stdin one per
// line, and the two ways it is told to end (a termination signal, or stdin
// closing).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "kestrin_lib/wayland.hpp"

namespace probe {

// Blocks SIGTERM, SIGINT and SIGHUP and returns a signalfd that reports them.
kestrin::Fd termination_signals();

enum class LoopEnd { signal, stdin_closed, stdout_closed, failed };

// Runs until one of the ends. `broken` is asked after each dispatch, so that
// handlers can end the loop too; it then returns failed. Every complete line
// on stdin goes to `command`. On failure `why` says what happened.
LoopEnd run_loop(const kestrin::EventQueue& queue, int signal_fd, const std::function<bool()>& broken,
                 const std::function<void(std::string_view)>& command, std::string& why);

}  // namespace probe
