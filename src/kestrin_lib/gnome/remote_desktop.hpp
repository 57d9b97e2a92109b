// Mutter's remote-desktop session: its creation and the calls that inject input.
#pragma once

#include <chrono>
#include <span>
#include <string>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/gnome/bus.hpp"
#include "kestrin_lib/gnome/mutter.hpp"

namespace kestrin::gnome {

struct RemoteDesktopSession {
  std::string path;  // the session object
  std::string id;    // what links a screen-cast session to it
};

Result<RemoteDesktopSession> create_remote_desktop(Bus& bus, const std::string& mutter);

// A call of the session's `member` (a Notify*, Start) with `types` and `args`
// as sd_bus_message_append takes them.
template <class... Args>
Result<Message> remote_desktop_message(const Bus& bus, const std::string& mutter, const std::string& session,
                                       const char* member, const char* types, Args... args) {
  auto call = bus.method(mutter, session, remote_desktop_session_interface, member);
  if (!call) return call;
  if (const int r = sd_bus_message_append(call->get(), types, args...); r < 0)
    return std::unexpected(bus_error(std::string("building the call RemoteDesktop.Session.") + member, r));
  return call;
}

// Sends the calls in order and waits for every reply, `timeout` at most
// (see Bus::call_all); the first failure is reported.
Status remote_desktop_calls(Bus& bus, std::span<const Message> calls,
                            std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace kestrin::gnome
