// Ownership of libwayland-client objects: proxies, the display connection with
// the session's event queue, and the queue handle through which every object
// of the session is created. Dropping any of them sends nothing.
#pragma once

#include <wayland-client-core.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/fd.hpp"

struct pollfd;
struct timespec;

namespace kestrin {

template <class T>
struct ProxyDeleter {
  void operator()(T* proxy) const noexcept { wl_proxy_destroy(reinterpret_cast<wl_proxy*>(proxy)); }
};

// Owns the client side of one protocol object. Destroying it frees the proxy
// only; the compositor keeps the object until the connection closes.
template <class T>
using Proxy = std::unique_ptr<T, ProxyDeleter<T>>;

template <class T>
wl_proxy* as_proxy(T* object) {
  return reinterpret_cast<wl_proxy*>(object);
}

// The display connection and the session's one event queue. It holds the only
// reference to the connection: destroying it destroys the queue and closes the
// socket, so every proxy of the session must be gone before.
class EventQueue {
 public:
  explicit EventQueue(wl_display* display);  // takes the connection
  EventQueue(EventQueue&& other) noexcept;
  EventQueue& operator=(EventQueue&&) = delete;
  ~EventQueue();

  wl_display* display() const { return display_; }
  wl_event_queue* queue() const { return queue_; }
  explicit operator bool() const { return queue_ != nullptr; }

  // One blocking dispatch pass: dispatch what is queued, or else flush, wait
  // for the socket, read and dispatch. When a signal interrupts the wait, the
  // interruption check decides: the pass ends with Error::interrupted(), or
  // it is made again (always, when no check is set).
  Status dispatch_pass() const;

  // The same pass, given up once `deadline` has passed with nothing from the
  // compositor: then false, and nothing was dispatched.
  Result<bool> dispatch_pass_until(std::chrono::steady_clock::time_point deadline) const;

  // The description of the connection's failure, after a pass failed.
  Error dispatch_error() const;

  // Sends what is queued if the socket takes it now, without waiting: for
  // a call that is ending anyway, such as the release that follows a press
  // whose wait Ctrl-C cut short, so that nothing is left held.
  void send_now() const;

  // Sends every queued request, waiting for room in the socket as long as it
  // takes (a signal ends the wait as in dispatch_pass). libwayland-client
  // queues only a few kilobytes and fails the connection when a request does
  // not fit, so long runs of requests are flushed on the way. A socket the
  // compositor has closed is left for the next wait, which reads what the
  // compositor said before it went.
  Status flush() const;

  // Fails with the connection's error once the connection has broken. On a
  // broken connection libwayland still hands out an id for every new object
  // and keeps it for good (the compositor never frees it), so callers ask
  // before they create objects they would only throw away.
  Status still_connected() const;

 private:
  // Waits until the socket is ready for `events`; a signal ends the wait
  // only when the interruption check says so.
  // With a deadline, false once it has passed.
  Result<bool> wait_for_socket(short events,
                               std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt) const;
  Result<bool> pass(std::optional<std::chrono::steady_clock::time_point> deadline) const;

  wl_display* display_;
  wl_event_queue* queue_;
  // The compositor's text of the protocol error that broke the connection.
  mutable std::string protocol_error_;
};

// A wrapper of the display that belongs to the session's queue. Objects made
// through it, or through `create`, land on that queue from the start.
class QueueHandle {
 public:
  explicit QueueHandle(const EventQueue& queue);
  QueueHandle(QueueHandle&& other) noexcept;
  QueueHandle& operator=(QueueHandle&&) = delete;
  ~QueueHandle();

  wl_display* display() const { return wrapper_; }
  wl_event_queue* queue() const { return queue_; }
  explicit operator bool() const { return wrapper_ != nullptr; }

  // Sends a request that creates an object: `send` is called with a wrapper of
  // `parent` that belongs to this queue. Returns null only when out of memory.
  template <class T, class P, class F>
  T* create(P* parent, F&& send) const {
    auto* wrapper = static_cast<P*>(wl_proxy_create_wrapper(parent));
    if (wrapper == nullptr) return nullptr;
    wl_proxy_set_queue(as_proxy(wrapper), queue_);
    T* object = send(wrapper);
    wl_proxy_wrapper_destroy(wrapper);
    return object;
  }

 private:
  wl_display* wrapper_;
  wl_event_queue* queue_;
};

// Asked, on the waiting thread, before each wait for the compositor and each
// time a signal interrupts one: true ends the wait. The Python module asks
// the interpreter to run its signal handlers here, so that Ctrl-C can end a
// wait on a compositor that does not answer. An ended wait leaves the connection as it was: what
// the compositor answers later is dispatched by the next wait.
using InterruptCheck = bool (*)();
void set_interrupt_check(InterruptCheck check);

// Asks the check (see poll_interruptible, which every wait of the core goes
// through): true ends the wait. False when none is set.
bool interruption_requested();

// What a thread lets go of while it blocks in a wait of the core, so that
// others can run meanwhile: the Python module gives up the interpreter lock
// in the calls that allow it. let_go comes right before the thread blocks,
// take_back right after, before the check or anything else looks at what
// the wait brought.
class WaitRelease {
 public:
  virtual void let_go() noexcept = 0;
  virtual void take_back() noexcept = 0;

 protected:
  ~WaitRelease() = default;
};

// For its lifetime, the waits of the calling thread let `release` go (none:
// they hold on to everything, as a call nested in another must be able to
// ask).
class ReleaseWhileWaiting {
 public:
  explicit ReleaseWhileWaiting(WaitRelease* release) noexcept;
  ReleaseWhileWaiting(const ReleaseWhileWaiting&) = delete;
  ReleaseWhileWaiting& operator=(const ReleaseWhileWaiting&) = delete;
  ~ReleaseWhileWaiting();

 private:
  WaitRelease* previous_;
};

// A stretch in which the calling thread blocks: what the thread's
// ReleaseWhileWaiting names is let go for its lifetime.
class Blocking {
 public:
  Blocking() noexcept;
  Blocking(const Blocking&) = delete;
  Blocking& operator=(const Blocking&) = delete;
  ~Blocking();

 private:
  WaitRelease* release_;
};

// poll(2) for every wait of the core, which no signal can slip past. Python's
// own handler only notes a signal, so one that arrived just before a plain
// poll would go unseen until the poll ended, which without a timeout is never:
// signals are held from the check until ppoll waits, so such a signal either
// was seen by the check or interrupts the wait. Returns poll's count; a
// signal the check lets go on gives -1 with errno EINTR (wait again), one it
// accepts gives Error::interrupted(). `timeout_ms` < 0 waits for ever.
Result<int> poll_interruptible(pollfd* fds, unsigned long count, int timeout_ms);
// The same with a timeout to the nanosecond (null: for ever); with no
// descriptors it is a pause that a signal can end.
Result<int> poll_interruptible(pollfd* fds, unsigned long count, const timespec* timeout);

// For teardown, which closes the socket right after: sends what is queued
// (also what a full socket held back) and waits until the compositor has
// read it, a quarter of a second at most (it may not be answering at all). libwayland-server drops a client
// whose socket has hung up without reading what is still queued on it, so
// the last requests of a session would otherwise be lost. Dispatches
// nothing.
void hand_over_before_closing(wl_display* display) noexcept;

// Sends wl_display.sync on the queue and dispatches until its done event.
Status roundtrip(const EventQueue& event_queue, const QueueHandle& queue_handle);

}  // namespace kestrin
