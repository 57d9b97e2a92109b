#include "kestrin_lib/wayland.hpp"

#include <wayland-client-protocol.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <linux/sockios.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <time.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace kestrin {
namespace {

// libwayland-client reports the text of a protocol error only through its log
// handler, from inside the dispatch that receives it. While a thread
// dispatches a connection, this points at that connection's slot for the
// text, so that the failure can later say what the compositor objected to,
// whichever thread asks. Other texts go to stderr as they would without us.
thread_local std::string* dispatching_error_text = nullptr;

class DispatchingConnection {
 public:
  explicit DispatchingConnection(std::string* slot) : previous_(std::exchange(dispatching_error_text, slot)) {}
  DispatchingConnection(const DispatchingConnection&) = delete;
  DispatchingConnection& operator=(const DispatchingConnection&) = delete;
  ~DispatchingConnection() { dispatching_error_text = previous_; }

 private:
  std::string* previous_;
};

void library_log(const char* format, va_list args) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, args);
  std::string line(text);
  while (!line.empty() && line.back() == '\n') line.pop_back();
  if (dispatching_error_text != nullptr && line.find(": error ") != std::string::npos) {
    *dispatching_error_text = std::move(line);
    return;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

void install_library_log() {
  static std::once_flag once;
  std::call_once(once, [] { wl_log_set_handler_client(library_log); });
}

std::atomic<InterruptCheck> interrupt_check{nullptr};

thread_local WaitRelease* wait_release = nullptr;

void sync_done(void* data, wl_callback*, uint32_t) { *static_cast<bool*>(data) = true; }

const wl_callback_listener sync_listener = {.done = sync_done};

}  // namespace

EventQueue::EventQueue(wl_display* display) : display_(display), queue_(nullptr) {
  install_library_log();
  queue_ = wl_display_create_queue(display_);
}

EventQueue::EventQueue(EventQueue&& other) noexcept
    : display_(std::exchange(other.display_, nullptr)),
      queue_(std::exchange(other.queue_, nullptr)),
      protocol_error_(std::move(other.protocol_error_)) {}

EventQueue::~EventQueue() {
  if (queue_ != nullptr) wl_event_queue_destroy(queue_);
  if (display_ != nullptr) wl_display_disconnect(display_);
}

Status EventQueue::dispatch_pass() const {
  auto passed = pass(std::nullopt);
  if (!passed) return std::unexpected(passed.error());
  return {};
}

Result<bool> EventQueue::dispatch_pass_until(std::chrono::steady_clock::time_point deadline) const {
  return pass(deadline);
}

Result<bool> EventQueue::pass(std::optional<std::chrono::steady_clock::time_point> deadline) const {
  DispatchingConnection dispatching(&protocol_error_);
  // libwayland's own blocking dispatch retries a poll that a signal
  // interrupted, so it could never be ended; this is the same pass with a
  // poll of our own.
  if (wl_display_prepare_read_queue(display_, queue_) != 0) {
    if (wl_display_dispatch_queue_pending(display_, queue_) < 0) return std::unexpected(dispatch_error());
    return true;
  }
  int flushed;
  while ((flushed = wl_display_flush(display_)) < 0 && errno == EAGAIN) {
    // The request is on its way before any deadline counts.
    if (auto writable = wait_for_socket(POLLOUT); !writable) {
      wl_display_cancel_read(display_);
      return writable;
    }
  }
  // A flush that hit a closed socket goes on to read what the compositor
  // said before it went, usually the protocol error that closed it.
  if (flushed < 0 && errno != EPIPE) {
    int error = errno;
    wl_display_cancel_read(display_);
    errno = error;
    return std::unexpected(dispatch_error());
  }
  auto readable = wait_for_socket(POLLIN, deadline);
  if (!readable || !*readable) {
    wl_display_cancel_read(display_);
    return readable;
  }
  if (wl_display_read_events(display_) < 0) return std::unexpected(dispatch_error());
  if (wl_display_dispatch_queue_pending(display_, queue_) < 0) return std::unexpected(dispatch_error());
  return true;
}

Status EventQueue::flush() const {
  while (wl_display_flush(display_) < 0) {
    if (errno == EPIPE) return {};
    if (errno != EAGAIN) return std::unexpected(dispatch_error());
    if (auto writable = wait_for_socket(POLLOUT); !writable) return std::unexpected(writable.error());
  }
  return {};
}

void EventQueue::send_now() const { wl_display_flush(display_); }

Status EventQueue::still_connected() const {
  if (wl_display_get_error(display_) != 0) return std::unexpected(dispatch_error());
  return {};
}

void hand_over_before_closing(wl_display* display) noexcept {
  if (wl_display_get_error(display) != 0) return;
  const int socket = wl_display_get_fd(display);
  for (int waited_ms = 0; waited_ms < 250; ++waited_ms) {
    // What did not fit into the socket before (the release of a call that
    // Ctrl-C ended while the socket was full) goes as room appears.
    const bool all_sent = wl_display_flush(display) >= 0;
    if (!all_sent && errno != EAGAIN) return;
    int unread = 0;
    if (::ioctl(socket, SIOCOUTQ, &unread) != 0 || (all_sent && unread <= 0)) return;
    timespec millisecond{0, 1'000'000};
    ::nanosleep(&millisecond, nullptr);
  }
}

