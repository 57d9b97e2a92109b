// The session's one connection to the D-Bus session bus (sd-bus): method
// calls that wait for their reply with a deadline, and signal matches. Every
// wait dispatches what else arrives (signals), and a signal of the process
// ends it when the core's interruption check says so.
#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kestrin_lib/error.hpp"

namespace kestrin::gnome {

struct MessageDeleter {
  void operator()(sd_bus_message* message) const noexcept { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;

struct SlotDeleter {
  void operator()(sd_bus_slot* slot) const noexcept { sd_bus_slot_unref(slot); }
};
// Destroying a slot removes its match or forgets its pending call.
using Slot = std::unique_ptr<sd_bus_slot, SlotDeleter>;

// The D-Bus error name of a failed call ("org.freedesktop.DBus.Error.UnknownMethod"),
// kept beside the error so that callers can tell a missing method from other failures.
struct CallError {
  std::string name;
  Error error;
  std::size_t index = 0;  // of the failed call in a batch
};

class Bus {
 public:
  // Connects to the session bus of DBUS_SESSION_BUS_ADDRESS (or
  // $XDG_RUNTIME_DIR/bus, where systemd puts it).
  static Result<Bus> open_session_bus();

  Bus(Bus&& other) noexcept;
  Bus& operator=(Bus&&) = delete;
  ~Bus();  // sends what is queued, then closes

  sd_bus* get() const { return bus_; }

  // A new method call to `destination`, for the arguments to be appended.
  Result<Message> method(const std::string& destination, const std::string& path, const char* interface,
                         const char* member) const;

  // Sends `call` and waits for its reply until `timeout` has passed.
  // A D-Bus error reply becomes an ordinary error "<what> failed" caused by the
  // error's name and text; the reply's name is in CallError::name.
  std::expected<Message, CallError> call(const Message& call, const std::string& what,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Sends every call, then waits for every reply: the calls of a connection
  // reach the peer in order and it handles them in order, so a batch costs
  // about one round trip. The replies in order, or the first failure (the
  // calls after it were sent all the same); `what(i)` describes call i.
  std::expected<std::vector<Message>, CallError> call_all(std::span<const Message> calls,
                                                          const std::function<std::string(std::size_t)>& what,
                                                          std::chrono::milliseconds timeout = std::chrono::seconds(5));

  // Waits until `done()` is true, dispatching signals; false once `deadline`
  // has passed.
  Result<bool> wait_until(const std::function<bool()>& done, std::chrono::steady_clock::time_point deadline);

  // Dispatches what has already arrived, without waiting.
  Status dispatch_pending();

  // Calls `on_signal` for each signal `member` of `interface` from `sender` on
  // `path` (any path when empty). The match is installed without waiting: the
  // bus daemon handles it before any later call, so the signals of objects
  // created later are not missed.
  Result<Slot> match_signal(const std::string& sender, const std::string& path, const char* interface,
                            const char* member, sd_bus_message_handler_t on_signal, void* userdata);
  // The same for a complete match rule.
  Result<Slot> match(const std::string& rule, sd_bus_message_handler_t on_signal, void* userdata);

  bool is_open() const { return bus_ != nullptr && sd_bus_is_open(bus_) > 0; }

  // For a process forked from the one that connected: closes this process's
  // copy of the connection, sending nothing (sd-bus refuses to work in a
  // child, even to name its descriptor, so it is kept from the start).
  void close_after_fork() noexcept;

 private:
  explicit Bus(sd_bus* bus) : bus_(bus), fd_(sd_bus_get_fd(bus)) {}
  // Processes one message or waits for the socket until `deadline`.
  Result<bool> step(std::chrono::steady_clock::time_point deadline);

  sd_bus* bus_;
  int fd_;
};

// "<what> failed" caused by the library's description of `negative_errno`.
Error bus_error(const std::string& what, int negative_errno);

}  // namespace kestrin::gnome
