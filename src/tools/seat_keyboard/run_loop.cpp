#include "run_loop.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string_view>
#include <utility>

namespace seat_keyboard {
namespace {

// After wl_display_prepare_read_queue the caller must read or cancel, or
// every other reader of the connection blocks.
class ReadIntent {
 public:
  explicit ReadIntent(wl_display* display) : display_(display) {}
  ReadIntent(const ReadIntent&) = delete;
  ReadIntent& operator=(const ReadIntent&) = delete;
  ~ReadIntent() { cancel(); }

  int read() { return wl_display_read_events(std::exchange(display_, nullptr)); }
  void cancel() {
    if (display_ != nullptr) wl_display_cancel_read(std::exchange(display_, nullptr));
  }

 private:
  wl_display* display_;
};

}  // namespace

kestrin::Fd watch_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signum : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) sigaddset(&set, signum);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  // Whoever reads "ready" may be gone; a failed write must not kill the tool.
  std::signal(SIGPIPE, SIG_IGN);
  return kestrin::Fd(signalfd(-1, &set, SFD_CLOEXEC));
}

LoopEnd run_loop(const kestrin::EventQueue& queue, int signal_fd, const std::function<void()>& activate,
                 std::string& why) {
  wl_display* display = queue.display();
  const auto broken = [&] {
    why = kestrin::report_text(queue.dispatch_error());
    return LoopEnd::failed;
  };
  // Commands and the end of input only count from a pipe or a socket, which
  // is how a program drives the tool. From a terminal, a file or /dev/null
  // (a background job of a script gets that) stdin is ignored, so that
  // `kestrin-seat-keyboard &` stays up.
  struct stat input {};
  const bool commands = fstat(STDIN_FILENO, &input) == 0 && (S_ISFIFO(input.st_mode) || S_ISSOCK(input.st_mode));
  std::string pending;
  for (;;) {
    while (wl_display_prepare_read_queue(display, queue.queue()) != 0) {
      if (wl_display_dispatch_queue_pending(display, queue.queue()) < 0) return broken();
    }
    ReadIntent intent(display);
    short display_events = POLLIN;
    if (wl_display_flush(display) < 0) {
      if (errno != EAGAIN) return broken();
      display_events |= POLLOUT;
    }
    pollfd fds[] = {
        {.fd = wl_display_get_fd(display), .events = display_events, .revents = 0},
        {.fd = signal_fd, .events = POLLIN, .revents = 0},
        {.fd = commands ? STDIN_FILENO : -1, .events = POLLIN, .revents = 0},
    };
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      why = "poll: " + kestrin::os_error_text(errno);
      return LoopEnd::failed;
    }
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0 && intent.read() < 0) return broken();
    // activate() waits for the compositor itself.
    intent.cancel();
    if (wl_display_dispatch_queue_pending(display, queue.queue()) < 0) return broken();

    if ((fds[1].revents & POLLIN) != 0) {
      signalfd_siginfo info;
      if (read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo != SIGUSR1) return LoopEnd::told_to_stop;
        activate();
      }
    }
    if (fds[2].revents != 0) {
      char chunk[256];
      const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return LoopEnd::stdin_closed;
      if (n > 0) pending.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        const std::string_view line = std::string_view(pending).substr(0, end);
        if (line == "activate") {
          activate();
        } else if (!line.empty()) {
          std::fprintf(stderr, "kestrin-seat-keyboard: unknown command \"%.*s\" (only \"activate\")\n",
                       static_cast<int>(line.size()), line.data());
        }
      }
    }
  }
}

}  // namespace seat_keyboard
