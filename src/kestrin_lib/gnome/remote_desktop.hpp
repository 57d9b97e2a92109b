// Mutter's remote-desktop session: its creation and the calls that inject input.
#pragma once

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

// Sends one Notify* call (or Start, Stop) with `types` and `args` as
// sd_bus_message_append takes them, and waits for Mutter's reply.
template <class... Args>
Status remote_desktop_call(Bus& bus, const std::string& mutter, const std::string& session, const char* member,
                           const char* types, Args... args) {
  auto reply = call_mutter(bus, mutter, session, remote_desktop_session_interface, member,
                           std::string("Mutter's RemoteDesktop.Session.") + member,
                           [&](sd_bus_message* m) { return sd_bus_message_append(m, types, args...); });
  if (!reply) return std::unexpected(std::move(reply.error()));
  return {};
}

}  // namespace kestrin::gnome
