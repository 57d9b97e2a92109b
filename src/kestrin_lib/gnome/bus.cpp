#include "kestrin_lib/gnome/bus.hpp"

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

#include "kestrin_lib/wayland.hpp"

namespace kestrin::gnome {
namespace {

using Clock = std::chrono::steady_clock;

struct PendingCall {
  bool done = false;
  Message reply;
};

int on_reply(sd_bus_message* reply, void* userdata, sd_bus_error*) {
  auto* pending = static_cast<PendingCall*>(userdata);
  pending->reply.reset(sd_bus_message_ref(reply));
  pending->done = true;
  return 0;
}

// sd-bus's timers are absolute CLOCK_MONOTONIC microseconds, which is the
// clock of std::chrono::steady_clock on Linux.
std::uint64_t monotonic_usec() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::uint64_t(now.tv_sec) * 1'000'000 + std::uint64_t(now.tv_nsec) / 1000;
}

}  // namespace

Error bus_error(const std::string& what, int negative_errno) {
  return Error::ordinary(what + " failed", {os_error_text(-negative_errno)});
}

Result<Bus> Bus::open_session_bus() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  sd_bus* bus = nullptr;
  const int r = sd_bus_open_user(&bus);
  if (r < 0) {
    std::string cause = address != nullptr && *address != '\0'
                            ? "DBUS_SESSION_BUS_ADDRESS is " + std::string(address) + ": " + os_error_text(-r)
                            : "DBUS_SESSION_BUS_ADDRESS is not set, and $XDG_RUNTIME_DIR/bus did not answer: " +
                                  os_error_text(-r);
    return std::unexpected(Error::ordinary(
        "there is no D-Bus session bus to reach GNOME on: run this inside the GNOME session (or start one with "
        "dbus-run-session)",
        {std::move(cause)}));
  }
  return Bus(bus);
}

Bus::Bus(Bus&& other) noexcept : bus_(std::exchange(other.bus_, nullptr)), fd_(std::exchange(other.fd_, -1)) {}

void Bus::close_after_fork() noexcept {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

Bus::~Bus() {
  if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
}

Result<Message> Bus::method(const std::string& destination, const std::string& path, const char* interface,
                            const char* member) const {
  sd_bus_message* message = nullptr;
  const int r =
      sd_bus_message_new_method_call(bus_, &message, destination.c_str(), path.c_str(), interface, member);
  if (r < 0) return std::unexpected(bus_error(std::string("building the call ") + interface + "." + member, r));
  return Message(message);
}

std::expected<Message, CallError> Bus::call(const Message& call, const std::string& what,
                                            std::chrono::milliseconds timeout) {
  auto replies = call_all(std::span(&call, 1), [&](std::size_t) { return what; }, timeout);
  if (!replies) return std::unexpected(std::move(replies.error()));
  return std::move(replies->front());
}

std::expected<std::vector<Message>, CallError> Bus::call_all(std::span<const Message> calls,
                                                             const std::function<std::string(std::size_t)>& what,
                                                             std::chrono::milliseconds timeout) {
  std::vector<PendingCall> pending(calls.size());
  // Dropping the slots on an early return forgets the calls: a late reply
  // never reaches `pending`.
  std::vector<Slot> slots;
  const auto timeout_usec = std::uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(timeout).count());
  for (std::size_t i = 0; i < calls.size(); ++i) {
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_call_async(bus_, &slot, calls[i].get(), on_reply, &pending[i], timeout_usec);
    if (r < 0) return std::unexpected(CallError{"", bus_error(what(i), r), i});
    slots.emplace_back(slot);
  }
  // sd-bus answers a call itself with a timeout error when the peer does not;
  // the margin is for that, short for a short timeout (teardown's), which
  // must not grow by much.
  const auto margin = std::min<std::chrono::milliseconds>(std::chrono::seconds(1), timeout / 4);
  auto waited = wait_until([&] { return std::ranges::all_of(pending, &PendingCall::done); },
                           Clock::now() + timeout + margin);
  if (!waited) return std::unexpected(CallError{"", std::move(waited.error())});
  std::vector<Message> replies;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (!pending[i].done) return std::unexpected(CallError{"", Error::ordinary(what(i) + " failed", {"no reply"}), i});
    if (sd_bus_message_is_method_error(pending[i].reply.get(), nullptr)) {
      const sd_bus_error* failure = sd_bus_message_get_error(pending[i].reply.get());
      std::string name = failure != nullptr && failure->name != nullptr ? failure->name : "";
      std::string text = name;
      if (failure != nullptr && failure->message != nullptr) text += ": " + std::string(failure->message);
      return std::unexpected(CallError{std::move(name), Error::ordinary(what(i) + " failed", {std::move(text)}), i});
    }
    replies.push_back(std::move(pending[i].reply));
  }
  return replies;
}

Result<bool> Bus::step(Clock::time_point deadline) {
  int r = sd_bus_process(bus_, nullptr);
  if (r < 0) return std::unexpected(bus_error("the connection to the session bus", r));
  if (r > 0) return true;
  const int events = sd_bus_get_events(bus_);
  if (events < 0) return std::unexpected(bus_error("the connection to the session bus", events));
  std::uint64_t until = UINT64_MAX;
  sd_bus_get_timeout(bus_, &until);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  long long timeout = std::max<long long>(left, 0);
  if (until != UINT64_MAX) {
    const std::uint64_t now = monotonic_usec();
    timeout = std::min<long long>(timeout, until > now ? static_cast<long long>((until - now + 999) / 1000) : 0);
  }
  pollfd socket{.fd = sd_bus_get_fd(bus_), .events = static_cast<short>(events), .revents = 0};
  auto ready = poll_interruptible(&socket, 1, static_cast<int>(std::min<long long>(timeout, INT32_MAX)));
  if (!ready) return std::unexpected(std::move(ready.error()));
  if (*ready < 0 && errno != EINTR)
    return std::unexpected(Error::ordinary("waiting for the session bus failed", {os_error_text(errno)}));
  return true;
}

Result<bool> Bus::wait_until(const std::function<bool()>& done, Clock::time_point deadline) {
  for (;;) {
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    auto stepped = step(deadline);
    if (!stepped) return std::unexpected(std::move(stepped.error()));
  }
}

Status Bus::dispatch_pending() {
  for (;;) {
    const int r = sd_bus_process(bus_, nullptr);
    if (r < 0) return std::unexpected(bus_error("the connection to the session bus", r));
    if (r == 0) return {};
  }
}

Result<Slot> Bus::match_signal(const std::string& sender, const std::string& path, const char* interface,
                               const char* member, sd_bus_message_handler_t on_signal, void* userdata) {
  sd_bus_slot* slot = nullptr;
  const int r = sd_bus_match_signal_async(bus_, &slot, sender.c_str(), path.empty() ? nullptr : path.c_str(),
                                          interface, member, on_signal, nullptr, userdata);
  if (r < 0) return std::unexpected(bus_error(std::string("watching for ") + interface + "." + member, r));
  return Slot(slot);
}

Result<Slot> Bus::match(const std::string& rule, sd_bus_message_handler_t on_signal, void* userdata) {
  sd_bus_slot* slot = nullptr;
  const int r = sd_bus_add_match_async(bus_, &slot, rule.c_str(), on_signal, nullptr, userdata);
  if (r < 0) return std::unexpected(bus_error("watching the bus for " + rule, r));
  return Slot(slot);
}

}  // namespace kestrin::gnome