Result<bool> EventQueue::wait_for_socket(short events,
                                         std::optional<std::chrono::steady_clock::time_point> deadline) const {
  pollfd socket{.fd = wl_display_get_fd(display_), .events = events, .revents = 0};
  for (;;) {
    int timeout = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
      timeout = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, INT32_MAX));
    }
    auto ready = poll_interruptible(&socket, 1, timeout);
    if (!ready) return std::unexpected(std::move(ready.error()));
    if (*ready > 0) return true;
    if (*ready == 0) return false;
    if (errno != EINTR) return std::unexpected(dispatch_error());
  }
}

Error EventQueue::dispatch_error() const {
  const int failed_call = errno;
  int error = wl_display_get_error(display_);
  const wl_interface* interface = nullptr;
  uint32_t id = 0;
  uint32_t code = wl_display_get_protocol_error(display_, &interface, &id);
  // libwayland files an error posted on wl_display itself under EINVAL,
  // ENOMEM or EFAULT, by its code; it is a protocol error all the same.
  if (error == EPROTO || interface != nullptr) {
    if (!protocol_error_.empty()) return Error::ordinary("the compositor reported a protocol error: " + protocol_error_);
    return Error::ordinary("the compositor reported a protocol error: " +
                           std::string(interface != nullptr ? interface->name : "unknown") + "@" + std::to_string(id) +
                           ": error " + std::to_string(code));
  }
  if (error == 0) error = failed_call != 0 ? failed_call : EIO;
  return Error::ordinary("the connection to the compositor failed: " + os_error_text(error));
}

void set_interrupt_check(InterruptCheck check) { interrupt_check.store(check, std::memory_order_release); }

bool interruption_requested() {
  InterruptCheck check = interrupt_check.load(std::memory_order_acquire);
  return check != nullptr && check();
}

ReleaseWhileWaiting::ReleaseWhileWaiting(WaitRelease* release) noexcept
    : previous_(std::exchange(wait_release, release)) {}

ReleaseWhileWaiting::~ReleaseWhileWaiting() { wait_release = previous_; }

// Cleared meanwhile, so that nothing in the stretch could let go twice.
Blocking::Blocking() noexcept : release_(std::exchange(wait_release, nullptr)) {
  if (release_ != nullptr) release_->let_go();
}

Blocking::~Blocking() {
  if (release_ == nullptr) return;
  release_->take_back();
  wait_release = release_;
}

Result<int> poll_interruptible(pollfd* fds, unsigned long count, int timeout_ms) {
  timespec timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1'000'000L};
  return poll_interruptible(fds, count, timeout_ms < 0 ? nullptr : &timeout);
}

Result<int> poll_interruptible(pollfd* fds, unsigned long count, const timespec* timeout) {
  sigset_t every, previous;
  sigfillset(&every);
  pthread_sigmask(SIG_BLOCK, &every, &previous);
  struct RestoreMask {
    const sigset_t& mask;
    ~RestoreMask() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{previous};
  if (interruption_requested()) return std::unexpected(Error::interrupted());
  int ready, failed;
  {
    Blocking blocking;
    ready = ::ppoll(fds, count, timeout, &previous);
    failed = errno;
  }
  if (ready >= 0) return ready;
  if (failed == EINTR && interruption_requested()) return std::unexpected(Error::interrupted());
  errno = failed;
  return -1;
}

QueueHandle::QueueHandle(const EventQueue& queue) : wrapper_(nullptr), queue_(queue.queue()) {
  wrapper_ = static_cast<wl_display*>(wl_proxy_create_wrapper(queue.display()));
  if (wrapper_ != nullptr) wl_proxy_set_queue(as_proxy(wrapper_), queue_);
}

QueueHandle::QueueHandle(QueueHandle&& other) noexcept
    : wrapper_(std::exchange(other.wrapper_, nullptr)), queue_(std::exchange(other.queue_, nullptr)) {}

QueueHandle::~QueueHandle() {
  if (wrapper_ != nullptr) wl_proxy_wrapper_destroy(wrapper_);
}

Status roundtrip(const EventQueue& event_queue, const QueueHandle& queue_handle) {
  if (auto connected = event_queue.still_connected(); !connected) return connected;
  bool done = false;
  Proxy<wl_callback> callback(wl_display_sync(queue_handle.display()));
  if (!callback) return std::unexpected(Error::ordinary("out of memory"));
  wl_callback_add_listener(callback.get(), &sync_listener, &done);
  while (!done) {
    if (auto pass = event_queue.dispatch_pass(); !pass) return pass;
  }
  return {};
}

}  // namespace kestrin
