#include "kestrin_lib/gnome/screen_cast.hpp"

#include <cstdint>
#include <utility>

#include "kestrin_lib/gnome/mutter.hpp"

namespace kestrin::gnome {
namespace {

// RecordMonitor's cursor-mode: the cursor is not drawn into the frames.
constexpr std::uint32_t cursor_hidden = 0;

Result<std::string> read_path(Result<Message> reply, const std::string& what) {
  if (!reply) return std::unexpected(std::move(reply.error()));
  const char* path = nullptr;
  if (const int r = sd_bus_message_read(reply->get(), "o", &path); r < 0) return std::unexpected(bus_error(what, r));
  return std::string(path);
}

}  // namespace

Result<std::string> create_screen_cast(Bus& bus, const std::string& mutter, const std::string& remote_desktop_id) {
  const std::string what = "creating a screen-cast session of Mutter (ScreenCast.CreateSession)";
  return read_path(call_mutter(bus, mutter, screen_cast_path, screen_cast_interface, "CreateSession", what,
                               [&](sd_bus_message* m) {
                                 return sd_bus_message_append(m, "a{sv}", 1, "remote-desktop-session-id", "s",
                                                              remote_desktop_id.c_str());
                               }),
                   what);
}

Result<std::string> record_monitor(Bus& bus, const std::string& mutter, const std::string& screen_cast,
                                   const std::string& connector) {
  const std::string what = "recording the monitor " + connector + " (ScreenCast.Session.RecordMonitor)";
  return read_path(call_mutter(bus, mutter, screen_cast, screen_cast_session_interface, "RecordMonitor", what,
                               [&](sd_bus_message* m) {
                                 return sd_bus_message_append(m, "sa{sv}", connector.c_str(), 1, "cursor-mode", "u",
                                                              cursor_hidden);
                               }),
                   what);
}

}  // namespace kestrin::gnome
