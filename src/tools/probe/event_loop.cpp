#include "event_loop.hpp"

#include <poll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <utility>

#include "report.hpp"

namespace probe {
namespace {

// wl_display_prepare_read_queue obliges the caller to read or cancel.
class ReadIntent {
 public:
  explicit ReadIntent(wl_display* display) : display_(display) {}
  ReadIntent(const ReadIntent&) = delete;
  ReadIntent& operator=(const ReadIntent&) = delete;
  ~ReadIntent() {
    if (display_ != nullptr) wl_display_cancel_read(display_);
  }
  int read() { return wl_display_read_events(std::exchange(display_, nullptr)); }
  void cancel() {
    if (display_ != nullptr) wl_display_cancel_read(std::exchange(display_, nullptr));
  }

 private:
  wl_display* display_;
};

}  // namespace

kestrin::Fd termination_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  // A vanished reader must show up as a failed write, not kill the probe.
  std::signal(SIGPIPE, SIG_IGN);
  return kestrin::Fd(signalfd(-1, &set, SFD_CLOEXEC));
}

LoopEnd run_loop(const kestrin::EventQueue& queue, int signal_fd, const std::function<bool()>& broken,
                 const std::function<void(std::string_view)>& command, std::string& why) {
  std::string pending;
  wl_display* display = queue.display();
  const auto failed = [&] {
    why = kestrin::report_text(queue.dispatch_error());
    return LoopEnd::failed;
  };
  for (;;) {
    while (wl_display_prepare_read_queue(display, queue.queue()) != 0) {
      if (wl_display_dispatch_queue_pending(display, queue.queue()) < 0) return failed();
    }
    ReadIntent intent(display);
    short display_events = POLLIN;
    if (wl_display_flush(display) < 0) {
      if (errno != EAGAIN) return failed();
      display_events |= POLLOUT;
    }

    pollfd fds[] = {
        {.fd = wl_display_get_fd(display), .events = display_events, .revents = 0},
        {.fd = STDIN_FILENO, .events = POLLIN, .revents = 0},
        {.fd = signal_fd, .events = POLLIN, .revents = 0},
    };
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      why = "poll failed";
      return LoopEnd::failed;
    }
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      if (intent.read() < 0) return failed();
    }
    // Commands may wait on the compositor themselves.
    intent.cancel();
    if (wl_display_dispatch_queue_pending(display, queue.queue()) < 0) return failed();
    if (output_lost()) return LoopEnd::stdout_closed;
    if (broken()) {
      why = "the window could not be drawn";
      return LoopEnd::failed;
    }
    if ((fds[2].revents & POLLIN) != 0) return LoopEnd::signal;
    if (fds[1].revents != 0) {
      char chunk[256];
      const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return LoopEnd::stdin_closed;
      if (n > 0) pending.append(chunk, static_cast<std::size_t>(n));
      for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        command(std::string_view(pending).substr(0, end));
      }
    }
  }
}

}  // namespace probe
