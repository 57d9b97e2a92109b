#include "kestrin_lib/gnome/remote_desktop.hpp"

#include <utility>

namespace kestrin::gnome {

Result<RemoteDesktopSession> create_remote_desktop(Bus& bus, const std::string& mutter) {
  const std::string what = "creating a remote-desktop session of Mutter (RemoteDesktop.CreateSession)";
  auto created = call_mutter(bus, mutter, remote_desktop_path, remote_desktop_interface, "CreateSession", what,
                             [](sd_bus_message*) { return 0; });
  if (!created) return std::unexpected(std::move(created.error()));
  const char* path = nullptr;
  if (const int r = sd_bus_message_read(created->get(), "o", &path); r < 0)
    return std::unexpected(bus_error(what, r));
  RemoteDesktopSession session{path, {}};

  auto id = call_mutter(bus, mutter, session.path, "org.freedesktop.DBus.Properties", "Get",
                        "reading the remote-desktop session's SessionId", [](sd_bus_message* m) {
                          return sd_bus_message_append(m, "ss", remote_desktop_session_interface, "SessionId");
                        });
  if (!id) return std::unexpected(std::move(id.error()));
  const char* text = nullptr;
  if (const int r = sd_bus_message_read(id->get(), "v", "s", &text); r < 0)
    return std::unexpected(bus_error("reading the remote-desktop session's SessionId", r));
  session.id = text;
  return session;
}

Status remote_desktop_calls(Bus& bus, std::span<const Message> calls, std::chrono::milliseconds timeout) {
  auto replies = bus.call_all(
      calls,
      [&](std::size_t i) {
        const char* member = sd_bus_message_get_member(calls[i].get());
        return std::string("Mutter's RemoteDesktop.Session.") + (member != nullptr ? member : "?");
      },
      timeout);
  if (!replies) {
    const std::size_t failed = replies.error().index;
    return std::unexpected(mutter_call_error(calls[failed], std::move(replies.error())));
  }
  return {};
}

}  // namespace kestrin::gnome
